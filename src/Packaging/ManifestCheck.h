#pragma once

// The installer's signed manifest: its form, its first line's size and MD5,
// its signature over that line and the signer's certificate chain.

#include <cstdint>
#include <string>
#include <string_view>

#include "Packaging/Crypto.h"

namespace vantor::packaging {

struct Manifest {
  std::string firstLine;  // without its line feed: what is signed
  std::uint64_t installerSize = 0;
  std::string installerMd5;  // 32 lower-case hex digits
  std::string signature;     // base64, lines joined
  std::string signerPem;
  std::string caPem;
};

// Raises InputError naming the first rule `text` breaks: LF line ends only, no
// byte-order mark, a final LF; `"setup.exe" <size> <md5>`; a signature block
// of base64 lines of at most 64 characters; two PEM certificates.
Manifest ParseManifest(std::string_view text);

// Raises InputError unless the signature and certificate chain verify.
void VerifyManifestSignature(const Manifest& manifest);

// Raises InputError when the manifest's size or MD5 is not the installer's.
void CheckInstallerSize(const Manifest& manifest, std::uint64_t size);
void CheckInstallerDigest(const Manifest& manifest, const Md5Digest& digest);

std::string ToHex(const Md5Digest& digest);

}  // namespace vantor::packaging
