#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vantor::packaging {

// An image that is not what its headers say: truncated, or with a field that
// points outside the data it should point into.
class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "0x1A2B", for messages.
std::string Hex(std::uint64_t value);

// A named, non-owning window on bytes, read as little-endian fields by offset.
// Every read is checked against the window; one that does not fit raises
// FormatError naming the window. Names are string literals (kept as pointers).
class ByteView {
 public:
  ByteView() = default;
  ByteView(const std::uint8_t* data, std::size_t size, const char* name) : data_(data), size_(size), name_(name) {}

  const std::uint8_t* Data() const { return data_; }
  std::size_t Size() const { return size_; }
  bool Empty() const { return size_ == 0; }
  const char* Name() const { return name_; }

  // The `length` bytes at `offset`, as a window called `name`.
  ByteView Sub(std::size_t offset, std::size_t length, const char* name) const {
    Check(offset, length, name);
    return ByteView(data_ + offset, length, name);
  }
  // Everything from `offset` to the end.
  ByteView From(std::size_t offset, const char* name) const {
    Check(offset, 0, name);
    return ByteView(data_ + offset, size_ - offset, name);
  }

  std::uint8_t U8(std::size_t offset) const { return static_cast<std::uint8_t>(Unsigned(offset, 1)); }
  std::uint16_t U16(std::size_t offset) const { return static_cast<std::uint16_t>(Unsigned(offset, 2)); }
  std::uint32_t U32(std::size_t offset) const { return static_cast<std::uint32_t>(Unsigned(offset, 4)); }
  std::uint64_t U64(std::size_t offset) const { return Unsigned(offset, 8); }
  // An unsigned field of `width` bytes (1 to 8), such as a pointer-sized one.
  std::uint64_t Unsigned(std::size_t offset, std::size_t width) const;

  // The NUL-terminated byte string at `offset`; the NUL must lie inside.
  std::string CString(std::size_t offset) const;
  // `count` UTF-16LE code units at `offset`.
  std::u16string U16String(std::size_t offset, std::size_t count) const;
  // The NUL-terminated UTF-16LE string at `offset`; the NUL must lie inside.
  std::u16string U16CString(std::size_t offset) const;

 private:
  void Check(std::size_t offset, std::size_t length, const char* what) const;

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  const char* name_ = "";
};

// The bytes as text, such as a manifest's.
inline std::string_view AsText(ByteView bytes) { return {reinterpret_cast<const char*>(bytes.Data()), bytes.Size()}; }

// Little-endian fields written into a buffer, checked like reads: one that
// does not fit raises FormatError naming `name`.
void PutLe16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value, const char* name);
void PutLe32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value, const char* name);
void AppendLe16(std::vector<std::uint8_t>& bytes, std::uint16_t value);

// `value` as a 32-bit field; raises FormatError naming `what` when it does not fit.
std::uint32_t To32(std::uint64_t value, const char* what);
// `value` as a 16-bit field; raises FormatError naming `what` when it does not fit.
std::uint16_t To16(std::uint64_t value, const char* what);

// `value` rounded up to a multiple of `alignment`, a power of two.
constexpr std::uint64_t AlignUp(std::uint64_t value, std::uint64_t alignment) {
  return (value + alignment - 1) & ~(alignment - 1);
}
constexpr bool IsPowerOfTwo(std::uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

}  // namespace vantor::packaging
