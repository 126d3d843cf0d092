#include "Packaging/ResourceSection.h"

#include <algorithm>

#include "Packaging/OutputImage.h"
#include "Packaging/PackError.h"

namespace vantor::packaging {
namespace {

constexpr std::uint32_t kTableSize = 16;
constexpr std::uint32_t kEntrySize = 8;
constexpr std::uint32_t kDataEntrySize = 16;
constexpr std::uint32_t kSubdirectoryFlag = 0x80000000;
constexpr std::uint32_t kNameFlag = 0x80000000;

// The order of entries in a directory: named ones by their UTF-16 code
// units, then numbered ones by number.
bool Before(const ResourceId& a, const ResourceId& b) {
  if (a.IsNamed() != b.IsNamed()) return a.IsNamed();
  return a.IsNamed() ? a.Name() < b.Name() : a.Number() < b.Number();
}

bool LeafBefore(const ResourceLeaf& a, const ResourceLeaf& b) {
  if (a.type != b.type) return Before(a.type, b.type);
  if (a.name != b.name) return Before(a.name, b.name);
  return Before(a.language, b.language);
}

std::uint64_t Align(std::uint64_t value, std::uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

void Put(std::vector<std::uint8_t>& out, std::size_t offset, std::uint32_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) out[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
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
    offset = Align(offset, 8);
    dataOffsets_.push_back(offset);
    offset += leaf.stream ? leaf.size : leaf.bytes.size();
  }
  size_ = offset;
}

// The directory tables, the data entries and the names, in that order.
std::vector<std::uint8_t> ResourceSection::BuildDirectory() const {
  const auto tables = Tables(leaves_);
  std::vector<std::uint32_t> tableOffsets;
  std::uint32_t offset = 0;
  for (const Table& table : tables) {
    tableOffsets.push_back(offset);
    offset += kTableSize + kEntrySize * static_cast<std::uint32_t>(Children(leaves_, table).size());
  }
  const std::uint32_t dataEntries = offset;
  std::uint32_t names = dataEntries + kDataEntrySize * static_cast<std::uint32_t>(leaves_.size());
  std::vector<std::uint8_t> out(names);

  // Tables in `tables` order: a table's children come after it, in the order
  // they were appended, so the next child table index only grows.
  std::size_t nextTable = 1;
  for (std::size_t t = 0; t < tables.size(); ++t) {
    const auto children = Children(leaves_, tables[t]);
    const std::size_t named = static_cast<std::size_t>(
        std::count_if(children.begin(), children.end(), [&](const Table& c) { return IdAt(leaves_[c.first], tables[t].level).IsNamed(); }));
    Put(out, tableOffsets[t] + 12, static_cast<std::uint32_t>(named), 2);
    Put(out, tableOffsets[t] + 14, static_cast<std::uint32_t>(children.size() - named), 2);
    for (std::size_t c = 0; c < children.size(); ++c) {
      const std::size_t entry = tableOffsets[t] + kTableSize + kEntrySize * c;
      const ResourceId& id = IdAt(leaves_[children[c].first], tables[t].level);
      if (id.IsNamed()) {
        Put(out, entry, kNameFlag | static_cast<std::uint32_t>(out.size()), 4);
        out.push_back(static_cast<std::uint8_t>(id.Name().size()));
        out.push_back(static_cast<std::uint8_t>(id.Name().size() >> 8));
        for (const char16_t unit : id.Name()) {
          out.push_back(static_cast<std::uint8_t>(unit));
          out.push_back(static_cast<std::uint8_t>(unit >> 8));
        }
      } else {
        Put(out, entry, id.Number(), 4);
      }
      const bool leafLevel = tables[t].level == 2;
      Put(out, entry + 4,
          leafLevel ? dataEntries + kDataEntrySize * static_cast<std::uint32_t>(children[c].first)
                    : kSubdirectoryFlag | tableOffsets[nextTable++],
          4);
    }
  }
  for (std::size_t i = 0; i < dataOffsets_.size(); ++i) {
    const std::size_t entry = dataEntries + kDataEntrySize * i;
    const ResourceLeaf& leaf = leaves_[i];
    Put(out, entry, static_cast<std::uint32_t>(sectionRva_ + dataOffsets_[i]), 4);
    Put(out, entry + 4, static_cast<std::uint32_t>(leaf.stream ? leaf.size : leaf.bytes.size()), 4);
    Put(out, entry + 8, leaf.codePage, 4);
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
      out.Write(leaves_[i].bytes);
  }
}

}  // namespace vantor::packaging
