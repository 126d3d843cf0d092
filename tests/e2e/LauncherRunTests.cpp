// Whole launcher runs on test payloads: what the installer receives, what
// others can do to the extracted files, exit codes, failures, and clean-up.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

#include "Harness.h"
#include "Utilities/String.h"

namespace {

using vantorlib::string::ToUtf16;

std::vector<std::wstring> Entries(const std::wstring& folder) {
  std::vector<std::wstring> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  return names;
}

// A launcher run with a private TMP/TEMP folder, so that whatever a run leaves
// behind there can be seen exactly.
class LauncherRun : public testing::Test {
 protected:
  void SetUp() override {
    // Unique per run: a folder holding a link to a non-empty folder cannot
    // be removed under Wine, and must not meet a later run.
    const std::wstring base = harness::NewTempFolder(L"vantor-run-");
    temp_ = base + L"\\tmp\\";
    report_ = base + L"\\report.txt";
    std::filesystem::create_directories(temp_);
    base_ = base;
  }
  void TearDown() override {
    for (const std::wstring& name : Entries(temp_)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(temp_ + name)) {
        ::SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
      }
    }
    harness::RemoveTree(base_);
  }

  harness::Outcome Run(const std::wstring& launcher, const std::wstring& arguments,
                       const std::wstring& temp = L"") {
    launcher_ = harness::ProgramDirectory() + launcher;
    harness::Launch launch;
    launch.application = launcher_;
    launch.commandLine = harness::Quote(launcher_) + L" " + arguments;
    launch.environment = harness::CurrentEnvironment();
    const std::wstring tempValue = temp.empty() ? temp_ : temp;
    harness::SetVariable(*launch.environment, L"TMP", tempValue);
    harness::SetVariable(*launch.environment, L"TEMP", tempValue);
    harness::SetVariable(*launch.environment, L"VANTOR_PROBE_REPORT", report_);
    commandLine_ = launch.commandLine;
    return harness::Run(launch);
  }

