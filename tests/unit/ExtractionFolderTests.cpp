#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>
#include <winioctl.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "Extraction/ExtractionFolder.h"
#include "Extraction/FolderSecurity.h"
#include "Extraction/StartedInstaller.h"
#include "Harness.h"
#include "Imports.h"
#include "Launcher/MainSequence.h"
#include "TestSeams.h"

namespace {

namespace fs = std::filesystem;
using vantor::extraction::CreateExtractionFolder;
using vantor::extraction::ExtractionFolder;
using vantor::extraction::kNotTheExtractedInstaller;
using vantor::extraction::VolumeFacts;

// The standard engine's first output for the seed 5489 is 3499211612; its
// low 31 bits are 1351727964. For the seed 2340096 they are 177.
constexpr std::uint32_t kSeed = 5489;
constexpr wchar_t kDrawnName[] = L"VantorSetup-1351727964";

bool CryptbaseLoaded() {
  return ::GetModuleHandleW((vantor::extraction::GetSystemDirectoryPath() / L"cryptbase.dll").c_str()) != nullptr;
}

std::string ErrorOfCreating() {
  try {
    CreateExtractionFolder();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "created";
}

// Points TMP and TEMP at a private folder for one test.
class PrivateTemp : public testing::Test {
 protected:
  void SetUp() override {
    root_ = harness::NewTempFolder(L"vantor-folder-");
    Point(root_.wstring() + L"\\");
  }
  void TearDown() override {
    Point(saved_);
    ::SetEnvironmentVariableW(L"VANTOR_PROBE_REPORT", nullptr);
    harness::RemoveTree(root_.wstring());
  }
  static void Point(const std::wstring& temp) {
    ::SetEnvironmentVariableW(L"TMP", temp.c_str());
    ::SetEnvironmentVariableW(L"TEMP", temp.c_str());
  }

  std::wstring saved_ = harness::TempDirectory();
  fs::path root_;
  test_seams::Cleared seams_;
};

TEST_F(PrivateTemp, FolderIsNamedByTheNumberDrawnWhileCryptbaseIsHeld) {
  for (const auto& [seed, name] : {std::make_pair(kSeed, std::wstring(kDrawnName)),
                                   std::make_pair(std::uint32_t{2340096}, std::wstring(L"VantorSetup-177"))}) {
    bool heldWhileDrawing = false;
    test_seams::folderNumberSeed = [&, seed = seed] {
      heldWhileDrawing = CryptbaseLoaded();
      return seed;
    };
    const ExtractionFolder folder = CreateExtractionFolder();
    EXPECT_EQ(folder.path, root_ / name);
    EXPECT_TRUE(fs::is_directory(folder.path) && fs::is_empty(folder.path));
    EXPECT_TRUE(heldWhileDrawing);
    EXPECT_FALSE(CryptbaseLoaded());
  }
}

// A temporary path that is not there, in whole or in part, or that names a
// file, is no temporary directory.
TEST_F(PrivateTemp, MissingTemporaryDirectory) {
  std::ofstream(root_ / "file") << "not a folder";
  for (const fs::path& missing : {root_ / "missing", root_ / "missing" / "deeper", root_ / "file"}) {
    Point(missing.wstring() + L"\\");
    const std::string reason = std::make_error_code(std::errc::not_a_directory).message();
    EXPECT_EQ(ErrorOfCreating(), "temp_directory_path: " + reason + ": \"" + missing.string() + "\\\"");
  }
}

// While the folder is held, nobody can move it away (and put something else
// in its place); whoever works in it can still make it the current folder and
// create, rename and delete files there.
TEST_F(PrivateTemp, HeldFolderStaysWhereItIsAndCanBeWorkedIn) {
  const ExtractionFolder folder = CreateExtractionFolder();
  EXPECT_FALSE(::MoveFileW(folder.path.c_str(), (root_ / "moved").c_str()));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  const std::wstring saved = fs::current_path().wstring();
  EXPECT_TRUE(::SetCurrentDirectoryW(folder.path.c_str()));
  std::ofstream("work.tmp") << "x";
  EXPECT_TRUE(::MoveFileW(L"work.tmp", L"work.log"));
  EXPECT_TRUE(::DeleteFileW(L"work.log"));
  EXPECT_TRUE(::SetCurrentDirectoryW(saved.c_str()));
  EXPECT_TRUE(fs::is_empty(folder.path));
}

// The temporary path runs through a link that any process of the user can
// re-point. Re-pointed the moment the folder exists, to a folder of the same
// name elsewhere that holds a "Setup.exe" of its own: the run still writes,
// starts and removes only what it created, and leaves the other one alone.
TEST_F(PrivateTemp, ATemporaryPathRepointedAfterTheFolderExistsRedirectsNothing) {
  const fs::path ours = root_ / "ours", theirs = root_ / "theirs", link = root_ / "tmp";
  fs::create_directories(ours);
  fs::create_directories(theirs / kDrawnName);
  std::ofstream(theirs / kDrawnName / "Setup.exe") << "planted";
  ASSERT_TRUE(harness::MakeDirectoryLink(link.wstring(), ours.wstring()));
  Point(link.wstring() + L"\\");
  test_seams::folderNumberSeed = [] { return kSeed; };
  bool repointed = false;
  const auto repoint = [&] {
    if (repointed) return;
    repointed = harness::RepointDirectoryLink(link.wstring(), theirs.wstring());
  };
  test_seams::folderCreated = repoint;
  test_seams::payloadUnlocked = repoint;  // where no earlier moment is offered
  const fs::path report = root_ / "report.txt";
  ::SetEnvironmentVariableW(L"VANTOR_PROBE_REPORT", report.c_str());
  EXPECT_EQ(vantor::launcher::RunMainSequence(), 0u);

  ASSERT_TRUE(repointed);
  const std::string reported = harness::ReadAll(report.wstring());
  EXPECT_NE(reported.find("\ncurrentDirectory=" + (ours / kDrawnName).string() + "\n"), std::string::npos) << reported;
  std::vector<std::string> theirsNow;
  std::error_code gone;
  for (const auto& entry : fs::directory_iterator(theirs / kDrawnName, gone)) {
    theirsNow.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(theirsNow, std::vector<std::string>{"Setup.exe"});
  EXPECT_EQ(harness::ReadAll((theirs / kDrawnName / "Setup.exe").wstring()), "planted");
  EXPECT_TRUE(fs::exists(ours) && fs::is_empty(ours));
}

// Taken by a running launcher, which holds its folder (a folder of that name
// that nobody holds is a killed run's, and swept first), or by a file.
TEST_F(PrivateTemp, ANameThatIsTakenIsNeverUsed) {
  test_seams::folderNumberSeed = [] { return kSeed; };
  const fs::path taken = root_ / kDrawnName;
  fs::create_directory(taken);
  std::ofstream(taken / "theirs.txt") << "theirs";
  {
    const utilities::FileHandle running(::CreateFileW(taken.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    EXPECT_EQ(ErrorOfCreating(), "Failed to create a fresh extraction folder");
    EXPECT_TRUE(fs::exists(taken / "theirs.txt"));
  }

  fs::remove_all(taken);
  std::ofstream(taken) << "a file of that name";
  const std::string exists = std::system_category().message(ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ErrorOfCreating(), "create_directory: " + exists + ": \"" + taken.string() + "\"");
  EXPECT_FALSE(CryptbaseLoaded());
}

std::wstring SddlOf(const void* descriptor, SECURITY_INFORMATION parts) {
  wchar_t* text = nullptr;
  ::ConvertSecurityDescriptorToStringSecurityDescriptorW(const_cast<void*>(descriptor), SDDL_REVISION_1, parts, &text,
                                                          nullptr);
  std::wstring result = text != nullptr ? text : L"?";
  ::LocalFree(text);
  return result;
}

// The text form abbreviates the Administrators group.
std::wstring TokenSid(TOKEN_INFORMATION_CLASS which) {
  const std::wstring sid = harness::TokenSid(which);
  return sid == L"S-1-5-32-544" ? L"BA" : sid;
}

// The owner is set, never left to the token's default owner (which a policy
// can make the user, and which is a group of its own under Wine). Elevated,
// the user's own account gets nothing: its unelevated processes could
// otherwise plant files beside the installer or rewrite the list.
TEST(FolderSecurity, ProtectedOwnedAndTheUserGrantedOnlyWhenNotElevated) {
  vantor::extraction::RunningToken token = vantor::extraction::QueryRunningToken();
  const std::wstring user = TokenSid(TokenUser);
  const std::wstring system = L"(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
  for (const bool elevated : {true, false}) {
    token.elevated = elevated;
    const std::vector<BYTE> descriptor = vantor::extraction::ProtectedFolderSecurity(token);
    ASSERT_TRUE(::IsValidSecurityDescriptor(const_cast<BYTE*>(descriptor.data())));
    EXPECT_EQ(SddlOf(descriptor.data(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
              elevated ? L"O:BAD:P" + system : L"O:" + user + L"D:P" + system + L"(A;OICI;FA;;;" + user + L")");
  }
}

// Wine keeps no descriptor of its own for a file: it maps the access list to
// Unix permissions and reads back what those allow. What it does show is that
// nobody outside SYSTEM, the administrators and the user gets in.
TEST_F(PrivateTemp, FolderIsCreatedWithThatDescriptor) {
  const fs::path folder = CreateExtractionFolder().path;
  DWORD size = 0;
  ::GetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  std::vector<BYTE> descriptor(size);
  ASSERT_TRUE(::GetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), size, &size));
  std::wstring dacl = SddlOf(descriptor.data(), DACL_SECURITY_INFORMATION);
  EXPECT_NE(dacl.find(L"(A;OICI;FA;;;SY)"), std::wstring::npos) << fs::path(dacl).string();
  for (const std::wstring& granted : {std::wstring(L"SY"), std::wstring(L"BA"), TokenSid(TokenUser)}) {
    const std::wstring ace = L";;;" + granted + L")";
    for (std::size_t at; (at = dacl.find(ace)) != std::wstring::npos;) dacl.erase(at, ace.size());
  }
  EXPECT_EQ(dacl.find(L";;;"), std::wstring::npos) << "access for someone else: " << fs::path(dacl).string();
}

// GetTempPath2W, where the system has it, says where the folder goes (for
// SYSTEM, a protected folder of SYSTEM's own); elsewhere GetTempPathW does.
std::wstring systemTemporaryPath;
DWORD WINAPI SystemsOwnTemporaryPath(DWORD size, LPWSTR buffer) {
  if (size <= systemTemporaryPath.size()) return static_cast<DWORD>(systemTemporaryPath.size() + 1);
  systemTemporaryPath.copy(buffer, systemTemporaryPath.size());
  buffer[systemTemporaryPath.size()] = L'\0';
  return static_cast<DWORD>(systemTemporaryPath.size());
}

TEST_F(PrivateTemp, TheSystemsOwnTemporaryPathWhereItHasOne) {
  fs::create_directory(root_ / "system");
  systemTemporaryPath = (root_ / "system").wstring() + L"\\";
  std::vector<std::string> asked;
  test_seams::kernelFunction = [&](const char* name) {
    asked.emplace_back(name);
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&SystemsOwnTemporaryPath));
  };
  EXPECT_EQ(CreateExtractionFolder().path.parent_path(), root_ / "system");
  EXPECT_EQ(asked, std::vector<std::string>{"GetTempPath2W"});
  test_seams::kernelFunction = [](const char*) -> FARPROC { return nullptr; };
  EXPECT_EQ(CreateExtractionFolder().path.parent_path(), root_);
}

// Elevated, as every process is under Wine, the run extracts only on a local
// volume that keeps access lists: not on FAT or exFAT, not across the network.
TEST_F(PrivateTemp, ElevatedRunsExtractOnlyWhereAccessControlHolds) {
  ASSERT_TRUE(vantor::extraction::QueryRunningToken().elevated);
  using vantor::extraction::kFileDeviceDfs;
  using vantor::extraction::kFileDeviceNetworkFileSystem;
  using vantor::extraction::kFileRemoteDevice;
  struct Volume {
    const char* what;
    VolumeFacts facts;
    bool used;
  };
  constexpr DWORD kNtfs = FILE_PERSISTENT_ACLS | FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
  for (const Volume& volume : {Volume{"NTFS", {kNtfs, FILE_DEVICE_DISK, 0}, true},
                               Volume{"FAT", {FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK, FILE_DEVICE_DISK, 0}, false},
                               Volume{"SMB", {kNtfs, kFileDeviceNetworkFileSystem, kFileRemoteDevice}, false},
                               Volume{"remote disk", {kNtfs, FILE_DEVICE_DISK, kFileRemoteDevice}, false},
                               Volume{"DFS", {kNtfs, kFileDeviceDfs, 0}, false}}) {
    test_seams::temporaryVolume = [&](HANDLE) { return volume.facts; };
    EXPECT_EQ(ErrorOfCreating(),
              volume.used ? "created" : "Failed to locate a temporary directory that keeps access control")
        << volume.what;
  }
  EXPECT_EQ(harness::Entries(root_.wstring()).size(), 1u);  // the NTFS run's folder only
}

// Windows keeps a trailing dot or space of a folder name in the path a handle
// gives ("\\?\C:\T.\..."), and loses it in the ordinary form; Wine drops it
// already, so the path is given here as Windows gives it. Such a path is
// refused, and the folder just made goes again.
std::wstring nameEnding;
decltype(&::GetFinalPathNameByHandleW) getFinalPath;
DWORD WINAPI EndingTheTemporaryName(HANDLE handle, LPWSTR buffer, DWORD size, DWORD flags) {
  wchar_t real[1024] = {};
  if (getFinalPath(handle, real, 1024, flags) == 0) return 0;
  std::wstring path = real;
  path.insert(path.rfind(L'\\'), nameEnding);
  if (size <= path.size()) return static_cast<DWORD>(path.size() + 1);
  path.copy(buffer, path.size());
  buffer[path.size()] = L'\0';
  return static_cast<DWORD>(path.size());
}

TEST_F(PrivateTemp, AFolderPathTheSystemWouldReadAsAnotherIsRefused) {
  for (const wchar_t* ending : {L".", L" "}) {
    nameEnding = ending;
    const harness::Redirected redirected("kernel32.dll", "GetFinalPathNameByHandleW", &EndingTheTemporaryName,
                                         getFinalPath);
    ASSERT_TRUE(redirected);
    EXPECT_EQ(ErrorOfCreating(), "Failed to name the extraction folder exactly");
    EXPECT_EQ(harness::Entries(root_.wstring()), std::vector<std::wstring>{});
  }
}

// The whole run, with the probe installer reporting to a file of the test's
// when it runs. Gives the run's error text, or "exit code N".
class WholeRun : public PrivateTemp {
 protected:
  void SetUp() override {
    PrivateTemp::SetUp();
    report_ = root_ / "report.txt";
    ::SetEnvironmentVariableW(L"VANTOR_PROBE_REPORT", report_.c_str());
    test_seams::folderNumberSeed = [] { return kSeed; };
  }
  std::string Run() {
    try {
      return "exit code " + std::to_string(vantor::launcher::RunMainSequence());
    } catch (const std::exception& error) {
      return error.what();
    }
  }
  bool InstallerRan() const { return fs::exists(report_); }

  fs::path report_;
};

// True when every thread of process `id` is suspended.
bool Suspended(DWORD id) {
  const utilities::ScopedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 thread{};
  thread.dwSize = sizeof(thread);
  bool any = false;
  for (BOOL more = ::Thread32First(snapshot.Get(), &thread); more; more = ::Thread32Next(snapshot.Get(), &thread)) {
    if (thread.th32OwnerProcessID != id) continue;
    const utilities::ScopedHandle opened(::OpenThread(THREAD_SUSPEND_RESUME, FALSE, thread.th32ThreadID));
    const DWORD before = ::SuspendThread(opened.Get());
    ::ResumeThread(opened.Get());
    if (before == 0 || before == static_cast<DWORD>(-1)) return false;
    any = true;
  }
  return any;
}

// Between its start and its first instruction the installer is suspended, and
// the names it was given must lead to what the run holds. Re-pointed at that
// moment (answered here for the system), the child is ended before it runs.
enum class Repointed { Nothing, Image, Folder };
class StartedInstaller : public WholeRun, public testing::WithParamInterface<Repointed> {};

TEST_P(StartedInstaller, RunsOnlyAsTheImageAndInTheFolderHeld) {
  bool suspended = false;
  utilities::KernelHandle child;
  test_seams::installerStarted = [&](HANDLE process, std::wstring& image, std::wstring& folder) {
    suspended = Suspended(::GetProcessId(process));
    HANDLE copy = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), process, ::GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    child.Reset(copy);
    if (GetParam() == Repointed::Image) image = harness::ProgramDirectory() + L"ProbeInstaller.exe";
    if (GetParam() == Repointed::Folder) folder = root_.wstring();
  };
  const bool ours = GetParam() == Repointed::Nothing;
  EXPECT_EQ(Run(), ours ? "exit code 0" : kNotTheExtractedInstaller);
  EXPECT_TRUE(suspended);
  EXPECT_EQ(InstallerRan(), ours);
  DWORD exitCode = 259;
  EXPECT_TRUE(::GetExitCodeProcess(child.Get(), &exitCode));
  EXPECT_EQ(exitCode, ours ? 0u : 1u);
  EXPECT_FALSE(fs::exists(root_ / kDrawnName));
}

INSTANTIATE_TEST_SUITE_P(Names, StartedInstaller,
                         testing::Values(Repointed::Nothing, Repointed::Image, Repointed::Folder),
                         [](const auto& info) {
                           return std::string(info.param == Repointed::Nothing ? "Nothing"
                                              : info.param == Repointed::Image ? "Image"
                                                                                : "Folder");
                         });

// A same-user process points the temporary path at a folder whose name ends
// in a dot or a space, in the \\?\ form that keeps the name or through a link,
// and waits in the folder the system reads instead ("T" for "T.") with a
// program of its own under the drawn name. That program never runs, and the
// run leaves nothing behind. Windows keeps the ending in the path the
// folder's handle gives, and that path is refused; Wine drops it there
// already, and the started program proves not to be ours.
struct Redirection {
  const wchar_t* ending;
  bool throughLink;
};
class NormalisedAway : public WholeRun, public testing::WithParamInterface<Redirection> {};

TEST_P(NormalisedAway, TheOtherFoldersProgramNeverRuns) {
  const std::wstring ours = L"\\\\?\\" + root_.wstring() + L"\\T" + GetParam().ending;
  const fs::path theirs = root_ / "T" / kDrawnName;
  ASSERT_TRUE(::CreateDirectoryW(ours.c_str(), nullptr));
  fs::create_directories(theirs);
  ASSERT_TRUE(::CopyFileW((harness::ProgramDirectory() + L"ProbeInstaller.exe").c_str(), (theirs / "Setup.exe").c_str(),
                          FALSE));
  // Held open as a running launcher holds its folder, so that no sweep of
  // stale folders takes it away.
  const utilities::FileHandle held(::CreateFileW(theirs.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(held.IsOpen());
  if (GetParam().throughLink) {
    const std::wstring link = (root_ / "link").wstring();
    ASSERT_TRUE(harness::MakeDirectoryLink(link, ours));
    Point(link + L"\\");
  } else {
    Point(ours + L"\\");
  }
  // Wine's GetTempPathW drops the dot of the literal form itself: that run
  // meets the other folder's name taken.
  const std::string error = Run();
  EXPECT_TRUE(error == kNotTheExtractedInstaller || error == "Failed to name the extraction folder exactly" ||
              error == "Failed to create a fresh extraction folder")
      << error;
  EXPECT_FALSE(InstallerRan()) << error;
  EXPECT_EQ(harness::Entries(ours), std::vector<std::wstring>{});
  EXPECT_EQ(harness::Entries(theirs.wstring()), std::vector<std::wstring>{L"Setup.exe"});
}

INSTANTIATE_TEST_SUITE_P(Endings, NormalisedAway,
                         testing::Values(Redirection{L".", false}, Redirection{L".", true}, Redirection{L" ", false},
                                         Redirection{L" ", true}),
                         [](const auto& info) {
                           return std::string(info.param.ending[0] == L'.' ? "Dot" : "Space") +
                                  (info.param.throughLink ? "ThroughALink" : "InTheLiteralForm");
                         });

}  // namespace
