#include "Extraction/ResourceExtraction.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include <windows.h>

#include "Extraction/RelativeOpen.h"
#include "Extraction/Seams.h"
#include "Utilities/String.h"
#include "Utilities/Throw.h"

namespace vantor::extraction {
namespace {

using vantorlib::ThrowLastError;
using vantorlib::string::ToDecimalString;

struct Resource {
  const char* data;
  DWORD size;
};

Resource FindPayload(std::int32_t id) {
  const HRSRC found = ::FindResourceW(nullptr, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10));  // RT_RCDATA
  if (found == nullptr) {
    const DWORD code = ::GetLastError();
    vantorlib::ThrowSystemError(code, "FindResourceW failed for ID " + ToDecimalString(id));
  }
  const HGLOBAL loaded = ::LoadResource(nullptr, found);
  if (loaded == nullptr) ThrowLastError("LoadResource failed");
  const void* data = ::LockResource(loaded);
  if (data == nullptr) throw std::runtime_error("LockResource failed");
  // SizeofResource answers 0 both for an empty resource and for a failure;
  // only a failure sets an error code.
  ::SetLastError(ERROR_SUCCESS);
  const DWORD size = ::SizeofResource(nullptr, found);
  if (size == 0) {
    const DWORD code = ::GetLastError();
    if (code != ERROR_SUCCESS) vantorlib::ThrowSystemError(code, "SizeofResource failed");
    throw std::runtime_error("Resource ID " + ToDecimalString(id) + " is empty");
  }
  return {static_cast<const char*>(data), size};
}

// A single WriteFile of hundreds of megabytes can fail on 32-bit Windows for
// lack of kernel resources, so large resources go in chunks; a resource up to
// one chunk is still one call.
constexpr DWORD kWriteChunk = 8u << 20;

void WriteAll(HANDLE file, const Resource& resource, std::int32_t id) {
  DWORD total = 0;
  while (total < resource.size) {
    const DWORD chunk = std::min(resource.size - total, kWriteChunk);
    DWORD written = 0;
    if (!::WriteFile(file, resource.data + total, chunk, &written, nullptr)) ThrowLastError("WriteFile failed");
    total += written;
    if (written != chunk) break;  // a short write ends the loop; reported below
  }
  if (total != resource.size) {
    throw std::runtime_error("Wrote " + ToDecimalString(static_cast<std::uint32_t>(total)) +
                             " bytes for resource ID " + ToDecimalString(id) + " of size " +
                             ToDecimalString(static_cast<std::uint32_t>(resource.size)));
  }
}

}  // namespace

void CheckExtractedFile(HANDLE lock, std::string_view expected, std::int32_t id) {
  const std::string mismatch = "Extracted file does not match resource ID " + ToDecimalString(id);
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(lock, &size)) ThrowLastError("GetFileSizeEx failed");
  if (static_cast<std::uint64_t>(size.QuadPart) != expected.size()) throw std::runtime_error(mismatch);
  if (expected.empty()) return;

  // Compared through read-only views of the file, a window at a time: no copy
  // into the heap, and little address space even for a large payload.
  const utilities::ScopedHandle mapping(::CreateFileMappingW(lock, nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (mapping.Get() == nullptr) ThrowLastError("CreateFileMappingW failed");
  constexpr std::size_t kWindow = 64u << 20;  // a multiple of the allocation granularity
  for (std::size_t offset = 0; offset < expected.size(); offset += kWindow) {
    const std::size_t length = std::min(expected.size() - offset, kWindow);
    const void* view = ::MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, static_cast<DWORD>(offset), length);
    if (view == nullptr) ThrowLastError("MapViewOfFile failed");
    const bool same = std::memcmp(view, expected.data() + offset, length) == 0;
    ::UnmapViewOfFile(view);
    if (!same) throw std::runtime_error(mismatch);
  }
}

void LockForReading(utilities::FileHandle& file) {
  utilities::FileHandle intermediate(
      ::ReOpenFile(file.Get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0));
  if (!intermediate.IsOpen()) ThrowLastError("ReOpenFile failed (intermediate_handle)");
  file.Close();
  seam::PayloadUnlocked();

  utilities::FileHandle lock(::ReOpenFile(intermediate.Get(), GENERIC_READ, FILE_SHARE_READ, 0));
  if (!lock.IsOpen()) ThrowLastError("ReOpenFile failed (new_handle)");
  intermediate.Close();

  file = std::move(lock);
}

utilities::FileHandle WriteResourceToFile(HANDLE folder, const std::wstring& name, std::int32_t id) {
  const Resource resource = FindPayload(id);
  // Created in the held folder itself, never found again by a path. A file
  // that exists is never opened or overwritten; the failure is reported as
  // CreateFileW reports it (ERROR_FILE_EXISTS).
  LONG status = 0;
  utilities::FileHandle file = OpenInFolder(
      folder, name, {GENERIC_WRITE, FILE_SHARE_READ, FILE_CREATE, FILE_NON_DIRECTORY_FILE, FILE_ATTRIBUTE_NORMAL},
      status);
  if (!file.IsOpen()) {
    vantorlib::ThrowSystemError(status == kStatusNameCollision ? ERROR_FILE_EXISTS : Win32Error(status),
                                "CreateFileW failed");
  }
  WriteAll(file.Get(), resource, id);
  LockForReading(file);
  // Between the writer's close and the final lock the file was open to other
  // writers; now that nobody can write any more, make sure it is ours.
  CheckExtractedFile(file.Get(), std::string_view(resource.data, resource.size), id);
  return file;
}

}  // namespace vantor::extraction
