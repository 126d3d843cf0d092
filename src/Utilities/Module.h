#pragma once

#include <string>

namespace vantorlib::module {

// Full path of the running executable, however long, up to 32788 UTF-16 units.
// Raises "GetModuleFileNameW failed: " plus the code, or "Path too long".
std::wstring Path();

}  // namespace vantorlib::module
