#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "Extraction/ExtractionFolder.h"
#include "Extraction/FolderSecurity.h"
#include "Harness.h"
#include "TestSeams.h"

namespace {

namespace fs = std::filesystem;
using vantor::extraction::CreateExtractionFolder;

// The standard engine's first output for the seed 5489 is 3499211612; its
// low 31 bits are 1351727964.
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
  bool heldWhileDrawing = false;
  test_seams::folderNumberSeed = [&] {
    heldWhileDrawing = CryptbaseLoaded();
    return kSeed;
  };
  const fs::path folder = CreateExtractionFolder();
  EXPECT_EQ(folder, root_ / kDrawnName);
  EXPECT_TRUE(fs::is_directory(folder) && fs::is_empty(folder));
  EXPECT_TRUE(heldWhileDrawing);
  EXPECT_FALSE(CryptbaseLoaded());
}

TEST_F(PrivateTemp, ANameThatIsTakenIsNeverUsed) {
  test_seams::folderNumberSeed = [] { return kSeed; };
  const fs::path taken = root_ / kDrawnName;
  fs::create_directory(taken);
  std::ofstream(taken / "theirs.txt") << "theirs";
  EXPECT_EQ(ErrorOfCreating(), "Failed to create a fresh extraction folder");
  EXPECT_TRUE(fs::exists(taken / "theirs.txt"));

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
  const fs::path folder = CreateExtractionFolder();
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
