#include "Packaging/Commands/Packer.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <string_view>

#include "Launcher/StubContract.h"
#include "Packaging/Branding/VersionResource.h"
#include "Packaging/Image/OutputImage.h"
#include "Packaging/Image/PeResources.h"
#include "Packaging/Manifest/CertificateRules.h"
#include "Packaging/Manifest/ManifestCheck.h"
#include "Packaging/PackError.h"
#include "Packaging/Signing/Pkcs11Uri.h"
#ifndef _WIN32
#include "Packaging/Signing/Pkcs11Signer.h"
#endif

namespace vantor::packaging {
namespace {

constexpr std::size_t kChunk = 1 << 20;
constexpr std::uint64_t kManifestLimit = 1 << 20;
constexpr std::uint64_t kIconLimit = 1 << 24;  // 16 MiB: far above any icon's 256-pixel images
constexpr std::uint64_t kKeyFileLimit = 1 << 20;  // a key, a certificate: a few KiB; a PKCS#12 file with a chain, tens

// "MZ", and "PE\0\0" where the DOS header's e_lfanew points.
void CheckIsPeImage(File& file, const std::string& what) {
  std::uint8_t dos[pe::kDosHeaderSize] = {};
  file.Seek(0);
  const bool hasDosHeader = file.Read(dos, sizeof dos) == sizeof dos &&
                            ByteView(dos, sizeof dos, "DOS header").U16(0) == pe::kDosSignature;
  const std::uint32_t peOffset = ByteView(dos, sizeof dos, "DOS header").U32(pe::kNewHeaderOffset);
  std::uint8_t signature[pe::kPeSignatureSize] = {};
  if (hasDosHeader && std::uint64_t{peOffset} + sizeof signature <= file.Size()) {
    file.Seek(peOffset);
    file.ReadExactly(signature, sizeof signature);
  }
  if (ByteView(signature, sizeof signature, "PE signature").U32(0) != pe::kPeSignature)
    throw InputError(what + " is not a Windows program (no MZ and PE headers)");
}

bool IsPayload(const Resource& resource) {
  return resource.type == ResourceId(pe::kResourceRcData) &&
         (resource.name == ResourceId(contract::kInstallerResource) || resource.name == ResourceId(contract::kManifestResource));
}

// This project's launcher: its application manifest names the assembly, and
// it has a version resource (to stamp). The version strings may be a vendor's
// (a branded launcher packed again).
void CheckIsLauncher(const PeImage& image, const std::string& what) {
  const auto version = FindResourceData(image, pe::kResourceVersion, 1);
  const auto manifest = FindResourceData(image, pe::kResourceManifest, 1);
  if (!version || !manifest || AssemblyIdentityAttribute(AsText(*manifest), "name") != contract::kAssemblyName)
    throw InputError(what + " is not a VantorSetup launcher stub");
  ParseVersionInfo(*version);  // in form
  if (image.Machine() != pe::kMachineI386 && image.Machine() != pe::kMachineAmd64)
    throw InputError(what + " is for an unknown machine (" + Hex(image.Machine()) + ")");
}

void CheckIsLauncherStub(const PeImage& image, const std::string& what, std::optional<std::uint16_t> machine) {
  if (image.DirectoryEntry(Directory::kSecurity).size != 0)
    throw InputError(what + " carries an Authenticode signature that packing would break: pack the unsigned stub, then sign the result");
  CheckIsLauncher(image, what);
  if (machine && image.Machine() != *machine)
    throw InputError(what + " is for " + (image.Machine() == pe::kMachineI386 ? "x86" : "x64") + ", not the architecture asked for");
}

// Runs `step` on input from `what`, turning its format errors into input errors.
template <typename Step>
auto Checked(const std::string& what, Step step) {
  try {
    return step();
  } catch (const FormatError& error) {
    throw InputError(what + " is not a valid image: " + error.what());
  }
}

// The stub's resources but its payload.
std::vector<ResourceLeaf> KeptResources(const PeImage& image) {
  std::vector<ResourceLeaf> leaves;
  for (const Resource& resource : ReadResources(image))
    if (!IsPayload(resource))
      leaves.push_back({resource.type, resource.name, resource.language, resource.codePage, ResourceData(image, resource), 0, {}});
  return leaves;
}

std::vector<ResourceLeaf> WithPayload(std::vector<ResourceLeaf> kept, std::vector<ResourceLeaf> payload) {
  kept.insert(kept.end(), std::make_move_iterator(payload.begin()), std::make_move_iterator(payload.end()));
  return kept;
}

// Copies `size` bytes of `file` from its start in chunks to `sink`, hashing
// them on the way into `md5` where given.
template <typename Sink>
void Stream(File& file, std::uint64_t size, Md5* md5, Sink sink) {
  std::vector<std::uint8_t> buffer(kChunk);
  file.Seek(0);
  for (std::uint64_t left = size; left > 0;) {
    const std::size_t count = file.Read(buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size())));
    if (count == 0) throw InputError("an input became shorter while being read");
    if (md5 != nullptr) md5->Update(buffer.data(), count);
    sink(buffer.data(), count);
    left -= count;
  }
}

