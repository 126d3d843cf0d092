#include "Packaging/Manifest/CertificateRules.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <utility>

#include "Packaging/Image/ByteView.h"
#include "Packaging/Manifest/Der.h"
#include "Packaging/Manifest/X509.h"
#include "Packaging/PackError.h"

namespace vantor::packaging {
namespace {

using namespace der;

// Object identifiers as their DER contents.
using Oid = std::array<std::uint8_t, 9>;
constexpr Oid kRsaEncryption = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
constexpr std::array<Oid, 3> kSignatureAlgorithms = {{
    {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B},  // sha256WithRSAEncryption
    {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0C},  // sha384WithRSAEncryption
    {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0D},  // sha512WithRSAEncryption
}};
constexpr std::array<std::uint8_t, 3> kBasicConstraints = {0x55, 0x1D, 0x13};
constexpr std::array<std::uint8_t, 3> kKeyUsage = {0x55, 0x1D, 0x0F};
constexpr std::array<std::uint8_t, 3> kExtendedKeyUsage = {0x55, 0x1D, 0x25};
constexpr std::array<std::uint8_t, 8> kCodeSigning = {0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x03};
constexpr std::array<std::uint8_t, 4> kAnyExtendedKeyUsage = {0x55, 0x1D, 0x25, 0x00};
constexpr unsigned kDigitalSignature = 0;  // key usage bits, counted from the first byte's top bit
constexpr unsigned kKeyCertSign = 5;
constexpr std::size_t kMinimumRsaBits = 2048;
constexpr std::uint64_t kVersion2 = 1;  // the version field counts from 0
constexpr std::uint64_t kVersion3 = 2;

[[noreturn]] void Refuse(const std::string& detail) { throw ManifestError("certificate", detail); }

// Bit `bit` of a BIT STRING as BitString returns it; unused bits read as zero.
bool BitSet(ByteView bitString, unsigned bit) {
  const std::size_t byte = 1 + bit / 8;  // after the count of unused bits
  return byte < bitString.Size() && (bitString.U8(byte) & (0x80u >> (bit % 8))) != 0;
}

// An AlgorithmIdentifier whose parameters are NULL or absent, as for RSA.
ByteView AlgorithmOid(ByteView algorithm, const std::string& what) {
  DerReader reader(algorithm, what);
  const ByteView oid = reader.Read(kObjectId, "algorithm");
  if (reader.Next(kNull) && reader.Read(kNull, "algorithm parameters").Size() != 0)
    Refuse(what + " is not DER: NULL parameters with contents");
  reader.End("algorithm");
  return oid;
}

std::size_t Bits(ByteView magnitude) {
  if (magnitude.Size() == 1 && magnitude.U8(0) == 0) return 0;
  std::size_t bits = 8 * (magnitude.Size() - 1);
  for (unsigned top = magnitude.U8(0); top != 0; top >>= 1) ++bits;
  return bits;
}

// An RSA key of at least 2048 bits whose public exponent is odd and at least
// 3 (with 1, anyone can make a signature that verifies).
void CheckRsaKey(ByteView subjectPublicKeyInfo, const std::string& what) {
  DerReader info(subjectPublicKeyInfo, what);
  const bool rsa = Equal(AlgorithmOid(info.Read(kSequence, "key algorithm"), what), kRsaEncryption);
  const ByteView key = info.Bytes("public key");
  info.End("public key info");
  if (!rsa) Refuse(what + " does not carry an RSA key");
  DerReader outer(key, what);
  DerReader rsaKey(outer.Read(kSequence, "RSA key"), what);
  outer.End("RSA key");
  const std::size_t bits = Bits(rsaKey.Unsigned("modulus"));
  const ByteView exponent = rsaKey.Unsigned("public exponent");
  rsaKey.End("RSA key");
  if (bits < kMinimumRsaBits)
    Refuse(what + " has a " + std::to_string(bits) + "-bit RSA key; at least " + std::to_string(kMinimumRsaBits) +
           " bits are required");
  if ((exponent.U8(exponent.Size() - 1) & 1) == 0 || Bits(exponent) < 2)
    Refuse(what + " has an RSA public exponent that is even or below 3");
}

enum class Role { kSigner, kCa };

struct Names {
  ByteView issuer;
  ByteView subject;
};

// What the extensions say, each read at most once.
struct Extensions {
  std::optional<bool> isCa;  // none: no basic constraints
  std::optional<ByteView> keyUsage;
  std::optional<bool> codeSigning;  // none: no extended key usage; else whether it allows code signing
};

Extensions ReadExtensions(ByteView field, const std::string& what) {
  Extensions found;
  DerReader outer(field, what);
  DerReader list(outer.Read(kSequence, "extensions"), what);
  outer.End("extensions");
  if (list.AtEnd()) Refuse(what + " is not DER: an empty list of extensions");
  std::vector<ByteView> seen;
  while (!list.AtEnd()) {
    DerReader extension(list.Read(kSequence, "extension"), what);
    const ByteView oid = extension.Read(kObjectId, "extension id");
    const bool critical = extension.Next(kBoolean) && extension.Boolean("critical flag", true);
    DerReader value(extension.Read(kOctetString, "extension value"), what);
    extension.End("extension");
    if (std::any_of(seen.begin(), seen.end(), [&](ByteView other) { return Equal(oid, other); }))
      Refuse(what + " has the extension " + DottedOid(oid) + " twice");
    seen.push_back(oid);
    if (Equal(oid, kBasicConstraints)) {
      DerReader constraints(value.Read(kSequence, "basic constraints"), what);
      found.isCa = constraints.Next(kBoolean) && constraints.Boolean("CA flag", true);
      if (constraints.Next(kInteger)) constraints.Unsigned("path length");
      constraints.End("basic constraints");
      value.End("basic constraints");
    } else if (Equal(oid, kKeyUsage)) {
      found.keyUsage = value.BitString("key usage", true);
      value.End("key usage");
    } else if (Equal(oid, kExtendedKeyUsage)) {
      DerReader purposes(value.Read(kSequence, "extended key usage"), what);
      value.End("extended key usage");
      if (purposes.AtEnd()) Refuse(what + " is not DER: an empty extended key usage");
      found.codeSigning = false;
      while (!purposes.AtEnd()) {
        const ByteView purpose = purposes.Read(kObjectId, "key purpose");
        if (Equal(purpose, kCodeSigning) || Equal(purpose, kAnyExtendedKeyUsage)) found.codeSigning = true;
      }
    } else if (critical) {
      Refuse(what + " has a critical extension these rules do not know (" + DottedOid(oid) + ")");
    }
  }
  return found;
}

Names Check(ByteView der, Role role, const std::string& what) {
  DerReader file(der, what);
  const CertificateFields fields = ReadCertificateFields(file.Read(kSequence, "certificate"), what);
  file.End("certificate");
  file.Bytes(fields.signature, "signature");
  std::uint64_t version = 0;  // v1, the default, is left out
  if (fields.version) {
    DerReader field(*fields.version, what);
    version = field.Small("version");
    field.End("version");
    if (version != kVersion2 && version != kVersion3) Refuse(what + " has version " + std::to_string(version + 1) + " spelt out");
  }
  file.Unsigned(fields.serial, "serial number");
  const Extensions extensions = fields.extensions ? ReadExtensions(*fields.extensions, what) : Extensions{};
  if (fields.extensions && version != kVersion3) Refuse(what + " has extensions but is not version 3");
  if (fields.uniqueIds && version == 0) Refuse(what + " has unique ids but is version 1");

  if (!Equal(fields.signatureAlgorithm, fields.signedAlgorithm)) Refuse(what + " names two different signature algorithms");
  const ByteView algorithm = AlgorithmOid(fields.signatureAlgorithm, what);
  if (std::none_of(kSignatureAlgorithms.begin(), kSignatureAlgorithms.end(),
                   [&](const Oid& allowed) { return Equal(algorithm, allowed); }))
    Refuse(what + " is signed with " + DottedOid(algorithm) + ", not RSA with SHA-256, SHA-384 or SHA-512");
  CheckRsaKey(fields.publicKey, what);

  if (role == Role::kCa && !extensions.isCa.value_or(false))
    Refuse(what + " is not a CA: its basic constraints do not say CA:TRUE");
  if (role == Role::kCa && extensions.keyUsage && !BitSet(*extensions.keyUsage, kKeyCertSign))
    Refuse(what + " has a key usage that does not allow signing certificates");
  if (role == Role::kSigner && extensions.keyUsage && !BitSet(*extensions.keyUsage, kDigitalSignature))
    Refuse(what + " has a key usage that does not allow digital signatures");
  if (!extensions.codeSigning.value_or(true))
    Refuse(what + " has an extended key usage that allows neither code signing nor any purpose");
  return {fields.issuer, fields.subject};
}

Names CheckOne(const std::vector<std::uint8_t>& der, Role role) {
  const std::string what = std::string("the ") + (role == Role::kCa ? "CA's" : "signer's") + " certificate";
  try {
    return Check(ByteView(der.data(), der.size(), "certificate"), role, what);
  } catch (const FormatError& error) {
    Refuse(what + " is not DER: " + error.what());
  } catch (const ManifestError&) {
    throw;
  } catch (const InputError& error) {
    Refuse(error.what());  // what the DER reader refused, as this check's verdict
  }
}

}  // namespace

void CheckCertificateRules(const std::vector<std::uint8_t>& signer, const std::vector<std::uint8_t>& ca) {
  const Names signerNames = CheckOne(signer, Role::kSigner);
  const Names caNames = CheckOne(ca, Role::kCa);
  if (!Equal(signerNames.issuer, caNames.subject))
    Refuse("the signer's certificate names an issuer other than the CA's subject (compared byte for byte)");
}

}  // namespace vantor::packaging
