// The cryptography on Windows: CNG (bcrypt) for digests and RSA, CryptoAPI
// (crypt32) for certificates, and keys in certificate stores through what
// holds them: a CNG key storage provider (ncrypt) or a CryptoAPI provider.
#include <windows.h>

#include <bcrypt.h>
#include <ncrypt.h>
#include <wincrypt.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <string>

#include "Packaging/Image/ByteView.h"
#include "Packaging/Manifest/Crypto.h"
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
  explicit Certificate(PCCERT_CONTEXT adopted) : context_(adopted) {}
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

using Bytes = std::vector<std::uint8_t>;

// The contents of the DER element at the start of `der` with `tag`, and what
// follows it in `rest`. Raises FormatError when a length runs past `der`.
ByteView Element(ByteView der, std::uint8_t tag, ByteView* rest = nullptr) {
  if (der.Empty() || der.U8(0) != tag) throw FormatError(std::string("no element with tag ") + std::to_string(tag));
  std::size_t length = der.U8(1), header = 2;
  if (length & 0x80) {
    const std::size_t count = length & 0x7F;
    if (count == 0 || count > 4) throw FormatError("a length that is not definite");
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = (length << 8) | der.U8(2 + i);
    header += count;
  }
  const ByteView contents = der.Sub(header, length, der.Name());
  if (rest != nullptr) *rest = der.From(header + length, der.Name());
  return contents;
}
Bytes Copy(ByteView view) { return Bytes(view.Data(), view.Data() + view.Size()); }
bool Equal(ByteView view, std::initializer_list<std::uint8_t> bytes) {
  return view.Size() == bytes.size() && std::equal(bytes.begin(), bytes.end(), view.Data());
}
// An INTEGER's magnitude, big-endian, without a leading zero byte.
Bytes Magnitude(ByteView& der) {
  ByteView value = Element(der, 0x02, &der);
  while (value.Size() > 1 && value.U8(0) == 0) value = value.From(1, value.Name());
  return Copy(value);
}

constexpr std::uint8_t kSequence = 0x30, kOctetString = 0x04, kObjectId = 0x06, kInteger = 0x02;

// An RSA private key as CNG imports it: BCRYPT_RSAPRIVATE_BLOB.
struct RsaPrivateKey {
  Bytes exponent, modulus, prime1, prime2;
  Bytes Blob() const {
    BCRYPT_RSAKEY_BLOB header{BCRYPT_RSAPRIVATE_MAGIC, static_cast<ULONG>(modulus.size() * 8),
                              static_cast<ULONG>(exponent.size()), static_cast<ULONG>(modulus.size()),
                              static_cast<ULONG>(prime1.size()), static_cast<ULONG>(prime2.size())};
    Bytes blob(reinterpret_cast<const std::uint8_t*>(&header), reinterpret_cast<const std::uint8_t*>(&header + 1));
    for (const Bytes* part : {&exponent, &modulus, &prime1, &prime2}) blob.insert(blob.end(), part->begin(), part->end());
    return blob;
  }
};

// PKCS#1 RSAPrivateKey: version, n, e, d, p, q, ...
RsaPrivateKey ReadPkcs1(ByteView der) {
  ByteView fields = Element(der, kSequence);
  Element(fields, kInteger, &fields);
  RsaPrivateKey key;
  key.modulus = Magnitude(fields);
  key.exponent = Magnitude(fields);
  Element(fields, kInteger, &fields);
  key.prime1 = Magnitude(fields);
  key.prime2 = Magnitude(fields);
  return key;
}

// PKCS#8 PrivateKeyInfo: version, algorithm (rsaEncryption), the PKCS#1 key.
RsaPrivateKey ReadPkcs8(ByteView der, const std::string& what) {
  ByteView fields = Element(der, kSequence);
  Element(fields, kInteger, &fields);
  ByteView algorithm = Element(fields, kSequence, &fields);
  if (!Equal(Element(algorithm, kObjectId), {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}))
    throw InputError(what + " is not an RSA key");
  return ReadPkcs1(Element(fields, kOctetString));
}