  std::map<std::string, std::string> Report() const {
    std::ifstream file(std::filesystem::path(report_), std::ios::binary);
    std::map<std::string, std::string> values;
    for (std::string line; std::getline(file, line);) {
      const std::size_t equals = line.find('=');
      if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
  }

  // The run left nothing in its temporary directory.
  void ExpectNothingLeft() const { EXPECT_TRUE(Entries(temp_).empty()) << "left in TMP"; }

  void ExpectFailure(const harness::Outcome& outcome, const std::wstring& firstLine) const {
    ASSERT_EQ(outcome.messageBoxes.size(), 1u);
    EXPECT_EQ(outcome.messageBoxes[0].title, L"VantorSetup failure");
    EXPECT_EQ(outcome.messageBoxes[0].text, firstLine + harness::kHelpLine);
    EXPECT_EQ(outcome.exitCode, 1u);
    ExpectNothingLeft();
  }

  std::wstring base_, temp_, report_, launcher_, commandLine_;
};

TEST_F(LauncherRun, InstallerGetsTheCommandLineFolderAndLauncherPath) {
  const harness::Outcome outcome = Run(L"ProbeLauncher.exe", L"/quiet \"C:\\Program Files\\D\u00E9mo \u2713\" x=\"a b\"");
  EXPECT_EQ(outcome.exitCode, 0u);
  EXPECT_TRUE(outcome.messageBoxes.empty());
  auto report = Report();
  EXPECT_EQ(ToUtf16(report["commandLine"]), commandLine_);
  const std::wstring folder = ToUtf16(report["currentDirectory"]);
  EXPECT_EQ(folder.rfind(temp_ + L"VantorSetup-", 0), 0u) << report["currentDirectory"];
  EXPECT_EQ(ToUtf16(report["module"]), folder + L"\\Setup.exe");
  EXPECT_EQ(ToUtf16(report["launcherPath"]), launcher_);
  EXPECT_EQ(report["PATH"], "<unset>");  // the launcher's hardening deleted it
  ExpectNothingLeft();
}

TEST_F(LauncherRun, PayloadFilesCanBeReadAndRunButNotChangedWhileTheInstallerRuns) {
  Run(L"ProbeLauncher.exe", L"");
  auto report = Report();
  const std::string locked = "read=0 execute=0 write=32 delete-access=32 delete=32 rename=32";
  EXPECT_EQ(report["Setup.exe"], locked);
  EXPECT_EQ(report["scf.dat"], locked);
}

class ExitCodes : public LauncherRun, public testing::WithParamInterface<DWORD> {};

TEST_P(ExitCodes, PassThroughUnchanged) {
  const harness::Outcome outcome = Run(L"ProbeLauncher.exe", L"/exitcode:" + std::to_wstring(GetParam()));
  EXPECT_EQ(outcome.exitCode, GetParam());
  EXPECT_TRUE(outcome.messageBoxes.empty());
  ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Values, ExitCodes, testing::Values(0u, 1u, 3010u, 259u, 4294967295u),
                         testing::PrintToStringParamName());

TEST_F(LauncherRun, MissingInstallerResource) {
  ExpectFailure(Run(L"NoInstallerLauncher.exe", L""),
                L"Error: 'FindResourceW failed for ID 100: " + harness::SystemText(1814) + L" (1814)'");
}

TEST_F(LauncherRun, MissingManifestResourceRemovesTheWrittenInstaller) {
  ExpectFailure(Run(L"NoManifestLauncher.exe", L""),
                L"Error: 'FindResourceW failed for ID 101: " + harness::SystemText(1814) + L" (1814)'");
}

TEST_F(LauncherRun, EmptyInstallerResource) {
  ExpectFailure(Run(L"EmptyInstallerLauncher.exe", L""), L"Error: 'Resource ID 100 is empty'");
}

TEST_F(LauncherRun, InstallerThatIsNotAProgram) {
  ExpectFailure(Run(L"NotExecutableLauncher.exe", L""), L"Error: 'CreateProcessW/CreateProcessAsUserW failed: 193'");
}

TEST_F(LauncherRun, MissingTemporaryDirectory) {
  const std::wstring missing = temp_ + L"missing\\";
  const std::wstring reason = ToUtf16(std::make_error_code(std::errc::not_a_directory).message());
  ExpectFailure(Run(L"ProbeLauncher.exe", L"", missing),
                L"Error: 'temp_directory_path: " + reason + L": \"" + missing + L"\"'");
}

TEST_F(LauncherRun, InstallerLeftoversAreRemovedDepthFirst) {
  const harness::Outcome outcome = Run(L"ProbeLauncher.exe", L"/junk /exitcode:7");
  EXPECT_EQ(outcome.exitCode, 7u);
  ExpectNothingLeft();
}

// A directory link left in the folder is deleted as an entry, never followed.
// (Wine deletes no directory link whose target has content, so only the
// target's safety is checked here; on Windows the folder goes as well.)
TEST_F(LauncherRun, LinkTargetsKeepTheirContent) {
  const std::wstring outside = base_ + L"\\outside";
  std::filesystem::create_directories(outside);
  std::ofstream(std::filesystem::path(outside + L"\\keep.txt")) << "keep";

  const harness::Outcome outcome = Run(L"ProbeLauncher.exe", L"/junk /link:" + outside + L" /exitcode:7");
  EXPECT_EQ(outcome.exitCode, 7u);
  EXPECT_TRUE(std::filesystem::exists(outside + L"\\keep.txt"));
  EXPECT_TRUE(outcome.messageBoxes.empty());
}

TEST_F(LauncherRun, ReadOnlyLeftoverKeepsTheFolderAndTheExitCode) {
  const harness::Outcome outcome = Run(L"ProbeLauncher.exe", L"/readonly /exitcode:5");
  EXPECT_EQ(outcome.exitCode, 5u);
  EXPECT_TRUE(outcome.messageBoxes.empty());
  const auto left = Entries(temp_);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].rfind(L"VantorSetup-", 0), 0u);
  EXPECT_TRUE(std::filesystem::exists(temp_ + left[0] + L"\\locked.txt"));
}

}  // namespace
