#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "Utilities/TimeUtil.h"

namespace {

using vantorlib::time::as_systemtime;
using vantorlib::time::as_utc_iso8601;

FILETIME Ticks(std::uint64_t ticks) { return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}; }

std::string Iso(std::uint64_t ticks) {
  const auto text = as_utc_iso8601(Ticks(ticks));
  return std::string(text.begin(), text.end());
}

TEST(Iso8601, FieldsZeroFilledToTheLastTick) {
  EXPECT_EQ(Iso(0), "1601-01-01T00:00:00.0000000Z");
  EXPECT_EQ(Iso(10'000 * 2 - 1), "1601-01-01T00:00:00.0019999Z");
  // 2024-02-29T09:05:07Z, 42 ms and 7 ticks.
  EXPECT_EQ(Iso(133'536'711'070'000'000 + 420'007), "2024-02-29T09:05:07.0420007Z");
  EXPECT_EQ(Iso(2'650'467'744'000'000'000 - 1), "9999-12-31T23:59:59.9999999Z");
}

TEST(Iso8601, TimesThatDoNotFitOrConvertAreErrors) {
  EXPECT_THROW(as_utc_iso8601(Ticks(2'650'467'744'000'000'000)), std::runtime_error);  // year 10000
  EXPECT_THROW(as_systemtime(Ticks(0x8000'0000'0000'0000ull)), std::runtime_error);
}

}  // namespace
