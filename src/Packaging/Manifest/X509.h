#pragma once

// An X.509 certificate's layout, read once for every reader of certificates:
// the certificate rules judge its fields, the Authenticode reader only names
// certificates by them.

#include <optional>
#include <string>

#include "Packaging/Image/ByteView.h"

namespace vantor::packaging {

// The fields in their order, each as its element's contents, read but not
// judged (a serial number as spelt, a version as written).
struct CertificateFields {
  std::optional<ByteView> version;  // [0]'s contents; none when left out (version 1)
  ByteView serial;                   // the INTEGER's contents
  ByteView signedAlgorithm;          // the algorithm inside the to-be-signed part
  ByteView issuer;
  ByteView validity;
  ByteView subject;
  ByteView publicKey;
  bool uniqueIds = false;            // an issuer or subject unique id is present
  std::optional<ByteView> extensions;  // [3]'s contents
  ByteView signatureAlgorithm;       // the algorithm outside it
  ByteView signature;                // the BIT STRING's contents
};

// The fields of the certificate whose SEQUENCE holds `contents`. Raises
// InputError naming `what` for a field missing, misplaced or followed by
// bytes, FormatError for a length past its window.
CertificateFields ReadCertificateFields(ByteView contents, const std::string& what);

}  // namespace vantor::packaging
