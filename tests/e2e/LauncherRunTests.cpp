// Whole launcher runs on test payloads: what the installer receives, what
// others can do to the extracted files, exit codes, failures, and clean-up.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <system_error>

#include "Harness.h"
#include "Utilities/String.h"

namespace {

using vantorlib::string::ToUtf16;

std::map<std::string, std::string> ReadReport(const std::wstring& path) {
  std::ifstream file(std::filesystem::path(path), std::ios::binary);
  std::map<std::string, std::string> values;
  for (std::string line; std::getline(file, line);) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return values;
}

// Starts `launch` outside the debugger, without waiting; its process, or null.
HANDLE Start(const harness::Launch& launch) {
  std::vector<wchar_t> environment = harness::EnvironmentBlock(*launch.environment);
  std::wstring commandLine = launch.commandLine;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(launch.application.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT, environment.data(), nullptr, &startup, &info)) {
    return nullptr;
  }
  ::CloseHandle(info.hThread);
  return info.hProcess;
}

// The exit code of a started process, ended first if it still runs.
DWORD Finish(HANDLE process) {
  DWORD exitCode = 0;
  ::TerminateProcess(process, 0xDEAD);  // no effect on one that has ended
  ::WaitForSingleObject(process, 10000);
  ::GetExitCodeProcess(process, &exitCode);
  ::CloseHandle(process);
  return exitCode;
}

// A launcher run with a private TMP/TEMP folder, so that whatever a run leaves
// behind there can be seen exactly.
class LauncherRun : public testing::Test {
 protected:
  void SetUp() override {
    base_ = harness::NewTempFolder(L"vantor-run-");
    temp_ = base_ + L"\\tmp\\";
    report_ = base_ + L"\\report.txt";
    ::CreateDirectoryW(temp_.c_str(), nullptr);
  }
  void TearDown() override { harness::RemoveTree(base_); }

  harness::Launch Launch(const std::wstring& launcher, const std::wstring& arguments, std::wstring temp = L"",
                         const std::wstring& report = L"") {
    if (temp.empty()) temp = temp_;
    launcher_ = harness::ProgramDirectory() + launcher;
    harness::Launch launch = harness::LaunchOf(launcher_, arguments);
    launch.environment = harness::EnvironmentWith(
        {{L"TMP", temp}, {L"TEMP", temp}, {L"VANTOR_PROBE_REPORT", report.empty() ? report_ : report}});
    launch.whileDialogShown = [this] { leftWhileDialogShown_ = harness::Entries(temp_); };
    return launch;
  }
  harness::Outcome Run(const std::wstring& launcher, const std::wstring& arguments, const std::wstring& temp = L"") {
    return harness::Run(Launch(launcher, arguments, temp));
  }
  std::map<std::string, std::string> Report() const { return ReadReport(report_); }

  // The run left nothing in its temporary directory.
  void ExpectNothingLeft() const {
    for (const std::wstring& name : harness::Entries(temp_)) {
      ADD_FAILURE() << "left in TMP: " << std::filesystem::path(name).string();
    }
  }

  void ExpectSuccess(const harness::Outcome& outcome, DWORD exitCode) const {
    EXPECT_EQ(outcome.exitCode, exitCode);
    EXPECT_TRUE(outcome.messageBoxes.empty());
    EXPECT_FALSE(outcome.timedOut);
  }

  // One dialog, shown once the run had removed all it made.
  void ExpectFailure(const harness::Outcome& outcome, const std::wstring& firstLine) const {
    ASSERT_EQ(outcome.messageBoxes.size(), 1u);
    EXPECT_EQ(outcome.messageBoxes[0].title, L"VantorSetup failure");
    EXPECT_EQ(outcome.messageBoxes[0].text, firstLine + harness::kHelpLine);
    EXPECT_EQ(outcome.exitCode, 1u);
    EXPECT_EQ(leftWhileDialogShown_, std::vector<std::wstring>{});
    ExpectNothingLeft();
  }

  std::wstring base_, temp_, report_, launcher_;
  std::vector<std::wstring> leftWhileDialogShown_{L"<no dialog>"};
};

