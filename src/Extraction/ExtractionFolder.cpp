#include "Extraction/ExtractionFolder.h"

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <windows.h>

#include "Extraction/FolderRemoval.h"
#include "Extraction/FolderSecurity.h"
#include "Extraction/RelativeOpen.h"
#include "Extraction/Seams.h"
#include "Utilities/Raii.h"
#include "Utilities/String.h"
#include "Utilities/Throw.h"
#include "winlib/selfProtection/VerifiedDll.h"

namespace vantor::extraction {
namespace {

// A filesystem error worded "<operation>: <system message>: \"<path>\"".
class FilesystemError : public std::filesystem::filesystem_error {
 public:
  FilesystemError(const std::string& operation, const std::filesystem::path& path, std::error_code code)
      : filesystem_error(operation, path, code),
        text_(operation + ": " + code.message() + ": \"" + path.string() + "\"") {}
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

std::error_code SystemError(DWORD code) { return {static_cast<int>(code), std::system_category()}; }

bool IsDirectory(HANDLE entry, const std::filesystem::path& path) {
  FILE_BASIC_INFO information{};
  if (!::GetFileInformationByHandleEx(entry, FileBasicInfo, &information, sizeof(information))) {
    const DWORD error = ::GetLastError();
    throw FilesystemError("status", path, SystemError(error));
  }
  return (information.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The temporary directory, opened (links followed) and held for the moment
// the folder is created in it.
struct TemporaryDirectory {
  utilities::FileHandle handle;
  std::filesystem::path path;
};

// Opens `path` when it names a directory, links followed. A path that is not
// there (in whole or in part), or names something else, gives an empty handle;
// any other failure is raised.
utilities::FileHandle OpenDirectory(const std::filesystem::path& path) {
  utilities::FileHandle entry(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!entry.IsOpen()) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_BAD_NETPATH ||
        error == ERROR_INVALID_NAME) {
      return entry;
    }
    throw FilesystemError("status", path, SystemError(error));
  }
  if (!IsDirectory(entry.Get(), path)) return {};
  return entry;
}

using TemporaryPathQuery = DWORD(WINAPI*)(DWORD, LPWSTR);

// GetTempPath2W where the system has it: for SYSTEM it gives a protected
// temporary directory of SYSTEM's own rather than the shared one that every
// user may write to; for anyone else it answers as GetTempPathW does.
TemporaryPathQuery FindTemporaryPathQuery() {
  const FARPROC found = seam::KernelFunction("GetTempPath2W");
  return found != nullptr ? reinterpret_cast<TemporaryPathQuery>(reinterpret_cast<void*>(found)) : &::GetTempPathW;
}

// The temporary path when it did not fit the usual buffer, read again with a
// buffer of the size the system asked for; empty should it have changed again.
std::filesystem::path OversizedTemporaryPath(TemporaryPathQuery query, DWORD needed) {
  std::wstring path(needed, L'\0');
  const DWORD length = query(needed, path.data());
  if (length == 0 || length >= needed) return {};
  path.resize(length);
  return path;
}

// The temporary path, trailing backslash included, opened: it must name an
// existing directory. A path longer than the buffer is refused as too long,
// with the path: the system then only reports the size it needs, and no code.
TemporaryDirectory OpenTemporaryDirectory() {
  const TemporaryPathQuery query = FindTemporaryPathQuery();
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD length = query(MAX_PATH + 1, buffer);
  if (length == 0) {
    const DWORD error = ::GetLastError();
    throw FilesystemError("temp_directory_path", {}, SystemError(error));
  }
  if (length > MAX_PATH) {
    throw FilesystemError("temp_directory_path", OversizedTemporaryPath(query, length),
                          SystemError(ERROR_FILENAME_EXCED_RANGE));
  }
  const std::filesystem::path temp(std::wstring(buffer, length));
  utilities::FileHandle handle = OpenDirectory(temp);
  if (!handle.IsOpen()) {
    throw FilesystemError("temp_directory_path", temp, std::make_error_code(std::errc::not_a_directory));
  }
  return {std::move(handle), temp};
}

// An elevated run extracts only where its folder's access list holds: on a
// local volume that keeps persistent access lists. FAT and exFAT drop the
// list, so the user's unelevated processes could write DLLs beside the
// elevated installer; across the network the list cannot tell those
// processes from ours, and a server can give the loader other bytes than the
// ones checked after writing.
void RequireAccessControl(HANDLE temp, bool elevated) {
  if (!elevated) return;
  const VolumeFacts volume = seam::TemporaryVolume(temp);
  const bool remote = (volume.deviceCharacteristics & kFileRemoteDevice) != 0 ||
                      volume.deviceType == kFileDeviceNetworkFileSystem || volume.deviceType == kFileDeviceDfs;
  if ((volume.fileSystemFlags & FILE_PERSISTENT_ACLS) == 0 || remote) {
    throw std::runtime_error("Failed to locate a temporary directory that keeps access control");
  }
}

// True when the system, given `path` in its ordinary form, looks up exactly
// that name. It drops a trailing dot or space of a name ("T." becomes "T")
// and resolves "." and ".." itself, so such a path would lead to another
// folder than the one the handle holds.
bool KeepsItsMeaning(const std::wstring& path) {
  for (std::size_t end = path.find(L'\\'); end != std::wstring::npos; end = path.find(L'\\', end + 1)) {
    if (end > 0 && (path[end - 1] == L'.' || path[end - 1] == L' ')) return false;
  }
  if (path.back() == L'.' || path.back() == L' ') return false;
  std::wstring full(path.size() + 1, L'\0');
  const DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  return length == path.size() && full.compare(0, length, path) == 0;
}

// 0 to 2147483647 from the system's cryptographic source: one value seeds a
// Mersenne Twister whose first output, cut to its low 31 bits, is the number.
std::uint32_t DrawFolderNumber() {
  std::mt19937 engine(seam::FolderNumberSeed());
  return engine() & kLargestFolderNumber;
}

}  // namespace

std::filesystem::path GetSystemDirectoryPath() {
  wchar_t buffer[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(buffer, MAX_PATH);
  if (length == 0 || length > MAX_PATH) {
    throw std::runtime_error("GetSystemDirectoryW failed: returned size=" +
                             vantorlib::string::ToDecimalString(static_cast<std::uint32_t>(length)));
  }
  return std::filesystem::path(std::wstring(buffer, length));
}

std::filesystem::path FinalPath(HANDLE folder) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetFinalPathNameByHandleW(folder, path.data(), static_cast<DWORD>(path.size()),
                                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) vantorlib::ThrowLastError("GetFinalPathNameByHandleW failed");
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(length);  // the size needed, terminating null included
  }
  // "\\?\C:\..." as "C:\...", "\\?\UNC\server\..." as "\\server\...": the forms that
  // programs expect of their current folder, as long as the system reads
  // them as the same name; otherwise nothing but this handle names the folder.
  std::wstring ordinary = path;
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    ordinary = L"\\\\" + path.substr(8);
  } else if (path.rfind(L"\\\\?\\", 0) == 0 && path.size() >= 6 && path[5] == L':') {
    ordinary = path.substr(4);
  }
  if (!KeepsItsMeaning(ordinary)) throw std::runtime_error("Failed to name the extraction folder exactly");
  return ordinary;
}

