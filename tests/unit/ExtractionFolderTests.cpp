#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "Extraction/ExtractionFolder.h"
#include "Extraction/FolderSecurity.h"
#include "Harness.h"
#include "Launcher/MainSequence.h"
#include "TestSeams.h"

namespace {

namespace fs = std::filesystem;
using vantor::extraction::CreateExtractionFolder;
using vantor::extraction::ExtractionFolder;

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

std::wstring SddlOf(const void* descriptor) {
  wchar_t* text = nullptr;
  ::ConvertSecurityDescriptorToStringSecurityDescriptorW(const_cast<void*>(descriptor), SDDL_REVISION_1,
                                                          DACL_SECURITY_INFORMATION, &text, nullptr);
  std::wstring result = text != nullptr ? text : L"?";
  ::LocalFree(text);
  return result;
}

// The text form abbreviates the Administrators group.
std::wstring TokenSid(TOKEN_INFORMATION_CLASS which) {
  const std::wstring sid = harness::TokenSid(which);
  return sid == L"S-1-5-32-544" ? L"BA" : sid;
}

TEST(FolderSecurity, ProtectedFullControlForSystemAdministratorsAndOwnerOnly) {
  const std::vector<BYTE> descriptor = vantor::extraction::ProtectedFolderSecurity();
  ASSERT_TRUE(::IsValidSecurityDescriptor(const_cast<BYTE*>(descriptor.data())));
  EXPECT_EQ(SddlOf(descriptor.data()),
            L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + TokenSid(TokenOwner) + L")");
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
  std::wstring dacl = SddlOf(descriptor.data());
  EXPECT_NE(dacl.find(L"(A;OICI;FA;;;SY)"), std::wstring::npos) << fs::path(dacl).string();
  for (const std::wstring& granted : {std::wstring(L"SY"), std::wstring(L"BA"), TokenSid(TokenOwner), TokenSid(TokenUser)}) {
    const std::wstring ace = L";;;" + granted + L")";
    for (std::size_t at; (at = dacl.find(ace)) != std::wstring::npos;) dacl.erase(at, ace.size());
  }
  EXPECT_EQ(dacl.find(L";;;"), std::wstring::npos) << "access for someone else: " << fs::path(dacl).string();
}

}  // namespace
