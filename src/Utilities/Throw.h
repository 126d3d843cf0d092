#pragma once

#include <cstdint>
#include <string>

namespace vantorlib {

// Raises a std::system_error carrying `code` in the library's error category.
// what() is the message, ": " and the system's text for the code.
[[noreturn]] void ThrowSystemError(std::uint32_t code, const std::string& message);

// Same, with the calling thread's last Win32 error, read before anything else
// happens. The message is a fixed text on purpose: a message that has to be
// built (allocating, converting) could overwrite the code first, so such
// callers read the code themselves and use ThrowSystemError.
[[noreturn]] void ThrowLastError(const char* message);

}  // namespace vantorlib
