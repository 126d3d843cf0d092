#pragma once

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

namespace vantorlib::log {

// Level vocabulary: names and one-letter forms, indexed alike.
enum class LogLevel { Debug, Info, Warning, Error, Always, Off };
extern const char* const kLogLevelNames[6];
extern const char* const kLogLevelLetters[6];

// Appends one time-stamped, escaped line per Write to a file, opening and
// closing it each time with full sharing so separate writers interleave lines.
class FileLogger {
 public:
  explicit FileLogger(std::wstring path) : path_(std::move(path)) {}

  // Never changes the thread's last-error code. A file that cannot be opened
  // loses the line silently.
  void Write(const char* tag, const std::string& message) const;

 private:
  std::wstring path_;
};

// The process-wide logger slot. Empty unless a program installs a logger;
// while it is empty, log statements have no effect.
extern std::unique_ptr<FileLogger> GlobalLogger;

// Makes a message safe for one log line: backslash and the common control
// characters become two-character escapes (\\ \n \r \0 \f \t \v \b \a), other
// control bytes \xNN. Bytes from 0x80 up (UTF-8) stay as they are.
std::string EscapeLogText(std::string text);

// One log statement: collects insertions and hands the text to the global
// logger, if any, when it ends. Never raises.
class LogRecord {
 public:
  explicit LogRecord(const char* tag) : tag_(tag) {}
  LogRecord(const LogRecord&) = delete;
  LogRecord& operator=(const LogRecord&) = delete;
  ~LogRecord();

  LogRecord& operator<<(const char* text) noexcept;
  LogRecord& operator<<(std::uint32_t value) noexcept;

  // One-shot flag of the statement form below.
  bool Done() const noexcept { return done_; }
  void SetDone() noexcept { done_ = true; }

 private:
  bool done_ = false;
  const char* tag_;
  std::ostringstream stream_;
};

}  // namespace vantorlib::log

// Statement form: VANTOR_LOG("ERROR") << "text" << code;
// The insertions run exactly once; the record emits at the end of the statement.
#define VANTOR_LOG(tag)                                                       \
  for (::vantorlib::log::LogRecord vantorLogRecord_(tag); !vantorLogRecord_.Done(); \
       vantorLogRecord_.SetDone())                                            \
  vantorLogRecord_
