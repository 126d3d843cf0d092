#include "Packaging/Image/PeResources.h"

#include <algorithm>
#include <cstring>

namespace vantor::packaging {

bool operator==(const ResourceId& a, const ResourceId& b) {
  if (a.named_ != b.named_) return false;
  if (!a.named_) return a.number_ == b.number_;
  return a.name_.Size() == b.name_.Size() && std::memcmp(a.name_.Data(), b.name_.Data(), a.name_.Size()) == 0;
}

bool operator<(const ResourceId& a, const ResourceId& b) {
  if (a.named_ != b.named_) return a.named_;
  if (!a.named_) return a.number_ < b.number_;
  const std::size_t common = std::min(a.name_.Size(), b.name_.Size()) / 2;
  for (std::size_t i = 0; i < common; ++i) {
    const std::uint16_t x = a.name_.U16(2 * i);
    const std::uint16_t y = b.name_.U16(2 * i);
    if (x != y) return x < y;
  }
  return a.name_.Size() < b.name_.Size();
}

namespace {

namespace r = pe::resource;

// The tree's levels, and the part of a leaf's place each one gives.
constexpr ResourceId Resource::*kLevels[] = {&Resource::type, &Resource::name, &Resource::language};
constexpr std::size_t kLevelCount = sizeof kLevels / sizeof kLevels[0];
// Far above any launcher's (about a dozen), low enough that the walk's own
// memory stays small whatever the stub holds.
constexpr std::size_t kMaxEntries = 4096;

// Walks the resource tree depth first. `tree` runs from the start of the
// resource directory, to which all offsets in it are relative, to the end of
// its section's file data; the leaves' data must lie in it too. Every part of
// the tree costs its size from `budget` each time the walk reaches it.
class ResourceTreeReader {
 public:
  ResourceTreeReader(ByteView tree, std::uint32_t treeRva, std::uint64_t budget) : tree_(tree), treeRva_(treeRva), budget_(budget) {}

  std::vector<Resource> Read() {
    Resource place;
    ReadTable(0, 0, place);
    return std::move(resources_);
  }

 private:
  void ReadTable(std::size_t offset, std::size_t level, Resource& place) {
    Spend(r::kTableSize);
    const ByteView header = tree_.Sub(offset, r::kTableSize, "resource table");
    const std::size_t count = std::size_t{header.U16(r::kNamedEntries)} + header.U16(r::kIdEntries);
    entries_ += count;
    if (entries_ > kMaxEntries) throw FormatError("Resource tree has more than " + std::to_string(kMaxEntries) + " entries");
    const ByteView entries = tree_.Sub(offset + r::kTableSize, count * r::kEntrySize, "resource table entries");
    for (std::size_t i = 0; i < count; ++i) {
      Spend(r::kEntrySize);
      place.*kLevels[level] = EntryId(entries.U32(i * r::kEntrySize));
      const std::uint32_t target = entries.U32(i * r::kEntrySize + 4);
      const bool isTable = (target & r::kHighBit) != 0;
      if (level + 1 < kLevelCount) {
        if (!isTable) throw FormatError("Resource tree entry at level " + std::to_string(level) + " has no subtable");
        ReadTable(target & ~r::kHighBit, level + 1, place);
      } else {
        if (isTable) throw FormatError("Resource tree nests deeper than type, name and language");
        ReadLeaf(target, place);
      }
    }
  }

  void ReadLeaf(std::size_t offset, Resource& place) {
    const ByteView entry = tree_.Sub(offset, r::kDataEntrySize, "resource data entry");
    place.dataRva = entry.U32(0);
    place.size = entry.U32(4);
    place.codePage = entry.U32(8);
    Spend(r::kDataEntrySize + std::uint64_t{place.size});
    if (place.dataRva < treeRva_ || place.dataRva - treeRva_ > tree_.Size() || place.size > tree_.Size() - (place.dataRva - treeRva_))
      throw FormatError("Resource data (" + Hex(place.size) + " bytes at RVA " + Hex(place.dataRva) + ") lies outside the resource section");
    resources_.push_back(place);
  }

  // A number, or the offset of a name: its length in code units, then the units.
  ResourceId EntryId(std::uint32_t field) {
    if ((field & r::kHighBit) == 0) return ResourceId(field);
    const std::size_t offset = field & ~r::kHighBit;
    const std::size_t length = 2 * std::size_t{tree_.U16(offset)};
    Spend(2 + length);
    return ResourceId(tree_.Sub(offset + 2, length, "resource name"));
  }

  void Spend(std::uint64_t bytes) {
    if (bytes > budget_) {
      throw FormatError("Resource tree describes more bytes than the whole image holds: its entries share tables, names or data");
    }
    budget_ -= bytes;
  }

  ByteView tree_;
  std::uint32_t treeRva_;
  std::uint64_t budget_;
  std::size_t entries_ = 0;  // at every level, each time the walk reaches them
  std::vector<Resource> resources_;
};

}  // namespace

std::vector<Resource> ReadResources(const PeImage& image) {
  const DataDirectory directory = image.DirectoryEntry(Directory::kResource);
  if (directory.rva == 0) return {};
  return ResourceTreeReader(image.FromRva(directory.rva, "resource directory"), directory.rva, image.Bytes().Size()).Read();
}

ByteView ResourceData(const PeImage& image, const Resource& resource) {
  return image.AtRva(resource.dataRva, resource.size, "resource data");
}

std::optional<ByteView> FindResourceData(const PeImage& image, const ResourceId& type, const ResourceId& name) {
  for (const Resource& resource : ReadResources(image)) {
    if (resource.type == type && resource.name == name) return ResourceData(image, resource);
  }
  return std::nullopt;
}

}  // namespace vantor::packaging