// PKCS#8 EncryptedPrivateKeyInfo under PBES2: PBKDF2 with HMAC-SHA1 or
// HMAC-SHA256, and AES-CBC; decrypted with `password` to the PrivateKeyInfo.
Bytes DecryptPkcs8(ByteView der, const std::string& password, const std::string& what) {
  const auto unsupported = [&] { return InputError(what + " is encrypted with a scheme other than PBES2, PBKDF2 and AES-CBC"); };
  ByteView fields = Element(der, kSequence), encryption = Element(fields, kSequence, &fields);
  const ByteView encrypted = Element(fields, kOctetString);
  ByteView scheme;
  if (!Equal(Element(encryption, kObjectId, &scheme), {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x05, 0x0D})) throw unsupported();
  ByteView parts = Element(scheme, kSequence), derivation = Element(parts, kSequence, &parts), cipher = Element(parts, kSequence);
  ByteView kdf;
  if (!Equal(Element(derivation, kObjectId, &kdf), {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x05, 0x0C})) throw unsupported();
  ByteView kdfFields = Element(kdf, kSequence);
  const Bytes salt = Copy(Element(kdfFields, kOctetString, &kdfFields));
  const Bytes iterationBytes = Magnitude(kdfFields);
  if (iterationBytes.size() > 4) throw unsupported();
  ULONGLONG iterations = 0;
  for (const std::uint8_t byte : iterationBytes) iterations = (iterations << 8) | byte;
  if (!kdfFields.Empty() && kdfFields.U8(0) == kInteger) Magnitude(kdfFields);  // the key length: the cipher's
  const wchar_t* prf = BCRYPT_SHA1_ALGORITHM;
  if (!kdfFields.Empty()) {
    const ByteView prfOid = Element(Element(kdfFields, kSequence), kObjectId);
    if (Equal(prfOid, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x09})) prf = BCRYPT_SHA256_ALGORITHM;
    else if (!Equal(prfOid, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x07})) throw unsupported();
  }
  ByteView cipherParameters;
  const ByteView cipherOid = Element(cipher, kObjectId, &cipherParameters);
  // aes128-CBC, aes192-CBC, aes256-CBC: 2.16.840.1.101.3.4.1.2, .22, .42
  if (cipherOid.Size() != 9 || !Equal(cipherOid.Sub(0, 8, "cipher"), {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01}))
    throw unsupported();
  const std::size_t keySize = cipherOid.U8(8) == 2 ? 16 : cipherOid.U8(8) == 22 ? 24 : cipherOid.U8(8) == 42 ? 32 : 0;
  if (keySize == 0) throw unsupported();
  Bytes iv = Copy(Element(cipherParameters, kOctetString));
  if (iv.size() != 16) throw unsupported();

  Bytes secret(keySize);
  BCRYPT_ALG_HANDLE hmac = nullptr;
  Check(BCryptOpenAlgorithmProvider(&hmac, prf, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG), "BCryptOpenAlgorithmProvider");
  const NTSTATUS derived = BCryptDeriveKeyPBKDF2(hmac, reinterpret_cast<PUCHAR>(const_cast<char*>(password.data())),
                                                 static_cast<ULONG>(password.size()), const_cast<PUCHAR>(salt.data()),
                                                 static_cast<ULONG>(salt.size()), iterations, secret.data(),
                                                 static_cast<ULONG>(secret.size()), 0);
  BCryptCloseAlgorithmProvider(hmac, 0);
  Check(derived, "BCryptDeriveKeyPBKDF2");
  const Algorithm aes(BCRYPT_AES_ALGORITHM);
  Check(BCryptSetProperty(aes.Get(), BCRYPT_CHAINING_MODE, reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_CBC)),
                          sizeof BCRYPT_CHAIN_MODE_CBC, 0),
        "BCryptSetProperty");
  Key key;
  Check(BCryptGenerateSymmetricKey(aes.Get(), key.Out(), nullptr, 0, secret.data(), static_cast<ULONG>(secret.size()), 0),
        "BCryptGenerateSymmetricKey");
  Bytes plain(encrypted.Size());
  ULONG size = 0;
  // A wrong password shows as bad padding, or as text that is no key.
  if (!Succeeded(BCryptDecrypt(key.Get(), const_cast<PUCHAR>(encrypted.Data()), static_cast<ULONG>(encrypted.Size()), nullptr,
                               iv.data(), static_cast<ULONG>(iv.size()), plain.data(), static_cast<ULONG>(plain.size()), &size,
                               BCRYPT_BLOCK_PADDING)))
    throw InputError(what + " does not open with the password given");
  plain.resize(size);
  return plain;
}

