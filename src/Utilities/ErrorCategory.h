#pragma once

#include <cstdint>
#include <string>
#include <system_error>

namespace vantorlib::string {

// The library's error category for Win32 error codes. name() is
// "VantorlibErrorCategory"; message(code) is the system's English text for the
// code followed by the code in parentheses. One static instance, constant-
// initialized, usable from any thread at any time.
const std::error_category& LibraryErrorCategory() noexcept;

// The system's message for `code`, English preferred, trimmed, with " (code)"
// appended; "Unknown error (code)" when the system has no text for it.
std::string FormatSystemMessage(std::uint32_t code);

}  // namespace vantorlib::string
