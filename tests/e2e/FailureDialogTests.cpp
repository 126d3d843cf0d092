// The failure dialog as a user sees it: title, exact text, exit code 1.
#include <gtest/gtest.h>

#include "Harness.h"

namespace {

harness::Outcome RunFixture(const std::wstring& arguments) {
  return harness::Run(harness::LaunchOf(harness::ProgramDirectory() + L"LauncherFixture.exe", arguments));
}

class FailureDialog : public testing::TestWithParam<std::pair<const wchar_t*, std::wstring>> {};

// A plain box (style 0: OK only, no icon) without an owner window.
TEST_P(FailureDialog, ShowsOneBoxWithTheExactTextAndExitsWithOne) {
  const harness::Outcome outcome = RunFixture(GetParam().first);
  EXPECT_EQ(outcome.debugOutput, std::vector<std::string>{"MessageBoxW owner none, style 0"});
  ASSERT_EQ(outcome.messageBoxes.size(), 1u);
  EXPECT_EQ(outcome.messageBoxes[0].title, L"VantorSetup failure");
  EXPECT_EQ(outcome.messageBoxes[0].text, GetParam().second + harness::kHelpLine);
  EXPECT_EQ(outcome.exitCode, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    ErrorKinds, FailureDialog,
    testing::Values(
        std::make_pair(L"runtime-error", std::wstring(L"Error: 'LockResource failed'")),
        std::make_pair(L"system-error-112", L"Error: 'WriteFile failed: " + harness::SystemText(112) + L" (112)'"),
        std::make_pair(L"invalid-utf8-what", std::wstring(L"Error: 'bad \uFFFD( and \uFFFD end'")),
        std::make_pair(L"throw-int", std::wstring(L"Unexpected error."))),
    [](const auto& info) { return harness::TestName(info.param.first); });

TEST(HandleRelease, FailedCloseIsLoggedAndEndsTheProcessWithoutADialog) {
  const std::wstring folder = harness::NewTempFolder(L"vantor-bad-close-");
  const std::wstring log = folder + L"\\close.log";

  const harness::Outcome outcome = RunFixture(L"bad-close " + harness::Quote(log));

  EXPECT_TRUE(outcome.messageBoxes.empty());
  EXPECT_EQ(outcome.exitCode, 3u);  // the C runtime's abort
  const std::string line = harness::ReadAll(log);
  EXPECT_EQ(line.size() > 28 ? line.substr(28) : line, " ERROR : CloseHandle failed: 6\r\n");
  harness::RemoveTree(folder);
}

}  // namespace