// The base64 between "-----BEGIN <label>-----" and its END line, decoded.
Bytes PemBlock(const Bytes& bytes, std::string& label, const std::string& what) {
  const std::string text(bytes.begin(), bytes.end());
  const std::size_t begin = text.find("-----BEGIN ");
  const std::size_t labelEnd = text.find("-----", begin + 11);
  if (begin == std::string::npos || labelEnd == std::string::npos) throw InputError(what + " is not a PEM private key");
  label = text.substr(begin + 11, labelEnd - begin - 11);
  const std::size_t end = text.find("-----END " + label + "-----", labelEnd);
  if (end == std::string::npos) throw InputError(what + " is not a PEM private key");
  const std::string body = text.substr(labelEnd + 5, end - labelEnd - 5);
  if (body.find("Proc-Type:") != std::string::npos)
    throw InputError(what + " is encrypted the old OpenSSL way: convert it to PKCS#8 (openssl pkcs8 -topk8) or PKCS#12");
  DWORD size = 0;
  if (!CryptStringToBinaryA(body.c_str(), static_cast<DWORD>(body.size()), CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr))
    throw InputError(what + " is not a PEM private key: damaged base64");
  Bytes der(size);
  if (!CryptStringToBinaryA(body.c_str(), static_cast<DWORD>(body.size()), CRYPT_STRING_BASE64, der.data(), &size, nullptr, nullptr))
    throw InputError(what + " is not a PEM private key: damaged base64");
  der.resize(size);
  return der;
}

RsaPrivateKey ReadPemKey(const Bytes& bytes, const std::optional<std::string>& password, const std::string& what) {
  std::string label;
  const Bytes der = PemBlock(bytes, label, what);
  const ByteView view(der.data(), der.size(), "key");
  if (label == "RSA PRIVATE KEY") return ReadPkcs1(view);
  if (label == "PRIVATE KEY") return ReadPkcs8(view, what);
  if (label != "ENCRYPTED PRIVATE KEY") throw InputError(what + " is not a PEM private key ('" + label + "')");
  if (!password) throw InputError(what + " is encrypted: give its password (--key-pass)");
  const Bytes plain = DecryptPkcs8(view, *password, what);
  try {
    return ReadPkcs8(ByteView(plain.data(), plain.size(), "key"), what);
  } catch (const FormatError&) {
    throw InputError(what + " does not open with the password given");
  }
}

