#pragma once

// The installer's signed manifest: its form, its first line's size and MD5,
// its signature over that line and the signer's certificate chain.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Packaging/Manifest/Crypto.h"

namespace vantor::packaging {

struct Manifest {
  std::string firstLine;  // without its line feed: what is signed
  std::uint64_t installerSize = 0;
  std::string installerMd5;  // 32 lower-case hex digits
  std::vector<std::uint8_t> signature;
  std::vector<std::uint8_t> signerCertificate;  // DER
  std::vector<std::uint8_t> caCertificate;      // DER
};

// Raises ManifestError ("form") naming the first rule `text` breaks: LF line
// ends only, no byte-order mark, a final LF; `"setup.exe" <size> <md5>`; a
// signature block of base64 lines of 64 characters but the last (1 to 64);
// two PEM certificates. Base64 is read in its one canonical spelling (groups
// of four, padding only at the end, padding bits zero), so one manifest has
// one spelling, on every platform.
Manifest ParseManifest(std::string_view text);

// Raises ManifestError unless both certificates meet the rules of
// CertificateRules.h ("certificate"), the signature verifies with the
// signer's key ("signature") and the signer's certificate is issued by the
// CA's ("certificate").
void VerifyManifestSignature(const Manifest& manifest);

// Raise ManifestError ("size", "md5") when the manifest's size or MD5 is not
// the installer's.
void CheckInstallerSize(const Manifest& manifest, std::uint64_t size);
void CheckInstallerDigest(const Manifest& manifest, const Md5Digest& digest);

// The manifest's one spelling, as ParseManifest reads it: line 1, the
// signature block and both certificates, base64 in lines of 64 characters.
std::string FormatManifest(const Manifest& manifest);

// The DER bytes of the first PEM certificate in `text` (what comes before its
// BEGIN line is skipped, CR LF line ends are read). Raises InputError naming
// `what` when there is none, or its base64 is damaged.
std::vector<std::uint8_t> ReadPemCertificate(std::string_view text, const std::string& what);

// Bytes as lower-case hex digits.
std::string ToHex(const std::uint8_t* bytes, std::size_t size);
inline std::string ToHex(const Md5Digest& digest) { return ToHex(digest.data(), digest.size()); }

}  // namespace vantor::packaging
