#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vantorlib::string {

// UTF-16 to UTF-8. Embedded NULs are converted like any other character;
// unpaired surrogates become U+FFFD. Raises a system error if the platform
// conversion fails.
std::string ToUtf8(std::wstring_view text);

// UTF-8 to UTF-16. Invalid byte sequences become U+FFFD.
std::wstring ToUtf16(std::string_view text);

// Plain decimal: no grouping, no leading zeros, "-" for negative values.
std::string ToDecimalString(std::int32_t value);
std::string ToDecimalString(std::uint32_t value);

}  // namespace vantorlib::string
