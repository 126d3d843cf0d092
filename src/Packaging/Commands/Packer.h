#pragma once

// Packing: a launcher stub, an installer and its signed manifest in, a
// launcher that carries both (the payload resources of StubContract.h) out.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Packaging/Branding/Branding.h"
#include "Packaging/Branding/VersionStamp.h"
#include "Packaging/Files/FileIo.h"
#include "Packaging/Image/ImageRebuild.h"
#include "Packaging/Image/PeImage.h"
#include "Packaging/Image/ResourceSection.h"
#include "Packaging/Manifest/Crypto.h"

namespace vantor::packaging {

struct PackOptions {
  std::filesystem::path stub;
  std::filesystem::path installer;
  std::filesystem::path manifest;
  std::filesystem::path output;
  std::optional<Version> version;
  VersionStrings versionStrings;
  std::optional<std::filesystem::path> icon;  // none: the stub's icon stays
  std::optional<std::uint16_t> machine;  // the stub's required machine, when asked for
};

// The largest image the packer reads: a stub, a launcher.
inline constexpr std::uint64_t kImageLimit = std::uint64_t{1} << 31;

// `bytes` as an image of this project's launcher, packed or not, signed or
// not: a well-formed image (PeImage's layout rules) for x86 or x64 with the
// launcher's version resource and application manifest. Raises InputError,
// naming `what`, for anything else.
PeImage ReadLauncher(std::vector<std::uint8_t> bytes, const std::string& what);

// A launcher stub, read and checked.
struct LauncherStub {
  PeImage image;
  StubLayout layout;
};

// The stub reader: `bytes` as a launcher stub. Raises InputError, naming
// `what`, unless they are a well-formed image (PeImage's layout rules, a
// resource tree within its budget) of this project's launcher (its version
// resource and application manifest), unsigned, for `machine` when given, with
// a layout the rebuild handles (ImageRebuild.h).
LauncherStub ReadLauncherStub(std::vector<std::uint8_t> bytes, const std::string& what, std::optional<std::uint16_t> machine);

// The image rebuild: a launcher made from `stub`, keeping the stub's own
// resources but any payload, branded (Branding.h), and adding `payload`. Everything is checked when this is made (InputError, naming
// `what`), so that writing it can fail only to write.
class PackedLauncher {
 public:
  PackedLauncher(const LauncherStub& stub, std::vector<ResourceLeaf> payload, const Branding& branding, const std::string& what);
  PackedLauncher(const PackedLauncher&) = delete;
  PackedLauncher& operator=(const PackedLauncher&) = delete;

  void WriteTo(File& file) const { image_.WriteTo(file); }

 private:
  std::list<std::vector<std::uint8_t>> stamped_;  // the branded resources' bytes, which leaves refer to
  ResourceSection resources_;
  RebuiltImage image_;
};

// Checks every input, then writes the output beside its final place and
// renames it there. Each input is opened once and read only through that
// handle. Bad input raises InputError before the output is touched; a write
// failure raises std::system_error and leaves no partial file.
void Pack(const PackOptions& options);

// The manifest's checks on an installer: form, size, MD5, the certificate
// rules, the signature and the chain. Raises ManifestError naming the check
// that failed, InputError for a file that cannot be read.
void VerifyManifestFiles(const std::filesystem::path& installer, const std::filesystem::path& manifest);

struct MakeManifestOptions {
  std::filesystem::path installer;
  std::string key;  // a key file's path, or a URI naming a key held elsewhere
  std::filesystem::path certificate;  // the signer's, PEM
  std::filesystem::path ca;           // PEM
  std::filesystem::path output;
  std::optional<std::string> keyPassword;  // a key file's password, or a token's PIN
  std::optional<std::filesystem::path> pkcs11Module;  // the module that reaches a pkcs11: key's token
};

// Signs a message with a key: RSA PKCS#1 v1.5, SHA-256.
using MessageSigner = std::function<std::vector<std::uint8_t>(std::string_view message)>;

// The key that `key` names. Every way to name a key comes through here: a
// key file (SigningKey::FromFile, `password` its password); on Linux a
// "pkcs11:" URI, a key in a token reached through `module` (default: p11-kit's
// proxy), `password` its PIN. A module with a key file, or a URI on Windows,
// is refused. Raises InputError; a token is only asked when signing.
MessageSigner OpenSigningKey(const std::string& key, const std::optional<std::string>& password,
                             const std::optional<std::filesystem::path>& module);

// Writes the installer's signed manifest (FormatManifest) the way Pack writes
// its output, after the manifest's checks (those of VerifyManifestFiles) have
// passed on the very bytes to be written. A key that does not belong to the
// certificate, or a certificate the rules refuse, raises InputError and
// nothing is written.
void MakeManifest(const MakeManifestOptions& options);

// Copies `file` to `output` the way Pack writes its output, for the scripts'
// own outputs (a signed launcher, a manifest): created beside it exclusively
// or unnamed, flushed, and renamed into the folder held from the start.
void PlaceFile(const std::filesystem::path& file, const std::filesystem::path& output);

}  // namespace vantor::packaging