Manifest ReadManifest(File& file, std::uint64_t installerSize, std::vector<std::uint8_t>& bytes) {
  bytes = file.ReadAll(kManifestLimit);
  Manifest manifest = ParseManifest(AsText(ByteView(bytes.data(), bytes.size(), "manifest")));
  CheckInstallerSize(manifest, installerSize);
  return manifest;
}

// The output goes into an existing folder, and is not one.
void CheckOutput(const std::filesystem::path& output) {
  const auto folder = output.parent_path().empty() ? std::filesystem::path(".") : output.parent_path();
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) throw InputError(Describe("folder of output", folder) + " does not exist");
  if (std::filesystem::is_directory(output, error)) throw InputError(Describe("output", output) + " is a folder");
}

}  // namespace

PeImage ReadLauncher(std::vector<std::uint8_t> bytes, const std::string& what) {
  return Checked(what, [&] {
    PeImage image(std::move(bytes));
    CheckIsLauncher(image, what);
    return image;
  });
}

LauncherStub ReadLauncherStub(std::vector<std::uint8_t> bytes, const std::string& what, std::optional<std::uint16_t> machine) {
  return Checked(what, [&] {
    PeImage image(std::move(bytes));
    CheckIsLauncherStub(image, what, machine);
    const StubLayout layout = CheckLayout(image, what);
    return LauncherStub{std::move(image), layout};
  });
}

PackedLauncher::PackedLauncher(const LauncherStub& stub, std::vector<ResourceLeaf> payload, const Branding& branding,
                               const std::string& what)
    : resources_(Checked(what, [&] {
        return ResourceSection(WithPayload(Brand(KeptResources(stub.image), branding, stamped_), std::move(payload)),
                               stub.image.Sections()[stub.layout.resources].virtualAddress);
      })),
      image_(Checked(what, [&] { return RebuiltImage(stub.image, stub.layout, resources_); })) {}

void Pack(const PackOptions& options) {
  const std::string what = Describe("stub", options.stub);
  const LauncherStub stub = ReadLauncherStub(File::OpenInput("stub", options.stub).ReadAll(kImageLimit), what, options.machine);
  File installer = File::OpenInput("installer", options.installer);
  CheckIsPeImage(installer, Describe("installer", options.installer));
  std::vector<std::uint8_t> manifestBytes;
  File manifestFile = File::OpenInput("manifest", options.manifest);
  const Manifest manifest = ReadManifest(manifestFile, installer.Size(), manifestBytes);
  VerifyManifestSignature(manifest);
  std::vector<std::uint8_t> iconBytes;
  Branding branding{options.version, options.versionStrings, {}};
  if (options.icon) {
    iconBytes = File::OpenInput("icon", *options.icon).ReadAll(kIconLimit);
    try {
      branding.icon = ReadIconFile(ByteView(iconBytes.data(), iconBytes.size(), "icon file"));
    } catch (const FormatError& error) {
      throw InputError(Describe("icon", *options.icon) + " is not a valid icon: " + error.what());
    }
  }
  CheckOutput(options.output);

  Md5 md5;
  std::vector<ResourceLeaf> payload;
  payload.push_back({pe::kResourceRcData, contract::kInstallerResource, contract::kPayloadLanguage, 0, {}, installer.Size(),
                     [&](OutputImage& out) {
                       Stream(installer, installer.Size(), &md5, [&](const std::uint8_t* data, std::size_t size) { out.Write(data, size); });
                     }});
  payload.push_back({pe::kResourceRcData, contract::kManifestResource, contract::kPayloadLanguage, 0,
                     ByteView(manifestBytes.data(), manifestBytes.size(), "manifest"), 0, {}});
  const PackedLauncher launcher(stub, std::move(payload), branding, what);

  TemporaryOutput output(options.output);
  launcher.WriteTo(output.Stream());
  CheckInstallerDigest(manifest, md5.Finish());
  output.Commit();
}