// The installer gets its command line, folder and the launcher's path, and
// can read and run its payload files but not change them while it runs.
TEST_F(LauncherRun, InstallerGetsTheCommandLineFolderAndLauncherPathAndLockedFiles) {
  const harness::Launch launch =
      Launch(L"ProbeLauncher.exe", L"/quiet \"C:\\Program Files\\D\u00E9mo \u2713\" x=\"a b\"");
  ExpectSuccess(harness::Run(launch), 0);
  auto report = Report();
  EXPECT_EQ(ToUtf16(report["commandLine"]), launch.commandLine);
  const std::wstring folder = ToUtf16(report["currentDirectory"]);
  EXPECT_EQ(folder.rfind(temp_ + L"VantorSetup-", 0), 0u) << report["currentDirectory"];
  EXPECT_EQ(ToUtf16(report["module"]), folder + L"\\Setup.exe");
  EXPECT_EQ(ToUtf16(report["launcherPath"]), launcher_);
  EXPECT_EQ(report["PATH"], "<unset>");  // the launcher's hardening deleted it
  ExpectNothingLeft();
  const std::string locked = "read=0 execute=0 write=32 delete-access=32 delete=32 rename=32";
  EXPECT_EQ(report["Setup.exe"], locked);
  EXPECT_EQ(report["scf.dat"], locked);
}

// Both delay-loaded DLLs are bound, and cryptbase.dll (held while the folder
// name is drawn) is released again, before the installer starts.
TEST_F(LauncherRun, SystemDllsBoundAndCryptbaseReleasedBeforeTheInstallerStarts) {
  harness::Launch launch = Launch(L"ProbeLauncher.exe", L"/exitcode:4");
  launch.followChildren = true;
  const harness::Outcome outcome = harness::Run(launch);
  ExpectSuccess(outcome, 4);
  const auto start = std::find(outcome.events.begin(), outcome.events.end(), L"start child");
  ASSERT_NE(start, outcome.events.end());
  const std::vector<std::wstring> before(outcome.events.begin(), start);
  const auto at = [&](const std::wstring& event) { return std::find(before.begin(), before.end(), event); };
  for (const wchar_t* event :
       {L"load user32.dll", L"load advapi32.dll", L"load cryptbase.dll", L"unload cryptbase.dll"}) {
    EXPECT_NE(at(event), before.end()) << std::filesystem::path(event).string();
  }
  EXPECT_LT(at(L"load cryptbase.dll"), at(L"unload cryptbase.dll"));
}

class ExitCodes : public LauncherRun, public testing::WithParamInterface<std::wstring> {};

TEST_P(ExitCodes, PassThroughUnchanged) {
  const harness::Outcome outcome = Run(L"ProbeLauncher.exe", GetParam());
  const DWORD expected = GetParam() == L"/crash" ? EXCEPTION_ACCESS_VIOLATION
                                                 : std::stoul(GetParam().substr(GetParam().find(L':') + 1));
  ExpectSuccess(outcome, expected);
  ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Values, ExitCodes,
                         testing::Values(L"/exitcode:259", L"/exitcode:4294967295", L"/crash"),
                         [](const auto& info) { return harness::TestName(info.param); });

// A failure shows one dialog, ends with 1 and leaves nothing behind: not even
// the installer written before the manifest failed.
class Failing : public LauncherRun, public testing::WithParamInterface<std::pair<const wchar_t*, std::wstring>> {};

TEST_P(Failing, LauncherShowsItsErrorAndLeavesNothing) { ExpectFailure(Run(GetParam().first, L""), GetParam().second); }

INSTANTIATE_TEST_SUITE_P(
    Payloads, Failing,
    testing::Values(
        std::make_pair(L"NoInstallerLauncher.exe",
                       L"Error: 'FindResourceW failed for ID 100: " + harness::SystemText(1814) + L" (1814)'"),
        std::make_pair(L"NoManifestLauncher.exe",
                       L"Error: 'FindResourceW failed for ID 101: " + harness::SystemText(1814) + L" (1814)'"),
        std::make_pair(L"EmptyInstallerLauncher.exe", std::wstring(L"Error: 'Resource ID 100 is empty'")),
        std::make_pair(L"NotExecutableLauncher.exe",
                       std::wstring(L"Error: 'CreateProcessW/CreateProcessAsUserW failed: 193'"))),
    [](const auto& info) { return harness::TestName(info.param.first); });