ExtractionFolder CreateExtractionFolder() {
  const TemporaryDirectory temp = OpenTemporaryDirectory();
  const RunningToken token = QueryRunningToken();
  RequireAccessControl(temp.handle.Get(), token.elevated);
  SweepStaleFolders(temp.handle.Get());

  // The random source lives in cryptbase.dll; hold the system's own copy,
  // loaded by full path, while drawing.
  const winlib::selfProtection::VerifiedDll cryptbase(GetSystemDirectoryPath() / L"cryptbase.dll");
  const std::uint32_t number = DrawFolderNumber();

  const std::wstring name = kFolderPrefix + vantorlib::string::ToUtf16(vantorlib::string::ToDecimalString(number));
  // Created with a protected descriptor of its own: otherwise the folder
  // inherits the temporary directory's access, and any process of the user
  // could plant a DLL beside the elevated installer. Created in the opened
  // temporary directory and opened in the same call, so that nothing can come
  // between creating the folder and holding it.
  std::vector<BYTE> security = ProtectedFolderSecurity(token);
  LONG status = 0;
  utilities::FileHandle folder = OpenInFolder(
      temp.handle.Get(), name,
      {FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
       FILE_DIRECTORY_FILE, 0, security.data()},
      status);
  if (!folder.IsOpen()) {
    const std::filesystem::path path = temp.path / name;
    if (status == kStatusNameCollision) {
      const utilities::FileHandle existing =
          OpenInFolder(temp.handle.Get(), name,
                       {FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                        FILE_OPEN_FOR_BACKUP_INTENT},
                       status);
      if (existing.IsOpen() && IsDirectory(existing.Get(), path)) {
        throw std::runtime_error("Failed to create a fresh extraction folder");
      }
      throw FilesystemError("create_directory", path, SystemError(ERROR_ALREADY_EXISTS));
    }
    throw FilesystemError("create_directory", path, SystemError(Win32Error(status)));
  }
  seam::FolderCreated();
  try {
    std::filesystem::path path = FinalPath(folder.Get());
    return {std::move(folder), std::move(path)};
  } catch (...) {
    RemoveExtractionFolder(std::move(folder));  // made by this call: none of it stays
    throw;
  }
}

}  // namespace vantor::extraction
