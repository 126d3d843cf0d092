#include "Utilities/Raii.h"

#include <exception>
#include <utility>

#include "Utilities/Logging.h"
#include "Utilities/Throw.h"

namespace utilities {

void Raii::CloseHandle(void* handle) noexcept {
  if (::CloseHandle(handle)) return;
  const DWORD code = ::GetLastError();
  VANTOR_LOG("ERROR") << "CloseHandle failed: " << static_cast<std::uint32_t>(code);
  std::terminate();
}

FileHandle::FileHandle(FileHandle&& other) noexcept
    : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    if (IsOpen()) ::CloseHandle(handle_);
    handle_ = std::exchange(other.handle_, INVALID_HANDLE_VALUE);
  }
  return *this;
}

FileHandle::~FileHandle() {
  if (IsOpen()) ::CloseHandle(handle_);
}

void FileHandle::Close() {
  const HANDLE handle = std::exchange(handle_, INVALID_HANDLE_VALUE);
  if (handle == INVALID_HANDLE_VALUE) return;
  if (!::CloseHandle(handle)) vantorlib::ThrowLastError("Close(FileHandle) failed");
}

ScopedHandle::~ScopedHandle() {
  if (handle_ != nullptr) ::CloseHandle(handle_);
}

}  // namespace utilities
