// Signing through a real SoftHSM2 token, made for this run by the signing
// fixtures (tests/tools/signing-fixtures.sh): token "Test" (PIN 1234) holds
// the demo signer's key as "signer" (id 01) and another key as "other" (id
// 02); token "Second" (PIN 5678) holds the other key. And the URI's syntax.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Packaging/PackError.h"
#include "Packaging/Signing/Pkcs11Signer.h"
#include "PackerTestSupport.h"

namespace vantor::packaging {
namespace {

constexpr const char* kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";

class Pkcs11Test : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new test::TemporaryFolder();
    const std::string dir = folder_->Path().string();
    const std::string script = "set -e; source '" VANTOR_SOURCE_DIR "/tests/tools/signing-fixtures.sh'; d='" + dir +
                               "'; '" VANTOR_SOURCE_DIR "/tools/make-signing-keys' $d/keys >/dev/null;"
                               " '" VANTOR_SOURCE_DIR "/tools/make-signing-keys' $d/other >/dev/null;"
                               " make_token $d/token Test 1234 $d/keys/signer.key signer 01;"
                               " openssl pkcs8 -topk8 -nocrypt -in $d/other/signer.key -out $d/other.p8;"
                               " softhsm2-util --import $d/other.p8 --token Test --label other --id 02 --pin 1234 >/dev/null;"
                               " make_token $d/token Second 5678 $d/other/signer.key";
    std::ofstream(folder_->Path() / "make-tokens.sh") << script;
    ASSERT_EQ(std::system(("bash '" + dir + "/make-tokens.sh'").c_str()), 0) << script;
    ::setenv("SOFTHSM2_CONF", (dir + "/token/softhsm2.conf").c_str(), 1);
  }
  static void TearDownTestSuite() { delete folder_; }

  static std::filesystem::path Dir() { return folder_->Path(); }
  static std::vector<std::uint8_t> Sign(const std::string& uri, const std::optional<std::string>& pin = "1234",
                                        const std::filesystem::path& module = kSoftHsm) {
    return SignWithToken(ParsePkcs11Uri(uri), module, pin, Message());
  }
  static std::string Message() { return std::string("\"setup.exe\" 1234 0123456789abcdef\0after a NUL", 47); }

  // The same message signed by OpenSSL with the PEM file.
  static std::vector<std::uint8_t> SignWithPem(const std::filesystem::path& pem) {
    std::FILE* file = std::fopen(pem.c_str(), "r");
    if (file == nullptr) throw std::runtime_error("cannot open " + pem.string());
    EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    std::size_t size = 0;
    const std::string message = Message();
    EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key);
    EVP_DigestSign(context, nullptr, &size, reinterpret_cast<const unsigned char*>(message.data()), message.size());
    std::vector<std::uint8_t> signature(size);
    EVP_DigestSign(context, signature.data(), &size, reinterpret_cast<const unsigned char*>(message.data()), message.size());
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    signature.resize(size);
    return signature;
  }

 private:
  static inline test::TemporaryFolder* folder_ = nullptr;
};

TEST_F(Pkcs11Test, TheTokensSignatureIsThePemFilesWhereverThePinComesFrom) {
  const std::vector<std::uint8_t> expected = SignWithPem(Dir() / "keys/signer.key");
  ASSERT_EQ(expected.size(), 256u);
  EXPECT_EQ(Sign("pkcs11:token=Test;object=signer;type=private"), expected);
  EXPECT_EQ(Sign("pkcs11:token=Test;id=%01", "1234", DefaultPkcs11Module()), expected);
  EXPECT_EQ(Sign("pkcs11:token=Test;object=signer?pin-value=1234", std::nullopt), expected);
  { std::ofstream(Dir() / "pin") << "1234\n"; }
  EXPECT_EQ(Sign("pkcs11:token=Test;object=signer?pin-source=file:" + (Dir() / "pin").string(), std::nullopt), expected);
  EXPECT_EQ(Sign("pkcs11:token=Second", "5678"), SignWithPem(Dir() / "other/signer.key"));
}

TEST_F(Pkcs11Test, RefusesWhatDoesNotNameOneKeyOrCannotUnlockIt) {
  const struct {
    const char* uri;
    std::optional<std::string> pin;
    const char* message;
  } cases[] = {
      {"pkcs11:token=Test;object=signer", "9999", "CKR_PIN_INCORRECT"},
      {"pkcs11:token=Test;object=signer", std::nullopt, "needs a PIN"},
      {"pkcs11:token=Test;object=signer?pin-value=1234", "1234", "given twice"},
      {"pkcs11:token=Nope", "1234", "no token matches"},
      {"pkcs11:object=signer", "1234", "2 tokens match"},
      {"pkcs11:token=Test", "1234", "several RSA private keys"},
      {"pkcs11:token=Test;object=nobody", "1234", "no RSA private key"},
      {"pkcs11:token=Test;object=signer;id=%02", "1234", "no RSA private key"},
      {"pkcs11:token=Test;library-manufacturer=Nobody", "1234", "no token matches"},
  };
  for (const auto& c : cases) {
    try {
      Sign(c.uri, c.pin);
      ADD_FAILURE() << c.uri << " signed";
    } catch (const InputError& error) {
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << c.uri << ": " << error.what();
    }
  }
}

