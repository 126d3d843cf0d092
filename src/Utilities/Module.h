#pragma once

#include <string>

namespace vantorlib::module {

// Full path of the running executable, however long, up to 32788 UTF-16 units.
// Raises "GetModuleFileNameW failed: " plus the code, or "Path too long".
std::wstring Path();

namespace seam {
// GetModuleFileNameW for the running executable: the system's answer, in
// ModuleSeam.cpp, which a test program can replace with its own.
unsigned long ModuleFileName(wchar_t* buffer, unsigned long size);
}  // namespace seam

}  // namespace vantorlib::module
