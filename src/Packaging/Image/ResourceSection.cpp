#include "Packaging/Image/ResourceSection.h"

#include <algorithm>

#include "Packaging/Image/OutputImage.h"
#include "Packaging/PackError.h"

namespace vantor::packaging {
namespace {

namespace r = pe::resource;
constexpr std::uint64_t kDataAlignment = 8;

bool LeafBefore(const ResourceLeaf& a, const ResourceLeaf& b) {
  if (a.type != b.type) return a.type < b.type;
  if (a.name != b.name) return a.name < b.name;
  return a.language < b.language;
}

// A directory table of the tree, at one level: the range of leaves under it.
struct Table {
  std::size_t first = 0;  // leaves [first, last)
  std::size_t last = 0;
  int level = 0;  // 0 types, 1 names, 2 languages
};

const ResourceId& IdAt(const ResourceLeaf& leaf, int level) {
  return level == 0 ? leaf.type : level == 1 ? leaf.name : leaf.language;
}

// The ranges of leaves sharing one id at `table`'s level.
std::vector<Table> Children(const std::vector<ResourceLeaf>& leaves, const Table& table) {
  std::vector<Table> children;
  for (std::size_t i = table.first; i < table.last;) {
    std::size_t j = i + 1;
    while (j < table.last && IdAt(leaves[j], table.level) == IdAt(leaves[i], table.level)) ++j;
    children.push_back({i, j, table.level + 1});
    i = j;
  }
  return children;
}

// Every table, breadth first: the root, the type tables, the name tables.
std::vector<Table> Tables(const std::vector<ResourceLeaf>& leaves) {
  std::vector<Table> tables{{0, leaves.size(), 0}};
  for (std::size_t i = 0; i < tables.size(); ++i)
    if (tables[i].level < 2)
      for (const Table& child : Children(leaves, tables[i])) tables.push_back(child);
  return tables;
}

}  // namespace

ResourceSection::ResourceSection(std::vector<ResourceLeaf> leaves, std::uint32_t sectionRva)
    : leaves_(std::move(leaves)), sectionRva_(sectionRva) {
  std::stable_sort(leaves_.begin(), leaves_.end(), LeafBefore);
  for (std::size_t i = 1; i < leaves_.size(); ++i)
    if (!LeafBefore(leaves_[i - 1], leaves_[i])) throw InputError("stub: two resources with the same type, name and language");
  std::uint64_t offset = BuildDirectory().size();
  for (const ResourceLeaf& leaf : leaves_) {
    offset = AlignUp(offset, kDataAlignment);
    dataOffsets_.push_back(offset);
    offset += leaf.DataSize();
  }
  size_ = offset;
}

// The directory tables, the data entries and the names, in that order.
std::vector<std::uint8_t> ResourceSection::BuildDirectory() const {
  const auto tables = Tables(leaves_);
  std::vector<std::uint32_t> tableOffsets;
  std::uint64_t offset = 0;
  for (const Table& table : tables) {
    tableOffsets.push_back(To32(offset, "resource directory"));
    offset += r::kTableSize + r::kEntrySize * Children(leaves_, table).size();
  }
  const std::uint32_t dataEntries = To32(offset, "resource directory");
  std::vector<std::uint8_t> out(dataEntries + r::kDataEntrySize * leaves_.size());
  const auto put = [&](std::size_t at, std::uint64_t value) { PutLe32(out, at, To32(value, "resource directory field"), "resource directory"); };

  // Tables in `tables` order: a table's children come after it, in the order
  // they were appended, so the next child table index only grows.
  std::size_t nextTable = 1;
  for (std::size_t t = 0; t < tables.size(); ++t) {
    const auto children = Children(leaves_, tables[t]);
    const std::size_t named = static_cast<std::size_t>(
        std::count_if(children.begin(), children.end(), [&](const Table& c) { return IdAt(leaves_[c.first], tables[t].level).IsNamed(); }));
    PutLe16(out, tableOffsets[t] + r::kNamedEntries, To16(named, "resource table"), "resource directory");
    PutLe16(out, tableOffsets[t] + r::kIdEntries, To16(children.size() - named, "resource table"), "resource directory");
    for (std::size_t c = 0; c < children.size(); ++c) {
      const std::size_t entry = tableOffsets[t] + r::kTableSize + r::kEntrySize * c;
      const ResourceId& id = IdAt(leaves_[children[c].first], tables[t].level);
      if (id.IsNamed()) {
        const ByteView units = id.NameUnits();
        put(entry, r::kHighBit | To32(out.size(), "resource directory"));
        AppendLe16(out, To16(units.Size() / 2, "resource name length"));
        out.insert(out.end(), units.Data(), units.Data() + units.Size());
      } else {
        put(entry, id.Number());
      }
      const bool leafLevel = tables[t].level == 2;
      put(entry + 4, leafLevel ? dataEntries + r::kDataEntrySize * children[c].first : r::kHighBit | tableOffsets[nextTable++]);
    }
  }
  for (std::size_t i = 0; i < dataOffsets_.size(); ++i) {
    const std::size_t entry = dataEntries + r::kDataEntrySize * i;
    put(entry, sectionRva_ + dataOffsets_[i]);
    put(entry + 4, leaves_[i].DataSize());
    put(entry + 8, leaves_[i].codePage);
  }
  return out;
}

void ResourceSection::Write(OutputImage& out) const {
  const std::uint64_t start = out.Position();
  out.Write(BuildDirectory());
  for (std::size_t i = 0; i < leaves_.size(); ++i) {
    out.PadTo(start + dataOffsets_[i]);
    if (leaves_[i].stream)
      leaves_[i].stream(out);
    else
      out.Write(leaves_[i].bytes.Data(), leaves_[i].bytes.Size());
  }
}

}  // namespace vantor::packaging
