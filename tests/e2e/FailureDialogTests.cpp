// The failure report as a user, an administrator or a deployment tool sees it:
// dialog or debugger output, event record, exact text, exit code 1.
#include <gtest/gtest.h>

#include <tuple>

#include "Harness.h"
#include "Utilities/String.h"

namespace {

harness::Outcome RunFixture(const std::wstring& arguments) {
  return harness::Run(harness::LaunchOf(harness::ProgramDirectory() + L"LauncherFixture.exe", arguments));
}

// How a failure is reported, by where the launcher runs: the event record
// always comes first (unless the log refuses it), then a plain box (style 0:
// OK only, no icon) without an owner window where the window station is
// visible, or else the same text in the debugger output and no box at all.
struct Reporting {
  const wchar_t* options;
  bool visible;
  bool logged;
};

class FailureDialog
    : public testing::TestWithParam<std::tuple<std::pair<const wchar_t*, std::wstring>, Reporting>> {};

TEST_P(FailureDialog, ReportsTheExactTextOnceAndExitsWithOne) {
  const auto& [kind, reporting] = GetParam();
  const std::wstring text = kind.second + harness::kHelpLine;
  const harness::Outcome outcome = RunFixture(std::wstring(kind.first) + L" \"" + reporting.options + L"\"");

  std::vector<std::string> expected{"RegisterEventSourceW VantorSetup"};
  if (reporting.logged) {
    expected.push_back("ReportEventW type 1, category 0, event 1, data 0: " + vantorlib::string::ToUtf8(text));
    expected.push_back("DeregisterEventSource");
  }
  expected.push_back(reporting.visible ? "MessageBoxW owner none, style 0" : vantorlib::string::ToUtf8(text));
  EXPECT_EQ(outcome.debugOutput, expected);
  ASSERT_EQ(outcome.messageBoxes.size(), reporting.visible ? 1u : 0u);
  if (reporting.visible) {
    EXPECT_EQ(outcome.messageBoxes[0].title, L"VantorSetup failure");
    EXPECT_EQ(outcome.messageBoxes[0].text, text);
  }
  EXPECT_EQ(outcome.exitCode, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    ErrorKinds, FailureDialog,
    testing::Combine(
        testing::Values(
            std::make_pair(L"runtime-error", std::wstring(L"Error: 'LockResource failed'")),
            std::make_pair(L"system-error-112", L"Error: 'WriteFile failed: " + harness::SystemText(112) + L" (112)'"),
            std::make_pair(L"invalid-utf8-what", std::wstring(L"Error: 'bad \uFFFD( and \uFFFD end'")),
            std::make_pair(L"throw-int", std::wstring(L"Unexpected error."))),
        testing::Values(Reporting{L"", true, true}, Reporting{L"invisible", false, true},
                        Reporting{L"no-event-log", true, false}, Reporting{L"invisible no-event-log", false, false})),
    [](const auto& info) {
      const Reporting& reporting = std::get<1>(info.param);
      return harness::TestName(std::get<0>(info.param).first) + (reporting.visible ? "Visible" : "Invisible") +
             (reporting.logged ? "Logged" : "NotLogged");
    });

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
