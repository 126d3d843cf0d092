#include "Packaging/Manifest/Der.h"

#include "Packaging/PackError.h"

namespace vantor::packaging {

std::string DottedOid(ByteView oid) {
  std::string text;
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < oid.Size() && value >> 56 == 0; ++i) {
    value = (value << 7) | (oid.U8(i) & 0x7Fu);
    if (oid.U8(i) & 0x80) continue;
    text += text.empty() ? std::to_string(std::min<std::uint64_t>(value / 40, 2)) + "." +
                               std::to_string(value - 40 * std::min<std::uint64_t>(value / 40, 2))
                         : "." + std::to_string(value);
    value = 0;
  }
  return text;
}

ByteView DerReader::Read(std::uint8_t tag, const char* name) {
  if (!Next(tag)) NotDer(std::string("no ") + name + " where expected");
  std::size_t length = bytes_.U8(at_ + 1);
  std::size_t header = 2;
  if (length & 0x80) {
    // Long form: 1 to 4 bytes, the fewest that hold the length.
    const std::size_t count = length & 0x7F;
    if (count == 0 || count > 4) NotDer(std::string("the length of its ") + name + " is not definite");
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = (length << 8) | bytes_.U8(at_ + 2 + i);
    if (length < 0x80 || length >> (8 * (count - 1)) == 0) NotDer(std::string("the length of its ") + name + " is not minimal");
    header += count;
  }
  const ByteView contents = bytes_.Sub(at_ + header, length, name);
  at_ += header + length;
  return contents;
}

void DerReader::End(const char* name) const {
  if (!AtEnd()) NotDer(std::string("bytes after the end of its ") + name);
}

bool DerReader::Boolean(const char* name, bool defaultFalse) {
  const ByteView contents = Read(der::kBoolean, name);
  if (contents.Size() != 1 || (contents.U8(0) != 0x00 && contents.U8(0) != 0xFF))
    NotDer(std::string("its ") + name + " is not 0x00 or 0xFF");
  if (defaultFalse && contents.U8(0) == 0x00) NotDer(std::string("its ") + name + " spells out the default FALSE");
  return contents.U8(0) == 0xFF;
}

ByteView DerReader::Unsigned(ByteView contents, const char* name) const {
  if (contents.Empty() || (contents.Size() > 1 && contents.U8(0) == 0x00 && contents.U8(1) < 0x80) ||
      (contents.Size() > 1 && contents.U8(0) == 0xFF && contents.U8(1) >= 0x80))
    NotDer(std::string("its ") + name + " is not a minimal integer");
  if (contents.U8(0) >= 0x80) throw InputError(what_ + " has a negative " + name);
  return contents.U8(0) == 0x00 && contents.Size() > 1 ? contents.From(1, name) : contents;
}

std::uint64_t DerReader::Small(const char* name) {
  const ByteView magnitude = Unsigned(name);
  if (magnitude.Size() > 4) throw InputError(what_ + " has a " + name + " out of range");
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < magnitude.Size(); ++i) value = value << 8 | magnitude.U8(i);
  return value;
}

ByteView DerReader::BitString(ByteView contents, const char* name, bool namedBits) const {
  if (contents.Empty()) NotDer(std::string("its ") + name + " has no count of unused bits");
  const unsigned unused = contents.U8(0);
  const std::uint8_t last = contents.U8(contents.Size() - 1);
  if (unused > 7 || (contents.Size() == 1 && unused != 0)) NotDer(std::string("its ") + name + " has a wrong count of unused bits");
  if (contents.Size() > 1 && (last & ((1u << unused) - 1)) != 0)
    NotDer(std::string("its ") + name + " has bits set among its unused bits");
  if (namedBits && contents.Size() > 1 && ((last >> unused) & 1) == 0)
    NotDer(std::string("its ") + name + " ends in zero bits");
  return contents;
}

ByteView DerReader::Bytes(ByteView contents, const char* name) const {
  const ByteView bits = BitString(contents, name, false);
  if (bits.U8(0) != 0) NotDer(std::string("its ") + name + " is not whole bytes");
  return bits.From(1, name);
}

void DerReader::NotDer(const std::string& detail) const { throw InputError(what_ + " is not DER: " + detail); }

}  // namespace vantor::packaging
