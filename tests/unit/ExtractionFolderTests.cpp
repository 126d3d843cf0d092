#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <system_error>
#include <vector>

#include "Extraction/ExtractionFolder.h"
#include "Extraction/FolderRemoval.h"
#include "Extraction/FolderSecurity.h"
#include "Harness.h"

namespace {

namespace fs = std::filesystem;
using vantor::extraction::CreateExtractionFolder;
using vantor::extraction::ExtractionFolderGuard;
using vantor::extraction::RemoveExtractionFolder;

// Points TMP and TEMP at a private folder for one test.
class PrivateTemp : public testing::Test {
 protected:
  void SetUp() override {
    root_ = harness::NewTempFolder(L"vantor-folder-");
    Point(root_.wstring() + L"\\");
  }
  void TearDown() override {
    Point(saved_);
    harness::RemoveTree(root_.wstring());
  }
  void Point(const std::wstring& temp) {
    ::SetEnvironmentVariableW(L"TMP", temp.c_str());
    ::SetEnvironmentVariableW(L"TEMP", temp.c_str());
  }
  static void Write(const fs::path& path) { std::ofstream(path) << "x"; }

  std::wstring saved_ = harness::TempDirectory();
  fs::path root_;
};

TEST_F(PrivateTemp, FolderIsNewRandomlyNamedAndTheDllIsReleased) {
  const fs::path folder = CreateExtractionFolder();
  EXPECT_EQ(folder.parent_path(), root_);
  EXPECT_TRUE(std::regex_match(folder.filename().string(), std::regex("VantorSetup-(0|[1-9][0-9]{0,9})")))
      << folder.string();
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_TRUE(fs::is_empty(folder));
  EXPECT_EQ(::GetModuleHandleW(L"cryptbase.dll"), nullptr);
  EXPECT_NE(CreateExtractionFolder(), folder);  // a second run draws again
}

std::wstring SddlOf(const void* descriptor, SECURITY_INFORMATION parts) {
  wchar_t* text = nullptr;
  ::ConvertSecurityDescriptorToStringSecurityDescriptorW(const_cast<void*>(descriptor), SDDL_REVISION_1, parts, &text,
                                                          nullptr);
  std::wstring result = text != nullptr ? text : L"?";
  ::LocalFree(text);
  return result;
}

// The folder's own access list, in the system's text form.
std::wstring FolderDacl(const fs::path& folder) {
  DWORD size = 0;
  ::GetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  std::vector<BYTE> descriptor(size);
  if (!::GetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), size, &size)) return L"?";
  return SddlOf(descriptor.data(), DACL_SECURITY_INFORMATION);
}

// The text form abbreviates the Administrators group.
std::wstring TokenSid(TOKEN_INFORMATION_CLASS which) {
  const std::wstring sid = harness::TokenSid(which);
  return sid == L"S-1-5-32-544" ? L"BA" : sid;
}

TEST(FolderSecurity, ProtectedFullControlForSystemAdministratorsAndOwnerOnly) {
  const std::vector<BYTE> descriptor = vantor::extraction::ProtectedFolderSecurity();
  ASSERT_TRUE(::IsValidSecurityDescriptor(const_cast<BYTE*>(descriptor.data())));
  EXPECT_EQ(SddlOf(descriptor.data(), DACL_SECURITY_INFORMATION),
            L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + TokenSid(TokenOwner) + L")");
}

// Wine keeps no descriptor of its own for a file: it maps the access list to
// Unix permissions and reads back what those allow. What it does show is that
// nobody outside SYSTEM, the administrators and the user gets in.
TEST_F(PrivateTemp, FolderIsCreatedWithThatDescriptor) {
  const fs::path folder = CreateExtractionFolder();
  const std::wstring dacl = FolderDacl(folder);
  EXPECT_NE(dacl.find(L"(A;OICI;FA;;;SY)"), std::wstring::npos) << dacl;
  std::wstring rest = dacl;
  for (const std::wstring& granted : {std::wstring(L"SY"), std::wstring(L"BA"), TokenSid(TokenOwner), TokenSid(TokenUser)}) {
    for (std::size_t at; (at = rest.find(L";;;" + granted + L")")) != std::wstring::npos;) rest.erase(at, granted.size() + 4);
  }
  EXPECT_EQ(rest.find(L";;;"), std::wstring::npos) << "access for someone else: " << fs::path(dacl).string();
}

TEST_F(PrivateTemp, TemporaryPathThatIsNoDirectory) {
  const fs::path file = root_ / "plain-file";
  Write(file);
  for (const std::wstring& temp : {root_.wstring() + L"\\missing\\", file.wstring() + L"\\"}) {
    Point(temp);
    try {
      CreateExtractionFolder();
      FAIL() << "used " << fs::path(temp).string();
    } catch (const fs::filesystem_error& error) {
      const std::string expected = "temp_directory_path: " +
                                   std::make_error_code(std::errc::not_a_directory).message() + ": \"" +
                                   fs::path(temp).string() + "\"";
      EXPECT_EQ(error.what(), expected);
    }
  }
  EXPECT_EQ(::GetModuleHandleW(L"cryptbase.dll"), nullptr);
}

TEST_F(PrivateTemp, GuardRemovesNestedContentDepthFirst) {
  const fs::path folder = root_ / "VantorSetup-1";
  fs::create_directories(folder / "a" / "b" / "c");
  Write(folder / "Setup.exe");
  Write(folder / "a" / "b" / "c" / "deep.txt");
  Write(folder / "a" / "top.txt");
  { const ExtractionFolderGuard guard(folder); }
  EXPECT_FALSE(fs::exists(folder));
}

TEST_F(PrivateTemp, RemovalOfAMissingFolderDoesNothing) {
  RemoveExtractionFolder(root_ / "VantorSetup-2");
  EXPECT_TRUE(fs::exists(root_));
}

TEST_F(PrivateTemp, FileHeldWithoutDeleteSharingKeepsTheFolder) {
  const fs::path folder = root_ / "VantorSetup-3";
  fs::create_directories(folder);
  Write(folder / "held.txt");
  const HANDLE held = ::CreateFileW((folder / "held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  RemoveExtractionFolder(folder);
  EXPECT_TRUE(fs::exists(folder / "held.txt"));
  ::CloseHandle(held);
  RemoveExtractionFolder(folder);
  EXPECT_FALSE(fs::exists(folder));
}

TEST_F(PrivateTemp, ReadOnlyFileIsNotForced) {
  const fs::path folder = root_ / "VantorSetup-4";
  fs::create_directories(folder);
  Write(folder / "locked.txt");
  ::SetFileAttributesW((folder / "locked.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  RemoveExtractionFolder(folder);
  EXPECT_TRUE(fs::exists(folder / "locked.txt"));
  ::SetFileAttributesW((folder / "locked.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
