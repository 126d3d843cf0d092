#include <gtest/gtest.h>

#include <windows.h>

#include <regex>

#include "Harness.h"
#include "Utilities/Logging.h"

namespace {

using namespace std::string_literals;
using vantorlib::log::EscapeLogText;
using vantorlib::log::FileLogger;
using vantorlib::log::GlobalLogger;

TEST(EscapeLogText, ControlCharactersAreEscapedAndUtf8Kept) {
  EXPECT_EQ(EscapeLogText("a\\b\nc\r\0\t"s), "a\\\\b\\nc\\r\\0\\t");
  EXPECT_EQ(EscapeLogText("\\n"), "\\\\n");  // a literal backslash-n stays distinguishable
  EXPECT_EQ(EscapeLogText("\x1b[0m\x7f"), "\\x1b[0m\\x7f");
  EXPECT_EQ(EscapeLogText("Gr\xC3\xB6\xC3\x9F" "e"), "Gr\xC3\xB6\xC3\x9F" "e");
}

class LogFile : public testing::Test {
 protected:
  void TearDown() override {
    GlobalLogger.reset();
    harness::RemoveTree(folder_);
  }

  const std::wstring folder_ = harness::NewTempFolder(L"vantor-log-");
  const std::wstring path_ = folder_ + L"\\test.log";
};

// One line: 28-character UTC stamp, blank, tag, " : ", escaped message, CR LF.
const std::regex kLines(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{7}Z ([^ ]*) : (.*)\r\n)+)");

TEST_F(LogFile, EachWriteAppendsOneEscapedLineAndKeepsTheLastErrorCode) {
  const FileLogger logger(path_);
  ::SetLastError(1234);
  logger.Write("ERROR", "first\nsecond");
  EXPECT_EQ(::GetLastError(), 1234u);
  logger.Write("INFO", "");
  const std::string content = harness::ReadAll(path_);
  ASSERT_TRUE(std::regex_match(content, kLines)) << content;
  EXPECT_NE(content.find(" ERROR : first\\nsecond\r\n"), std::string::npos) << content;
  EXPECT_NE(content.find(" INFO : \r\n"), std::string::npos) << content;

  const FileLogger unopenable(L"Z:\\no\\such\\folder\\x.log");
  ::SetLastError(777);
  unopenable.Write("ERROR", "x");
  EXPECT_EQ(::GetLastError(), 777u);
}

}  // namespace
