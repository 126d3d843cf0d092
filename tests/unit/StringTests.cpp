#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "Utilities/String.h"

namespace {

using namespace std::string_literals;
using vantorlib::string::ToDecimalString;
using vantorlib::string::ToUtf16;
using vantorlib::string::ToUtf8;

TEST(Utf, RoundTripsEveryPlaneEmbeddedNulsAndViewsWithoutTerminator) {
  // U+00E9, U+20AC, U+1D11E (a surrogate pair) and a NUL in the middle.
  const std::wstring wide = L"a\u00E9\u20AC\0z\U0001D11E"s;
  const std::string narrow = "a\xC3\xA9\xE2\x82\xAC\0z\xF0\x9D\x84\x9E"s;
  EXPECT_EQ(ToUtf8(wide), narrow);
  EXPECT_EQ(ToUtf16(narrow), wide);
  EXPECT_EQ(ToUtf8(std::wstring_view(L"abcdef", 3)), "abc");
  EXPECT_EQ(ToUtf16(std::string_view("abcdef", 3)), L"abc");
  EXPECT_EQ(ToUtf8(L""), "");
}

TEST(Utf, InvalidInputBecomesReplacementCharacters) {
  EXPECT_EQ(ToUtf8(std::wstring{L'x', wchar_t(0xD800), L'y'}), "x\xEF\xBF\xBDy");
  EXPECT_EQ(ToUtf16("a\xFF" "b"), L"a\uFFFDb");
  EXPECT_EQ(ToUtf16("\xC3"), L"\uFFFD");  // truncated sequence at the end
}

TEST(Utf, WorstCaseExpansionFitsTheBuffer) {
  // Every unit of U+0800..U+FFFF needs three bytes: the largest growth there is.
  const std::wstring wide(5000, L'\u20AC');
  EXPECT_EQ(ToUtf8(wide).size(), 15000u);
  EXPECT_EQ(ToUtf16(ToUtf8(wide)), wide);
}

TEST(DecimalString, Extremes) {
  EXPECT_EQ(ToDecimalString(std::numeric_limits<std::int32_t>::min()), "-2147483648");
  EXPECT_EQ(ToDecimalString(std::numeric_limits<std::uint32_t>::max()), "4294967295");
  EXPECT_EQ(ToDecimalString(std::int32_t{0}), "0");
}

}  // namespace
