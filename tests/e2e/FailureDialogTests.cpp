// The failure dialog as a user sees it: title, exact text, exit code 1.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Harness.h"

namespace {

harness::Outcome RunFixture(const std::wstring& arguments) {
  harness::Launch launch;
  launch.application = harness::ProgramDirectory() + L"LauncherFixture.exe";
  launch.commandLine = harness::Quote(launch.application) + L" " + arguments;
  return harness::Run(launch);
}

struct DialogCase {
  const wchar_t* mode;
  std::wstring firstLine;
};

void PrintTo(const DialogCase& dialogCase, std::ostream* out) {
  for (const wchar_t* c = dialogCase.mode; *c != L'\0'; ++c) *out << static_cast<char>(*c);
}

class FailureDialog : public testing::TestWithParam<DialogCase> {};

TEST_P(FailureDialog, ShowsOneBoxWithTheExactTextAndExitsWithOne) {
  const harness::Outcome outcome = RunFixture(GetParam().mode);
  ASSERT_FALSE(outcome.timedOut);
  ASSERT_EQ(outcome.messageBoxes.size(), 1u);
  EXPECT_EQ(outcome.messageBoxes[0].title, L"VantorSetup failure");
  EXPECT_EQ(outcome.messageBoxes[0].text, GetParam().firstLine + harness::kHelpLine);
  EXPECT_EQ(outcome.exitCode, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    ErrorKinds, FailureDialog,
    testing::Values(
        DialogCase{L"runtime-error", L"Error: 'LockResource failed'"},
        DialogCase{L"system-error-112", L"Error: 'WriteFile failed: " + harness::SystemText(112) + L" (112)'"},
        DialogCase{L"empty-what", L"Error: ''"},
        DialogCase{L"utf8-what", L"Error: 'Gr\u00F6\u00DFe \u2713 \U0001D11E'"},
        DialogCase{L"invalid-utf8-what", L"Error: 'bad \uFFFD( and \uFFFD end'"},
        DialogCase{L"throw-int", L"Unexpected error."}),
    [](const testing::TestParamInfo<DialogCase>& info) {
      std::string name;
      for (const wchar_t* c = info.param.mode; *c != L'\0'; ++c) {
        if (iswalnum(*c)) name += static_cast<char>(*c);
      }
      return name;
    });

TEST(HandleRelease, FailedCloseIsLoggedAndEndsTheProcessWithoutADialog) {
  const std::wstring log = harness::TempDirectory() + L"vantor-bad-close-" + std::to_wstring(::GetCurrentProcessId()) + L".log";
  ::DeleteFileW(log.c_str());

  const harness::Outcome outcome = RunFixture(L"bad-close " + harness::Quote(log));

  EXPECT_TRUE(outcome.messageBoxes.empty());
  EXPECT_EQ(outcome.exitCode, 3u);  // the C runtime's abort
  std::ifstream file(std::filesystem::path(log), std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  const std::string line = content.str();
  ASSERT_EQ(line.size(), 28u + std::string(" ERROR : CloseHandle failed: 6\r\n").size()) << line;
  EXPECT_EQ(line.substr(28), " ERROR : CloseHandle failed: 6\r\n");
  file.close();
  ::DeleteFileW(log.c_str());
}

}  // namespace
