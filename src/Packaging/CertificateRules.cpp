#include "Packaging/CertificateRules.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <utility>

#include "Packaging/ByteView.h"
#include "Packaging/Der.h"
#include "Packaging/PackError.h"

namespace vantor::packaging {
namespace {

using namespace der;

constexpr std::uint8_t kVersion = 0xA0;       // [0] EXPLICIT
constexpr std::uint8_t kIssuerUniqueId = 0x81;  // [1] IMPLICIT
constexpr std::uint8_t kSubjectUniqueId = 0x82;  // [2] IMPLICIT
constexpr std::uint8_t kExtensions = 0xA3;    // [3] EXPLICIT

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
constexpr unsigned kDigitalSignature = 0;  // key usage bits, counted from the first byte's top bit
constexpr unsigned kKeyCertSign = 5;
constexpr std::size_t kMinimumRsaBits = 2048;

bool Boolean(ByteView contents) { return contents.Size() == 1 && contents.U8(0) != 0; }

bool BitSet(ByteView bitString, unsigned bit) {
  const std::size_t byte = 1 + bit / 8;  // after the count of unused bits
  return byte < bitString.Size() && (bitString.U8(byte) & (0x80u >> (bit % 8))) != 0;
}

// An AlgorithmIdentifier whose parameters are NULL or absent, as for RSA.
ByteView AlgorithmOid(ByteView algorithm, const std::string& what) {
  DerReader reader(algorithm, what);
  const ByteView oid = reader.Read(kObjectId, "algorithm");
  if (reader.Next(kNull) && reader.Read(kNull, "algorithm parameters").Size() != 0)
    throw InputError(what + " is not DER: NULL parameters with contents");
  reader.End("algorithm");
  return oid;
}

std::size_t RsaModulusBits(ByteView subjectPublicKeyInfo, const std::string& what) {
  DerReader info(subjectPublicKeyInfo, what);
  const bool rsa = Equal(AlgorithmOid(info.Read(kSequence, "key algorithm"), what), kRsaEncryption);
  const ByteView key = info.Read(kBitString, "public key");
  info.End("public key info");
  if (!rsa) throw InputError(what + " does not carry an RSA key");
  if (key.Empty() || key.U8(0) != 0) throw InputError(what + " is not DER: its RSA key is not whole bytes");
  DerReader outer(key.From(1, "RSA key"), what);
  DerReader rsaKey(outer.Read(kSequence, "RSA key"), what);
  outer.End("RSA key");
  const ByteView modulus = rsaKey.Read(kInteger, "modulus");
  rsaKey.Read(kInteger, "exponent");
  rsaKey.End("RSA key");
  std::size_t first = 0;
  while (first < modulus.Size() && modulus.U8(first) == 0) ++first;
  if (first == modulus.Size()) return 0;
  std::size_t bits = 8 * (modulus.Size() - first - 1);
  for (unsigned top = modulus.U8(first); top != 0; top >>= 1) ++bits;
  return bits;
}

enum class Role { kSigner, kCa };

struct Names {
  ByteView issuer;
  ByteView subject;
};

Names Check(ByteView der, Role role, const std::string& what) {
  DerReader file(der, what);
  DerReader certificate(file.Read(kSequence, "certificate"), what);
  file.End("certificate");
  const ByteView tbsContents = certificate.Read(kSequence, "to-be-signed part");
  const ByteView signatureAlgorithm = certificate.Read(kSequence, "signature algorithm");
  certificate.Read(kBitString, "signature");
  certificate.End("certificate");

  DerReader tbs(tbsContents, what);
  tbs.Skip(kVersion, "version");
  tbs.Read(kInteger, "serial number");
  const ByteView signedAlgorithm = tbs.Read(kSequence, "signature algorithm");
  const ByteView issuer = tbs.Read(kSequence, "issuer");
  tbs.Read(kSequence, "validity");
  const ByteView subject = tbs.Read(kSequence, "subject");
  const ByteView publicKey = tbs.Read(kSequence, "public key info");
  tbs.Skip(kIssuerUniqueId, "issuer unique id");
  tbs.Skip(kSubjectUniqueId, "subject unique id");
  const ByteView extensions = tbs.Next(kExtensions) ? tbs.Read(kExtensions, "extensions") : ByteView();
  tbs.End("to-be-signed part");

  if (!Equal(signatureAlgorithm, signedAlgorithm))
    throw InputError(what + " names two different signature algorithms");
  const ByteView algorithm = AlgorithmOid(signatureAlgorithm, what);
  if (std::none_of(kSignatureAlgorithms.begin(), kSignatureAlgorithms.end(),
                   [&](const Oid& allowed) { return Equal(algorithm, allowed); }))
    throw InputError(what + " is signed with " + DottedOid(algorithm) +
                     ", not RSA with SHA-256, SHA-384 or SHA-512");
  const std::size_t bits = RsaModulusBits(publicKey, what);
  if (bits < kMinimumRsaBits)
    throw InputError(what + " has a " + std::to_string(bits) + "-bit RSA key; at least " +
                     std::to_string(kMinimumRsaBits) + " bits are required");

  std::optional<bool> isCa;  // none: no basic constraints
  std::optional<ByteView> keyUsage;
  std::vector<ByteView> seen;
  if (!extensions.Empty()) {
    DerReader outer(extensions, what);
    DerReader list(outer.Read(kSequence, "extensions"), what);
    outer.End("extensions");
    while (!list.AtEnd()) {
      DerReader extension(list.Read(kSequence, "extension"), what);
      const ByteView oid = extension.Read(kObjectId, "extension id");
      const bool critical = extension.Next(kBoolean) && Boolean(extension.Read(kBoolean, "critical flag"));
      DerReader value(extension.Read(kOctetString, "extension value"), what);
      extension.End("extension");
      if (std::any_of(seen.begin(), seen.end(), [&](ByteView other) { return Equal(oid, other); }))
        throw InputError(what + " has the extension " + DottedOid(oid) + " twice");
      seen.push_back(oid);
      if (Equal(oid, kBasicConstraints)) {
        DerReader constraints(value.Read(kSequence, "basic constraints"), what);
        isCa = constraints.Next(kBoolean) && Boolean(constraints.Read(kBoolean, "CA flag"));
        constraints.Skip(kInteger, "path length");
        constraints.End("basic constraints");
        value.End("basic constraints");
      } else if (Equal(oid, kKeyUsage)) {
        keyUsage = value.Read(kBitString, "key usage");
        value.End("key usage");
      } else if (critical) {
        throw InputError(what + " has a critical extension these rules do not know (" + DottedOid(oid) + ")");
      }
    }
  }

  if (role == Role::kCa && !isCa.value_or(false))
    throw InputError(what + " is not a CA: its basic constraints do not say CA:TRUE");
  if (role == Role::kCa && keyUsage && !BitSet(*keyUsage, kKeyCertSign))
    throw InputError(what + " has a key usage that does not allow signing certificates");
  if (role == Role::kSigner && keyUsage && !BitSet(*keyUsage, kDigitalSignature))
    throw InputError(what + " has a key usage that does not allow digital signatures");
  return {issuer, subject};
}

Names CheckOne(const std::vector<std::uint8_t>& der, Role role) {
  const std::string what = std::string("manifest: the ") + (role == Role::kCa ? "CA's" : "signer's") + " certificate";
  try {
    return Check(ByteView(der.data(), der.size(), "certificate"), role, what);
  } catch (const FormatError& error) {
    throw InputError(what + " is not DER: " + error.what());
  }
}

}  // namespace

void CheckCertificateRules(const std::vector<std::uint8_t>& signer, const std::vector<std::uint8_t>& ca) {
  const Names signerNames = CheckOne(signer, Role::kSigner);
  const Names caNames = CheckOne(ca, Role::kCa);
  if (!Equal(signerNames.issuer, caNames.subject))
    throw InputError("manifest: the signer's certificate names an issuer other than the CA's subject (compared byte for byte)");
}

}  // namespace vantor::packaging
