#pragma once

// The rules a manifest's certificates must meet, read from their DER bytes
// the same way on every platform, so that the platform's cryptography
// (Crypto.h) is left only the signatures to check.

#include <cstdint>
#include <vector>

namespace vantor::packaging {

// Raises InputError naming the first rule the signer's or the CA's
// certificate (DER) breaks:
// - one DER certificate, nothing after it;
// - an RSA key of at least 2048 bits;
// - signed with RSA PKCS#1 v1.5 and SHA-256, SHA-384 or SHA-512;
// - no critical extension but basic constraints and key usage, the two these
//   rules read, and no extension twice;
// - the CA: basic constraints that say CA:TRUE, and a key usage, where
//   present, that allows signing certificates;
// - the signer: a key usage, where present, that allows digital signatures,
//   and as issuer the CA's subject, byte for byte (CryptoAPI compares names
//   so; OpenSSL would also match the same name in other string types).
// Validity dates are not read: a pack gives the same result on any day.
void CheckCertificateRules(const std::vector<std::uint8_t>& signer, const std::vector<std::uint8_t>& ca);

}  // namespace vantor::packaging
