#include "Packaging/Branding/Branding.h"

#include <algorithm>
#include <set>
#include <string_view>

#include "Packaging/Image/PeFormat.h"
#include "Packaging/PackError.h"

namespace vantor::packaging {
namespace {

ByteView Keep(std::list<std::vector<std::uint8_t>>& made, std::vector<std::uint8_t> bytes) {
  made.push_back(std::move(bytes));
  return ByteView(made.back().data(), made.back().size(), "branded resource");
}

bool IsType(const ResourceLeaf& leaf, std::uint16_t type) { return leaf.type == ResourceId(type); }

std::vector<ResourceLeaf> WithIcon(std::vector<ResourceLeaf> leaves, const std::vector<IconImage>& icon,
                                   std::list<std::vector<std::uint8_t>>& made) {
  // The group Windows shows: the first in the directory's order.
  ResourceLeaf group{pe::kResourceGroupIcon, 1, 0, 0, {}, 0, {}};
  const auto first = std::min_element(leaves.begin(), leaves.end(), [](const ResourceLeaf& a, const ResourceLeaf& b) {
    if (IsType(a, pe::kResourceGroupIcon) != IsType(b, pe::kResourceGroupIcon)) return IsType(a, pe::kResourceGroupIcon);
    return a.name != b.name ? a.name < b.name : a.language < b.language;
  });
  std::set<std::uint32_t> replaced;
  if (first != leaves.end() && IsType(*first, pe::kResourceGroupIcon)) {
    group = *first;
    leaves.erase(first);
    for (const IconGroupEntry& entry : ReadIconGroup(group.bytes)) replaced.insert(entry.id);
  }
  std::set<std::uint32_t> kept;  // images other groups list
  for (const ResourceLeaf& leaf : leaves)
    if (IsType(leaf, pe::kResourceGroupIcon))
      for (const IconGroupEntry& entry : ReadIconGroup(leaf.bytes)) kept.insert(entry.id);
  leaves.erase(std::remove_if(leaves.begin(), leaves.end(),
                              [&](const ResourceLeaf& leaf) {
                                return IsType(leaf, pe::kResourceIcon) && !leaf.name.IsNamed() && replaced.count(leaf.name.Number()) != 0 &&
                                       kept.count(leaf.name.Number()) == 0;
                              }),
               leaves.end());
  std::set<std::uint32_t> used;
  for (const ResourceLeaf& leaf : leaves)
    if (IsType(leaf, pe::kResourceIcon) && !leaf.name.IsNamed()) used.insert(leaf.name.Number());

  std::vector<IconGroupEntry> entries;
  std::uint32_t id = 1;
  for (const IconImage& image : icon) {
    while (used.count(id) != 0) ++id;
    if (id > 0xFFFF) throw InputError("the stub has no free icon ids left for the icon's images");
    entries.push_back({image, static_cast<std::uint16_t>(id)});
    leaves.push_back({pe::kResourceIcon, id++, group.language, 0, image.data, 0, {}});
  }
  group.bytes = Keep(made, WriteIconGroup(entries));
  leaves.push_back(group);
  return leaves;
}

}  // namespace

std::vector<ResourceLeaf> Brand(std::vector<ResourceLeaf> leaves, const Branding& branding, std::list<std::vector<std::uint8_t>>& made) {
  for (ResourceLeaf& leaf : leaves) {
    if (IsType(leaf, pe::kResourceVersion) && (branding.version || !branding.strings.empty())) {
      leaf.bytes = Keep(made, StampVersionResource(leaf.bytes, branding.version, branding.strings));
    } else if (IsType(leaf, pe::kResourceManifest) && branding.version) {
      const std::string text = StampManifestVersion(AsText(leaf.bytes), *branding.version);
      leaf.bytes = Keep(made, std::vector<std::uint8_t>(text.begin(), text.end()));
    }
  }
  return branding.icon.empty() ? leaves : WithIcon(std::move(leaves), branding.icon, made);
}

}  // namespace vantor::packaging
