#include "Packaging/Manifest/X509.h"

#include "Packaging/Manifest/Der.h"

namespace vantor::packaging {
namespace {

using namespace der;

constexpr std::uint8_t kVersion = Constructed(0);          // EXPLICIT
constexpr std::uint8_t kIssuerUniqueId = Primitive(1);     // IMPLICIT
constexpr std::uint8_t kSubjectUniqueId = Primitive(2);    // IMPLICIT
constexpr std::uint8_t kExtensions = Constructed(3);       // EXPLICIT

}  // namespace

CertificateFields ReadCertificateFields(ByteView contents, const std::string& what) {
  DerReader certificate(contents, what);
  DerReader tbs(certificate.Read(kSequence, "to-be-signed part"), what);
  CertificateFields fields;
  fields.signatureAlgorithm = certificate.Read(kSequence, "signature algorithm");
  fields.signature = certificate.Read(kBitString, "signature");
  certificate.End("certificate");

  if (tbs.Next(kVersion)) fields.version = tbs.Read(kVersion, "version");
  fields.serial = tbs.Read(kInteger, "serial number");
  fields.signedAlgorithm = tbs.Read(kSequence, "signature algorithm");
  fields.issuer = tbs.Read(kSequence, "issuer");
  fields.validity = tbs.Read(kSequence, "validity");
  fields.subject = tbs.Read(kSequence, "subject");
  fields.publicKey = tbs.Read(kSequence, "public key info");
  fields.uniqueIds = tbs.Next(kIssuerUniqueId) || tbs.Next(kSubjectUniqueId);
  tbs.Skip(kIssuerUniqueId, "issuer unique id");
  tbs.Skip(kSubjectUniqueId, "subject unique id");
  if (tbs.Next(kExtensions)) fields.extensions = tbs.Read(kExtensions, "extensions");
  tbs.End("to-be-signed part");
  return fields;
}

}  // namespace vantor::packaging
