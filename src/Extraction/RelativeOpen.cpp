#include "Extraction/RelativeOpen.h"

#include <winternl.h>

#include "Utilities/Throw.h"

namespace vantor::extraction {
namespace {

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                              PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using NtQueryInformationFileFunction = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                        FILE_INFORMATION_CLASS);
using NtQueryVolumeInformationFileFunction = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
using RtlNtStatusToDosErrorFunction = ULONG(NTAPI*)(NTSTATUS);
constexpr auto kFileInternalInformation = static_cast<FILE_INFORMATION_CLASS>(6);
constexpr ULONG kFileFsDeviceInformation = 4;

struct FileFsDeviceInformation {
  ULONG deviceType;
  ULONG characteristics;
};

struct NtCalls {
  NtCreateFileFunction createFile;
  NtQueryInformationFileFunction queryInformation;
  NtQueryVolumeInformationFileFunction queryVolume;
  RtlNtStatusToDosErrorFunction toWin32;
};

template <typename Function>
Function NtCall(HMODULE ntdll, const char* name) {
  const FARPROC function = ::GetProcAddress(ntdll, name);
  if (function == nullptr) vantorlib::ThrowLastError("GetProcAddress failed");
  return reinterpret_cast<Function>(reinterpret_cast<void*>(function));
}

const NtCalls& Nt() {
  static const NtCalls calls = [] {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) vantorlib::ThrowLastError("GetModuleHandleW failed");
    return NtCalls{NtCall<NtCreateFileFunction>(ntdll, "NtCreateFile"),
                   NtCall<NtQueryInformationFileFunction>(ntdll, "NtQueryInformationFile"),
                   NtCall<NtQueryVolumeInformationFileFunction>(ntdll, "NtQueryVolumeInformationFile"),
                   NtCall<RtlNtStatusToDosErrorFunction>(ntdll, "RtlNtStatusToDosError")};
  }();
  return calls;
}

}  // namespace

utilities::FileHandle OpenInFolder(HANDLE folder, const std::wstring& name, const RelativeOpen& how, LONG& status) {
  const auto bytes = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  UNICODE_STRING objectName{bytes, bytes, const_cast<wchar_t*>(name.c_str())};
  OBJECT_ATTRIBUTES attributes{};
  attributes.Length = sizeof(attributes);
  attributes.RootDirectory = folder;
  attributes.ObjectName = &objectName;
  attributes.Attributes = OBJ_CASE_INSENSITIVE;
  attributes.SecurityDescriptor = how.security;
  IO_STATUS_BLOCK io{};
  HANDLE opened = nullptr;
  status = Nt().createFile(&opened, how.access | SYNCHRONIZE, &attributes, &io, nullptr, how.attributes, how.sharing,
                           how.disposition, how.options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  return utilities::FileHandle(NT_SUCCESS(status) ? opened : INVALID_HANDLE_VALUE);
}

DWORD Win32Error(LONG status) { return Nt().toWin32(status); }

std::optional<std::uint64_t> FileNumber(HANDLE handle) {
  IO_STATUS_BLOCK io{};
  LARGE_INTEGER number{};
  if (!NT_SUCCESS(Nt().queryInformation(handle, &io, &number, sizeof(number), kFileInternalInformation))) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(number.QuadPart);
}

VolumeFacts QueryVolume(HANDLE handle) {
  DWORD flags = 0;
  if (!::GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
    vantorlib::ThrowLastError("GetVolumeInformationByHandleW failed");
  }
  IO_STATUS_BLOCK io{};
  FileFsDeviceInformation device{};
  const NTSTATUS status = Nt().queryVolume(handle, &io, &device, sizeof(device), kFileFsDeviceInformation);
  if (!NT_SUCCESS(status)) vantorlib::ThrowSystemError(Win32Error(status), "NtQueryVolumeInformationFile failed");
  return {flags, device.deviceType, device.characteristics};
}

}  // namespace vantor::extraction
