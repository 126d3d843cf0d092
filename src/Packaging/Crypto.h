#pragma once

// The platform's cryptography, behind one interface: OpenSSL on Linux, CNG and
// CryptoAPI on Windows (CryptoOpenSsl.cpp, CryptoWindows.cpp).

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
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

// Raises InputError when `base64` (no line breaks) is not valid base64.
std::vector<std::uint8_t> DecodeBase64(std::string_view base64);

// Raises InputError unless `signature` is an RSA PKCS#1 v1.5 SHA-256
// signature of `message` by the key of the PEM certificate `signerPem`.
void VerifySignature(std::string_view message, const std::vector<std::uint8_t>& signature, std::string_view signerPem);

// Raises InputError unless the PEM certificate `signerPem` is issued by the
// PEM certificate `caPem`: its issuer is the CA's subject and its signature
// verifies with the CA's key. Validity periods are not checked: packing must
// give the same result on any day.
void VerifyIssuedBy(std::string_view signerPem, std::string_view caPem);

}  // namespace vantor::packaging
