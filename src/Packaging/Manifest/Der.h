#pragma once

// DER, the encoding of certificates and signatures: elements read one after
// another from a bounded window, each length checked against it and required
// to be in its minimal form.

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "Packaging/Image/ByteView.h"

namespace vantor::packaging {
namespace der {
// Universal tags.
inline constexpr std::uint8_t kBoolean = 0x01;
inline constexpr std::uint8_t kInteger = 0x02;
inline constexpr std::uint8_t kBitString = 0x03;
inline constexpr std::uint8_t kOctetString = 0x04;
inline constexpr std::uint8_t kNull = 0x05;
inline constexpr std::uint8_t kObjectId = 0x06;
inline constexpr std::uint8_t kUtcTime = 0x17;
inline constexpr std::uint8_t kGeneralizedTime = 0x18;
inline constexpr std::uint8_t kSequence = 0x30;
inline constexpr std::uint8_t kSet = 0x31;
// Context-specific tags: [n] of a constructed (EXPLICIT, or IMPLICIT of a
// SET or SEQUENCE) or a primitive element.
constexpr std::uint8_t Constructed(unsigned n) { return static_cast<std::uint8_t>(0xA0 | n); }
constexpr std::uint8_t Primitive(unsigned n) { return static_cast<std::uint8_t>(0x80 | n); }
}  // namespace der

template <typename Bytes>
bool Equal(ByteView view, const Bytes& bytes) {
  return view.Size() == bytes.size() && std::equal(bytes.begin(), bytes.end(), view.Data());
}
inline bool Equal(ByteView a, ByteView b) {
  return a.Size() == b.Size() && std::equal(a.Data(), a.Data() + a.Size(), b.Data());
}

// An object identifier's contents as "1.2.840.113549.1.1.1", for messages.
std::string DottedOid(ByteView oid);

// DER elements read one after another from a window. A malformed element
// raises InputError naming `what`; a length that runs past the window
// raises FormatError. Anything DER spells one way only is required in that
// spelling.
class DerReader {
 public:
  DerReader(ByteView bytes, std::string what) : bytes_(bytes), what_(std::move(what)) {}

  bool AtEnd() const { return at_ == bytes_.Size(); }
  bool Next(std::uint8_t tag) const { return !AtEnd() && bytes_.U8(at_) == tag; }
  // The next element's tag; raises FormatError at the end.
  std::uint8_t Tag() const { return bytes_.U8(at_); }
  // What is not read yet.
  ByteView Rest() const { return bytes_.From(at_, "rest"); }

  // The contents of the next element, which must carry `tag`.
  ByteView Read(std::uint8_t tag, const char* name);
  void Skip(std::uint8_t tag, const char* name) {
    if (Next(tag)) Read(tag, name);
  }
  void End(const char* name) const;

  // A BOOLEAN: one byte, 0x00 or 0xFF. One whose DEFAULT is FALSE is left
  // out when false, so `defaultFalse` refuses an explicit FALSE.
  bool Boolean(const char* name, bool defaultFalse);
  // A non-negative INTEGER in the fewest bytes, as its magnitude without a
  // leading zero byte; the second form judges an INTEGER's contents read before.
  ByteView Unsigned(const char* name) { return Unsigned(Read(der::kInteger, name), name); }
  ByteView Unsigned(ByteView contents, const char* name) const;
  // A small INTEGER (a version), as a number.
  std::uint64_t Small(const char* name);
  // A BIT STRING's bits: the count of unused bits (0 to 7, none in an empty
  // string) and the unused bits themselves zero. `namedBits` also refuses
  // trailing zero bits, which DER drops from a list of named bits.
  ByteView BitString(const char* name, bool namedBits) { return BitString(Read(der::kBitString, name), name, namedBits); }
  ByteView BitString(ByteView contents, const char* name, bool namedBits) const;
  // The whole bytes of a BIT STRING that must have no unused bits.
  ByteView Bytes(const char* name) { return Bytes(Read(der::kBitString, name), name); }
  ByteView Bytes(ByteView contents, const char* name) const;

 private:
  [[noreturn]] void NotDer(const std::string& detail) const;

  ByteView bytes_;
  std::string what_;
  std::size_t at_ = 0;
};

}  // namespace vantor::packaging
