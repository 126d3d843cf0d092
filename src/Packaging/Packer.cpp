#include "Packaging/Packer.h"

#include <algorithm>
#include <string_view>

#include "Packaging/FileIo.h"
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
constexpr std::uint64_t kImageLimit = 0x7FFFFFFF;  // what a 32-bit process can map at most

// Optional header fields at the same offsets in PE32 and PE32+.
constexpr std::size_t kSizeOfInitializedData = 8;
constexpr std::size_t kSizeOfImage = 56;
constexpr std::size_t kCheckSum = 64;
// Section header fields.
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kVirtualSize = 8;
constexpr std::size_t kVirtualAddress = 12;
constexpr std::size_t kSizeOfRawData = 16;
constexpr std::size_t kPointerToRawData = 20;
constexpr std::uint32_t kInitializedData = 0x40;

std::uint64_t Align(std::uint64_t value, std::uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

void Put32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint64_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

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

// The resource section, and the sections after it, which move with its end.
struct StubLayout {
  std::size_t resources = 0;  // index in the section table
  std::uint64_t fileEnd = 0;
};

StubLayout CheckLayout(const PeImage& image, const std::string& what) {
  const auto& sections = image.Sections();
  const DataDirectory resources = image.DirectoryEntry(Directory::kResource);
  const auto found = std::find_if(sections.begin(), sections.end(), [&](const Section& s) { return s.virtualAddress == resources.rva; });
  if (resources.size == 0 || found == sections.end())
    throw InputError(what + " has no resource section of its own");
  StubLayout layout{static_cast<std::size_t>(found - sections.begin()), 0};
  const DataDirectory relocations = image.DirectoryEntry(Directory::kBaseRelocation);
  for (std::size_t i = layout.resources + 1; i < sections.size(); ++i)
    if (sections[i].name != ".reloc" || relocations.rva < sections[i].virtualAddress ||
        relocations.rva >= sections[i].virtualAddress + sections[i].virtualSize)
      throw InputError(what + ": section '" + sections[i].name + "' follows the resources; only .reloc may");
  for (std::uint32_t index = 0; index < 16; ++index) {
    const auto directory = static_cast<Directory>(index);
    const DataDirectory entry = image.DirectoryEntry(directory);
    if (directory != Directory::kResource && directory != Directory::kBaseRelocation && directory != Directory::kSecurity &&
        entry.size != 0 && entry.rva >= found->virtualAddress)
      throw InputError(what + ": data directory " + std::to_string(index) + " lies in or after the resources");
  }
  for (const Section& section : sections) layout.fileEnd = std::max<std::uint64_t>(layout.fileEnd, section.pointerToRawData + std::uint64_t{section.sizeOfRawData});
  if (layout.fileEnd != image.Bytes().Size()) throw InputError(what + " has data after its last section");
  if (image.FileAlignment() % 8 != 0) throw InputError(what + ": file alignment " + Hex(image.FileAlignment()) + " is not a multiple of 8");
  return layout;
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

// The headers and sections of the packed image, where they differ from the stub's.
class ImagePlan {
 public:
  ImagePlan(const PeImage& image, const StubLayout& layout, const ResourceSection& resources)
      : image_(image), layout_(layout), resources_(resources) {
    const auto& sections = image.Sections();
    const Section& rsrc = sections[layout.resources];
    rawSize_ = Align(resources.Size(), image.FileAlignment());
    if (layout.resources + 1 < sections.size()) {
      const Section& next = sections[layout.resources + 1];
      virtualShift_ = static_cast<std::int64_t>(Align(rsrc.virtualAddress + resources.Size(), image.SectionAlignment())) - next.virtualAddress;
      fileShift_ = static_cast<std::int64_t>(rsrc.pointerToRawData + rawSize_) - next.pointerToRawData;
    }
    const Section& last = sections.back();
    const std::uint64_t lastEnd = layout.resources + 1 < sections.size()
                                      ? static_cast<std::uint64_t>(last.virtualAddress + virtualShift_) + last.virtualSize
                                      : rsrc.virtualAddress + resources.Size();
    sizeOfImage_ = Align(lastEnd, image.SectionAlignment());
    if (sizeOfImage_ > kImageLimit) throw InputError("installer too large: the launcher image would exceed 2 GiB");
  }

  // The stub's bytes up to the resource section, its headers updated.
  std::vector<std::uint8_t> Prefix() const {
    const auto& sections = image_.Sections();
    const Section& rsrc = sections[layout_.resources];
    const HeaderLayout& headers = image_.Layout();
    auto bytes = Copy(image_.Bytes().Sub(0, rsrc.pointerToRawData, "stub before its resources"));
    const std::size_t optional = headers.optionalHeader;
    const std::int64_t rawGrowth = static_cast<std::int64_t>(rawSize_) - rsrc.sizeOfRawData;
    if (rsrc.characteristics & kInitializedData)
      Put32(bytes, optional + kSizeOfInitializedData, static_cast<std::uint64_t>(image_.Bytes().U32(optional + kSizeOfInitializedData) + rawGrowth));
    Put32(bytes, optional + kSizeOfImage, sizeOfImage_);
    Put32(bytes, optional + kCheckSum, 0);
    const std::size_t rsrcHeader = headers.sectionTable + kSectionHeaderSize * layout_.resources;
    Put32(bytes, rsrcHeader + kVirtualSize, resources_.Size());
    Put32(bytes, rsrcHeader + kSizeOfRawData, rawSize_);
    for (std::size_t i = layout_.resources + 1; i < sections.size(); ++i) {
      const std::size_t header = headers.sectionTable + kSectionHeaderSize * i;
      Put32(bytes, header + kVirtualAddress, static_cast<std::uint64_t>(sections[i].virtualAddress + virtualShift_));
      Put32(bytes, header + kPointerToRawData, static_cast<std::uint64_t>(sections[i].pointerToRawData + fileShift_));
    }
    const auto directory = [&](Directory d) { return headers.dataDirectories + 8 * static_cast<std::size_t>(d); };
    Put32(bytes, directory(Directory::kResource) + 4, resources_.Size());
    const DataDirectory relocations = image_.DirectoryEntry(Directory::kBaseRelocation);
    if (relocations.size != 0)
      Put32(bytes, directory(Directory::kBaseRelocation), static_cast<std::uint64_t>(relocations.rva + virtualShift_));
    return bytes;
  }

  void Write(OutputImage& out) const {
    const auto& sections = image_.Sections();
    out.Write(Prefix());
    resources_.Write(out);
    out.PadTo(sections[layout_.resources].pointerToRawData + rawSize_);
    for (std::size_t i = layout_.resources + 1; i < sections.size(); ++i) {
      out.PadTo(static_cast<std::uint64_t>(sections[i].pointerToRawData + fileShift_));
      const ByteView raw = image_.Bytes().Sub(sections[i].pointerToRawData, sections[i].sizeOfRawData, "section after the resources");
      out.Write(raw.Data(), raw.Size());
    }
  }

  std::size_t CheckSumOffset() const { return image_.Layout().optionalHeader + kCheckSum; }

 private:
  const PeImage& image_;
  const StubLayout& layout_;
  const ResourceSection& resources_;
  std::uint64_t rawSize_ = 0;
  std::int64_t virtualShift_ = 0;
  std::int64_t fileShift_ = 0;
  std::uint64_t sizeOfImage_ = 0;
};

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
  const ImagePlan plan(stub, layout, resources);

  TemporaryOutput output(options.output);
  OutputImage image(output.Stream());
  plan.Write(image);
  CheckInstallerDigest(manifest, md5.Finish());
  std::vector<std::uint8_t> checkSum(4);
  Put32(checkSum, 0, image.CheckSum());
  output.Stream().Seek(plan.CheckSumOffset());
  output.Stream().Write(checkSum.data(), checkSum.size());
  output.Commit();
}

}  // namespace vantor::packaging
