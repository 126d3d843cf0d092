#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <windows.h>

#include "Utilities/Raii.h"

// Opening names inside a folder that is held open, looked up in that folder
// and nowhere else: whatever happens meanwhile to the path that once led to
// it, or to any link on that path, cannot redirect the open. Win32 has no such
// call; the system's own NtCreateFile (ntdll.dll, loaded in every process)
// does it with a root directory handle.
namespace vantor::extraction {

struct RelativeOpen {
  ACCESS_MASK access;
  ULONG sharing;
  ULONG disposition;         // FILE_OPEN, FILE_CREATE
  ULONG options;             // FILE_DIRECTORY_FILE, FILE_OPEN_REPARSE_POINT, ...
  ULONG attributes = 0;      // for a file created
  void* security = nullptr;  // a security descriptor for what is created
};

// NT status codes the callers tell apart.
inline constexpr LONG kStatusNameCollision = static_cast<LONG>(0xC0000035);
inline constexpr LONG kStatusNameNotFound = static_cast<LONG>(0xC0000034);
inline constexpr LONG kStatusPathNotFound = static_cast<LONG>(0xC000003A);

// Opens or creates `name` in the folder held as `folder`; an empty name opens
// that folder itself again, through the handle. Synchronous I/O. On failure
// the result is empty and `status` holds the system's NT status.
utilities::FileHandle OpenInFolder(HANDLE folder, const std::wstring& name, const RelativeOpen& how, LONG& status);

// The Win32 error code for an NT status, as Win32 calls report it.
DWORD Win32Error(LONG status);

// The file system's number for the file open as `handle`.
std::optional<std::uint64_t> FileNumber(HANDLE handle);

// What the volume holding the file open as `handle` says of itself: its file
// system's flags (FILE_PERSISTENT_ACLS, ...), and the device's type and
// characteristics (FILE_REMOTE_DEVICE, ...).
struct VolumeFacts {
  DWORD fileSystemFlags;
  ULONG deviceType;
  ULONG deviceCharacteristics;
};
VolumeFacts QueryVolume(HANDLE handle);

// Device facts that the SDK names only for drivers.
inline constexpr ULONG kFileRemoteDevice = 0x10;              // a device characteristic
inline constexpr ULONG kFileDeviceDfs = 0x06;                 // device types
inline constexpr ULONG kFileDeviceNetworkFileSystem = 0x14;

}  // namespace vantor::extraction
