#include "Packaging/Image/ImageRebuild.h"

#include <algorithm>

#include "Packaging/Image/OutputImage.h"
#include "Packaging/PackError.h"

namespace vantor::packaging {
namespace {

constexpr std::uint64_t kImageLimit = 0x7FFFFFFF;  // what a 32-bit process can map at most

std::vector<std::uint8_t> Copy(ByteView bytes) { return {bytes.Data(), bytes.Data() + bytes.Size()}; }

// The bytes of `leaves` that are the stub's own, copied from its image.
std::uint64_t BorrowedFrom(const PeImage& image, const std::vector<ResourceLeaf>& leaves) {
  const ByteView file = image.Bytes();
  std::uint64_t total = 0;
  for (const ResourceLeaf& leaf : leaves)
    if (!leaf.stream && leaf.bytes.Data() >= file.Data() && leaf.bytes.Data() + leaf.bytes.Size() <= file.Data() + file.Size())
      total += leaf.bytes.Size();
  return total;
}

// The section whose addresses hold all of [rva, rva + size); raises InputError
// when none does.
std::size_t SectionHolding(const PeImage& image, std::uint32_t index, const DataDirectory& entry, const std::string& what) {
  const auto& sections = image.Sections();
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const std::uint64_t mapped = sections[i].virtualSize != 0 ? sections[i].virtualSize : sections[i].sizeOfRawData;
    if (entry.rva >= sections[i].virtualAddress && std::uint64_t{entry.rva} + entry.size <= sections[i].virtualAddress + mapped)
      return i;
  }
  throw InputError(what + ": data directory " + std::to_string(index) + " (" + Hex(entry.size) + " bytes at RVA " +
                   Hex(entry.rva) + ") does not lie inside one section");
}

// Base relocations patch the image where Windows loads it at another
// address. One that patched the resource section, or anything after its
// start, would rewrite the payload the packer wrote and checked, or miss its
// target once the sections after the resources move.
void CheckRelocations(const PeImage& image, const Section& resources, const std::string& what) {
  const DataDirectory directory = image.DirectoryEntry(Directory::kBaseRelocation);
  if (directory.size == 0) return;
  const ByteView blocks = image.AtRva(directory.rva, directory.size, "base relocations");
  for (std::size_t at = 0; at < blocks.Size();) {
    const std::uint32_t page = blocks.U32(at);
    const std::uint32_t size = blocks.U32(at + 4);
    if (size < pe::kRelocationBlockHeader || size % 2 != 0)
      throw FormatError("Base relocation block at RVA " + Hex(page) + " has a size of " + Hex(size));
    const ByteView entries = blocks.Sub(at + pe::kRelocationBlockHeader, size - pe::kRelocationBlockHeader, "base relocation block");
    for (std::size_t i = 0; i < entries.Size(); i += 2) {
      const std::uint16_t entry = entries.U16(i);
      const unsigned type = entry >> 12;
      const std::uint64_t target = std::uint64_t{page} + (entry & 0xFFFu);
      const std::uint64_t width = type == pe::kRelocationHighLow ? 4 : type == pe::kRelocationDir64 ? 8 : 0;
      if (type == pe::kRelocationAbsolute) continue;
      if (width == 0) throw InputError(what + ": a base relocation of type " + std::to_string(type) + ", which this packer does not know");
      if (target + width > resources.virtualAddress)
        throw InputError(what + ": a base relocation patches " + Hex(target) +
                         ", in or after the resource section; the payload must stay as written");
    }
    at += size;
  }
}

}  // namespace

StubLayout CheckLayout(const PeImage& image, const std::string& what) {
  const auto& sections = image.Sections();
  const DataDirectory resources = image.DirectoryEntry(Directory::kResource);
  const auto found = std::find_if(sections.begin(), sections.end(), [&](const Section& s) { return s.virtualAddress == resources.rva; });
  if (resources.size == 0 || found == sections.end() || found->sizeOfRawData == 0)
    throw InputError(what + " has no resource section of its own");
  StubLayout layout{static_cast<std::size_t>(found - sections.begin())};
  const DataDirectory relocations = image.DirectoryEntry(Directory::kBaseRelocation);
  for (std::size_t i = layout.resources + 1; i < sections.size(); ++i)
    if (sections[i].name != ".reloc" || sections[i].sizeOfRawData == 0 || relocations.rva < sections[i].virtualAddress ||
        relocations.rva - sections[i].virtualAddress >= sections[i].virtualSize)
      throw InputError(what + ": section '" + sections[i].name + "' follows the resources; only .reloc may");
  // Each directory's whole range in one section; only the resources in the
  // resource section, and nothing but the relocations after it. The
  // security directory is a file range of its own, outside the image.
  for (std::uint32_t index = 0; index < pe::kDirectoryCount; ++index) {
    const auto directory = static_cast<Directory>(index);
    const DataDirectory entry = image.DirectoryEntry(directory);
    if (directory == Directory::kSecurity || entry.size == 0) continue;
    const std::size_t holder = SectionHolding(image, index, entry, what);
    if (directory == Directory::kResource ? holder != layout.resources
        : directory == Directory::kBaseRelocation ? holder == layout.resources
                                                  : holder >= layout.resources)
      throw InputError(what + ": data directory " + std::to_string(index) + " lies in " +
                       (directory == Directory::kResource ? "another section than the resources'" : "or after the resources"));
  }
  CheckRelocations(image, *found, what);
  // Sections' file data are ordered (PeImage checks), so the last one with data ends them.
  std::uint64_t fileEnd = image.SizeOfHeaders();
  for (const Section& section : sections)
    if (section.sizeOfRawData != 0) fileEnd = std::uint64_t{section.pointerToRawData} + section.sizeOfRawData;
  if (fileEnd != image.Bytes().Size()) throw InputError(what + " has data after its last section");
  return layout;
}

