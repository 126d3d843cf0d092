#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "Harness.h"
#include "Utilities/ErrorCategory.h"
#include "Utilities/String.h"

namespace {

using vantorlib::string::LibraryErrorCategory;

std::string SystemText(DWORD code) { return vantorlib::string::ToUtf8(harness::SystemText(code)); }

TEST(ErrorCategory, SystemTextTrimmedWithTheCodeReadUnsigned) {
  for (const DWORD code : {0ul, 5ul, 112ul}) {
    ASSERT_FALSE(SystemText(code).empty()) << code;
    EXPECT_EQ(LibraryErrorCategory().message(static_cast<int>(code)),
              SystemText(code) + " (" + std::to_string(code) + ")");
  }
  EXPECT_EQ(LibraryErrorCategory().message(536870913), "Unknown error (536870913)");
  const std::string negative = LibraryErrorCategory().message(-1);
  EXPECT_EQ(negative.substr(negative.size() - 12), "(4294967295)") << negative;
}

}  // namespace