// A temporary path longer than the launcher's buffer fails as too long, with
// the path where the system gives it: Windows reports the length it needs and
// the path can be read with a larger buffer; Wine refuses the call itself
// (error 206), and the path stays unknown.
TEST_F(LauncherRun, TemporaryDirectoryLongerThanTheBuffer) {
  const std::wstring deep = temp_ + std::wstring(150, L'x') + L"\\" + std::wstring(150, L'y') + L"\\";
  std::filesystem::create_directories(L"\\\\?\\" + deep);
  const harness::Outcome outcome = Run(L"ProbeLauncher.exe", L"", deep);
  ASSERT_EQ(outcome.messageBoxes.size(), 1u);
  const std::wstring text = outcome.messageBoxes[0].text;
  const std::wstring problem =
      L"Error: 'temp_directory_path: " + ToUtf16(std::system_category().message(206)) + L": \"";
  EXPECT_EQ(text.substr(0, problem.size()), problem) << std::filesystem::path(text).string();
  const std::wstring path = text.substr(problem.size(), text.find(L"\"'") - problem.size());
  EXPECT_TRUE(path.empty() || path == deep) << std::filesystem::path(path).string();
  EXPECT_EQ(outcome.exitCode, 1u);
  EXPECT_TRUE(harness::Entries(deep).empty());
}

// Removal walks without recursion: a tree this deep overflowed the launcher's
// 1 MiB stack when each level took a stack frame (about 750 bytes a level on
// x64, 690 on x86). Deeper trees cannot be made under Wine, whose Unix paths
// end at 4,096 bytes.
TEST_F(LauncherRun, DeepLeftoversAreRemovedAndTheExitCodeKept) {
  const std::wstring depth = sizeof(void*) == 8 ? L"1500" : L"1700";
  harness::Launch launch = Launch(L"ProbeLauncher.exe", L"/junk /deep:" + depth + L" /exitcode:7");
  launch.timeoutMs = 280000;
  ExpectSuccess(harness::Run(launch), 7);
  EXPECT_EQ(Report()["junk"], "made");  // its own files created, renamed and deleted in the held folder
  EXPECT_EQ(Report()["deep"], "made");
  ExpectNothingLeft();
}

// A directory link left in the folder is deleted as an entry, never followed.
// (Wine deletes no directory link whose target has content, so only the
// target's safety is checked here; on Windows the folder goes as well.)
TEST_F(LauncherRun, LinkTargetsKeepTheirContent) {
  const std::wstring outside = base_ + L"\\outside";
  std::filesystem::create_directories(outside);
  std::ofstream(std::filesystem::path(outside + L"\\keep.txt")) << "keep";

  ExpectSuccess(Run(L"ProbeLauncher.exe", L"/junk /link:" + outside + L" /exitcode:7"), 7);
  ASSERT_EQ(Report()["link"], "made");
  EXPECT_EQ(harness::Entries(outside), std::vector<std::wstring>{L"keep.txt"});
}

// A file that cannot be deleted (read-only, or held open by a process the
// installer left running) ends the removal: the folder stays with it, and
// the exit code is the installer's.
class Undeletable : public LauncherRun,
                    public testing::WithParamInterface<std::pair<const wchar_t*, const wchar_t*>> {};

TEST_P(Undeletable, LeftoverKeepsTheFolderAndTheExitCode) {
  ExpectSuccess(Run(L"ProbeLauncher.exe", std::wstring(GetParam().first) + L" /exitcode:5"), 5);
  const auto left = harness::Entries(temp_);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].rfind(L"VantorSetup-", 0), 0u);
  EXPECT_TRUE(std::filesystem::exists(temp_ + left[0] + L"\\" + GetParam().second));
  const DWORD holder = static_cast<DWORD>(std::stoul("0" + Report()["holder"]));
  if (const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, holder)) {
    ::WaitForSingleObject(process, 10000);
    ::CloseHandle(process);
  }
}

INSTANTIATE_TEST_SUITE_P(Leftovers, Undeletable,
                         testing::Values(std::make_pair(L"/readonly", L"locked.txt"),
                                         std::make_pair(L"/hold", L"held.txt")),
                         [](const auto& info) { return harness::TestName(info.param.first); });

// Launchers started together each get a folder of their own, return their
// own installer's exit code and leave nothing behind.
TEST_F(LauncherRun, ManyLaunchersAtOnce) {
  constexpr DWORD kLaunchers = 8;
  std::vector<HANDLE> processes;
  for (DWORD i = 0; i < kLaunchers; ++i) {
    processes.push_back(Start(Launch(L"ProbeLauncher.exe", L"/exitcode:" + std::to_wstring(100 + i), L"",
                                     base_ + L"\\report" + std::to_wstring(i) + L".txt")));
    ASSERT_NE(processes.back(), nullptr);
  }
  // A failure would wait in its dialog: give them a minute together.
  EXPECT_EQ(::WaitForMultipleObjects(kLaunchers, processes.data(), TRUE, 60000), WAIT_OBJECT_0);
  std::set<std::string> folders;
  for (DWORD i = 0; i < kLaunchers; ++i) {
    EXPECT_EQ(Finish(processes[i]), 100 + i);
    folders.insert(ReadReport(base_ + L"\\report" + std::to_wstring(i) + L".txt")["currentDirectory"]);
  }
  EXPECT_EQ(folders.size(), kLaunchers);
  ExpectNothingLeft();
}

