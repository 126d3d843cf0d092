#include "Packaging/Packer.h"

#include <algorithm>
#include <string_view>

#include "Packaging/FileIo.h"
#include "Packaging/ImageRebuild.h"
#include "Packaging/ManifestCheck.h"
#include "Packaging/OutputImage.h"
#include "Packaging/PackError.h"
#include "Packaging/PeImage.h"
#include "Packaging/PeResources.h"
#include "Packaging/ResourceSection.h"

namespace vantor::packaging {
namespace {

constexpr std::uint32_t kInstallerId = 100;
constexpr std::uint32_t kManifestId = 101;
constexpr std::uint32_t kNeutralLanguage = 0;
constexpr std::size_t kChunk = 1 << 20;
constexpr std::uint64_t kManifestLimit = 1 << 20;
constexpr std::uint64_t kStubLimit = std::uint64_t{1} << 31;

// "MZ", and "PE\0\0" where the DOS header's e_lfanew points.
void CheckIsPeImage(const std::filesystem::path& path, std::uint64_t size) {
  auto file = File::OpenForReading("installer", path);
  std::uint8_t dos[64] = {};
  const bool hasDosHeader = file.Read(dos, sizeof dos) == sizeof dos && dos[0] == 'M' && dos[1] == 'Z';
  std::uint32_t peOffset = 0;
  for (std::size_t i = 0; i < 4; ++i) peOffset |= std::uint32_t{dos[60 + i]} << (8 * i);
  std::uint8_t signature[4] = {};
  if (hasDosHeader && std::uint64_t{peOffset} + 4 <= size) {
    file.Seek(peOffset);
    file.ReadExactly(signature, sizeof signature);
  }
  if (std::string_view(reinterpret_cast<const char*>(signature), 4) != std::string_view("PE\0\0", 4))
    throw InputError(Describe("installer", path) + " is not a Windows program (no MZ and PE headers)");
}

std::string_view AsText(ByteView bytes) { return {reinterpret_cast<const char*>(bytes.Data()), bytes.Size()}; }

// This project's launcher: its version resource names the product, its
// application manifest the assembly.
void CheckIsLauncherStub(const PeImage& image, const PackOptions& options) {
  const auto what = Describe("stub", options.stub);
  if (image.DirectoryEntry(Directory::kSecurity).size != 0)
    throw InputError(what + " carries an Authenticode signature that packing would break: pack the unsigned stub, then sign the result");
  const auto version = FindResourceData(image, pe::kResourceVersion, 1);
  const auto manifest = FindResourceData(image, pe::kResourceManifest, 1);
  if (!version || !manifest || ParseVersionInfo(*version).String(u"ProductName") != u"VantorSetup" ||
      AsText(*manifest).find("name=\"Vantor.VantorSetup\"") == std::string_view::npos)
    throw InputError(what + " is not a VantorSetup launcher stub");
  if (image.Machine() != pe::kMachineI386 && image.Machine() != pe::kMachineAmd64)
    throw InputError(what + " is for an unknown machine (" + Hex(image.Machine()) + ")");
  if (options.machine && image.Machine() != *options.machine)
    throw InputError(what + " is for " + (image.Machine() == pe::kMachineI386 ? "x86" : "x64") + ", not the architecture asked for");
}

std::vector<std::uint8_t> Copy(ByteView bytes) { return {bytes.Data(), bytes.Data() + bytes.Size()}; }

// The stub's resources but its payload, stamped with `version` when given.
std::vector<ResourceLeaf> KeptResources(const PeImage& image, const std::optional<Version>& version) {
  std::vector<ResourceLeaf> leaves;
  for (const Resource& resource : ReadResources(image)) {
    const bool payload = resource.type == ResourceId(pe::kResourceRcData) &&
                         (resource.name == ResourceId(kInstallerId) || resource.name == ResourceId(kManifestId));
    if (payload) continue;
    ResourceLeaf leaf{resource.type, resource.name, resource.language, resource.codePage, Copy(ResourceData(image, resource)), 0, {}};
    if (version && resource.type == ResourceId(pe::kResourceVersion))
      leaf.bytes = StampVersionResource(leaf.bytes.data(), leaf.bytes.size(), *version);
    if (version && resource.type == ResourceId(pe::kResourceManifest)) {
      const auto text = StampManifestVersion(std::string_view(reinterpret_cast<const char*>(leaf.bytes.data()), leaf.bytes.size()), *version);
      leaf.bytes.assign(text.begin(), text.end());
    }
    leaves.push_back(std::move(leaf));
  }
  return leaves;
}

// Copies the installer into the image in chunks, hashing it on the way.
void StreamInstaller(const std::filesystem::path& path, std::uint64_t size, OutputImage& out, Md5& md5) {
  auto file = File::OpenForReading("installer", path);
  std::vector<std::uint8_t> buffer(kChunk);
  for (std::uint64_t left = size; left > 0;) {
    const std::size_t count = file.Read(buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size())));
    if (count == 0) throw InputError(Describe("installer", path) + " became shorter while being packed");
    md5.Update(buffer.data(), count);
    out.Write(buffer.data(), count);
    left -= count;
  }
}

PeImage ReadStub(const PackOptions& options) {
  const auto what = Describe("stub", options.stub);
  try {
    PeImage image(ReadWholeFile("stub", options.stub, kStubLimit));
    CheckIsLauncherStub(image, options);
    return image;
  } catch (const FormatError& error) {
    throw InputError(what + " is not a valid image: " + error.what());
  }
}

Manifest ReadManifest(const PackOptions& options, std::uint64_t installerSize, std::vector<std::uint8_t>& bytes) {
  bytes = ReadWholeFile("manifest", options.manifest, kManifestLimit);
  Manifest manifest = ParseManifest(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  CheckInstallerSize(manifest, installerSize);
  VerifyManifestSignature(manifest);
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

void Pack(const PackOptions& options) {
  const PeImage stub = ReadStub(options);
  const StubLayout layout = CheckLayout(stub, Describe("stub", options.stub));
  const std::uint64_t installerSize = CheckInputFile("installer", options.installer);
  CheckIsPeImage(options.installer, installerSize);
  std::vector<std::uint8_t> manifestBytes;
  const Manifest manifest = ReadManifest(options, installerSize, manifestBytes);
  CheckOutput(options.output);

  Md5 md5;
  auto leaves = KeptResources(stub, options.version);
  leaves.push_back({pe::kResourceRcData, kInstallerId, kNeutralLanguage, 0, {}, installerSize,
                    [&](OutputImage& out) { StreamInstaller(options.installer, installerSize, out, md5); }});
  leaves.push_back({pe::kResourceRcData, kManifestId, kNeutralLanguage, 0, std::move(manifestBytes), 0, {}});
  const ResourceSection resources(std::move(leaves), stub.Sections()[layout.resources].virtualAddress);
  const RebuiltImage image(stub, layout, resources);

  TemporaryOutput output(options.output);
  image.WriteTo(output.Stream());
  CheckInstallerDigest(manifest, md5.Finish());
  output.Commit();
}

}  // namespace vantor::packaging