// The first shrouded key bag of a PKCS#12 file (PFX: version, the
// authenticated safe as data, a MAC), decrypted as a PBES2 PKCS#8 key. The MAC
// is not checked: a key that is not the one the certificate names fails the
// signature check that follows, before anything is written. The system's own
// import (PFXImportCertStore) is not used: it keeps the key in the user's
// key store.
RsaPrivateKey ReadPkcs12Key(const Bytes& bytes, const std::optional<std::string>& password, const std::string& what) {
  static const std::initializer_list<std::uint8_t> kData = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
  static const std::initializer_list<std::uint8_t> kShroudedKeyBag = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x0A, 0x01, 0x02};
  constexpr std::uint8_t kExplicit0 = 0xA0;
  // The octets of a ContentInfo of type data.
  const auto dataOf = [&](ByteView contentInfo) {
    ByteView content;
    if (!Equal(Element(contentInfo, kObjectId, &content), kData)) return ByteView();
    return Element(Element(content, kExplicit0), kOctetString);
  };
  ByteView pfx = Element(ByteView(bytes.data(), bytes.size(), "PKCS#12 file"), kSequence);
  Element(pfx, kInteger, &pfx);
  ByteView safes = Element(dataOf(Element(pfx, kSequence)), kSequence);
  while (!safes.Empty()) {
    ByteView bags = dataOf(Element(safes, kSequence, &safes));
    if (bags.Empty()) continue;  // encrypted data: the certificates
    for (bags = Element(bags, kSequence); !bags.Empty();) {
      ByteView bag = Element(bags, kSequence, &bags), value;
      if (!Equal(Element(bag, kObjectId, &value), kShroudedKeyBag)) continue;
      const Bytes plain = DecryptPkcs8(Element(value, kExplicit0), password.value_or(""), what);
      try {
        return ReadPkcs8(ByteView(plain.data(), plain.size(), "key"), what);
      } catch (const FormatError&) {
        throw InputError(what + " does not open with the password given");
      }
    }
  }
  throw InputError(what + " holds no encrypted private key (a PKCS#12 key bag)");
}

// Signs SHA-256 digests, RSA PKCS#1 v1.5.
class DigestSigner {
 public:
  virtual ~DigestSigner() = default;
  virtual Bytes Sign(const Sha256Digest& digest) const = 0;
};

// A key read from a file, imported into CNG.
class ImportedKey final : public DigestSigner {
 public:
  ImportedKey(const Bytes& blob, const std::string& what) {
    if (!Succeeded(BCryptImportKeyPair(rsa_.Get(), nullptr, BCRYPT_RSAPRIVATE_BLOB, key_.Out(), const_cast<PUCHAR>(blob.data()),
                                       static_cast<ULONG>(blob.size()), 0)))
      throw InputError(what + " is not an RSA key this system can use");
  }
  Bytes Sign(const Sha256Digest& digest) const override {
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    const auto data = const_cast<PUCHAR>(digest.data());
    ULONG size = 0;
    Check(BCryptSignHash(key_.Get(), &padding, data, 32, nullptr, 0, &size, BCRYPT_PAD_PKCS1), "BCryptSignHash");
    Bytes signature(size);
    Check(BCryptSignHash(key_.Get(), &padding, data, 32, signature.data(), size, &size, BCRYPT_PAD_PKCS1), "BCryptSignHash");
    signature.resize(size);
    return signature;
  }

 private:
  Algorithm rsa_{BCRYPT_RSA_ALGORITHM};
  Key key_;
};

// What went wrong with a key in a store, for one line: the system's error
// code, and a hint when the key's token wants its PIN.
InputError KeyFailure(const std::string& what, const char* action, DWORD code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
  const bool pin = code == static_cast<DWORD>(NTE_SILENT_CONTEXT) || code == static_cast<DWORD>(SCARD_W_CARD_NOT_AUTHENTICATED) ||
                   code == static_cast<DWORD>(SCARD_W_WRONG_CHV) || code == static_cast<DWORD>(NTE_INCORRECT_PASSWORD);
  return InputError(what + ": " + action + " failed (error " + hex + ")" +
                    (pin ? ": its token wants the PIN, which --key-pass gives" : ""));
}

class Store {
 public:
  Store(DWORD location, const std::wstring& name, const std::string& what) {
    handle_ = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                            location | CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG, name.c_str());
    if (handle_ == nullptr) throw KeyFailure(what, "opening its certificate store", GetLastError());
  }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  ~Store() { CertCloseStore(handle_, 0); }
  HCERTSTORE Get() const { return handle_; }

 private:
  HCERTSTORE handle_ = nullptr;
};

