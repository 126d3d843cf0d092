// Puts a PKCS#12 file's certificate, its key kept by the system, into the
// current user's "My" store and prints its SHA-1 thumbprint; takes it and its
// key out again. For the packer's certificate-store keys under test.
//   store-certificate add FILE.p12 PASSWORD
//   store-certificate remove THUMBPRINT
#include <windows.h>

#include <ncrypt.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "store-certificate: %s failed (error 0x%08lX)\n", what, GetLastError());
  std::exit(1);
}

class Store {
 public:
  explicit Store(HCERTSTORE handle) : handle_(handle) {
    if (handle_ == nullptr) Fail("opening the store");
  }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  ~Store() { CertCloseStore(handle_, 0); }
  HCERTSTORE Get() const { return handle_; }

 private:
  HCERTSTORE handle_;
};

HCERTSTORE OpenMy() {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"My");
}

int Add(const wchar_t* file, const wchar_t* password) {
  std::ifstream in(file, std::ios::binary);
  std::vector<BYTE> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  CRYPT_DATA_BLOB pfx{static_cast<DWORD>(bytes.size()), bytes.data()};
  const Store imported(PFXImportCertStore(&pfx, password, CRYPT_USER_KEYSET));
  const Store my(OpenMy());
  PCCERT_CONTEXT certificate = nullptr;
  DWORD size = 0;
  // The certificate the key came with: the one with key provider information.
  while ((certificate = CertEnumCertificatesInStore(imported.Get(), certificate)) != nullptr)
    if (CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) break;
  if (certificate == nullptr) Fail("finding the key's certificate");
  // A PKCS#12 key is an exchange key, as Windows records it; Wine records
  // every kind of key its provider supports (3), which no signing call takes.
  std::vector<BYTE> buffer(size);
  auto* key = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.data());
  if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size)) Fail("reading the key");
  key->dwKeySpec = AT_KEYEXCHANGE;
  if (!CertSetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, 0, key)) Fail("recording the key");
  BYTE thumbprint[20];
  size = sizeof thumbprint;
  const bool added = CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, thumbprint, &size) &&
                     CertAddCertificateContextToStore(my.Get(), certificate, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  CertFreeCertificateContext(certificate);
  if (!added) Fail("adding the certificate");
  for (const BYTE byte : thumbprint) std::printf("%02X", byte);
  std::printf("\n");
  return 0;
}

int Remove(const wchar_t* hex) {
  BYTE thumbprint[20];
  DWORD size = sizeof thumbprint;
  if (!CryptStringToBinaryW(hex, 0, CRYPT_STRING_HEX, thumbprint, &size, nullptr, nullptr) || size != sizeof thumbprint)
    Fail("reading the thumbprint");
  const Store my(OpenMy());
  CRYPT_HASH_BLOB hash{sizeof thumbprint, thumbprint};
  const PCCERT_CONTEXT certificate = CertFindCertificateInStore(my.Get(), X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &hash, nullptr);
  if (certificate == nullptr) Fail("finding the certificate");
  size = 0;
  CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size);
  std::vector<BYTE> buffer(size);
  const auto* key = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
  const bool withKey = size > 0 && CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size);
  // Committed explicitly: Wine writes a system store's deletions to the
  // registry only then, never on closing it.
  if (!CertDeleteCertificateFromStore(certificate) || !CertControlStore(my.Get(), 0, CERT_STORE_CTRL_COMMIT, nullptr))
    Fail("removing the certificate");
  if (!withKey) return 0;
  if (key->dwProvType == 0) {  // a CNG key
    NCRYPT_PROV_HANDLE provider = 0;
    NCRYPT_KEY_HANDLE handle = 0;
    if (NCryptOpenStorageProvider(&provider, key->pwszProvName, 0) != ERROR_SUCCESS) Fail("opening the key's provider");
    const bool deleted = NCryptOpenKey(provider, &handle, key->pwszContainerName, 0, key->dwFlags & NCRYPT_MACHINE_KEY_FLAG) ==
                             ERROR_SUCCESS &&
                         NCryptDeleteKey(handle, 0) == ERROR_SUCCESS;
    NCryptFreeObject(provider);
    if (!deleted) Fail("deleting the key");
  } else {
    HCRYPTPROV unused = 0;
    if (!CryptAcquireContextW(&unused, key->pwszContainerName, key->pwszProvName, key->dwProvType,
                              CRYPT_DELETEKEYSET | (key->dwFlags & CRYPT_MACHINE_KEYSET)))
      Fail("deleting the key");
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"add" && argc == 4) return Add(argv[2], argv[3]);
  if (command == L"remove" && argc == 3) return Remove(argv[2]);
  std::fprintf(stderr, "usage: store-certificate add FILE.p12 PASSWORD | remove THUMBPRINT\n");
  return 2;
}
