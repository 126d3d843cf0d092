#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include "Utilities/Logging.h"

namespace {

using namespace std::string_literals;
using vantorlib::log::EscapeLogText;
using vantorlib::log::FileLogger;
using vantorlib::log::GlobalLogger;

TEST(EscapeLogText, NamedEscapesAndBackslashesAreDoubledOnce) {
  EXPECT_EQ(EscapeLogText("a\\b"), "a\\\\b");
  EXPECT_EQ(EscapeLogText("line\nnext\r"), "line\\nnext\\r");
  EXPECT_EQ(EscapeLogText("\0\f\t\v\b\a"s), "\\0\\f\\t\\v\\b\\a");
  EXPECT_EQ(EscapeLogText("\\n"), "\\\\n");  // a literal backslash-n stays distinguishable
}

TEST(EscapeLogText, OtherControlBytesAreHexAndUtf8StaysIntact) {
  EXPECT_EQ(EscapeLogText("\x1b[0m"), "\\x1b[0m");
  EXPECT_EQ(EscapeLogText("\x7f"), "\\x7f");
  EXPECT_EQ(EscapeLogText("\x01\x1f"), "\\x01\\x1f");
  EXPECT_EQ(EscapeLogText("Gr\xC3\xB6\xC3\x9F" "e \xF0\x9D\x84\x9E"), "Gr\xC3\xB6\xC3\x9F" "e \xF0\x9D\x84\x9E");
  EXPECT_EQ(EscapeLogText(""), "");
}

class LogFile : public testing::Test {
 protected:
  void SetUp() override {
    path_ = std::filesystem::temp_directory_path() /
            ("vantor-log-" + std::to_string(::GetCurrentProcessId()) + ".log");
    std::filesystem::remove(path_);
  }
  void TearDown() override {
    GlobalLogger.reset();
    std::filesystem::remove(path_);
  }

  std::string Content() const {
    std::ifstream file(path_, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
  }

  std::filesystem::path path_;
};

// One line: 28-character UTC stamp, blank, tag, " : ", escaped message, CR LF.
const std::regex kLine(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{7}Z ([^ ]*) : (.*)\r\n)");

TEST_F(LogFile, WriteAppendsOneEscapedLinePerCall) {
  const FileLogger logger(path_.wstring());
  logger.Write("ERROR", "first\nsecond \\ third");
  logger.Write("INFO", "");
  const std::string content = Content();
  const std::size_t split = content.find("\r\n") + 2;
  std::smatch match;
  const std::string first = content.substr(0, split);
  const std::string second = content.substr(split);
  ASSERT_TRUE(std::regex_match(first, match, kLine)) << content;
  EXPECT_EQ(match[1], "ERROR");
  EXPECT_EQ(match[2], "first\\nsecond \\\\ third");
  ASSERT_TRUE(std::regex_match(second, match, kLine)) << content;
  EXPECT_EQ(match[1], "INFO");
  EXPECT_EQ(match[2], "");
}

TEST_F(LogFile, WriteKeepsTheLastErrorCode) {
  const FileLogger logger(path_.wstring());
  ::SetLastError(1234);
  logger.Write("ERROR", "x");
  EXPECT_EQ(::GetLastError(), 1234u);

  const FileLogger nowhere(L"");
  ::SetLastError(4321);
  nowhere.Write("ERROR", "x");
  EXPECT_EQ(::GetLastError(), 4321u);

  const FileLogger unopenable(L"Z:\\no\\such\\folder\\x.log");
  ::SetLastError(777);
  unopenable.Write("ERROR", "x");
  EXPECT_EQ(::GetLastError(), 777u);
}

TEST_F(LogFile, StatementsWithoutALoggerDoNothing) {
  ASSERT_FALSE(GlobalLogger);
  VANTOR_LOG("ERROR") << "CloseHandle failed: " << 6u;
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(LogFile, StatementsReachAnInstalledLoggerOnce) {
  GlobalLogger = std::make_unique<FileLogger>(path_.wstring());
  VANTOR_LOG("ERROR") << "CloseHandle failed: " << 4294967295u << static_cast<const char*>(nullptr);
  std::smatch match;
  const std::string content = Content();
  ASSERT_TRUE(std::regex_match(content, match, kLine)) << content;
  EXPECT_EQ(match[1], "ERROR");
  EXPECT_EQ(match[2], "CloseHandle failed: 4294967295<nullptr>");
}

}  // namespace
