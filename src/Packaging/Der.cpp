#include "Packaging/Der.h"

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
  if (!Next(tag)) throw InputError(what_ + " is not DER: no " + name + " where expected");
  std::size_t length = bytes_.U8(at_ + 1);
  std::size_t header = 2;
  if (length & 0x80) {
    // Long form: 1 to 4 bytes, the fewest that hold the length.
    const std::size_t count = length & 0x7F;
    if (count == 0 || count > 4) throw InputError(what_ + " is not DER: the length of its " + name + " is not definite");
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = (length << 8) | bytes_.U8(at_ + 2 + i);
    if (length < 0x80 || length >> (8 * (count - 1)) == 0)
      throw InputError(what_ + " is not DER: the length of its " + name + " is not minimal");
    header += count;
  }
  const ByteView contents = bytes_.Sub(at_ + header, length, name);
  at_ += header + length;
  return contents;
}

void DerReader::End(const char* name) const {
  if (!AtEnd()) throw InputError(what_ + " is not DER: bytes after the end of its " + name);
}

}  // namespace vantor::packaging
