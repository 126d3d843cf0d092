#include "Utilities/TimeUtil.h"

#include <algorithm>
#include <cstdint>
#include <iomanip>
#include <sstream>

#include "Utilities/LocatedError.h"

namespace vantorlib::time {

SYSTEMTIME as_systemtime(const FILETIME& fileTime) {
  SYSTEMTIME result{};
  if (!::FileTimeToSystemTime(&fileTime, &result)) {
    const DWORD code = ::GetLastError();
    std::ostringstream message;
    message << "FileTimeToSystemTime failed: " << static_cast<unsigned long>(code);
    ThrowRuntimeError(message.str(), VANTOR_LOCATION("as_systemtime"));
  }
  return result;
}

std::array<char, 28> as_utc_iso8601(const FILETIME& fileTime) {
  const SYSTEMTIME time = as_systemtime(fileTime);
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;

  std::ostringstream out;
  out.exceptions(std::ios::failbit | std::ios::badbit);
  out << std::setfill('0')                                   //
      << std::setw(4) << time.wYear << '-'                   //
      << std::setw(2) << time.wMonth << '-'                  //
      << std::setw(2) << time.wDay << 'T'                    //
      << std::setw(2) << time.wHour << ':'                   //
      << std::setw(2) << time.wMinute << ':'                 //
      << std::setw(2) << time.wSecond << '.'                 //
      << std::setw(3) << time.wMilliseconds                  //
      << std::setw(4) << (ticks % 10000) << 'Z';             // ticks inside the millisecond
  const std::string text = out.str();

  std::array<char, 28> result;
  if (text.size() != result.size()) {
    ThrowRuntimeError("Result size doesn't match output", VANTOR_LOCATION("as_utc_iso8601"));
  }
  std::copy(text.begin(), text.end(), result.begin());
  return result;
}

}  // namespace vantorlib::time
