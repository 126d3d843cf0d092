#pragma once

#include <array>

#include <windows.h>

namespace vantorlib::time {

// Broken-down UTC time of a file time. Raises "FileTimeToSystemTime failed: "
// plus the code for a file time the platform cannot convert.
SYSTEMTIME as_systemtime(const FILETIME& fileTime);

// "YYYY-MM-DDThh:mm:ss.fffffffZ": exactly 28 characters, no terminating NUL,
// with the file time's full 100-nanosecond precision. Raises "Result size
// doesn't match output" for years past 9999.
std::array<char, 28> as_utc_iso8601(const FILETIME& fileTime);

}  // namespace vantorlib::time