void VerifyManifestFiles(const std::filesystem::path& installerPath, const std::filesystem::path& manifestPath) {
  File installer = File::OpenInput("installer", installerPath);
  std::vector<std::uint8_t> manifestBytes;
  File manifestFile = File::OpenInput("manifest", manifestPath);
  const Manifest manifest = ReadManifest(manifestFile, installer.Size(), manifestBytes);
  Md5 md5;
  Stream(installer, installer.Size(), &md5, [](const std::uint8_t*, std::size_t) {});
  CheckInstallerDigest(manifest, md5.Finish());
  VerifyManifestSignature(manifest);
}

namespace {

// The key as messages name it: a URI without its query, which may hold a PIN.
std::string DescribeKey(const std::string& key) {
  return IsPkcs11Uri(key) ? "key '" + key.substr(0, key.find('?')) + "'" : Describe("key", std::filesystem::u8path(key));
}

// cert:\LOCATION\STORE\THUMBPRINT, "cert:" in any case: how PowerShell names a
// certificate in a store.
bool IsStoreName(const std::string& key) {
  static constexpr std::string_view kScheme = "cert:";
  return key.size() >= kScheme.size() && std::equal(kScheme.begin(), kScheme.end(), key.begin(), [](char a, char b) {
           return a == std::tolower(static_cast<unsigned char>(b));
         });
}

MessageSigner SignerOf(SigningKey key) {
  auto held = std::make_shared<SigningKey>(std::move(key));
  return [held](std::string_view message) { return held->Sign(message); };
}

}  // namespace

MessageSigner OpenSigningKey(const std::string& key, const std::optional<std::string>& password,
                             const std::optional<std::filesystem::path>& module) {
  if (IsPkcs11Uri(key)) {
#ifdef _WIN32
    throw InputError("keys in PKCS#11 tokens (pkcs11: URIs) are reached on Linux; on Windows name the token's "
                     "certificate in the store (cert:\\CurrentUser\\My\\THUMBPRINT)");
#else
    const Pkcs11Uri uri = ParsePkcs11Uri(key);
    const std::filesystem::path library = module.value_or(DefaultPkcs11Module());
    return [uri, library, password](std::string_view message) { return SignWithToken(uri, library, password, message); };
#endif
  }
  if (module) throw InputError("--pkcs11-module needs a pkcs11: URI as --key");
  if (IsStoreName(key)) {
#ifdef _WIN32
    return SignerOf(SigningKey::FromStore(key, password));
#else
    throw InputError("keys in a certificate store (cert: names) are a Windows thing: give a key file");
#endif
  }
  const std::filesystem::path path = std::filesystem::u8path(key);
  return SignerOf(SigningKey::FromFile(File::OpenInput("key", path).ReadAll(kKeyFileLimit), password, Describe("key", path)));
}

void MakeManifest(const MakeManifestOptions& options) {
  File installer = File::OpenInput("installer", options.installer);
  const auto readCertificate = [](const char* what, const std::filesystem::path& path) {
    const auto bytes = File::OpenInput(what, path).ReadAll(kKeyFileLimit);
    return ReadPemCertificate(AsText(ByteView(bytes.data(), bytes.size(), what)), Describe(what, path));
  };
  Manifest manifest;
  manifest.signerCertificate = readCertificate("certificate", options.certificate);
  manifest.caCertificate = readCertificate("CA", options.ca);
  const MessageSigner sign = OpenSigningKey(options.key, options.keyPassword, options.pkcs11Module);
  CheckOutput(options.output);

  Md5 md5;
  Stream(installer, installer.Size(), &md5, [](const std::uint8_t*, std::size_t) {});
  manifest.firstLine = "\"setup.exe\" " + std::to_string(installer.Size()) + " " + ToHex(md5.Finish());
  manifest.signature = sign(manifest.firstLine);
  const std::string text = FormatManifest(manifest);
  // The check verify-manifest makes, on the bytes to be written.
  const Manifest written = ParseManifest(text);
  CheckInstallerSize(written, installer.Size());
  CheckCertificateRules(written.signerCertificate, written.caCertificate);
  try {
    VerifySignature(written.firstLine, written.signature, written.signerCertificate);
  } catch (const ManifestError&) {
    throw InputError(DescribeKey(options.key) + " does not belong to " +
                     Describe("certificate", options.certificate));
  }
  VerifyManifestSignature(written);

  TemporaryOutput output(options.output);
  output.Stream().Write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  output.Commit();
}

void PlaceFile(const std::filesystem::path& file, const std::filesystem::path& output) {
  File input = File::OpenInput("file", file);
  CheckOutput(output);
  TemporaryOutput placed(output);
  Stream(input, input.Size(), nullptr, [&](const std::uint8_t* data, std::size_t size) { placed.Stream().Write(data, size); });
  placed.Commit();
}

}  // namespace vantor::packaging