TEST_F(Pkcs11Test, RefusesAModuleItCannotTrust) {
  const std::filesystem::path copy = Dir() / "module.so";
  std::filesystem::copy_file(kSoftHsm, copy);
  ::chmod(copy.c_str(), 0666);
  const struct {
    std::filesystem::path module;
    const char* message;
  } cases[] = {
      {Dir() / "none.so", "cannot be opened"},
      {Dir(), "not a regular file"},
      {copy, "can be changed by another user"},
      {Dir() / "keys/ca.pem", "cannot be loaded"},
      {"/usr/lib/x86_64-linux-gnu/libz.so.1", "no C_GetFunctionList"},
  };
  for (const auto& c : cases) {
    try {
      Sign("pkcs11:token=Test;object=signer", "1234", c.module);
      ADD_FAILURE() << c.module << " signed";
    } catch (const InputError& error) {
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << c.module << ": " << error.what();
    }
  }

  // A library still loaded under the module's name, whose file has since been
  // replaced: the loader would hand back the old one, which is not the file checked.
  const std::filesystem::path swapped = Dir() / "swapped.so";
  std::filesystem::copy_file(kSoftHsm, swapped);
  void* old = ::dlopen(swapped.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(old, nullptr);
  std::filesystem::copy_file(DefaultPkcs11Module(), Dir() / "new.so");
  std::filesystem::rename(Dir() / "new.so", swapped);
  EXPECT_THROW(
      try { Sign("pkcs11:token=Test;object=signer", "1234", swapped); } catch (const InputError& error) {
        EXPECT_NE(std::string(error.what()).find("another library of its name"), std::string::npos) << error.what();
        throw;
      },
      InputError);
  ::dlclose(old);
}

TEST(Pkcs11Uri, ReadsTheAttributesPercentDecoded) {
  const Pkcs11Uri uri = ParsePkcs11Uri(
      "pkcs11:token=My%20Token;manufacturer=SoftHSM%20project;serial=1a2b;model=SoftHSM%20v2;slot-id=7;"
      "library-manufacturer=X;library-description=Y;object=key%3b1;id=%01%FF;type=private?pin-value=12%2634");
  EXPECT_EQ(uri.token, "My Token");
  EXPECT_EQ(uri.manufacturer, "SoftHSM project");
  EXPECT_EQ(uri.serial, "1a2b");
  EXPECT_EQ(uri.model, "SoftHSM v2");
  EXPECT_EQ(uri.slotId, 7u);
  EXPECT_EQ(uri.libraryManufacturer, "X");
  EXPECT_EQ(uri.libraryDescription, "Y");
  EXPECT_EQ(uri.object, "key;1");
  EXPECT_EQ(uri.id, (std::vector<std::uint8_t>{0x01, 0xFF}));
  EXPECT_EQ(uri.pinValue, "12&34");
  EXPECT_FALSE(uri.pinSource);
  EXPECT_FALSE(ParsePkcs11Uri("pkcs11:").token);
  EXPECT_EQ(ParsePkcs11Uri("PKCS11:token=a").token, "a");
  EXPECT_EQ(ParsePkcs11Uri("pkcs11:?pin-source=file:/run/pin").pinSource, "file:/run/pin");
}

TEST(Pkcs11Uri, RefusesWhatItDoesNotUnderstand) {
  for (const std::string& uri : std::vector<std::string>{
           "pkcs12:token=a", "token=a", "pkcs11:token=a;token=b", "pkcs11:id=%01;id=%02",
           "pkcs11:foo=bar", "pkcs11:x-vendor=1", "pkcs11:token=a b", "pkcs11:token=a\nb", "pkcs11:token=\xC3\x9C",
           "pkcs11:token=%4", "pkcs11:token=%zz", "pkcs11:token=a%", "pkcs11:type=cert", "pkcs11:type=private;type=private",
           "pkcs11:?module-path=/tmp/evil.so", "pkcs11:?module-name=evil", "pkcs11:slot-id=12a", "pkcs11:slot-id=",
           "pkcs11:slot-id=99999999999999999999999", "pkcs11:token", "pkcs11:;", "pkcs11:token=a;", "pkcs11:=a",
           "pkcs11:?pin-value=1&pin-source=/p", "pkcs11:?token=a", "pkcs11:pin-value=1", "pkcs11:token=a/b",
           "pkcs11:" + std::string(4096, 'a')}) {
    EXPECT_THROW(ParsePkcs11Uri(uri), InputError) << uri;
  }
}

}  // namespace
}  // namespace vantor::packaging
