#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <string>

#include <boost/exception/get_error_info.hpp>
#include <boost/throw_exception.hpp>

#include "Utilities/TimeUtil.h"

namespace {

using vantorlib::time::as_systemtime;
using vantorlib::time::as_utc_iso8601;

FILETIME Ticks(std::uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

std::string Iso(std::uint64_t ticks) {
  const auto text = as_utc_iso8601(Ticks(ticks));
  return std::string(text.begin(), text.end());
}

constexpr std::uint64_t kSecond = 10'000'000;
constexpr std::uint64_t kMillisecond = 10'000;
// 2024-02-29T09:05:07Z, counted from 1601-01-01.
constexpr std::uint64_t kLeapDay = 133'536'711'070'000'000;

TEST(Iso8601, EpochAndFractionDigits) {
  EXPECT_EQ(Iso(0), "1601-01-01T00:00:00.0000000Z");
  EXPECT_EQ(Iso(kSecond + 1), "1601-01-01T00:00:01.0000001Z");
  EXPECT_EQ(Iso(kMillisecond + 1), "1601-01-01T00:00:00.0010001Z");
  EXPECT_EQ(Iso(kMillisecond * 2 - 1), "1601-01-01T00:00:00.0019999Z");
  EXPECT_EQ(Iso(kMillisecond * 999 + 9999), "1601-01-01T00:00:00.9999999Z");
}

TEST(Iso8601, SmallFieldsAreZeroFilled) {
  EXPECT_EQ(Iso(kLeapDay + 42 * kMillisecond + 7), "2024-02-29T09:05:07.0420007Z");
}

TEST(Iso8601, LastRepresentableYearAndBeyond) {
  // 9999-12-31T23:59:59.9999999Z is the last time that fits 28 characters.
  constexpr std::uint64_t kYear10000 = 2'650'467'744'000'000'000;
  EXPECT_EQ(Iso(kYear10000 - 1), "9999-12-31T23:59:59.9999999Z");
  try {
    as_utc_iso8601(Ticks(kYear10000));
    FAIL() << "did not throw";
  } catch (const boost::wrapexcept<std::runtime_error>& error) {
    EXPECT_STREQ(error.what(), "Result size doesn't match output");
    EXPECT_STREQ(*boost::get_error_info<boost::throw_function>(error), "as_utc_iso8601");
    EXPECT_NE(std::string(*boost::get_error_info<boost::throw_file>(error)).find("TimeUtil"), std::string::npos);
  }
}

TEST(SystemTime, BrokenDownFieldsAndTopBitFailure) {
  const SYSTEMTIME time = as_systemtime(Ticks(kLeapDay));
  EXPECT_EQ(time.wYear, 2024);
  EXPECT_EQ(time.wMonth, 2);
  EXPECT_EQ(time.wDay, 29);
  EXPECT_EQ(time.wDayOfWeek, 4);  // Thursday
  EXPECT_EQ(time.wHour, 9);

  try {
    as_systemtime(Ticks(0x8000'0000'0000'0000ull));
    FAIL() << "did not throw";
  } catch (const boost::wrapexcept<std::runtime_error>& error) {
    EXPECT_EQ(std::string(error.what()).rfind("FileTimeToSystemTime failed: ", 0), 0u) << error.what();
    EXPECT_STREQ(*boost::get_error_info<boost::throw_function>(error), "as_systemtime");
  }
}

}  // namespace
