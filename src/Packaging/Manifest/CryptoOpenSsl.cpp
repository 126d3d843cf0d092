// The cryptography on Linux: OpenSSL's libcrypto.
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cstring>
#include <ctime>

#include <algorithm>
#include <string>

#include "Packaging/Manifest/Crypto.h"
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
using KeyOwner = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using BioOwner = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Pkcs12Owner = std::unique_ptr<PKCS12, Deleter<PKCS12, PKCS12_free>>;
void FreeCertificates(STACK_OF(X509) * certificates) { sk_X509_pop_free(certificates, X509_free); }
using CertificatesOwner = std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), FreeCertificates>>;

// Hands OpenSSL the password, or none: never a prompt on the terminal.
int GivePassword(char* buffer, int size, int, void* password) {
  if (password == nullptr) return -1;
  const auto& text = *static_cast<const std::string*>(password);
  if (text.size() > static_cast<std::size_t>(size)) return -1;
  std::memcpy(buffer, text.data(), text.size());
  return static_cast<int>(text.size());
}

bool IsPem(const std::vector<std::uint8_t>& bytes) {
  static constexpr std::string_view kBegin = "-----BEGIN ";
  return std::search(bytes.begin(), bytes.end(), kBegin.begin(), kBegin.end()) != bytes.end();
}

KeyOwner ReadPemKey(const std::vector<std::uint8_t>& bytes, const std::optional<std::string>& password) {
  BioOwner bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  if (!bio) throw std::bad_alloc();
  return KeyOwner(PEM_read_bio_PrivateKey(bio.get(), nullptr, GivePassword,
                                          password ? const_cast<std::string*>(&*password) : nullptr));
}

KeyOwner ReadPkcs12Key(const std::vector<std::uint8_t>& bytes, const std::optional<std::string>& password) {
  const unsigned char* end = bytes.data();
  Pkcs12Owner pkcs12(d2i_PKCS12(nullptr, &end, static_cast<long>(bytes.size())));
  if (!pkcs12 || end != bytes.data() + bytes.size()) return nullptr;
  EVP_PKEY* key = nullptr;
  X509* certificate = nullptr;
  STACK_OF(X509)* chain = nullptr;
  const int parsed = PKCS12_parse(pkcs12.get(), password ? password->c_str() : "", &key, &certificate, &chain);
  X509Owner certificateOwner(certificate);
  CertificatesOwner chainOwner(chain);
  return KeyOwner(parsed == 1 ? key : nullptr);
}

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

struct SigningKey::State {
  KeyOwner key;
};

SigningKey::SigningKey(std::unique_ptr<State> state) : state_(std::move(state)) {}
SigningKey::SigningKey(SigningKey&&) noexcept = default;
SigningKey::~SigningKey() = default;

SigningKey SigningKey::FromFile(const std::vector<std::uint8_t>& bytes, const std::optional<std::string>& password,
                                const std::string& what) {
  const bool pem = IsPem(bytes);
  KeyOwner key = pem ? ReadPemKey(bytes, password) : ReadPkcs12Key(bytes, password);
  if (!key)
    throw InputError(what + (pem ? " is not a PEM private key" : " is not a PKCS#12 file with a private key") +
                     " that opens" + (password ? " with the password given" : " without a password (--key-pass)"));
  if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) throw InputError(what + " is not an RSA key");
  return SigningKey(std::make_unique<State>(State{std::move(key)}));
}

std::vector<std::uint8_t> SigningKey::Sign(std::string_view message) const {
  DigestContext context(EVP_MD_CTX_new());
  if (!context) throw std::bad_alloc();
  std::size_t size = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(message.data());
  if (EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, state_->key.get()) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &size, data, message.size()) != 1)
    throw std::runtime_error("signing failed");
  std::vector<std::uint8_t> signature(size);
  if (EVP_DigestSign(context.get(), signature.data(), &size, data, message.size()) != 1)
    throw std::runtime_error("signing failed");
  signature.resize(size);
  return signature;
}

Sha256Digest Sha256(const std::uint8_t* data, std::size_t size) {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr) != 1 || length != digest.size())
    throw std::runtime_error("SHA-256 failed");
  return digest;
}

CertificateFacts ReadCertificateFacts(const Der& der) {
  const auto certificate = ReadCertificate(der, "");
  const auto time = [](const ASN1_TIME* when) {
    std::tm parts{};
    if (when == nullptr || ASN1_TIME_to_tm(when, &parts) != 1) return std::string();
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return std::string(text);
  };
  BioOwner bio(BIO_new(BIO_s_mem()));
  if (!bio) throw std::bad_alloc();
  X509_NAME_print_ex(bio.get(), X509_get_subject_name(certificate.get()), 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* text = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &text);
  return {std::string(text, static_cast<std::size_t>(length)), time(X509_get0_notBefore(certificate.get())),
          time(X509_get0_notAfter(certificate.get()))};
}

}  // namespace vantor::packaging