// A CryptoAPI provider context opened here.
class Provider {
 public:
  Provider(const std::string& container, DWORD keyset, const std::string& what) {
    if (!CryptAcquireContextA(&handle_, container.c_str(), MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, keyset | CRYPT_SILENT))
      throw KeyFailure(what, "opening its key with SHA-256", GetLastError());
  }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;
  ~Provider() { CryptReleaseContext(handle_, 0); }
  HCRYPTPROV Get() const { return handle_; }

 private:
  HCRYPTPROV handle_ = 0;
};

// A CryptoAPI hash object holding a SHA-256 digest computed already; false
// when the provider has no SHA-256.
class CryptoApiHash {
 public:
  explicit CryptoApiHash(HCRYPTPROV provider) {
    if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &handle_)) handle_ = 0;
  }
  CryptoApiHash(const CryptoApiHash&) = delete;
  CryptoApiHash& operator=(const CryptoApiHash&) = delete;
  ~CryptoApiHash() {
    if (handle_ != 0) CryptDestroyHash(handle_);
  }
  explicit operator bool() const { return handle_ != 0; }
  HCRYPTHASH Get() const { return handle_; }

 private:
  HCRYPTHASH handle_ = 0;
};

// What CryptAcquireCertificatePrivateKey hands over: a CNG key or a CryptoAPI
// provider context with its exchange or signature key (`kind_` says which),
// freed here when the caller is to.
class CertificatePrivateKey {
 public:
  CertificatePrivateKey(PCCERT_CONTEXT certificate, const std::string& what) {
    BOOL callerFrees = FALSE;
    if (!CryptAcquireCertificatePrivateKey(certificate, CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG | CRYPT_ACQUIRE_SILENT_FLAG, nullptr,
                                           &handle_, &kind_, &callerFrees))
      throw KeyFailure(what, "opening its private key", GetLastError());
    owned_ = callerFrees != FALSE;
  }
  CertificatePrivateKey(const CertificatePrivateKey&) = delete;
  CertificatePrivateKey& operator=(const CertificatePrivateKey&) = delete;
  ~CertificatePrivateKey() {
    if (!owned_) return;
    if (IsCng()) NCryptFreeObject(handle_);
    else CryptReleaseContext(handle_, 0);
  }
  bool IsCng() const { return kind_ == CERT_NCRYPT_KEY_SPEC; }
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE Get() const { return handle_; }
  DWORD Kind() const { return kind_; }

 private:
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE handle_ = 0;
  DWORD kind_ = 0;
  bool owned_ = false;
};

