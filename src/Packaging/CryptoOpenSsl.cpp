// The cryptography on Linux: OpenSSL's libcrypto.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>

#include "Packaging/Crypto.h"
#include "Packaging/PackError.h"

namespace vantor::packaging {
namespace {

// Owners of OpenSSL objects, each freed by its own function.
template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* object) const { Free(object); }
};
using X509Owner = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;

X509Owner ReadCertificate(const Der& der, const char* what) {
  const unsigned char* end = der.data();
  X509Owner certificate(d2i_X509(nullptr, &end, static_cast<long>(der.size())));
  if (!certificate || end != der.data() + der.size())
    throw ManifestError("certificate", std::string("the ") + what + " certificate cannot be read");
  return certificate;
}

}  // namespace

struct Md5::State {
  DigestContext context{EVP_MD_CTX_new()};
};

Md5::Md5() : state_(std::make_unique<State>()) {
  if (!state_->context || EVP_DigestInit_ex(state_->context.get(), EVP_md5(), nullptr) != 1)
    throw std::runtime_error("MD5 is not available");
}

Md5::~Md5() = default;

void Md5::Update(const std::uint8_t* data, std::size_t size) {
  if (EVP_DigestUpdate(state_->context.get(), data, size) != 1) throw std::runtime_error("MD5 failed");
}

Md5Digest Md5::Finish() {
  Md5Digest digest{};
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(state_->context.get(), digest.data(), &size) != 1 || size != digest.size())
    throw std::runtime_error("MD5 failed");
  return digest;
}

void VerifySignature(std::string_view message, const std::vector<std::uint8_t>& signature, const Der& signerDer) {
  const auto signer = ReadCertificate(signerDer, "signer's");
  EVP_PKEY* key = X509_get0_pubkey(signer.get());
  if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA)
    throw ManifestError("certificate", "the signer's certificate has no RSA key");
  DigestContext context(EVP_MD_CTX_new());
  if (!context) throw std::bad_alloc();
  // An RSA key verifies with PKCS#1 v1.5 padding unless told otherwise.
  if (EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
      EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1)
    throw ManifestError("signature", "it does not verify with the signer's certificate");
}

void VerifyIssuedBy(const Der& signerDer, const Der& caDer) {
  const auto signer = ReadCertificate(signerDer, "signer's");
  const auto ca = ReadCertificate(caDer, "CA's");
  EVP_PKEY* caKey = X509_get0_pubkey(ca.get());
  if (X509_NAME_cmp(X509_get_issuer_name(signer.get()), X509_get_subject_name(ca.get())) != 0 || caKey == nullptr ||
      X509_verify(signer.get(), caKey) != 1)
    throw ManifestError("certificate", "the signer's certificate is not issued by the CA");
}

}  // namespace vantor::packaging
