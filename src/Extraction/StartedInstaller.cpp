#include "Extraction/StartedInstaller.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "Extraction/Seams.h"
#include "Utilities/Raii.h"
#include "Utilities/Throw.h"

namespace vantor::extraction {
namespace {

// The longest path the system handles.
constexpr DWORD kLongestPath = 32768;

// A file as the system knows it: its volume and its number there.
struct FileIdentity {
  std::uint64_t volume;
  std::array<BYTE, 16> number;
  bool operator==(const FileIdentity& other) const { return volume == other.volume && number == other.number; }
};

// FILE_ID_INFO and its class, which headers for Windows 7 leave out.
struct FileIdInformation {
  ULONGLONG volumeSerialNumber;
  BYTE fileId[16];
};
constexpr auto kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);

// The 128-bit identity where the system has it (Windows 8 on; ReFS needs all
// of it), else the classic 64-bit one.
std::optional<FileIdentity> IdentityOf(HANDLE file) {
  FileIdentity identity{};
  FileIdInformation id{};
  if (::GetFileInformationByHandleEx(file, kFileIdInfo, &id, sizeof(id))) {
    identity.volume = id.volumeSerialNumber;
    std::memcpy(identity.number.data(), id.fileId, sizeof(id.fileId));
    return identity;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(file, &information)) return std::nullopt;
  identity.volume = information.dwVolumeSerialNumber;
  const std::uint64_t number = (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
  std::memcpy(identity.number.data(), &number, sizeof(number));
  return identity;
}

// Whether `path` opens (links followed) on the very file or folder held as `held`.
bool Names(const std::wstring& path, HANDLE held) {
  const utilities::FileHandle opened(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!opened.IsOpen()) return false;
  const std::optional<FileIdentity> found = IdentityOf(opened.Get());
  const std::optional<FileIdentity> ours = IdentityOf(held);
  return found && ours && *found == *ours;
}

// `path` in the form that the system takes literally, without normalising it.
std::wstring Literal(const std::wstring& path) {
  if (path.rfind(L"\\\\?\\", 0) == 0) return path;
  if (path.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  return L"\\\\?\\" + path;
}

// The path of the image the system mapped for `process`, as it recorded it.
std::wstring ImagePath(HANDLE process) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = static_cast<DWORD>(path.size());
    if (::QueryFullProcessImageNameW(process, 0, path.data(), &length)) {
      path.resize(length);
      return Literal(path);
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || path.size() >= kLongestPath) {
      vantorlib::ThrowLastError("QueryFullProcessImageNameW failed");
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace

void CheckStartedInstaller(HANDLE process, HANDLE installer, HANDLE folder, const std::wstring& workingDirectory) {
  // The image by the name the system recorded for it, taken literally; the
  // current folder by the name the child was given, read as the system will
  // read it when the child makes it its current folder.
  std::wstring image = ImagePath(process);
  std::wstring current = workingDirectory;
  seam::InstallerStarted(process, image, current);
  if (!Names(image, installer) || !Names(current, folder)) throw std::runtime_error(kNotTheExtractedInstaller);
}

}  // namespace vantor::extraction
