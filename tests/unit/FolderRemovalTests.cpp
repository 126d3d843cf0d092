#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <fstream>
#include <vector>

#include "Extraction/FolderRemoval.h"
#include "Harness.h"
#include "Imports.h"
#include "TestSeams.h"

namespace {

namespace fs = std::filesystem;
using test_seams::RemovalStep;
using vantor::extraction::RemoveExtractionFolder;
using vantor::extraction::SweepBounds;
using vantor::extraction::SweepStaleFolders;
using utilities::FileHandle;

// The folder held as the launcher holds its extraction folder.
FileHandle Held(const std::wstring& folder) {
  return FileHandle(::CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

bool EndsWith(const std::wstring& text, const std::wstring& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The path of what `handle` is open on.
std::wstring PathOf(HANDLE handle) {
  wchar_t path[1024] = {};
  return ::GetFinalPathNameByHandleW(handle, path, 1024, 0) != 0 ? path : L"";
}

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

// Listed, then gone before it is opened (its owner deleted it): nothing is
// left to remove, and the removal goes on.
TEST_F(Removal, AnEntryGoneBeforeItIsOpenedCountsAsGone) {
  test_seams::removalStep = [&](RemovalStep step, std::wstring_view name, ULONG) {
    if (step == RemovalStep::Opening && name == L"Setup.exe") ::DeleteFileW((folder_ + L"\\Setup.exe").c_str());
  };
  RemoveExtractionFolder(Held(folder_));
  EXPECT_FALSE(fs::exists(folder_));
}

// The first entry that cannot be deleted ends the walk: what was removed
// before it is gone, it and everything after it stay.
TEST_F(Removal, TheWalkStopsAtTheFirstEntryItCannotDelete) {
  for (const wchar_t* name : {L"\\b.txt", L"\\c.txt"}) std::ofstream(fs::path(folder_ + name)) << "x";
  const std::vector<std::wstring> topLevel{L"Setup.exe", L"b.txt", L"c.txt", L"sub"};
  std::vector<std::wstring> openedBefore;
  FileHandle holder;
  int files = 0;
  test_seams::removalStep = [&](RemovalStep step, std::wstring_view name, ULONG) {
    if (step != RemovalStep::Opening || holder.IsOpen()) return;
    if (std::find(topLevel.begin(), topLevel.end(), name) == topLevel.end()) return;
    if (name != L"sub" && ++files == 2) {  // the second file: held open without delete sharing
      holder = FileHandle(::CreateFileW((folder_ + L"\\" + std::wstring(name)).c_str(), GENERIC_READ,
                                        FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
      return;
    }
    openedBefore.emplace_back(name);
  };
  RemoveExtractionFolder(Held(folder_));
  ASSERT_TRUE(holder.IsOpen());
  for (const std::wstring& name : topLevel) {
    const bool removed = std::find(openedBefore.begin(), openedBefore.end(), name) != openedBefore.end();
    EXPECT_EQ(fs::exists(folder_ + L"\\" + name), !removed) << fs::path(name).string();
  }
}

// Someone else's handle open for writing, with delete sharing, does not keep
// an entry from being deleted: it goes once that handle is closed.
TEST_F(Removal, ALeftoverHeldForWritingWithDeleteSharingStillGoes) {
  const std::wstring leftover = folder_ + L"\\held.txt";
  FileHandle writer(::CreateFileW(leftover.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, CREATE_NEW, 0, nullptr));
  ASSERT_TRUE(writer.IsOpen());
  RemoveExtractionFolder(Held(folder_));
  writer.Close();
  EXPECT_FALSE(fs::exists(leftover));
}

// The worst moment: the folder listing showed "sub" as a plain folder, and
// before the removal opens it someone puts a link to an outside folder in its
// place. What opens is not the entry that was listed, so it is left alone.
TEST_F(Removal, FolderSwappedForALinkBeforeItIsOpenedIsNotFollowed) {
  bool swapped = false;
  test_seams::removalStep = [&](RemovalStep step, std::wstring_view name, ULONG) {
    if (step != RemovalStep::Opening || name != L"sub" || swapped) return;
    swapped = ::MoveFileW((folder_ + L"\\sub").c_str(), (root_ + L"\\moved").c_str()) &&
              harness::MakeDirectoryLink(folder_ + L"\\sub", outside_);
  };
  RemoveExtractionFolder(Held(folder_));
  ASSERT_TRUE(swapped);
  EXPECT_TRUE(fs::exists(outside_ + L"\\keep.txt"));
}

// Once entered, a folder is held: neither it nor the folder above it can be
// moved away to make room for a link while its entries are removed.
TEST_F(Removal, EnteredFoldersCannotBeMovedAway) {
  std::vector<std::wstring> moved;
  test_seams::removalStep = [&](RemovalStep step, std::wstring_view name, ULONG) {
    if (step != RemovalStep::Entered || name != L"sub") return;
    for (const std::wstring& path : {folder_ + L"\\sub", folder_}) {
      if (::MoveFileW(path.c_str(), (root_ + L"\\moved").c_str())) moved.push_back(path);
    }
  };
  RemoveExtractionFolder(Held(folder_));
  EXPECT_TRUE(moved.empty()) << fs::path(moved.front()).string();
  EXPECT_FALSE(fs::exists(folder_));
}

// FileDispositionInfoEx: each deletion starts with it.
constexpr auto kPosix = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// POSIX semantics take a deleted name away at once, even while others keep the
// entry open; the classic deletion is the fallback for file systems without
// them (Wine has none, and answers 87: here only the order can be seen).
// Once emptied, the folder's deletion is tried again at once while the system
// answers "not empty" (145) or "access denied" (5), up to 10 attempts; any
// other answer ends the attempts. Answers are given here for the attempts
// after the first, whole-folder one.
struct Injected {
  DWORD error;
  int attempts;           // answered with `error`
  bool removed;           // then the folder is gone
  int deletionsOfFolder;  // deletions tried on the folder, the first included
};
Injected injected;
int folderDeletions;
struct Disposition {
  HANDLE handle;
  FILE_INFO_BY_HANDLE_CLASS kind;
  DWORD flags;
  DWORD error;
};
std::vector<Disposition> dispositions;  // the calls as the removal made them, with their answers
decltype(&::SetFileInformationByHandle) setFileInformation;

BOOL WINAPI Dispose(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information, DWORD size) {
  const bool fail = kind == kPosix && EndsWith(PathOf(handle), L"\\VantorSetup-1") && folderDeletions++ > 0 &&
                    folderDeletions - 1 <= injected.attempts;
  const BOOL done = !fail && setFileInformation(handle, kind, information, size);
  const DWORD error = fail ? injected.error : done ? 0 : ::GetLastError();
  dispositions.push_back({handle, kind, *static_cast<const DWORD*>(information), error});
  ::SetLastError(error);
  return done;
}

class FolderDeletion : public Removal, public testing::WithParamInterface<Injected> {};

TEST_P(FolderDeletion, PosixFirstAndRetriedAtOnceOnNotEmptyOrAccessDeniedOnly) {
  injected = GetParam();
  folderDeletions = 0;
  dispositions.clear();
  {
    const harness::Redirected redirected("kernel32.dll", "SetFileInformationByHandle", &Dispose, setFileInformation);
    ASSERT_TRUE(redirected);
    RemoveExtractionFolder(Held(folder_));
  }
  EXPECT_EQ(!fs::exists(folder_), GetParam().removed);
  EXPECT_EQ(folderDeletions, GetParam().deletionsOfFolder);
  ASSERT_FALSE(dispositions.empty());
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

INSTANTIATE_TEST_SUITE_P(Answers, FolderDeletion,
                         testing::Values(Injected{ERROR_DIR_NOT_EMPTY, 9, true, 11},
                                         Injected{ERROR_DIR_NOT_EMPTY, 10, false, 11},
                                         Injected{ERROR_ACCESS_DENIED, 9, true, 11},
                                         Injected{ERROR_SHARING_VIOLATION, 1, false, 2}),
                         [](const auto& info) {
                           return "Error" + std::to_string(info.param.error) + "Times" +
                                  std::to_string(info.param.attempts);
                         });

// Only reparse points that stand for another name (junctions, symbolic
// links) count as links, and so does one whose tag is not known; a folder
// that is another kind of reparse point is emptied like any folder. Wine has
// no reparse points but links made from Linux, and reports no tags: plain
// folders are dressed up here as the system would list and open them.
struct Dressing {
  const wchar_t* name;
  DWORD tag;
  bool entered;
  bool removed;  // the whole extraction folder
};
Dressing dressing;
decltype(&::GetFileInformationByHandleEx) getFileInformation;

BOOL WINAPI DressAsReparsePoint(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID buffer, DWORD size) {
  if (!getFileInformation(handle, kind, buffer, size)) return FALSE;
  if (kind == FileIdBothDirectoryInfo) {
    for (auto* at = static_cast<BYTE*>(buffer);;) {
      auto* information = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(at);
      if (std::wstring(information->FileName, information->FileNameLength / sizeof(wchar_t)) == dressing.name) {
        information->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        information->EaSize = dressing.tag;
      }
      if (information->NextEntryOffset == 0) break;
      at += information->NextEntryOffset;
    }
  } else if (kind == FileAttributeTagInfo && EndsWith(PathOf(handle), std::wstring(L"\\") + dressing.name)) {
    auto* information = static_cast<FILE_ATTRIBUTE_TAG_INFO*>(buffer);
    information->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    information->ReparseTag = dressing.tag;
  }
  return TRUE;
}

class ReparsePoints : public Removal, public testing::WithParamInterface<Dressing> {};

TEST_P(ReparsePoints, OnlyNameSurrogatesAreLinks) {
  dressing = GetParam();
  fs::create_directories(folder_ + L"\\empty");
  bool entered = false;
  std::vector<std::wstring> followed;  // opens that would enter a link instead of taking it as itself
  test_seams::removalStep = [&](RemovalStep step, std::wstring_view name, ULONG options) {
    entered = entered || (step == RemovalStep::Entered && name == dressing.name);
    if (step == RemovalStep::Opening && (options & FILE_OPEN_REPARSE_POINT) == 0) followed.emplace_back(name);
  };
  {
    const harness::Redirected dressed("kernel32.dll", "GetFileInformationByHandleEx", &DressAsReparsePoint,
                                      getFileInformation);
    ASSERT_TRUE(dressed);
    RemoveExtractionFolder(Held(folder_));
  }
  EXPECT_EQ(entered, GetParam().entered);
  // Wine opens a link's target either way; on Windows this flag alone decides
  // whether a link is deleted as a link or entered.
  EXPECT_EQ(followed, std::vector<std::wstring>{});
  EXPECT_EQ(!fs::exists(folder_), GetParam().removed);
  if (!GetParam().removed) EXPECT_TRUE(fs::exists(folder_ + L"\\sub\\nested\\data.bin"));
}

INSTANTIATE_TEST_SUITE_P(
    Tags, ReparsePoints,
    testing::Values(Dressing{L"sub", IO_REPARSE_TAG_DEDUP, true, true},
                    Dressing{L"sub", IO_REPARSE_TAG_MOUNT_POINT, false, false},
                    Dressing{L"sub", IO_REPARSE_TAG_SYMLINK, false, false}, Dressing{L"sub", 0, false, false},
                    Dressing{L"empty", IO_REPARSE_TAG_MOUNT_POINT, false, true}),
    [](const auto& info) {
      return harness::TestName(info.param.name) + "Tag" + std::to_string(info.param.tag);
    });

// The temporary directory as the launcher holds it while it sweeps.
FileHandle HeldTemp(const std::wstring& folder) {
  return FileHandle(::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// What killed runs, and others, leave in the temporary directory (the
// fixture's folder, which holds "VantorSetup-1" with nested content), and
// what the sweep at start does with each.
enum class Leftover { Folder, FolderWithLink, Link, File, HeldFolder };
struct Stale {
  const wchar_t* name;
  Leftover kind;
  bool swept;
};
constexpr Stale kStale[] = {
    {L"VantorSetup-1", Leftover::Folder, true},
    {L"VantorSetup-0", Leftover::Folder, true},
    {L"VantorSetup-2147483647", Leftover::Folder, true},
    {L"VantorSetup-2", Leftover::FolderWithLink, true},
    {L"VantorSetup-3", Leftover::Link, true},
    {L"VantorSetup-4", Leftover::File, false},
    {L"VantorSetup-5", Leftover::HeldFolder, false},  // a running launcher's
    {L"VantorSetup-", Leftover::Folder, false},
    {L"VantorSetup-012", Leftover::Folder, false},
    {L"VantorSetup-2147483648", Leftover::Folder, false},
    {L"VantorSetup-12a", Leftover::Folder, false},
    {L"VantorSetup-12.old", Leftover::Folder, false},
    {L"VantorSetup--12", Leftover::Folder, false},
    {L"vantorsetup-12", Leftover::Folder, false},
    {L"My VantorSetup-12", Leftover::Folder, false},
};

// Links are deleted as entries and never followed. Wine refuses to delete a
// link whose target has content (see the README), so there the link stays
// and only its target's safety shows.
TEST_F(Removal, SweepRemovesOnlyStaleExtractionFoldersAndNeverFollowsLinks) {
  std::vector<FileHandle> running;
  for (const Stale& stale : kStale) {
    const std::wstring path = root_ + L"\\" + stale.name;
    switch (stale.kind) {
      case Leftover::Folder:
      case Leftover::HeldFolder:
        fs::create_directories(path + L"\\cache");
        std::ofstream(fs::path(path + L"\\cache\\data.bin")) << "x";
        if (stale.kind == Leftover::HeldFolder) running.push_back(Held(path));
        break;
      case Leftover::FolderWithLink:
        fs::create_directories(path);
        ASSERT_TRUE(harness::MakeDirectoryLink(path + L"\\outside-link", outside_));
        break;
      case Leftover::Link:
        ASSERT_TRUE(harness::MakeDirectoryLink(path, outside_));
        break;
      case Leftover::File:
        std::ofstream(fs::path(path)) << "x";
        break;
    }
  }

  SweepStaleFolders(HeldTemp(root_).Get());

  const bool wine = !harness::UnixPath(root_).empty();
  EXPECT_TRUE(fs::exists(outside_ + L"\\keep.txt"));
  for (const Stale& stale : kStale) {
    if (wine && (stale.kind == Leftover::FolderWithLink || stale.kind == Leftover::Link)) continue;
    EXPECT_EQ(!fs::exists(fs::symlink_status(root_ + L"\\" + stale.name)), stale.swept) << fs::path(stale.name).string();
  }
  EXPECT_TRUE(fs::exists(root_ + L"\\VantorSetup-5\\cache\\data.bin"));
}

// A start never stalls on leftovers: the sweep takes on so many stale folders
// at most, and stops at its deadline, also in the middle of a folder (here
// the first folder it opens is reached only after the deadline has passed).
struct Bounded {
  SweepBounds bounds;
  DWORD delayMs;  // at the first entry opened
  std::size_t left;
};

class SweepBound : public Removal, public testing::WithParamInterface<Bounded> {};

TEST_P(SweepBound, IsKeptAndWhatIsLeftStaysForTheNextStart) {
  for (const wchar_t* name : {L"\\VantorSetup-2", L"\\VantorSetup-3", L"\\VantorSetup-4"}) {
    fs::create_directories(root_ + name);
  }
  bool delayed = false;
  test_seams::removalStep = [&](RemovalStep, std::wstring_view, ULONG) {
    if (!delayed) ::Sleep(GetParam().delayMs);
    delayed = true;
  };
  SweepStaleFolders(HeldTemp(root_).Get(), GetParam().bounds);
  std::size_t left = 0;
  for (const auto& entry : fs::directory_iterator(root_)) left += entry.path().filename() != "outside" ? 1 : 0;
  EXPECT_EQ(left, GetParam().left);
  if (GetParam().left == 4) EXPECT_TRUE(fs::exists(folder_ + L"\\sub\\nested\\data.bin"));
}

INSTANTIATE_TEST_SUITE_P(Bounds, SweepBound,
                         testing::Values(Bounded{{2, 60000}, 0, 2}, Bounded{{64, 0}, 0, 4},
                                         Bounded{{64, 20}, 100, 4}),
                         [](const auto& info) {
                           return "Folders" + std::to_string(info.param.bounds.folders) + "Ms" +
                                  std::to_string(info.param.bounds.milliseconds);
                         });

}  // namespace
