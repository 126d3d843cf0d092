#pragma once

// The platform's cryptography, behind one interface: OpenSSL on Linux, CNG and
// CryptoAPI on Windows (CryptoOpenSsl.cpp, CryptoWindows.cpp). Only digests
// and signatures: what a certificate must be is checked before, the same way
// on both (CertificateRules.h).

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor::packaging {

using Md5Digest = std::array<std::uint8_t, 16>;

// An MD5 digest computed over data fed in pieces.
class Md5 {
 public:
  Md5();
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;
  ~Md5();

  void Update(const std::uint8_t* data, std::size_t size);
  Md5Digest Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

using Der = std::vector<std::uint8_t>;

// Raises ManifestError ("signature") unless `signature` is an RSA PKCS#1 v1.5 SHA-256
// signature of `message` by the key of the DER certificate `signer`.
void VerifySignature(std::string_view message, const std::vector<std::uint8_t>& signature, const Der& signer);

// Raises ManifestError ("certificate") unless the DER certificate `signer` is issued by the DER
// certificate `ca`: its issuer is the CA's subject and its signature verifies
// with the CA's key. Validity periods are not checked: packing must give the
// same result on any day.
void VerifyIssuedBy(const Der& signer, const Der& ca);

using Sha256Digest = std::array<std::uint8_t, 32>;
Sha256Digest Sha256(const std::uint8_t* data, std::size_t size);

// What a certificate says of itself, for reports: its subject as the system
// spells distinguished names, and its validity (UTC, "YYYY-MM-DDTHH:MM:SSZ").
struct CertificateFacts {
  std::string subject;
  std::string notBefore;
  std::string notAfter;
};
// Raises ManifestError ("certificate") when `der` cannot be read.
CertificateFacts ReadCertificateFacts(const Der& der);

// An RSA private key that signs with PKCS#1 v1.5 and SHA-256 (deterministic:
// one key, one message, one signature, on either system).
class SigningKey {
 public:
  // The key in `bytes`, a key file named by `what`: a PEM private key
  // (encrypted ones decrypted with `password`) or a PKCS#12 file (`password`
  // its password). Raises InputError, naming `what`, for anything else, a
  // wrong or missing password, or a key that is not RSA.
  static SigningKey FromFile(const std::vector<std::uint8_t>& bytes, const std::optional<std::string>& password,
                             const std::string& what);
#ifdef _WIN32
  // The private key of a certificate in a Windows certificate store, named
  // the way PowerShell names it: cert:\CurrentUser\STORE\THUMBPRINT or
  // cert:\LocalMachine\STORE\THUMBPRINT (40 hex digits of its SHA-1 hash).
  // A key in a token through its key storage provider or minidriver: opened
  // without ever asking the user, `pin` (if any) handed to it. Raises
  // InputError for another name, no such certificate, or a key that cannot be
  // used without asking.
  static SigningKey FromStore(const std::string& name, const std::optional<std::string>& pin);
#endif
  SigningKey(SigningKey&&) noexcept;
  SigningKey& operator=(SigningKey&&) = delete;
  SigningKey(const SigningKey&) = delete;
  ~SigningKey();

  std::vector<std::uint8_t> Sign(std::string_view message) const;

 private:
  struct State;
  explicit SigningKey(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace vantor::packaging
