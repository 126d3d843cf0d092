// The cryptography on Windows: CNG (bcrypt) for digests and RSA, CryptoAPI
// (crypt32) for certificates.
#include <windows.h>

#include <bcrypt.h>
#include <wincrypt.h>

#include "Packaging/Crypto.h"
#include "Packaging/PackError.h"

namespace vantor::packaging {
namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

void Check(NTSTATUS status, const char* function) {
  if (!Succeeded(status)) throw std::runtime_error(std::string(function) + " failed");
}

class Algorithm {
 public:
  explicit Algorithm(const wchar_t* name) {
    Check(BCryptOpenAlgorithmProvider(&handle_, name, nullptr, 0), "BCryptOpenAlgorithmProvider");
  }
  Algorithm(const Algorithm&) = delete;
  Algorithm& operator=(const Algorithm&) = delete;
  ~Algorithm() { BCryptCloseAlgorithmProvider(handle_, 0); }
  BCRYPT_ALG_HANDLE Get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class Hash {
 public:
  explicit Hash(const wchar_t* algorithm) : algorithm_(algorithm) {
    Check(BCryptCreateHash(algorithm_.Get(), &handle_, nullptr, 0, nullptr, 0, 0), "BCryptCreateHash");
  }
  Hash(const Hash&) = delete;
  Hash& operator=(const Hash&) = delete;
  ~Hash() { BCryptDestroyHash(handle_); }

  void Update(const std::uint8_t* data, std::size_t size) {
    // BCryptHashData takes at most 4 GiB - 1 bytes a call.
    while (size > 0) {
      const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(size, 0x40000000));
      Check(BCryptHashData(handle_, const_cast<PUCHAR>(data), piece, 0), "BCryptHashData");
      data += piece;
      size -= piece;
    }
  }
  void Finish(std::uint8_t* digest, std::size_t size) {
    Check(BCryptFinishHash(handle_, digest, static_cast<ULONG>(size), 0), "BCryptFinishHash");
  }

 private:
  Algorithm algorithm_;
  BCRYPT_HASH_HANDLE handle_ = nullptr;
};

class Key {
 public:
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (handle_ != nullptr) BCryptDestroyKey(handle_);
  }
  BCRYPT_KEY_HANDLE* Out() { return &handle_; }
  BCRYPT_KEY_HANDLE Get() const { return handle_; }

 private:
  BCRYPT_KEY_HANDLE handle_ = nullptr;
};

class Certificate {
 public:
  Certificate(const Der& der, const char* what) {
    context_ = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (context_ == nullptr) throw ManifestError("certificate", std::string("the ") + what + " certificate cannot be read");
  }
  Certificate(const Certificate&) = delete;
  Certificate& operator=(const Certificate&) = delete;
  ~Certificate() { CertFreeCertificateContext(context_); }
  PCCERT_CONTEXT Get() const { return context_; }

 private:
  PCCERT_CONTEXT context_ = nullptr;
};

}  // namespace

struct Md5::State {
  Hash hash{BCRYPT_MD5_ALGORITHM};
};

Md5::Md5() : state_(std::make_unique<State>()) {}
Md5::~Md5() = default;

void Md5::Update(const std::uint8_t* data, std::size_t size) { state_->hash.Update(data, size); }

Md5Digest Md5::Finish() {
  Md5Digest digest{};
  state_->hash.Finish(digest.data(), digest.size());
  return digest;
}

void VerifySignature(std::string_view message, const std::vector<std::uint8_t>& signature, const Der& signerDer) {
  const Certificate signer(signerDer, "signer's");
  Key key;
  if (!CryptImportPublicKeyInfoEx2(X509_ASN_ENCODING, &signer.Get()->pCertInfo->SubjectPublicKeyInfo, 0, nullptr,
                                   key.Out()))
    throw ManifestError("certificate", "the signer's certificate has no usable public key");
  std::uint8_t digest[32];
  Hash sha256(BCRYPT_SHA256_ALGORITHM);
  sha256.Update(reinterpret_cast<const std::uint8_t*>(message.data()), message.size());
  sha256.Finish(digest, sizeof digest);
  BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
  if (!Succeeded(BCryptVerifySignature(key.Get(), &padding, digest, sizeof digest,
                                       const_cast<PUCHAR>(signature.data()), static_cast<ULONG>(signature.size()),
                                       BCRYPT_PAD_PKCS1)))
    throw ManifestError("signature", "it does not verify with the signer's certificate");
}

void VerifyIssuedBy(const Der& signerDer, const Der& caDer) {
  const Certificate signer(signerDer, "signer's");
  const Certificate ca(caDer, "CA's");
  if (!CertCompareCertificateName(X509_ASN_ENCODING, &signer.Get()->pCertInfo->Issuer, &ca.Get()->pCertInfo->Subject) ||
      !CryptVerifyCertificateSignatureEx(0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
                                         const_cast<CERT_CONTEXT*>(signer.Get()), CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT,
                                         const_cast<CERT_CONTEXT*>(ca.Get()), 0, nullptr))
    throw ManifestError("certificate", "the signer's certificate is not issued by the CA");
}

}  // namespace vantor::packaging
