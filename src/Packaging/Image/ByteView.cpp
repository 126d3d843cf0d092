#include "Packaging/Image/ByteView.h"

#include <cstdint>
#include <cstdio>

namespace vantor::packaging {

std::string Hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

void ByteView::Check(std::size_t offset, std::size_t length, const char* what) const {
  if (offset > size_ || length > size_ - offset) {
    throw FormatError(std::string(what) + " (" + Hex(length) + " bytes at offset " + Hex(offset) + " of " + name_ +
                      ") runs past the end of " + name_ + " (" + Hex(size_) + " bytes)");
  }
}

std::uint64_t ByteView::Unsigned(std::size_t offset, std::size_t width) const {
  Check(offset, width, "field");
  std::uint64_t value = 0;
  for (std::size_t i = width; i-- > 0;) value = (value << 8) | data_[offset + i];
  return value;
}

std::string ByteView::CString(std::size_t offset) const {
  Check(offset, 0, "string");
  for (std::size_t end = offset; end < size_; ++end) {
    if (data_[end] == 0) return std::string(reinterpret_cast<const char*>(data_ + offset), end - offset);
  }
  throw FormatError(std::string("string at offset ") + Hex(offset) + " of " + name_ + " has no end inside it");
}

std::u16string ByteView::U16String(std::size_t offset, std::size_t count) const {
  const std::size_t length = count <= size_ / 2 ? 2 * count : SIZE_MAX;  // a count that cannot fit stays too big
  Check(offset, length, "UTF-16 string");
  std::u16string text(count, u'\0');
  for (std::size_t i = 0; i < count; ++i) text[i] = static_cast<char16_t>(U16(offset + 2 * i));
  return text;
}

std::u16string ByteView::U16CString(std::size_t offset) const {
  Check(offset, 0, "UTF-16 string");
  for (std::size_t end = offset; end + 2 <= size_; end += 2) {
    if (U16(end) == 0) return U16String(offset, (end - offset) / 2);
  }
  throw FormatError(std::string("UTF-16 string at offset ") + Hex(offset) + " of " + name_ + " has no end inside it");
}

namespace {

void Put(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value, std::size_t width, const char* name) {
  if (offset > bytes.size() || width > bytes.size() - offset) {
    throw FormatError(std::string("field (") + Hex(width) + " bytes at offset " + Hex(offset) + ") runs past the end of " +
                      name + " (" + Hex(bytes.size()) + " bytes)");
  }
  for (std::size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

void PutLe16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value, const char* name) {
  Put(bytes, offset, value, 2, name);
}

void PutLe32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value, const char* name) {
  Put(bytes, offset, value, 4, name);
}

void AppendLe16(std::vector<std::uint8_t>& bytes, std::uint16_t value) {
  bytes.push_back(static_cast<std::uint8_t>(value));
  bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

std::uint32_t To32(std::uint64_t value, const char* what) {
  if (value > UINT32_MAX) throw FormatError(std::string(what) + " (" + Hex(value) + ") does not fit in 32 bits");
  return static_cast<std::uint32_t>(value);
}

std::uint16_t To16(std::uint64_t value, const char* what) {
  if (value > UINT16_MAX) throw FormatError(std::string(what) + " (" + Hex(value) + ") does not fit in 16 bits");
  return static_cast<std::uint16_t>(value);
}

}  // namespace vantor::packaging
