#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <system_error>

#include "Utilities/ErrorCategory.h"
#include "Utilities/String.h"
#include "Utilities/Throw.h"

namespace {

using vantorlib::string::LibraryErrorCategory;

// The system's own English text for `code`, without its closing line break.
std::string SystemText(DWORD code) {
  wchar_t* buffer = nullptr;
  ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                   nullptr, code, 0x0409, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = buffer != nullptr ? buffer : L"";
  ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  return vantorlib::string::ToUtf8(text);
}

TEST(ErrorCategory, IsOneObjectWithAStableName) {
  const std::error_category& category = LibraryErrorCategory();
  EXPECT_EQ(&category, &LibraryErrorCategory());
  EXPECT_STREQ(category.name(), "VantorlibErrorCategory");
  EXPECT_EQ(category.name(), LibraryErrorCategory().name());
  EXPECT_NE(category, std::system_category());
  EXPECT_EQ(std::error_code(5, category), std::error_code(5, LibraryErrorCategory()));
}

TEST(ErrorCategory, RealCodesGiveTheSystemTextTrimmedWithTheCode) {
  for (const DWORD code : {0ul, 5ul, 112ul}) {
    const std::string expected = SystemText(code);
    ASSERT_FALSE(expected.empty()) << code;
    EXPECT_EQ(LibraryErrorCategory().message(static_cast<int>(code)),
              expected + " (" + std::to_string(code) + ")");
  }
}

TEST(ErrorCategory, UnknownAndNegativeCodes) {
  EXPECT_EQ(LibraryErrorCategory().message(536870913), "Unknown error (536870913)");
  // A negative code is the same 32-bit value read unsigned.
  const std::string negative = LibraryErrorCategory().message(-1);
  EXPECT_EQ(negative, LibraryErrorCategory().message(static_cast<int>(0xFFFFFFFFu)));
  const std::string suffix = "(4294967295)";
  ASSERT_GE(negative.size(), suffix.size());
  EXPECT_EQ(negative.substr(negative.size() - suffix.size()), suffix) << negative;
}

TEST(SystemError, CarriesCodeCategoryAndComposedText) {
  try {
    vantorlib::ThrowSystemError(112, "WriteFile failed");
    FAIL() << "did not throw";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::error_code(112, LibraryErrorCategory()));
    EXPECT_EQ(std::string(error.what()), "WriteFile failed: " + SystemText(112) + " (112)");
  }
}

TEST(SystemError, LastErrorIsTheCallingThreadsCode) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  try {
    vantorlib::ThrowLastError("OpenProcess failed");
    FAIL() << "did not throw";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), 5);
    EXPECT_EQ(&error.code().category(), &LibraryErrorCategory());
    EXPECT_EQ(std::string(error.what()).rfind("OpenProcess failed: ", 0), 0u);
  }
}

}  // namespace
