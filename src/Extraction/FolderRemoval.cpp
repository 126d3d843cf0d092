#include "Extraction/FolderRemoval.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>

#include "Extraction/RelativeOpen.h"
#include "Extraction/Seams.h"
#include "Utilities/Raii.h"

namespace vantor::extraction {
namespace {

// Not named by every SDK: the extended disposition class and its flags.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;
constexpr int kFolderDeleteAttempts = 10;

// A folder that is entered is held with this access (listing it, reading its
// attributes, deleting it once empty) and without delete sharing: while it is
// held nobody can rename, replace or delete it.
constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | DELETE | SYNCHRONIZE;
constexpr ULONG kFolderSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
// Any other entry is deleted as a whole; others may keep it open meanwhile.
constexpr ACCESS_MASK kEntryAccess = FILE_READ_ATTRIBUTES | DELETE | SYNCHRONIZE;
constexpr ULONG kEntrySharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

constexpr ULONG kOpenOptions = FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT;

// When a removal gives up, whatever is left: a GetTickCount64 value, or never.
class Deadline {
 public:
  static Deadline Never() { return Deadline(0); }
  static Deadline In(DWORD milliseconds) { return Deadline(::GetTickCount64() + milliseconds); }
  bool Passed() const { return at_ != 0 && ::GetTickCount64() >= at_; }

