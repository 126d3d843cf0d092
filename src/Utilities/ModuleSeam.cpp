#include <windows.h>

#include "Utilities/Module.h"

namespace vantorlib::module::seam {

unsigned long ModuleFileName(wchar_t* buffer, unsigned long size) { return ::GetModuleFileNameW(nullptr, buffer, size); }

}  // namespace vantorlib::module::seam
