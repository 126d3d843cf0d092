#include "Extraction/ExtractionFolder.h"

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <windows.h>

#include "Extraction/FolderSecurity.h"
#include "Extraction/Seams.h"
#include "Utilities/Raii.h"
#include "Utilities/String.h"
#include "winlib/selfProtection/VerifiedDll.h"

namespace vantor::extraction {
namespace {

constexpr wchar_t kFolderPrefix[] = L"VantorSetup-";

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

// Whether `path` names a directory, links followed. A path that is not there
// (in whole or in part) is no directory; any other failure is raised.
bool IsDirectory(const std::filesystem::path& path) {
  const utilities::FileHandle entry(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!entry.IsOpen()) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_BAD_NETPATH ||
        error == ERROR_INVALID_NAME) {
      return false;
    }
    throw FilesystemError("status", path, SystemError(error));
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(entry.Get(), &information)) {
    const DWORD error = ::GetLastError();
    throw FilesystemError("status", path, SystemError(error));
  }
  return (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The temporary path when it did not fit the usual buffer, read again with a
// buffer of the size the system asked for; empty should it have changed again.
std::filesystem::path OversizedTemporaryPath(DWORD needed) {
  std::wstring path(needed, L'\0');
  const DWORD length = ::GetTempPathW(needed, path.data());
  if (length == 0 || length >= needed) return {};
  path.resize(length);
  return path;
}

// GetTempPathW's answer, trailing backslash included; it must name an
// existing directory. A path longer than the buffer is refused as too long,
// with the path: the system then only reports the size it needs, and no code.
std::filesystem::path TemporaryDirectory() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0) {
    const DWORD error = ::GetLastError();
    throw FilesystemError("temp_directory_path", {}, SystemError(error));
  }
  if (length > MAX_PATH) {
    throw FilesystemError("temp_directory_path", OversizedTemporaryPath(length),
                          SystemError(ERROR_FILENAME_EXCED_RANGE));
  }
  const std::filesystem::path temp(std::wstring(buffer, length));
  if (!IsDirectory(temp)) {
    throw FilesystemError("temp_directory_path", temp, std::make_error_code(std::errc::not_a_directory));
  }
  return temp;
}

// 0 to 2147483647 from the system's cryptographic source: one value seeds a
// Mersenne Twister whose first output, cut to its low 31 bits, is the number.
std::uint32_t DrawFolderNumber() {
  std::mt19937 engine(seam::FolderNumberSeed());
  return engine() & 0x7FFFFFFFu;
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

std::filesystem::path CreateExtractionFolder() {
  const std::filesystem::path temp = TemporaryDirectory();

  // The random source lives in cryptbase.dll; hold the system's own copy,
  // loaded by full path, while drawing.
  const winlib::selfProtection::VerifiedDll cryptbase(GetSystemDirectoryPath() / L"cryptbase.dll");
  const std::uint32_t number = DrawFolderNumber();

  const std::filesystem::path folder =
      temp / (kFolderPrefix + vantorlib::string::ToUtf16(vantorlib::string::ToDecimalString(number)));
  // Created with a protected descriptor of its own: otherwise the folder
  // inherits the temporary directory's access, and any process of the user
  // could plant a DLL beside the elevated installer.
  std::vector<BYTE> security = ProtectedFolderSecurity();
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), security.data(), FALSE};
  if (!::CreateDirectoryW(folder.c_str(), &attributes)) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_ALREADY_EXISTS && IsDirectory(folder)) {
      throw std::runtime_error("Failed to create a fresh extraction folder");
    }
    throw FilesystemError("create_directory", folder, SystemError(error));
  }
  return folder;
}

}  // namespace vantor::extraction
