#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "Extraction/FolderRemoval.h"
#include "Harness.h"
#include "Imports.h"
#include "TestSeams.h"

namespace {

namespace fs = std::filesystem;
using test_seams::RemovalStep;
using vantor::extraction::ExtendedLengthPath;
using vantor::extraction::ExtractionFolderGuard;
using vantor::extraction::RemoveExtractionFolder;

// An extraction folder with a file and a subfolder, and a folder outside it
// that nothing may touch.
class Removal : public testing::Test {
 protected:
  void SetUp() override {
    root_ = harness::NewTempFolder(L"vantor-removal-");
    folder_ = root_ + L"\\VantorSetup-1";
    outside_ = root_ + L"\\outside";
    fs::create_directories(folder_ + L"\\sub\\nested");
    fs::create_directories(outside_);
    for (const wchar_t* file :
         {L"\\VantorSetup-1\\Setup.exe", L"\\VantorSetup-1\\sub\\nested\\data.bin", L"\\outside\\keep.txt"}) {
      std::ofstream(fs::path(root_ + file)) << "x";
    }
  }
  void TearDown() override { harness::RemoveTree(root_); }

  std::wstring root_, folder_, outside_;
  test_seams::Cleared seams_;
};

TEST_F(Removal, GuardOwnsItsPathAndRemovesEverything) {
  {
    const ExtractionFolderGuard guard{fs::path(folder_)};  // from a temporary
    const std::wstring other(folder_.size(), L'?');      // may reuse the temporary's memory
    EXPECT_EQ(guard.Path(), folder_) << other.size();
  }
  EXPECT_FALSE(fs::exists(folder_));
  EXPECT_TRUE(fs::exists(outside_ + L"\\keep.txt"));
}

// The worst moment: the folder listing showed "sub" as a plain folder, and
// before the removal opens it someone puts a link to an outside folder in its
// place. What opens is not the entry that was listed, so it is left alone.
TEST_F(Removal, FolderSwappedForALinkBeforeItIsOpenedIsNotFollowed) {
  bool swapped = false;
  test_seams::removalStep = [&](RemovalStep step, std::wstring_view name) {
    if (step != RemovalStep::Opening || name != L"sub" || swapped) return;
    swapped = ::MoveFileW((folder_ + L"\\sub").c_str(), (root_ + L"\\moved").c_str()) &&
              harness::MakeDirectoryLink(folder_ + L"\\sub", outside_);
  };
  RemoveExtractionFolder(folder_);
  ASSERT_TRUE(swapped);
  EXPECT_TRUE(fs::exists(outside_ + L"\\keep.txt"));
}

// Once entered, a folder is held: neither it nor the folder above it can be
// moved away to make room for a link while its entries are removed.
TEST_F(Removal, EnteredFoldersCannotBeMovedAway) {
  std::vector<std::wstring> moved;
  test_seams::removalStep = [&](RemovalStep step, std::wstring_view name) {
    if (step != RemovalStep::Entered || name != L"sub") return;
    for (const std::wstring& path : {folder_ + L"\\sub", folder_}) {
      if (::MoveFileW(path.c_str(), (root_ + L"\\moved").c_str())) moved.push_back(path);
    }
  };
  RemoveExtractionFolder(folder_);
  EXPECT_TRUE(moved.empty()) << fs::path(moved.front()).string();
  EXPECT_FALSE(fs::exists(folder_));
}

// Calls to SetFileInformationByHandle, as the removal made them.
struct Disposition {
  HANDLE handle;
  FILE_INFO_BY_HANDLE_CLASS kind;
  DWORD flags;
  DWORD error;
};
std::vector<Disposition> dispositions;
decltype(&::SetFileInformationByHandle) setFileInformation;

BOOL WINAPI RecordDisposition(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information, DWORD size) {
  const BOOL done = setFileInformation(handle, kind, information, size);
  const DWORD error = done ? 0 : ::GetLastError();
  dispositions.push_back({handle, kind, *static_cast<const DWORD*>(information), error});
  ::SetLastError(error);
  return done;
}

// POSIX semantics take a deleted name away at once, even while others keep the
// entry open; the classic deletion is the fallback for file systems without
// them. (Wine has none, and answers 87: here only the order can be seen.)
TEST_F(Removal, EntriesAreMarkedWithPosixSemanticsFirst) {
  void** slot = harness::ImportSlot("kernel32.dll", "SetFileInformationByHandle");
  ASSERT_NE(slot, nullptr);
  setFileInformation = reinterpret_cast<decltype(setFileInformation)>(
      harness::Redirect(slot, reinterpret_cast<void*>(&RecordDisposition)));
  RemoveExtractionFolder(folder_);
  harness::Redirect(slot, reinterpret_cast<void*>(setFileInformation));

  EXPECT_FALSE(fs::exists(folder_));
  ASSERT_FALSE(dispositions.empty());
  constexpr auto kPosix = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
  for (std::size_t i = 0; i < dispositions.size(); ++i) {
    if (dispositions[i].kind == kPosix) {
      EXPECT_EQ(dispositions[i].flags, 3u);  // delete, POSIX semantics
      continue;
    }
    EXPECT_EQ(dispositions[i].kind, FileDispositionInfo);
    ASSERT_GT(i, 0u);
    const Disposition& before = dispositions[i - 1];
    EXPECT_TRUE(before.kind == kPosix && before.handle == dispositions[i].handle);
    EXPECT_TRUE(before.error == ERROR_INVALID_FUNCTION || before.error == ERROR_NOT_SUPPORTED ||
                before.error == ERROR_INVALID_PARAMETER) << before.error;
  }
}

TEST(ExtendedLengthPath, DrivesSharesAndPathsInThatFormAlready) {
  EXPECT_EQ(ExtendedLengthPath(L"C:\\Temp\\VantorSetup-1"), L"\\\\?\\C:\\Temp\\VantorSetup-1");
  EXPECT_EQ(ExtendedLengthPath(L"\\\\server\\share\\Temp\\VantorSetup-1"),
            L"\\\\?\\UNC\\server\\share\\Temp\\VantorSetup-1");
  EXPECT_EQ(ExtendedLengthPath(L"\\\\?\\UNC\\server\\share\\T"), L"\\\\?\\UNC\\server\\share\\T");
}

}  // namespace
