#include "Packaging/ImageRebuild.h"

#include <algorithm>

#include "Packaging/OutputImage.h"
#include "Packaging/PackError.h"

namespace vantor::packaging {
namespace {

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

std::vector<std::uint8_t> Copy(ByteView bytes) { return {bytes.Data(), bytes.Data() + bytes.Size()}; }

}  // namespace

StubLayout CheckLayout(const PeImage& image, const std::string& what) {
  const auto& sections = image.Sections();
  const DataDirectory resources = image.DirectoryEntry(Directory::kResource);
  const auto found = std::find_if(sections.begin(), sections.end(), [&](const Section& s) { return s.virtualAddress == resources.rva; });
  if (resources.size == 0 || found == sections.end())
    throw InputError(what + " has no resource section of its own");
  StubLayout layout{static_cast<std::size_t>(found - sections.begin())};
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
  std::uint64_t fileEnd = 0;
  for (const Section& section : sections) fileEnd = std::max<std::uint64_t>(fileEnd, section.pointerToRawData + std::uint64_t{section.sizeOfRawData});
  if (fileEnd != image.Bytes().Size()) throw InputError(what + " has data after its last section");
  if (image.FileAlignment() % 8 != 0) throw InputError(what + ": file alignment " + Hex(image.FileAlignment()) + " is not a multiple of 8");
  return layout;
}


RebuiltImage::RebuiltImage(const PeImage& image, const StubLayout& layout, const ResourceSection& resources)
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
std::vector<std::uint8_t> RebuiltImage::Prefix() const {
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

void RebuiltImage::WriteTo(File& file) const {
  OutputImage out(file);
  const auto& sections = image_.Sections();
  out.Write(Prefix());
  resources_.Write(out);
  out.PadTo(sections[layout_.resources].pointerToRawData + rawSize_);
  for (std::size_t i = layout_.resources + 1; i < sections.size(); ++i) {
    out.PadTo(static_cast<std::uint64_t>(sections[i].pointerToRawData + fileShift_));
    const ByteView raw = image_.Bytes().Sub(sections[i].pointerToRawData, sections[i].sizeOfRawData, "section after the resources");
    out.Write(raw.Data(), raw.Size());
  }
  std::vector<std::uint8_t> checkSum(4);
  Put32(checkSum, 0, out.CheckSum());
  file.Seek(image_.Layout().optionalHeader + kCheckSum);
  file.Write(checkSum.data(), checkSum.size());
}

}  // namespace vantor::packaging
