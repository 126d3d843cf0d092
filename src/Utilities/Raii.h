#pragma once

#include <cstdint>

#include <boost/noncopyable.hpp>

#include <windows.h>

namespace ImplHelper {
template <typename T>
struct Empty {};
}  // namespace ImplHelper

namespace utilities {

namespace Raii {
// Release function for kernel handles whose close must not fail: a failure
// means a corrupted or already closed handle, so it is logged and the process
// ends through std::terminate.
void CloseHandle(void* handle) noexcept;
}  // namespace Raii

// Owner of one handle with a release function and an empty value fixed at
// compile time. Releases what it holds exactly once; cannot be copied.
template <typename Handle, void (*Release)(Handle), typename EmptyType, EmptyType EmptyValue>
class StaticRaii : private boost::noncopyable, private ImplHelper::Empty<void> {
 public:
  StaticRaii() noexcept = default;
  explicit StaticRaii(Handle handle) noexcept : handle_(handle) {}

  virtual ~StaticRaii() {
    if (handle_ != Empty()) {
      Release(handle_);
      handle_ = Empty();
    }
  }

  Handle Get() const noexcept { return handle_; }

  // Takes `handle`, releasing the one held before unless it is the same.
  void Reset(Handle handle) {
    if (handle == handle_) return;
    if (handle_ != Empty()) Release(handle_);
    handle_ = handle;
  }

 private:
  static Handle Empty() noexcept {
    return reinterpret_cast<Handle>(static_cast<std::uintptr_t>(EmptyValue));
  }

  Handle handle_ = Empty();
};

using KernelHandle = StaticRaii<void*, &Raii::CloseHandle, unsigned int, 0>;

// Owner of a file handle; empty is INVALID_HANDLE_VALUE. Move-only: moving
// hands the handle over and leaves the source empty.
class FileHandle {
 public:
  FileHandle() noexcept = default;
  explicit FileHandle(HANDLE handle) noexcept : handle_(handle) {}
  FileHandle(FileHandle&& other) noexcept;
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle();  // closes, ignoring a failure

  HANDLE Get() const noexcept { return handle_; }
  bool IsOpen() const noexcept { return handle_ != INVALID_HANDLE_VALUE; }

  // Empties the owner, then closes the handle it held. A failed close raises
  // "Close(FileHandle) failed" with the system's code; the owner stays empty.
  void Close();

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Owner of a kernel handle whose empty value is null; a failed close is ignored.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle = nullptr) noexcept : handle_(handle) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle();

  HANDLE Get() const noexcept { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace utilities
