#include "Utilities/String.h"

#include <charconv>
#include <climits>
#include <limits>
#include <stdexcept>

#include <windows.h>

#include "Utilities/Throw.h"

namespace vantorlib::string {
namespace {

// The platform takes lengths as int; a larger buffer cannot be described.
int PlatformLength(std::size_t length) {
  if (length > static_cast<std::size_t>(INT_MAX)) throw std::length_error("text too long to convert");
  return static_cast<int>(length);
}

template <typename Int>
std::string Decimal(Int value) {
  char digits[std::numeric_limits<Int>::digits10 + 2];
  const std::to_chars_result end = std::to_chars(std::begin(digits), std::end(digits), value);
  return std::string(digits, end.ptr);
}

}  // namespace

// One platform call into a buffer of the largest size the input can need
// (three bytes per UTF-16 unit; a surrogate pair needs four for two units),
// then shrink to what was written.
std::string ToUtf8(std::wstring_view text) {
  if (text.empty()) return {};
  std::string result;
  if (text.size() > result.max_size() / 3) throw std::length_error("text too long to convert");
  result.resize(text.size() * 3);
  const int written =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), PlatformLength(text.size()), result.data(),
                            PlatformLength(result.size()), nullptr, nullptr);
  if (written == 0) ThrowLastError("Error converting UTF-16 string to UTF-8");
  result.resize(static_cast<std::size_t>(written));
  return result;
}

// A UTF-8 sequence never yields more UTF-16 units than it has bytes.
std::wstring ToUtf16(std::string_view text) {
  if (text.empty()) return {};
  std::wstring result(text.size(), L'\0');
  const int length = PlatformLength(text.size());
  const int written = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, result.data(), length);
  if (written == 0) ThrowLastError("Error converting UTF-8 string to UTF-16");
  result.resize(static_cast<std::size_t>(written));
  return result;
}

std::string ToDecimalString(std::int32_t value) { return Decimal(value); }
std::string ToDecimalString(std::uint32_t value) { return Decimal(value); }

}  // namespace vantorlib::string
