#pragma once

// The rules a manifest's certificates must meet, read from their DER bytes
// the same way on every platform, so that the platform's cryptography
// (Crypto.h) is left only the signatures to check.

#include <cstdint>
#include <vector>

namespace vantor::packaging {

// Raises ManifestError ("certificate") naming the first rule the signer's or
// the CA's certificate (DER) breaks:
// - one DER certificate, nothing after it, in DER's one spelling: minimal
//   lengths and integers, BOOLEANs 0x00 or 0xFF with a default FALSE left
//   out, BIT STRINGs whose unused bits are zero (and read as unset), named
//   bit lists without trailing zero bits; version 3 when extensions are
//   present, and then a list of at least one;
// - an RSA key of at least 2048 bits, its public exponent odd and at least 3;
// - signed with RSA PKCS#1 v1.5 and SHA-256, SHA-384 or SHA-512;
// - no critical extension but those these rules read (basic constraints,
//   key usage, extended key usage), and no extension twice;
// - the CA: basic constraints that say CA:TRUE, and a key usage, where
//   present, that allows signing certificates;
// - the signer: a key usage, where present, that allows digital signatures,
//   and as issuer the CA's subject, byte for byte (CryptoAPI compares names
//   so; OpenSSL would also match the same name in other string types);
// - both: an extended key usage, where present, that allows code signing or
//   any purpose.
// Validity dates are not read: a pack gives the same result on any day.
void CheckCertificateRules(const std::vector<std::uint8_t>& signer, const std::vector<std::uint8_t>& ca);

}  // namespace vantor::packaging
