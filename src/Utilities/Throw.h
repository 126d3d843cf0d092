#pragma once

#include <cstdint>
#include <string>

namespace vantorlib {

// Raises a std::system_error carrying `code` in the library's error category.
// what() is the message, ": " and the system's text for the code.
[[noreturn]] void ThrowSystemError(std::uint32_t code, const std::string& message);

// Same, with the calling thread's last Win32 error. Read it first: callers make
// no other system call between the failing function and this one.
[[noreturn]] void ThrowLastError(const std::string& message);

}  // namespace vantorlib
