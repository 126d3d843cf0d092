// Process hardening as the debugger and the file system see it: exit codes
// 105 and 106 with their one debugger line, the settings the hardening leaves,
// planted DLLs ignored.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <filesystem>
#include <string>

#include "Harness.h"

namespace {

namespace fs = std::filesystem;

harness::Outcome RunProgram(const std::wstring& name, const std::wstring& arguments) {
  harness::Launch launch;
  launch.application = harness::ProgramDirectory() + name;
  launch.commandLine = harness::Quote(launch.application) + L" " + arguments;
  return harness::Run(launch);
}

// The user SID of this process, as the launcher would print it.
std::string OwnSid() {
  const std::wstring sid = harness::TokenSid(TokenUser);
  return std::string(sid.begin(), sid.end());  // S-1-... is ASCII
}

// A delay-loaded import that cannot be bound ends the process with 106 and one
// debugger line: when all imports are bound at start (a missing DLL, a missing
// function), and also earlier, on the first call of one (the identity check
// calls advapi32 before the imports are bound).
class ImportPreloading : public testing::TestWithParam<std::pair<const wchar_t*, const char*>> {};

TEST_P(ImportPreloading, FailureEndsWith106) {
  const harness::Outcome outcome = RunProgram(GetParam().first, L"");
  EXPECT_EQ(outcome.debugOutput, std::vector<std::string>{GetParam().second});
  EXPECT_EQ(outcome.exitCode, 106u);
  EXPECT_TRUE(outcome.messageBoxes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Images, ImportPreloading,
    testing::Values(std::make_pair(L"MissingDelayLoad_dll.exe", "LoadAllImports failed: 3228369022"),
                    std::make_pair(L"MissingDelayLoad_function.exe", "LoadAllImports failed: 3228369023"),
                    std::make_pair(L"MissingDelayLoad_advapi32.exe", "LoadAllImports failed: 3228369022")),
    [](const auto& info) { return harness::TestName(info.param.first); });

class IdentityValidation : public testing::TestWithParam<std::pair<const wchar_t*, std::string>> {};

TEST_P(IdentityValidation, FailureIsOneDebuggerLineAndExitCode105) {
  const harness::Outcome outcome = RunProgram(L"SecurityFixture.exe", GetParam().first);
  EXPECT_EQ(outcome.debugOutput, std::vector<std::string>{"Process security validation failed: " + GetParam().second});
  EXPECT_EQ(outcome.exitCode, 105u);
  EXPECT_TRUE(outcome.messageBoxes.empty());
}

// This process runs as an interactive user, in a session other than 0.
INSTANTIATE_TEST_SUITE_P(
    Configurations, IdentityValidation,
    testing::Values(std::make_pair(L"2 0",
                                   "Not running as expected user.Expected SID S-1-5-18, actual SID " + OwnSid()),
                    std::make_pair(L"7 0", std::string("No well known SID type for expected user")),
                    std::make_pair(L"0 1", std::string("Not running under expected session"))),
    [](const auto& info) { return harness::TestName(info.param.first); });

const std::string kHardened =
    "hardened: PATH deleted, safe search locked, DLL directory \"\", heap ends the process on corruption";

TEST(ProcessSecurity, AnyIdentityPassesAndTheProcessIsHardened) {
  const harness::Outcome outcome = RunProgram(L"SecurityFixture.exe", L"0 0");
  EXPECT_EQ(outcome.debugOutput, std::vector<std::string>{kHardened});
  EXPECT_EQ(outcome.exitCode, 0u);
}

// Token queries answered as local system's token in session 0 would answer.
TEST(ProcessSecurity, ExpectedUserAndSessionPass) {
  const harness::Outcome outcome = RunProgram(L"SecurityFixture.exe", L"as-system 2 1");
  EXPECT_EQ(outcome.debugOutput, std::vector<std::string>{kHardened});
  EXPECT_EQ(outcome.exitCode, 0u);
}

// Copies of a DLL that leaves a marker when loaded, planted beside a launcher
// copy and in its working directory under the names of DLLs it loads.
class PlantedDlls : public testing::Test {
 protected:
  void SetUp() override {
    root_ = harness::NewTempFolder(L"vantor-plant-");
    fs::create_directories(root_ / "app");
    fs::create_directories(root_ / "cwd");
    fs::create_directories(root_ / "tmp");
    const fs::path planted = fs::path(harness::ProgramDirectory()).parent_path().parent_path() / "planted" / "PlantedDll.dll";
    for (const char* name : {"cryptbase.dll", "advapi32.dll", "user32.dll"}) {
      fs::copy_file(planted, root_ / "app" / name);
      fs::copy_file(planted, root_ / "cwd" / name);
    }
  }
  void TearDown() override { harness::RemoveTree(root_.wstring()); }

  harness::Outcome Run(const std::wstring& program, const std::wstring& arguments) {
    const fs::path copy = root_ / "app" / fs::path(program).filename();
    fs::copy_file(fs::path(harness::ProgramDirectory()) / program, copy, fs::copy_options::overwrite_existing);
    harness::Launch launch;
    launch.application = copy.wstring();
    launch.commandLine = harness::Quote(launch.application) + L" " + arguments;
    launch.currentDirectory = (root_ / "cwd").wstring();
    const std::wstring temp = (root_ / "tmp").wstring() + L"\\";
    launch.environment =
        harness::EnvironmentWith({{L"VANTOR_PLANT_MARKER", Marker().wstring()}, {L"TMP", temp}, {L"TEMP", temp}});
    return harness::Run(launch);
  }
  fs::path Marker() const { return root_ / "loaded.marker"; }

  fs::path root_;
};

TEST_F(PlantedDlls, APlantedDllLeavesItsMarkerWhenLoadedByName) {
  // The control: a program that loads cryptbase.dll by name picks the planted one.
  const harness::Outcome outcome = Run(L"LauncherFixture.exe", L"load-by-name cryptbase.dll");
  EXPECT_EQ(outcome.exitCode, 0u);
  EXPECT_TRUE(fs::exists(Marker()));
}

TEST_F(PlantedDlls, TheLauncherNeverLoadsThem) {
  const harness::Outcome outcome = Run(L"ProbeLauncher.exe", L"/exitcode:9");
  EXPECT_EQ(outcome.exitCode, 9u);
  EXPECT_TRUE(outcome.messageBoxes.empty());
  EXPECT_FALSE(fs::exists(Marker()));
}

}  // namespace
