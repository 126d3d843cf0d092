// Process hardening as the debugger and the file system see it: exit codes
// 105 and 106 with their one debugger line, PATH gone, planted DLLs ignored.
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

DWORD OwnSession() {
  DWORD session = 0;
  ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
  return session;
}

TEST(ImportPreloading, MissingLibraryEndsWith106) {
  const harness::Outcome outcome = RunProgram(L"MissingDelayLoad_dll.exe", L"");
  EXPECT_EQ(outcome.debugOutput, std::vector<std::string>{"LoadAllImports failed: 3228369022"});
  EXPECT_EQ(outcome.exitCode, 106u);
  EXPECT_TRUE(outcome.messageBoxes.empty());
}

TEST(ImportPreloading, MissingFunctionEndsWith106) {
  const harness::Outcome outcome = RunProgram(L"MissingDelayLoad_function.exe", L"");
  EXPECT_EQ(outcome.debugOutput, std::vector<std::string>{"LoadAllImports failed: 3228369023"});
  EXPECT_EQ(outcome.exitCode, 106u);
}

struct ValidationCase {
  const wchar_t* arguments;  // "<expectedUser> <expectedSession>"
  std::string message;
};

void PrintTo(const ValidationCase& validationCase, std::ostream* out) {
  for (const wchar_t* c = validationCase.arguments; *c != L'\0'; ++c) *out << static_cast<char>(*c);
}

class IdentityValidation : public testing::TestWithParam<ValidationCase> {};

TEST_P(IdentityValidation, FailureIsOneDebuggerLineAndExitCode105) {
  const harness::Outcome outcome = RunProgram(L"SecurityFixture.exe", GetParam().arguments);
  EXPECT_EQ(outcome.debugOutput,
            std::vector<std::string>{"Process security validation failed: " + GetParam().message});
  EXPECT_EQ(outcome.exitCode, 105u);
  EXPECT_TRUE(outcome.messageBoxes.empty());
}

// This process runs as an interactive user in a session other than 0, as the
// first two tests below check; the failing paths follow from that.
TEST(IdentityValidationPreconditions, InteractiveUserOutsideSessionZero) {
  EXPECT_NE(OwnSid(), "S-1-5-18");
  EXPECT_NE(OwnSid(), "S-1-5-19");
  EXPECT_NE(OwnSession(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, IdentityValidation,
    testing::Values(
        ValidationCase{L"2 0", "Not running as expected user.Expected SID S-1-5-18, actual SID " + OwnSid()},
        ValidationCase{L"1 0", "Not running as expected user.Expected SID S-1-5-19, actual SID " + OwnSid()},
        ValidationCase{L"7 0", "No well known SID type for expected user"},
        ValidationCase{L"0 1", "Not running under expected session"},
        ValidationCase{L"0 2", "Not running under expected session"}));

TEST(ProcessSecurity, AnyIdentityPassesAndPathIsDeleted) {
  const harness::Outcome outcome = RunProgram(L"SecurityFixture.exe", L"0 0");
  EXPECT_EQ(outcome.debugOutput, std::vector<std::string>{"hardened, PATH deleted"});
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