 private:
  explicit Deadline(ULONGLONG at) : at_(at) {}
  ULONGLONG at_;
};

// One entry as its folder listed it.
struct Entry {
  std::wstring name;
  std::uint64_t id;  // the file system's number for it
  DWORD attributes;
  DWORD reparseTag;  // for a reparse point
};

// What an open handle says about the entry it is open on.
struct Identity {
  std::uint64_t id;
  DWORD attributes;
  DWORD reparseTag;
};

std::optional<Identity> IdentityOf(HANDLE entry) {
  FILE_ATTRIBUTE_TAG_INFO attributes{};
  if (!::GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &attributes, sizeof(attributes))) {
    return std::nullopt;
  }
  const std::optional<std::uint64_t> number = FileNumber(entry);
  if (!number) return std::nullopt;
  return Identity{*number, attributes.FileAttributes, attributes.ReparseTag};
}

// A folder is entered and emptied, unless it is a link: a reparse point that
// stands for another name (a symbolic link, a junction). Other reparse points
// (deduplicated or cloud folders, say) hold their own entries. A reparse point
// whose tag the file system does not report counts as a link.
bool IsFolderToEnter(DWORD attributes, DWORD reparseTag) {
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
  return reparseTag != 0 && !IsReparseTagNameSurrogate(reparseTag);
}

// Marks the entry open as `entry` for deletion: with POSIX semantics, which
// take the name away at once, or, where the file system has none, with the
// classic delete-on-close. Returns the system's error, ERROR_SUCCESS if marked.
DWORD MarkForDeletion(HANDLE entry) {
  DWORD flags = kDispositionDelete | kDispositionPosixSemantics;
  if (::SetFileInformationByHandle(entry, kFileDispositionInfoEx, &flags, sizeof(flags))) return ERROR_SUCCESS;
  const DWORD error = ::GetLastError();
  if (error != ERROR_INVALID_FUNCTION && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_PARAMETER) {
    return error;
  }
  FILE_DISPOSITION_INFO classic{TRUE};
  return ::SetFileInformationByHandle(entry, FileDispositionInfo, &classic, sizeof(classic)) ? ERROR_SUCCESS
                                                                                            : ::GetLastError();
}

// An emptied folder can still look non-empty for a moment while entries
// deleted with classic semantics wait for their last handle to close.
bool DeleteEmptiedFolder(HANDLE folder) {
  for (int attempt = 0; attempt < kFolderDeleteAttempts; ++attempt) {
    const DWORD error = MarkForDeletion(folder);
    if (error != ERROR_DIR_NOT_EMPTY && error != ERROR_ACCESS_DENIED) return error == ERROR_SUCCESS;
  }
  return false;
}

// A folder being emptied: held open, with the entries listed from it that are
// still to be removed (the next one last).
struct HeldFolder {
  utilities::FileHandle handle;
  std::vector<Entry> pending;
};

enum class Listing { More, End, Failed };

// Lists the next entries of the held folder, through its handle, into its
// pending entries. The listing continues where the previous call ended.
Listing ListMore(HeldFolder& folder, std::vector<std::uint64_t>& buffer) {
  if (!::GetFileInformationByHandleEx(folder.handle.Get(), FileIdBothDirectoryInfo, buffer.data(),
                                      static_cast<DWORD>(buffer.size() * sizeof(buffer[0])))) {
    const DWORD error = ::GetLastError();
    return error == ERROR_NO_MORE_FILES || error == ERROR_FILE_NOT_FOUND ? Listing::End : Listing::Failed;
  }
  std::vector<Entry> listed;
  for (const auto* at = reinterpret_cast<const BYTE*>(buffer.data());;) {
    const auto* information = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
    std::wstring name(information->FileName, information->FileNameLength / sizeof(wchar_t));
    if (name != L"." && name != L"..") {
      // A listing gives a reparse point's tag in place of the size of its
      // extended attributes.
      const DWORD tag = (information->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? information->EaSize : 0;
      listed.push_back({std::move(name), static_cast<std::uint64_t>(information->FileId.QuadPart),
                        information->FileAttributes, tag});
    }
    if (information->NextEntryOffset == 0) break;
    at += information->NextEntryOffset;
  }
  folder.pending.insert(folder.pending.end(), listed.rbegin(), listed.rend());
  return Listing::More;
}

// Opens the entry `name` of the folder held as `folder`, looked up in that
// folder itself, a link as itself. Sets `gone` when there is no such entry any more.
utilities::FileHandle OpenEntry(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG sharing,
                                bool& gone) {
  const RelativeOpen how{access, sharing, FILE_OPEN, kOpenOptions};
  seam::RemovalStepReached(seam::RemovalStep::Opening, name, how.options);
  LONG status = 0;
  utilities::FileHandle entry = OpenInFolder(folder, name, how, status);
  gone = status == kStatusNameNotFound || status == kStatusPathNotFound;
  return entry;
}

enum class Step { Removed, Entered, Stopped };

// Removes one entry listed in the folder held as `parent`: a plain folder is
// entered (pushed onto `held`, to be emptied and deleted later), anything
// else is deleted as a whole. Whatever opens under the name must be the very
// entry that was listed; something else was put there meanwhile, and the
// removal stops rather than touch it.
Step RemoveEntry(HANDLE parent, const Entry& entry, std::vector<HeldFolder>& held) {
  const bool enter = IsFolderToEnter(entry.attributes, entry.reparseTag);
  bool gone = false;
  utilities::FileHandle handle =
      OpenEntry(parent, entry.name, enter ? kFolderAccess : kEntryAccess, enter ? kFolderSharing : kEntrySharing, gone);
  if (!handle.IsOpen()) return gone ? Step::Removed : Step::Stopped;
  const std::optional<Identity> identity = IdentityOf(handle.Get());
  if (!identity || identity->id != entry.id) return Step::Stopped;
  if (enter && IsFolderToEnter(identity->attributes, identity->reparseTag)) {
    held.push_back({std::move(handle), {}});
    seam::RemovalStepReached(seam::RemovalStep::Entered, entry.name, 0);
    return Step::Entered;
  }
  return MarkForDeletion(handle.Get()) == ERROR_SUCCESS ? Step::Removed : Step::Stopped;
}

// Empties and deletes the folders in `held` (each one inside the one before
// it), depth first. Every folder on the way down stays held until it is empty
// and deleted; they are kept on the heap, so the depth of the tree costs no
// machine stack. Ends at the first entry that cannot be examined or deleted,
// or at the deadline.
void RemoveTree(std::vector<HeldFolder> held, const Deadline& deadline) {
  std::vector<std::uint64_t> buffer(8192);
  while (!held.empty() && !deadline.Passed()) {
    HeldFolder& innermost = held.back();
    if (innermost.pending.empty()) {
      const Listing listing = ListMore(innermost, buffer);
      if (listing == Listing::Failed) return;
      if (listing == Listing::End) {
        if (!DeleteEmptiedFolder(innermost.handle.Get())) return;
        held.pop_back();  // closing the handle completes a classic deletion
      }
      continue;
    }
    const Entry entry = std::move(innermost.pending.back());
    innermost.pending.pop_back();
    if (RemoveEntry(innermost.handle.Get(), entry, held) == Step::Stopped) return;
  }
}

// A name this launcher gives its folders: the prefix and a number it can
// draw, in plain decimal (no sign, no leading zero).
bool IsExtractionFolderName(std::wstring_view name) {
  const std::wstring_view prefix = kFolderPrefix;
  if (name.substr(0, prefix.size()) != prefix) return false;
  const std::wstring_view digits = name.substr(prefix.size());
  if (digits.empty() || digits.size() > 10 || (digits[0] == L'0' && digits.size() > 1)) return false;
  std::uint64_t number = 0;
  for (const wchar_t digit : digits) {
    if (digit < L'0' || digit > L'9') return false;
    number = number * 10 + static_cast<std::uint64_t>(digit - L'0');
  }
  return number <= kLargestFolderNumber;
}

}  // namespace

// The held handle does not share deleting, so a handle that may delete the
// folder can only be opened once it is closed; a handle on the same folder
// that shares everything bridges the moment between, so that the folder is
// reached through what was held and never by a name. The folder is first
// deleted as one entry, which succeeds only when it is empty.
void RemoveExtractionFolder(utilities::FileHandle held) noexcept {
  try {
    LONG status = 0;
    utilities::FileHandle bridge = OpenInFolder(
        held.Get(), L"", {FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                          kOpenOptions},
        status);
    held = utilities::FileHandle();
    if (!bridge.IsOpen()) return;
    utilities::FileHandle root =
        OpenInFolder(bridge.Get(), L"", {kFolderAccess, kFolderSharing, FILE_OPEN, kOpenOptions}, status);
    bridge = utilities::FileHandle();
    if (!root.IsOpen()) return;  // gone, or out of reach
    if (MarkForDeletion(root.Get()) != ERROR_DIR_NOT_EMPTY) return;  // deleted, or beyond repair
    const std::optional<Identity> identity = IdentityOf(root.Get());
    if (!identity || !IsFolderToEnter(identity->attributes, identity->reparseTag)) return;
    std::vector<HeldFolder> tree;
    tree.push_back({std::move(root), {}});
    RemoveTree(std::move(tree), Deadline::Never());
  } catch (...) {
    // Best effort: nothing is reported, the run's exit code stands.
  }
}

// Each stale folder is removed as an entry of the temporary directory, the
// way the end-of-run removal treats an entry of the extraction folder: a
// folder is opened and held without delete sharing before it is entered (so
// the open fails on a folder that a running launcher holds), a link is
// deleted as itself. Files are never touched, whatever their name.
void SweepStaleFolders(HANDLE temp, const SweepBounds& bounds) noexcept {
  try {
    const Deadline deadline = Deadline::In(bounds.milliseconds);
    LONG status = 0;
    HeldFolder listed{OpenInFolder(temp, L"", {FILE_LIST_DIRECTORY, kEntrySharing, FILE_OPEN, kOpenOptions}, status),
                      {}};
    if (!listed.handle.IsOpen()) return;
    std::vector<std::uint64_t> buffer(8192);
    int folders = 0;
    while (ListMore(listed, buffer) == Listing::More) {
      for (; !listed.pending.empty(); listed.pending.pop_back()) {
        const Entry& entry = listed.pending.back();
        if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || !IsExtractionFolderName(entry.name)) continue;
        if (folders++ == bounds.folders || deadline.Passed()) return;
        std::vector<HeldFolder> held;
        if (RemoveEntry(listed.handle.Get(), entry, held) == Step::Entered) RemoveTree(std::move(held), deadline);
      }
      if (deadline.Passed()) return;
    }
  } catch (...) {
    // Best effort: the sweep never fails the run.
  }
}

}  // namespace vantor::extraction