RebuiltImage::RebuiltImage(const PeImage& image, const StubLayout& layout, const ResourceSection& resources)
    : image_(image), layout_(layout), resources_(resources) {
  const auto& sections = image.Sections();
  const Section& rsrc = sections[layout.resources];
  rawSize_ = AlignUp(resources.Size(), image.FileAlignment());
  std::uint64_t fileEnd = rsrc.pointerToRawData + rawSize_;
  if (layout.resources + 1 < sections.size()) {
    const Section& next = sections[layout.resources + 1];
    virtualShift_ = static_cast<std::int64_t>(AlignUp(rsrc.virtualAddress + resources.Size(), image.SectionAlignment())) - next.virtualAddress;
    fileShift_ = static_cast<std::int64_t>(fileEnd) - next.pointerToRawData;
    for (std::size_t i = layout.resources + 1; i < sections.size(); ++i) fileEnd += sections[i].sizeOfRawData;
  }
  const Section& last = sections.back();
  const std::uint64_t lastEnd = layout.resources + 1 < sections.size()
                                    ? static_cast<std::uint64_t>(last.virtualAddress + virtualShift_) + last.virtualSize
                                    : rsrc.virtualAddress + resources.Size();
  sizeOfImage_ = AlignUp(lastEnd, image.SectionAlignment());
  if (sizeOfImage_ > kImageLimit) throw InputError("installer too large: the launcher image would exceed 2 GiB");
  // Whatever the stub says, the launcher is no bigger than the stub plus what
  // is new in it (the payload, stamped values, the resource directory) plus
  // alignment: a layout that would make more of it is refused.
  const std::uint64_t added = resources.Size() - BorrowedFrom(image, resources.Leaves());
  if (fileEnd > image.Bytes().Size() + added + image.FileAlignment())
    throw InputError("stub: its layout would make the launcher " + Hex(fileEnd) + " bytes, more than the stub and the payload");
}

// The stub's bytes up to the resource section, its headers updated. The
// fields lie in the headers, which end before the first section's data.
std::vector<std::uint8_t> RebuiltImage::Prefix() const {
  namespace opt = pe::optional;
  namespace sec = pe::section;
  const auto& sections = image_.Sections();
  const Section& rsrc = sections[layout_.resources];
  const HeaderLayout& headers = image_.Layout();
  auto bytes = Copy(image_.Bytes().Sub(0, rsrc.pointerToRawData, "stub before its resources"));
  const auto put = [&](std::size_t offset, std::uint64_t value, const char* what) {
    PutLe32(bytes, offset, To32(value, what), "stub headers");
  };
  const std::size_t optional = headers.optionalHeader;
  if (rsrc.characteristics & sec::kInitializedData) {
    const std::uint64_t initialized = image_.Bytes().U32(optional + opt::kSizeOfInitializedData) - std::uint64_t{rsrc.sizeOfRawData};
    put(optional + opt::kSizeOfInitializedData, initialized + rawSize_, "SizeOfInitializedData");
  }
  put(optional + opt::kSizeOfImage, sizeOfImage_, "SizeOfImage");
  put(optional + opt::kCheckSum, 0, "CheckSum");
  const std::size_t rsrcHeader = headers.sectionTable + sec::kSize * layout_.resources;
  put(rsrcHeader + sec::kVirtualSize, resources_.Size(), "resource section size");
  put(rsrcHeader + sec::kSizeOfRawData, rawSize_, "resource section size");
  for (std::size_t i = layout_.resources + 1; i < sections.size(); ++i) {
    const std::size_t header = headers.sectionTable + sec::kSize * i;
    put(header + sec::kVirtualAddress, static_cast<std::uint64_t>(sections[i].virtualAddress + virtualShift_), "section address");
    put(header + sec::kPointerToRawData, static_cast<std::uint64_t>(sections[i].pointerToRawData + fileShift_), "section file offset");
  }
  const auto directory = [&](Directory d) { return headers.dataDirectories + pe::kDataDirectorySize * static_cast<std::size_t>(d); };
  put(directory(Directory::kResource) + 4, resources_.Size(), "resource directory size");
  const DataDirectory relocations = image_.DirectoryEntry(Directory::kBaseRelocation);
  if (relocations.size != 0)
    put(directory(Directory::kBaseRelocation), static_cast<std::uint64_t>(relocations.rva + virtualShift_), "relocation directory");
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
  PutLe32(checkSum, 0, out.CheckSum(), "checksum");
  file.Seek(image_.Layout().optionalHeader + pe::optional::kCheckSum);
  file.Write(checkSum.data(), checkSum.size());
}

}  // namespace vantor::packaging
