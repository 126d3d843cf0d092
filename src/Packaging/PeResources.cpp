#include "Packaging/PeResources.h"

#include <algorithm>

namespace vantor::packaging {

namespace {

constexpr std::size_t kTableHeaderSize = 16;
constexpr std::size_t kEntrySize = 8;
constexpr std::size_t kDataEntrySize = 16;
constexpr std::uint32_t kHighBit = 0x80000000;  // entry id: a string; entry target: a subtable
// Entries may share subtables, so a small tree can describe a huge number of
// leaves: visiting more entries than this raises an error instead.
constexpr std::size_t kMaxEntryVisits = std::size_t{1} << 20;

// The tree's levels, and the part of a leaf's place each one gives.
constexpr ResourceId Resource::*kLevels[] = {&Resource::type, &Resource::name, &Resource::language};
constexpr std::size_t kLevelCount = sizeof kLevels / sizeof kLevels[0];

// Walks the resource tree depth first. All offsets in it are relative to the
// start of the resource directory.
class ResourceTreeReader {
 public:
  explicit ResourceTreeReader(ByteView tree) : tree_(tree) {}

  std::vector<Resource> Read() {
    Resource place;
    ReadTable(0, 0, place);
    return std::move(resources_);
  }

 private:
  void ReadTable(std::size_t offset, std::size_t level, Resource& place) {
    const ByteView header = tree_.Sub(offset, kTableHeaderSize, "resource table");
    const std::size_t count = std::size_t{header.U16(12)} + header.U16(14);  // named, then numbered entries
    const ByteView entries = tree_.Sub(offset + kTableHeaderSize, count * kEntrySize, "resource table entries");
    for (std::size_t i = 0; i < count; ++i) {
      if (++visits_ > kMaxEntryVisits) throw FormatError("Resource tree has too many entries");
      place.*kLevels[level] = EntryId(entries.U32(i * kEntrySize));
      const std::uint32_t target = entries.U32(i * kEntrySize + 4);
      const bool isTable = (target & kHighBit) != 0;
      if (level + 1 < kLevelCount) {
        if (!isTable) throw FormatError("Resource tree entry at level " + std::to_string(level) + " has no subtable");
        ReadTable(target & ~kHighBit, level + 1, place);
      } else {
        if (isTable) throw FormatError("Resource tree nests deeper than type, name and language");
        ReadLeaf(target, place);
      }
    }
  }

  void ReadLeaf(std::size_t offset, Resource& place) {
    const ByteView entry = tree_.Sub(offset, kDataEntrySize, "resource data entry");
    place.dataRva = entry.U32(0);
    place.size = entry.U32(4);
    place.codePage = entry.U32(8);
    resources_.push_back(place);
  }

  // A number, or the offset of a string: its length in code units, then the units.
  ResourceId EntryId(std::uint32_t field) const {
    if ((field & kHighBit) == 0) return ResourceId(field);
    const std::size_t offset = field & ~kHighBit;
    return ResourceId(tree_.U16String(offset + 2, tree_.U16(offset)));
  }

  ByteView tree_;
  std::vector<Resource> resources_;
  std::size_t visits_ = 0;
};

}  // namespace

std::vector<Resource> ReadResources(const PeImage& image) {
  const DataDirectory directory = image.DirectoryEntry(Directory::kResource);
  if (directory.rva == 0) return {};
  return ResourceTreeReader(image.FromRva(directory.rva, "resource directory")).Read();
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

namespace {

constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::size_t kFixedInfoSize = 52;
constexpr std::size_t kBlockHeaderSize = 6;  // length, value length, type
// The format nests three deep (root, string file info, table, string); more is garbage.
constexpr int kMaxBlockDepth = 4;

// A block of the version resource: a key, a value (bytes, or UTF-16 text)
// and child blocks, each starting on a 4-byte boundary.
struct VersionBlock {
  std::u16string key;
  ByteView value;
  bool text = false;
  std::vector<VersionBlock> children;
};

std::size_t Align4(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

VersionBlock ReadBlock(ByteView bytes, int depth) {
  if (depth > kMaxBlockDepth) throw FormatError("Version resource nests too deep");
  const ByteView block = bytes.Sub(0, bytes.U16(0), "version block");
  if (block.Size() < kBlockHeaderSize + 2) throw FormatError("Version block is shorter than its header");
  VersionBlock result;
  result.text = block.U16(4) == 1;
  result.key = block.U16CString(kBlockHeaderSize);
  std::size_t offset = Align4(kBlockHeaderSize + 2 * (result.key.size() + 1));
  // A text value's length counts code units, a binary one's bytes; both stop at the block's end.
  const std::size_t valueLength = (result.text ? 2u : 1u) * block.U16(2);
  const std::size_t valueStart = std::min(offset, block.Size());
  result.value = block.Sub(valueStart, std::min(valueLength, block.Size() - valueStart), "version value");
  for (offset = Align4(offset + valueLength); offset + kBlockHeaderSize <= block.Size();) {
    result.children.push_back(ReadBlock(block.From(offset, "version block"), depth + 1));
    offset = Align4(offset + block.U16(offset));
  }
  return result;
}

// A text value, up to its terminating NUL.
std::u16string Text(ByteView value) {
  std::u16string text = value.U16String(0, value.Size() / 2);
  text.erase(std::min(text.find(u'\0'), text.size()));
  return text;
}

VersionInfo::Version VersionAt(ByteView fixed, std::size_t offset) {
  const std::uint32_t high = fixed.U32(offset);
  const std::uint32_t low = fixed.U32(offset + 4);
  return {static_cast<std::uint16_t>(high >> 16), static_cast<std::uint16_t>(high),
          static_cast<std::uint16_t>(low >> 16), static_cast<std::uint16_t>(low)};
}

}  // namespace

VersionInfo ParseVersionInfo(ByteView resource) {
  const VersionBlock root = ReadBlock(resource, 0);
  if (root.key != u"VS_VERSION_INFO") throw FormatError("Version resource does not start with VS_VERSION_INFO");
  VersionInfo info;
  if (!root.value.Empty()) {
    const ByteView fixed = root.value.Sub(0, kFixedInfoSize, "fixed version information");
    if (fixed.U32(0) != kFixedInfoSignature) throw FormatError("Fixed version information has a wrong signature");
    info.fileVersion = VersionAt(fixed, 8);
    info.productVersion = VersionAt(fixed, 16);
  }
  for (const VersionBlock& block : root.children) {
    if (block.key != u"StringFileInfo") continue;  // VarFileInfo holds only the translations
    for (const VersionBlock& table : block.children) {
      VersionInfo::StringTable strings{table.key, {}};
      for (const VersionBlock& value : table.children) strings.values.emplace_back(value.key, Text(value.value));
      info.stringTables.push_back(std::move(strings));
    }
  }
  return info;
}

std::optional<std::u16string> VersionInfo::String(std::u16string_view key) const {
  for (const StringTable& table : stringTables) {
    for (const auto& [name, value] : table.values) {
      if (name == key) return value;
    }
  }
  return std::nullopt;
}

}  // namespace vantor::packaging
