#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <system_error>

#include "Harness.h"
#include "Utilities/ErrorCategory.h"
#include "Utilities/String.h"
#include "Utilities/Throw.h"

namespace {

using vantorlib::string::LibraryErrorCategory;

std::string SystemText(DWORD code) { return vantorlib::string::ToUtf8(harness::SystemText(code)); }

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
