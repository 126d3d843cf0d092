#include "Utilities/Logging.h"

#include <ext/stdio_filebuf.h>
#include <share.h>

#include <cstdio>
#include <iomanip>
#include <ostream>
#include <string_view>
#include <utility>

#include <boost/algorithm/string/replace.hpp>

#include <windows.h>

#include "Utilities/TimeUtil.h"

namespace vantorlib::log {

const char* const kLogLevelNames[6] = {"Debug", "Info", "Warning", "Error", "Always", "Off"};
const char* const kLogLevelLetters[6] = {"D", "I", "W", "E", "A", "?"};

std::unique_ptr<FileLogger> GlobalLogger;

namespace {

// Puts the thread's last-error code back however the scope is left.
class LastErrorGuard {
 public:
  LastErrorGuard() noexcept : code_(::GetLastError()) {}
  LastErrorGuard(const LastErrorGuard&) = delete;
  LastErrorGuard& operator=(const LastErrorGuard&) = delete;
  ~LastErrorGuard() { ::SetLastError(code_); }

 private:
  DWORD code_;
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

void FileLogger::Write(const char* tag, const std::string& message) const {
  const LastErrorGuard lastError;
  if (path_.empty()) return;

  // Text-mode append with deny-none sharing; the runtime stores "\n" as CR LF.
  std::unique_ptr<std::FILE, FileCloser> file(::_wfsopen(path_.c_str(), L"at", _SH_DENYNO));
  if (!file) return;

  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  const auto stamp = time::as_utc_iso8601(now);

  __gnu_cxx::stdio_filebuf<char> buffer(file.get(), std::ios::out | std::ios::app);
  std::ostream out(&buffer);
  out.write(stamp.data(), static_cast<std::streamsize>(stamp.size()));
  out << ' ' << tag << " : " << EscapeLogText(message) << '\n';
  out.flush();
}

std::string EscapeLogText(std::string text) {
  // Backslashes first, so the ones inserted below are not doubled again.
  using namespace std::string_view_literals;
  static constexpr std::pair<std::string_view, std::string_view> kEscapes[] = {
      {"\\"sv, "\\\\"sv}, {"\n"sv, "\\n"sv}, {"\r"sv, "\\r"sv}, {"\0"sv, "\\0"sv}, {"\f"sv, "\\f"sv},
      {"\t"sv, "\\t"sv},   {"\v"sv, "\\v"sv}, {"\b"sv, "\\b"sv}, {"\a"sv, "\\a"sv}};
  for (const auto& [from, to] : kEscapes) boost::replace_all(text, from, to);

  std::ostringstream out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x1F || byte == 0x7F) {
      out << "\\x" << std::hex << std::setw(2) << std::setfill('0') << static_cast<unsigned>(byte);
    } else {
      out << c;
    }
  }
  return out.str();
}

LogRecord::~LogRecord() {
  if (!GlobalLogger) return;
  try {
    GlobalLogger->Write(tag_, stream_.str());
  } catch (const std::exception&) {
  }
}

LogRecord& LogRecord::operator<<(const char* text) noexcept {
  try {
    stream_ << (text != nullptr ? text : "<nullptr>");
  } catch (const std::exception&) {
  }
  return *this;
}

LogRecord& LogRecord::operator<<(std::uint32_t value) noexcept {
  try {
    stream_ << value;
  } catch (const std::exception&) {
  }
  return *this;
}

}  // namespace vantorlib::log
