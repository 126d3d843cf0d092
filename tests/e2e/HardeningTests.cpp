// Process hardening as the debugger and the file system see it: exit codes
// 105 and 106 with their one debugger line, the settings the hardening leaves,
// planted DLLs ignored.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <filesystem>
#include <string>

#include "Harness.h"
#include "Utilities/String.h"

namespace {

namespace fs = std::filesystem;

harness::Outcome RunProgram(const std::wstring& name, const std::wstring& arguments) {
  return harness::Run(harness::LaunchOf(harness::ProgramDirectory() + name, arguments));
}

// A delay-loaded import that cannot be bound ends the process with 106 and one
// debugger line: when all imports are bound at start (a missing DLL, a missing
// function), and also earlier, on the first call of one (the identity check
// calls advapi32 before the imports are bound).
class ImportPreloading : public testing::TestWithParam<std::pair<const wchar_t*, const char*>> {};

TEST_P(ImportPreloading, FailureEndsWith106) {
  const harness::Outcome outcome = RunProgram(GetParam().first, L"");
  ASSERT_FALSE(outcome.debugOutput.empty());
  EXPECT_EQ(outcome.debugOutput.back(), GetParam().second);
  EXPECT_EQ(outcome.exitCode, 106u);
  EXPECT_TRUE(outcome.messageBoxes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Images, ImportPreloading,
    testing::Values(std::make_pair(L"MissingDelayLoad_dll.exe", "LoadAllImports failed: 3228369022"),
                    std::make_pair(L"MissingDelayLoad_function.exe", "LoadAllImports failed: 3228369023"),
                    std::make_pair(L"MissingDelayLoad_advapi32.exe", "LoadAllImports failed: 3228369022")),
    [](const auto& info) { return harness::TestName(info.param.first); });

const std::string kDllDirectory = "SetDllDirectoryW \"\"";
const std::string kSystemFolderOnly = "SetDefaultDllDirectories 0x800";
const std::string kHardened = "hardened: PATH deleted, safe search locked, heap ends the process on corruption";

struct Hardening {
  const wchar_t* arguments;
  std::vector<std::string> debugOutput;
  DWORD exitCode;
};

class ProcessSecurity : public testing::TestWithParam<Hardening> {};

TEST_P(ProcessSecurity, SettingsInOrderOrOneLineAndExitCode105) {
  const harness::Outcome outcome = RunProgram(L"SecurityFixture.exe", GetParam().arguments);
  EXPECT_EQ(outcome.debugOutput, GetParam().debugOutput);
  EXPECT_EQ(outcome.exitCode, GetParam().exitCode);
  EXPECT_TRUE(outcome.messageBoxes.empty());
}

// DLLs are searched for in the system folder only, where the system lets that
// be set; any identity passes when none is expected (token queries answered as
// local system's token in session 0 would, to pass an expected one). A failed
// step ends the configuration: nothing after it is done. Delay-load failures
// of other images are passed on, also one raised without its parameter. This
// process runs as an interactive user, in a session other than 0.
INSTANTIATE_TEST_SUITE_P(
    Runs, ProcessSecurity,
    testing::Values(
        Hardening{L"0 0", {kDllDirectory, kSystemFolderOnly, kHardened}, 0},
        Hardening{L"as-system 2 1", {kDllDirectory, kSystemFolderOnly, kHardened}, 0},
        Hardening{L"no-default-dll-directories 0 0", {kDllDirectory, kHardened}, 0},
        Hardening{L"2 0",
                  {kDllDirectory, kSystemFolderOnly,
                   "Process security validation failed: Not running as expected user.Expected SID S-1-5-18, "
                   "actual SID " + vantorlib::string::ToUtf8(harness::TokenSid(TokenUser))},
                  105},
        Hardening{L"7 0",
                  {kDllDirectory, kSystemFolderOnly,
                   "Process security validation failed: No well known SID type for expected user"},
                  105},
        Hardening{L"0 1",
                  {kDllDirectory, kSystemFolderOnly, "Process security validation failed: Not running under expected session"},
                  105},
        Hardening{L"fail-search-path-mode 0 0",
                  {"Process security configuration failed: SetSearchPathMode failed: " +
                   vantorlib::string::ToUtf8(harness::SystemText(ERROR_ACCESS_DENIED)) + " (5)"},
                  105},
        Hardening{L"foreign-delay-failures 0 0",
                  {kDllDirectory, kSystemFolderOnly, "another image's delay-load failure passed on",
                   "another image's delay-load failure passed on", kHardened},
                  0}),
    [](const auto& info) { return harness::TestName(info.param.arguments); });

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
    harness::Launch launch = harness::LaunchOf(copy.wstring(), arguments);
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
