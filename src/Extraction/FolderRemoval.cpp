#include "Extraction/FolderRemoval.h"

#include <memory>
#include <string>

#include <windows.h>

#include "Utilities/Raii.h"

namespace vantor::extraction {
namespace {

// Not named by every SDK: the extended disposition class and its flags.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;
constexpr int kFolderDeleteAttempts = 10;

// Extended-length form, so entries the installer nested deeply are reachable.
std::wstring Extended(const std::wstring& path) {
  if (path.rfind(L"\\\\", 0) == 0) return path;  // already \\?\ or a UNC path
  return L"\\\\?\\" + path;
}

bool IsGone(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// Deletes one entry (a file, an empty folder, a link or junction itself).
// Returns the system's error, ERROR_SUCCESS when deleted or already gone.
DWORD DeleteEntry(const std::wstring& path) {
  const utilities::FileHandle entry(
      ::CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!entry.IsOpen()) {
    const DWORD error = ::GetLastError();
    return IsGone(error) ? ERROR_SUCCESS : error;
  }
  // POSIX semantics take the name away at once; file systems without them
  // get the classic delete-on-close.
  DWORD flags = kDispositionDelete | kDispositionPosixSemantics;
  if (::SetFileInformationByHandle(entry.Get(), kFileDispositionInfoEx, &flags, sizeof(flags))) {
    return ERROR_SUCCESS;
  }
  const DWORD error = ::GetLastError();
  if (error != ERROR_INVALID_FUNCTION && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_PARAMETER) {
    return error;
  }
  FILE_DISPOSITION_INFO classic{TRUE};
  return ::SetFileInformationByHandle(entry.Get(), FileDispositionInfo, &classic, sizeof(classic))
             ? ERROR_SUCCESS
             : ::GetLastError();
}

// An empty folder can still look non-empty for a moment while entries
// deleted with classic semantics wait for their last handle to close.
DWORD DeleteEmptiedFolder(const std::wstring& path) {
  DWORD error = ERROR_SUCCESS;
  for (int attempt = 0; attempt < kFolderDeleteAttempts; ++attempt) {
    error = DeleteEntry(path);
    if (error != ERROR_DIR_NOT_EMPTY && error != ERROR_ACCESS_DENIED) break;
  }
  return error;
}

bool IsPlainDirectory(const WIN32_FIND_DATAW& entry) {
  return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

struct FindCloser {
  void operator()(HANDLE find) const { ::FindClose(find); }
};
using FindHandle = std::unique_ptr<void, FindCloser>;

// Depth first; links are entries. Returns false at the first entry that
// cannot be examined or deleted.
bool RemoveContents(const std::wstring& folder) {
  WIN32_FIND_DATAW entry;
  const HANDLE first =
      ::FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
  if (first == INVALID_HANDLE_VALUE) return IsGone(::GetLastError());
  const FindHandle find(first);
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    const bool removed = IsPlainDirectory(entry)
                             ? RemoveContents(path) && DeleteEmptiedFolder(path) == ERROR_SUCCESS
                             : DeleteEntry(path) == ERROR_SUCCESS;
    if (!removed) return false;
  } while (::FindNextFileW(find.get(), &entry));
  const DWORD error = ::GetLastError();
  return error == ERROR_NO_MORE_FILES || IsGone(error);  // the end, or the folder vanished meanwhile
}

}  // namespace

void RemoveExtractionFolder(const std::filesystem::path& folder) noexcept {
  try {
    const std::wstring path = Extended(folder.wstring());
    const DWORD first = DeleteEntry(path);
    if (first != ERROR_DIR_NOT_EMPTY) return;  // deleted, gone, or beyond repair
    if (RemoveContents(path)) DeleteEmptiedFolder(path);
  } catch (...) {
    // Best effort: nothing is reported, the run's exit code stands.
  }
}

}  // namespace vantor::extraction
