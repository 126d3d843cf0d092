#include "Utilities/ErrorCategory.h"

#include <optional>

#include <windows.h>

#include "Utilities/String.h"

namespace vantorlib::string {
namespace {

class _VantorlibErrorCategory final : public std::error_category {
 public:
  constexpr _VantorlibErrorCategory() noexcept = default;

  const char* name() const noexcept override { return "VantorlibErrorCategory"; }

  std::string message(int code) const override {
    return FormatSystemMessage(static_cast<std::uint32_t>(code));
  }
};

// Constant-initialized: it exists before any dynamic initializer runs, so
// errors raised during static initialization can use it too.
[[clang::require_constant_initialization]] const _VantorlibErrorCategory kCategory;

// Languages tried in order: English in its common forms, then the invariant
// language, then the system's own search order.
constexpr WORD kMessageLanguages[] = {0x0409, 0x0809, 0x0009, 0x0409, 0x007F, 0x047F, 0x0000};

bool IsMessageSpace(wchar_t c) { return (c >= L'\t' && c <= L'\r') || c == L' '; }

std::wstring Trim(std::wstring text) {
  std::size_t end = text.size();
  while (end > 0 && IsMessageSpace(text[end - 1])) --end;
  text.erase(end);
  std::size_t begin = 0;
  while (begin < text.size() && IsMessageSpace(text[begin])) ++begin;
  text.erase(0, begin);
  return text;
}

// The system's text for `code` in the first language that has one.
std::optional<std::wstring> LookUpSystemMessage(DWORD code) {
  for (const WORD language : kMessageLanguages) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, language, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (length != 0) {
      struct LocalBuffer {
        wchar_t* p;
        ~LocalBuffer() { ::LocalFree(p); }
      } owner{buffer};
      return std::wstring(buffer);
    }
  }
  return std::nullopt;
}

}  // namespace

const std::error_category& LibraryErrorCategory() noexcept { return kCategory; }

std::string FormatSystemMessage(std::uint32_t code) {
  const std::wstring number = ToUtf16(ToDecimalString(code));
  const std::optional<std::wstring> text = LookUpSystemMessage(code);
  if (!text) return ToUtf8(L"Unknown error (" + number + L")");
  return ToUtf8(Trim(*text) + L" (" + number + L")");
}

}  // namespace vantorlib::string
