#include "Utilities/Throw.h"

#include <system_error>

#include <windows.h>

#include "Utilities/ErrorCategory.h"

namespace vantorlib {

void ThrowSystemError(std::uint32_t code, const std::string& message) {
  throw std::system_error(static_cast<int>(code), string::LibraryErrorCategory(), message);
}

void ThrowLastError(const char* message) {
  const DWORD code = ::GetLastError();
  ThrowSystemError(code, message);
}

}  // namespace vantorlib
