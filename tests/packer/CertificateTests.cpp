// The certificate rules on certificates built here byte by byte: each rule,
// and each of DER's one spellings, broken alone. Signatures are not the
// rules' to check, so they are filler.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "Packaging/Manifest/CertificateRules.h"
#include "Packaging/PackError.h"

namespace vantor::packaging {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A DER element: tag, definite length in the fewest bytes, contents.
Bytes Tlv(std::uint8_t tag, const Bytes& contents) {
  Bytes out{tag};
  const std::size_t n = contents.size();
  if (n >= 0x100) out.insert(out.end(), {0x82, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
  else if (n >= 0x80) out.insert(out.end(), {0x81, static_cast<std::uint8_t>(n)});
  else out.push_back(static_cast<std::uint8_t>(n));
  return Cat({out, contents});
}
Bytes Sequence(std::initializer_list<Bytes> parts) { return Tlv(0x30, Cat(parts)); }
Bytes Oid(const Bytes& contents) { return Tlv(0x06, contents); }

const Bytes kTrue = Tlv(0x01, {0xFF});
const Bytes kF4 = {0x01, 0x00, 0x01};  // 65537
const Bytes kSha256WithRsa = Sequence({Oid({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B}), Tlv(0x05, {})});
const Bytes kCodeSigning = Oid({0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x03});
const Bytes kServerAuth = Oid({0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x01});
const Bytes kAnyPurpose = Oid({0x55, 0x1D, 0x25, 0x00});

Bytes Name(const std::string& commonName) {
  return Sequence({Tlv(0x31, Sequence({Oid({0x55, 0x04, 0x03}), Tlv(0x0C, Bytes(commonName.begin(), commonName.end()))}))});
}
// An extension; `critical` is the BOOLEAN's encoding, or empty for none.
Bytes Extension(const Bytes& oid, const Bytes& critical, const Bytes& value) {
  return Tlv(0x30, Cat({Oid(oid), critical, Tlv(0x04, value)}));
}
Bytes BasicConstraints(const Bytes& flag, const Bytes& critical = kTrue) {
  return Extension({0x55, 0x1D, 0x13}, critical, Tlv(0x30, flag));
}
Bytes KeyUsage(const Bytes& bits) { return Extension({0x55, 0x1D, 0x0F}, kTrue, Tlv(0x03, bits)); }
Bytes ExtendedKeyUsage(const Bytes& purposes, const Bytes& critical = {}) {
  return Extension({0x55, 0x1D, 0x25}, critical, Tlv(0x30, purposes));
}

struct Shape {
  Bytes version = Tlv(0xA0, Tlv(0x02, {2}));  // v3
  Bytes exponent = kF4;
  Bytes serial = {0x07};
  std::vector<Bytes> extensions;
  bool extensionsField = true;  // with none, an empty list
};

Shape Signer() {
  Shape shape;
  shape.extensions = {BasicConstraints({}), KeyUsage({0x07, 0x80}), ExtendedKeyUsage(kCodeSigning),
                     Extension({0x55, 0x1D, 0x0E}, {}, Tlv(0x04, Bytes(20, 0x11)))};  // a key id, not read
  return shape;
}
Shape Ca() {
  Shape shape;
  shape.extensions = {BasicConstraints(kTrue), KeyUsage({0x01, 0x06})};
  return shape;
}

Bytes Certificate(const Shape& shape, const std::string& issuer, const std::string& subject) {
  Bytes modulus(257, 0xC5);
  modulus[0] = 0x00;  // a 2048-bit positive integer
  const Bytes key = Sequence({Tlv(0x02, modulus), Tlv(0x02, shape.exponent)});
  const Bytes publicKey = Sequence({Sequence({Oid({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}), Tlv(0x05, {})}),
                                    Tlv(0x03, Cat({{0x00}, key}))});
  Bytes extensions;
  for (const Bytes& extension : shape.extensions) extensions = Cat({extensions, extension});
  const Bytes validity = Sequence({Tlv(0x17, Bytes(13, '0')), Tlv(0x17, Bytes(13, '0'))});
  const Bytes tbs = Sequence({shape.version, Tlv(0x02, shape.serial), kSha256WithRsa, Name(issuer), validity, Name(subject), publicKey,
                              shape.extensionsField ? Tlv(0xA3, Tlv(0x30, extensions)) : Bytes{}});
  return Sequence({tbs, kSha256WithRsa, Tlv(0x03, Cat({{0x00}, Bytes(256, 0x5A)}))});
}

// The verdict on a signer and a CA, each made from its shape after `change`.
bool Accepted(const std::function<void(Shape& signer, Shape& ca)>& change) {
  Shape signer = Signer();
  Shape ca = Ca();
  change(signer, ca);
  try {
    CheckCertificateRules(Certificate(signer, "Test CA", "Signer"), Certificate(ca, "Test CA", "Test CA"));
    return true;
  } catch (const ManifestError& error) {
    EXPECT_STREQ(error.Check(), "certificate");
    return false;
  }
}

TEST(CertificateRules, OneVerdictForEachRuleAndSpelling) {
  const struct {
    const char* what;
    bool accepted;
    std::function<void(Shape&, Shape&)> change;
  } cases[] = {
      {"the sound pair", true, [](Shape&, Shape&) {}},
      {"a version 1 signer without extensions", true,
       [](Shape& s, Shape&) { s.version.clear(), s.extensions.clear(), s.extensionsField = false; }},
      {"a signer for any purpose", true, [](Shape& s, Shape&) { s.extensions[2] = ExtendedKeyUsage(kAnyPurpose); }},
      {"a critical extended key usage for code signing, among others", true,
       [](Shape& s, Shape&) { s.extensions[2] = ExtendedKeyUsage(Cat({kServerAuth, kCodeSigning}), kTrue); }},
      {"an RSA exponent of 3", true, [](Shape& s, Shape&) { s.exponent = {0x03}; }},
      {"a serial number whose top bit needs a zero byte", true, [](Shape& s, Shape&) { s.serial = {0x00, 0x87}; }},
      {"a negative serial number", false, [](Shape& s, Shape&) { s.serial = {0x87}; }},
      {"a serial number with a needless zero byte", false, [](Shape&, Shape& c) { c.serial = {0x00, 0x07}; }},
      {"the CA's certificate-signing bit among the unused bits", false, [](Shape&, Shape& c) { c.extensions[1] = KeyUsage({0x03, 0x04}); }},
      {"a bit set among the unused bits", false, [](Shape&, Shape& c) { c.extensions[1] = KeyUsage({0x02, 0x06}); }},
      {"a key usage with a trailing zero bit", false, [](Shape& s, Shape&) { s.extensions[1] = KeyUsage({0x06, 0x80}); }},
      {"a key usage with 8 unused bits", false, [](Shape& s, Shape&) { s.extensions[1] = KeyUsage({0x08, 0x80}); }},
      {"a critical flag of 0x01", false, [](Shape& s, Shape&) { s.extensions[0] = BasicConstraints({}, Tlv(0x01, {0x01})); }},
      {"a critical flag spelling out FALSE", false,
       [](Shape& s, Shape&) { s.extensions[2] = ExtendedKeyUsage(kCodeSigning, Tlv(0x01, {0x00})); }},
      {"a CA flag of 0x01", false, [](Shape&, Shape& c) { c.extensions[0] = BasicConstraints(Tlv(0x01, {0x01})); }},
      {"a CA flag spelling out FALSE", false, [](Shape& s, Shape&) { s.extensions[0] = BasicConstraints(Tlv(0x01, {0x00})); }},
      {"version 2 with extensions", false, [](Shape& s, Shape&) { s.version = Tlv(0xA0, Tlv(0x02, {1})); }},
      {"version 1 spelt out", false,
       [](Shape& s, Shape&) { s.version = Tlv(0xA0, Tlv(0x02, {0})), s.extensions.clear(), s.extensionsField = false; }},
      {"an empty list of extensions", false, [](Shape& s, Shape&) { s.extensions.clear(); }},
      {"an extension twice", false, [](Shape&, Shape& c) { c.extensions.push_back(c.extensions[1]); }},
      {"a signer only for TLS servers", false, [](Shape& s, Shape&) { s.extensions[2] = ExtendedKeyUsage(kServerAuth); }},
      {"a CA only for TLS servers", false, [](Shape&, Shape& c) { c.extensions.push_back(ExtendedKeyUsage(kServerAuth)); }},
      {"an RSA exponent of 1", false, [](Shape& s, Shape&) { s.exponent = {0x01}; }},
      {"an even RSA exponent", false, [](Shape&, Shape& c) { c.exponent = {0x01, 0x00, 0x00}; }},
      {"an RSA exponent with a leading zero byte", false, [](Shape& s, Shape&) { s.exponent = {0x00, 0x01, 0x00, 0x01}; }},
      {"a negative RSA exponent", false, [](Shape& s, Shape&) { s.exponent = {0x81}; }},
  };
  for (const auto& [what, accepted, change] : cases) EXPECT_EQ(Accepted(change), accepted) << what;
}

}  // namespace
}  // namespace vantor::packaging