// The private key of a certificate in a store, wherever it lives: a CNG key
// (a key storage provider, a smart-card minidriver) or a CryptoAPI key. Never
// asks the user: a key that would fails.
class StoreKey final : public DigestSigner {
 public:
  StoreKey(PCCERT_CONTEXT certificate, const std::optional<std::string>& pin, const std::string& what)
      : what_(what), pin_(pin), key_(certificate, what) {
    if (!pin) return;
    if (key_.IsCng()) {
      const std::wstring wide = std::filesystem::u8path(*pin).wstring();
      const SECURITY_STATUS status =
          NCryptSetProperty(key_.Get(), NCRYPT_PIN_PROPERTY, reinterpret_cast<PBYTE>(const_cast<wchar_t*>(wide.c_str())),
                            static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)), 0);
      if (status != ERROR_SUCCESS) throw KeyFailure(what, "giving its token the PIN", static_cast<DWORD>(status));
    } else {
      SetPin(key_.Get());
    }
  }

  Bytes Sign(const Sha256Digest& digest) const override {
    return key_.IsCng() ? SignNCrypt(digest) : SignCryptoApi(digest);
  }

 private:
  Bytes SignNCrypt(const Sha256Digest& digest) const {
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    const auto data = const_cast<PBYTE>(digest.data());
    const DWORD flags = BCRYPT_PAD_PKCS1 | NCRYPT_SILENT_FLAG;
    DWORD size = 0;
    SECURITY_STATUS status = NCryptSignHash(key_.Get(), &padding, data, 32, nullptr, 0, &size, flags);
    Bytes signature(size);
    if (status == ERROR_SUCCESS) status = NCryptSignHash(key_.Get(), &padding, data, 32, signature.data(), size, &size, flags);
    if (status != ERROR_SUCCESS) throw KeyFailure(what_, "signing", static_cast<DWORD>(status));
    signature.resize(size);
    return signature;
  }

  // CryptoAPI signs a hash object, and writes the signature least significant
  // byte first. A provider without SHA-256 (the older Microsoft ones) has the
  // same key opened again through the AES provider, which has it.
  Bytes SignCryptoApi(const Sha256Digest& digest) const {
    std::optional<Provider> withSha256;
    std::optional<CryptoApiHash> hash(std::in_place, key_.Get());
    if (!*hash) {
      withSha256.emplace(ContainerOf(key_.Get()), KeysetOf(key_.Get()), what_);
      if (pin_) SetPin(withSha256->Get());
      hash.emplace(withSha256->Get());
      if (!*hash) throw KeyFailure(what_, "hashing with SHA-256", GetLastError());
    }
    if (!CryptSetHashParam(hash->Get(), HP_HASHVAL, digest.data(), 0)) throw KeyFailure(what_, "hashing", GetLastError());
    DWORD size = 0;
    Bytes signature;
    if (CryptSignHashW(hash->Get(), key_.Kind(), nullptr, 0, nullptr, &size)) {
      signature.resize(size);
      if (CryptSignHashW(hash->Get(), key_.Kind(), nullptr, 0, signature.data(), &size)) {
        signature.resize(size);
        std::reverse(signature.begin(), signature.end());
        return signature;
      }
    }
    throw KeyFailure(what_, "signing", GetLastError());
  }

  void SetPin(HCRYPTPROV provider) const {
    if (!CryptSetProvParam(provider, key_.Kind() == AT_SIGNATURE ? PP_SIGNATURE_PIN : PP_KEYEXCHANGE_PIN,
                           reinterpret_cast<const BYTE*>(pin_->c_str()), 0))
      throw KeyFailure(what_, "giving its token the PIN", GetLastError());
  }
  std::string ContainerOf(HCRYPTPROV provider) const {
    DWORD size = 0;
    std::string name;
    if (CryptGetProvParam(provider, PP_CONTAINER, nullptr, &size, 0)) {
      name.resize(size);
      if (CryptGetProvParam(provider, PP_CONTAINER, reinterpret_cast<BYTE*>(name.data()), &size, 0)) return name.c_str();
    }
    throw KeyFailure(what_, "naming its key container", GetLastError());
  }
  DWORD KeysetOf(HCRYPTPROV provider) const {
    DWORD keyset = 0, size = sizeof keyset;
    if (!CryptGetProvParam(provider, PP_KEYSET_TYPE, reinterpret_cast<BYTE*>(&keyset), &size, 0)) return 0;
    return keyset & CRYPT_MACHINE_KEYSET;
  }

  std::string what_;
  std::optional<std::string> pin_;
  CertificatePrivateKey key_;
};

}  // namespace

struct SigningKey::State {
  std::unique_ptr<DigestSigner> signer;
};

SigningKey::SigningKey(std::unique_ptr<State> state) : state_(std::move(state)) {}
SigningKey::SigningKey(SigningKey&&) noexcept = default;
SigningKey::~SigningKey() = default;

SigningKey SigningKey::FromFile(const std::vector<std::uint8_t>& bytes, const std::optional<std::string>& password,
                                const std::string& what) {
  static constexpr std::string_view kBegin = "-----BEGIN ";
  const bool pem = std::search(bytes.begin(), bytes.end(), kBegin.begin(), kBegin.end()) != bytes.end();
  RsaPrivateKey parts;
  try {
    parts = pem ? ReadPemKey(bytes, password, what) : ReadPkcs12Key(bytes, password, what);
  } catch (const FormatError& error) {
    throw InputError(what + " is not a private key in form: " + error.what());
  }
  return SigningKey(std::make_unique<State>(State{std::make_unique<ImportedKey>(parts.Blob(), what)}));
}