// Leftovers of killed runs are swept at start, while the folder of a launcher
// still running in the same temporary directory is kept: both launchers
// succeed, and nothing remains once they are done.
TEST_F(LauncherRun, StaleFoldersGoWhileARunningLaunchersFolderStays) {
  const std::wstring release = base_ + L"\\release";
  const HANDLE first =
      Start(Launch(L"ProbeLauncher.exe", L"/wait-for:" + release + L" /exitcode:3", L"", base_ + L"\\first.txt"));
  ASSERT_NE(first, nullptr);
  std::vector<std::wstring> running;
  for (int waited = 0; waited < 500 && running.empty(); ++waited) {
    ::Sleep(20);
    running = harness::Entries(temp_);
  }
  ASSERT_EQ(running.size(), 1u);
  ASSERT_TRUE(harness::WaitFor(temp_ + running[0] + L"\\scf.dat", true));
  for (const wchar_t* stale : {L"VantorSetup-11\\cache\\nested", L"VantorSetup-12"}) {
    std::filesystem::create_directories(temp_ + stale);
  }
  std::ofstream(std::filesystem::path(temp_ + L"VantorSetup-11\\Setup.exe")) << "left by a killed run";

  ExpectSuccess(Run(L"ProbeLauncher.exe", L"/exitcode:4"), 4);
  EXPECT_EQ(harness::Entries(temp_), running);
  EXPECT_TRUE(std::filesystem::exists(temp_ + running[0] + L"\\Setup.exe"));

  std::ofstream(std::filesystem::path(release)) << "go";
  EXPECT_EQ(::WaitForSingleObject(first, 60000), WAIT_OBJECT_0);
  EXPECT_EQ(Finish(first), 3u);
  ExpectNothingLeft();
}

// A window station of the test's own, which nobody sees (as a service's or a
// deployment agent's), with its desktop.
class UnseenDesktop {
 public:
  UnseenDesktop() : name_(L"vantor-unseen-" + std::to_wstring(::GetCurrentProcessId())) {
    station_ = ::CreateWindowStationW(name_.c_str(), 0, WINSTA_ALL_ACCESS, nullptr);
    const HWINSTA ours = ::GetProcessWindowStation();
    if (station_ == nullptr || !::SetProcessWindowStation(station_)) return;
    desktop_ = ::CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    ::SetProcessWindowStation(ours);
  }
  UnseenDesktop(const UnseenDesktop&) = delete;
  UnseenDesktop& operator=(const UnseenDesktop&) = delete;
  ~UnseenDesktop() {
    if (desktop_ != nullptr) ::CloseDesktop(desktop_);
    if (station_ != nullptr) ::CloseWindowStation(station_);
  }
  bool Made() const { return desktop_ != nullptr; }
  std::wstring Name() const { return name_ + L"\\Default"; }

 private:
  std::wstring name_;
  HWINSTA station_ = nullptr;
  HDESK desktop_ = nullptr;
};

// There a dialog would wait forever: the failure goes to the debugger output
// instead, and the launcher ends at once with 1, having removed what it made.
TEST_F(LauncherRun, FailureWhereNobodySeesEndsWithoutADialog) {
  const UnseenDesktop unseen;
  ASSERT_TRUE(unseen.Made()) << ::GetLastError();
  const std::wstring missing = temp_ + L"missing\\";
  harness::Launch launch = Launch(L"ProbeLauncher.exe", L"", missing);
  launch.desktop = unseen.Name();
  launch.timeoutMs = 30000;
  const harness::Outcome outcome = harness::Run(launch);
  EXPECT_FALSE(outcome.timedOut);
  EXPECT_EQ(outcome.exitCode, 1u);
  EXPECT_TRUE(outcome.messageBoxes.empty());
  const std::string reason = std::make_error_code(std::errc::not_a_directory).message();
  const std::string text = "Error: 'temp_directory_path: " + reason + ": \"" +
                           vantorlib::string::ToUtf8(missing) + "\"'" + vantorlib::string::ToUtf8(harness::kHelpLine);
  EXPECT_EQ(outcome.debugOutput, std::vector<std::string>{text});
  ExpectNothingLeft();
}

}  // namespace