SigningKey SigningKey::FromStore(const std::string& name, const std::optional<std::string>& pin) {
  const std::string what = "key '" + name + "'";
  // cert:\LOCATION\STORE\THUMBPRINT, the first two as PowerShell spells them, in any case.
  std::vector<std::string> fields(1);
  for (const char c : name) {
    if (c == '\\') fields.emplace_back();
    else fields.back().push_back(c);
  }
  const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  const bool currentUser = fields.size() == 4 && _stricmp(fields[1].c_str(), "CurrentUser") == 0;
  const bool localMachine = fields.size() == 4 && _stricmp(fields[1].c_str(), "LocalMachine") == 0;
  if (!(currentUser || localMachine) || _stricmp(fields[0].c_str(), "cert:") != 0 || fields[2].empty() ||
      fields[3].size() != 40 || !std::all_of(fields[3].begin(), fields[3].end(), hex))
    throw InputError(what + " names no certificate in a store: write cert:\\CurrentUser\\My\\THUMBPRINT or "
                            "cert:\\LocalMachine\\My\\THUMBPRINT (the 40 hex digits of its SHA-1 thumbprint)");
  std::uint8_t thumbprint[20];
  for (std::size_t i = 0; i < sizeof thumbprint; ++i)
    thumbprint[i] = static_cast<std::uint8_t>(std::stoul(fields[3].substr(2 * i, 2), nullptr, 16));
  const Store store(currentUser ? CERT_SYSTEM_STORE_CURRENT_USER : CERT_SYSTEM_STORE_LOCAL_MACHINE,
                    std::filesystem::u8path(fields[2]).wstring(), what);
  CRYPT_HASH_BLOB hash{sizeof thumbprint, thumbprint};
  const PCCERT_CONTEXT found = CertFindCertificateInStore(store.Get(), X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &hash, nullptr);
  if (found == nullptr) throw InputError(what + ": there is no certificate with this thumbprint in the store");
  const Certificate certificate(found);
  return SigningKey(std::make_unique<State>(State{std::make_unique<StoreKey>(certificate.Get(), pin, what)}));
}

std::vector<std::uint8_t> SigningKey::Sign(std::string_view message) const {
  return state_->signer->Sign(Sha256(reinterpret_cast<const std::uint8_t*>(message.data()), message.size()));
}

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

Sha256Digest Sha256(const std::uint8_t* data, std::size_t size) {
  Sha256Digest digest{};
  Hash sha256(BCRYPT_SHA256_ALGORITHM);
  sha256.Update(data, size);
  sha256.Finish(digest.data(), digest.size());
  return digest;
}

CertificateFacts ReadCertificateFacts(const Der& der) {
  const Certificate certificate(der, "");
  const CERT_INFO& info = *certificate.Get()->pCertInfo;
  const auto time = [](const FILETIME& when) {
    SYSTEMTIME parts{};
    if (!FileTimeToSystemTime(&when, &parts)) return std::string();
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", parts.wYear, parts.wMonth, parts.wDay, parts.wHour,
                  parts.wMinute, parts.wSecond);
    return std::string(text);
  };
  const DWORD flags = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
  std::wstring subject(CertNameToStrW(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(&info.Subject), flags, nullptr, 0), L'\0');
  CertNameToStrW(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(&info.Subject), flags, subject.data(),
                 static_cast<DWORD>(subject.size()));
  subject.resize(subject.empty() ? 0 : subject.size() - 1);
  std::string utf8(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, subject.data(), static_cast<int>(subject.size()),
                                                                nullptr, 0, nullptr, nullptr)),
                   '\0');
  WideCharToMultiByte(CP_UTF8, 0, subject.data(), static_cast<int>(subject.size()), utf8.data(), static_cast<int>(utf8.size()),
                      nullptr, nullptr);
  return {utf8, time(info.NotBefore), time(info.NotAfter)};
}

}  // namespace vantor::packaging
