// A vendor's name, version and icon: which icon files and version strings
// the packer takes and refuses, and how it rebuilds the icon group and the
// string table.
#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Packaging/Branding/Branding.h"
#include "Packaging/PackError.h"
#include "PackerTestSupport.h"

namespace vantor::packaging {
namespace {

using test::Put;
using test::ReadFile;
using test::Text;
using test::U32;
using test::VersionTree;

ByteView View(const std::vector<std::uint8_t>& bytes) { return ByteView(bytes.data(), bytes.size(), "test bytes"); }

// tests/fixtures/branding/vendor.ico: 16 (4 bits), 32 (8 bits), 48 (32 bits) and 256 pixels (PNG).
const std::vector<std::uint8_t>& VendorIcon() {
  static const std::vector<std::uint8_t> icon = ReadFile(VANTOR_TEST_ICON);
  return icon;
}
constexpr std::size_t kEntry = 6;  // the first directory entry
constexpr std::size_t kEntrySize = 16;

TEST(IconFile, ReadsEveryImageWithItsDirectoryEntry) {
  const std::vector<IconImage> images = ReadIconFile(View(VendorIcon()));
  ASSERT_EQ(images.size(), 4u);
  const std::uint8_t sizes[] = {16, 32, 48, 0};
  const std::uint16_t bits[] = {4, 8, 32, 32};
  for (std::size_t n = 0; n < images.size(); ++n) {
    EXPECT_EQ(images[n].width, sizes[n]);
    EXPECT_EQ(images[n].height, sizes[n]);
    EXPECT_EQ(images[n].bitCount, bits[n]);
    EXPECT_EQ(images[n].data.Size(), images[n].size);
    EXPECT_EQ(images[n].data.Data(), VendorIcon().data() + U32(VendorIcon(), kEntry + kEntrySize * n + 12));
  }
  EXPECT_EQ(images[3].data.U32(0), 0x474E5089u);  // "\x89PNG"
}

TEST(IconFile, RefusesWhatIsNoWholeIcon) {
  const std::vector<std::uint8_t>& good = VendorIcon();
  const std::size_t png = U32(good, kEntry + 3 * kEntrySize + 12);
  const std::size_t bitmap32 = U32(good, kEntry + 2 * kEntrySize + 12);
  std::vector<std::pair<const char*, std::vector<std::uint8_t>>> cases;
  const auto damaged = [&](const char* what, std::size_t at, std::uint64_t value, std::size_t width) {
    auto bytes = good;
    Put(bytes, at, value, width);
    cases.emplace_back(what, bytes);
  };
  cases.emplace_back("empty", std::vector<std::uint8_t>{});
  cases.emplace_back("header only, cut short", std::vector<std::uint8_t>(good.begin(), good.begin() + 4));
  cases.emplace_back("cut inside the directory", std::vector<std::uint8_t>(good.begin(), good.begin() + 40));
  cases.emplace_back("cut inside the last image", std::vector<std::uint8_t>(good.begin(), good.end() - 1));
  cases.emplace_back("a PNG file", std::vector<std::uint8_t>(good.begin() + static_cast<std::ptrdiff_t>(png), good.end()));
  damaged("a cursor", 2, 2, 2);
  damaged("reserved field set", 0, 1, 2);
  damaged("no images", 4, 0, 2);
  damaged("an image of no bytes", kEntry + 8, 0, 4);
  damaged("an image past the end", kEntry + kEntrySize + 12, good.size() - 8, 4);
  damaged("a PNG larger than its entry", png + 16, 512, 4);  // IHDR width, big-endian
  damaged("a PNG without its end", png + U32(good, kEntry + 3 * kEntrySize + 8) - 5, 0, 1);
  damaged("a bitmap taller than its entry", bitmap32 + 8, 2 * 64, 4);
  damaged("a bitmap with 7 bits per pixel", bitmap32 + 14, 7, 2);
  damaged("a compressed bitmap", bitmap32 + 16, 1, 4);
  damaged("a bitmap that ends inside its mask", kEntry + 2 * kEntrySize + 8, U32(good, kEntry + 2 * kEntrySize + 8) - 100, 4);
  damaged("a bitmap whose palette runs past its data", U32(good, kEntry + 12) + 32, 0x10000, 4);
  for (const auto& [what, bytes] : cases) EXPECT_THROW(ReadIconFile(View(bytes)), FormatError) << what;
}

// Resource leaves of a stub, with their bytes kept.
class Leaves {
 public:
  void Add(std::uint16_t type, std::uint32_t name, std::uint32_t language, std::vector<std::uint8_t> bytes) {
    kept_.push_back(std::move(bytes));
    leaves_.push_back({type, name, language, 0, View(kept_.back()), 0, {}});
  }
  void AddGroup(std::uint32_t name, std::uint32_t language, const std::vector<std::uint16_t>& ids) {
    std::vector<IconGroupEntry> entries;
    for (const std::uint16_t id : ids) entries.push_back({{32, 32, 0, 1, 32, 8, {}}, id});
    Add(pe::kResourceGroupIcon, name, language, WriteIconGroup(entries));
  }
  std::vector<ResourceLeaf> Get() const { return leaves_; }

 private:
  std::list<std::vector<std::uint8_t>> kept_;
  std::vector<ResourceLeaf> leaves_;
};

// Icon ids by group name, and the RT_ICON ids present, in `leaves`.
std::map<std::uint32_t, std::vector<std::uint16_t>> Groups(const std::vector<ResourceLeaf>& leaves) {
  std::map<std::uint32_t, std::vector<std::uint16_t>> groups;
  for (const ResourceLeaf& leaf : leaves)
    if (leaf.type == ResourceId(pe::kResourceGroupIcon))
      for (const IconGroupEntry& entry : ReadIconGroup(leaf.bytes)) groups[leaf.name.Number()].push_back(entry.id);
  return groups;
}
std::vector<std::uint32_t> Icons(const std::vector<ResourceLeaf>& leaves) {
  std::vector<std::uint32_t> ids;
  for (const ResourceLeaf& leaf : leaves)
    if (leaf.type == ResourceId(pe::kResourceIcon)) ids.push_back(leaf.name.Number());
  std::sort(ids.begin(), ids.end());
  return ids;
}

// The first group is rebuilt from the icon: its own images go unless another
// group lists them, and the new images take the lowest ids nothing else has.
TEST(Branding, RebuildsTheFirstIconGroupWithFreeIds) {
  Leaves stub;
  stub.AddGroup(7, 1033, {2});
  stub.AddGroup(3, 1033, {1, 2});  // the first group: ids order the directory
  stub.AddGroup(9, 0, {2, 5});
  for (const std::uint32_t id : {1u, 2u, 3u, 5u}) stub.Add(pe::kResourceIcon, id, 1033, {1, 2, 3});
  stub.Add(pe::kResourceVersion, 1, 1033, WriteVersionResource(VersionTree()));

  Branding branding;
  branding.icon = ReadIconFile(View(VendorIcon()));
  std::list<std::vector<std::uint8_t>> made;
  const std::vector<ResourceLeaf> branded = Brand(stub.Get(), branding, made);

  const auto groups = Groups(branded);
  EXPECT_EQ(groups.at(3), (std::vector<std::uint16_t>{1, 4, 6, 7}));
  EXPECT_EQ(groups.at(7), (std::vector<std::uint16_t>{2}));  // another group's images stay
  EXPECT_EQ(groups.at(9), (std::vector<std::uint16_t>{2, 5}));
  EXPECT_EQ(Icons(branded), (std::vector<std::uint32_t>{1, 2, 3, 4, 5, 6, 7}));  // the old 1 went, 3 is nobody's
  for (const ResourceLeaf& leaf : branded) {
    if (leaf.type == ResourceId(pe::kResourceIcon) && leaf.name.Number() == 7) {
      EXPECT_EQ(leaf.bytes.Data(), branding.icon[3].data.Data());  // the PNG, as the file has it
      EXPECT_EQ(leaf.language, ResourceId(1033));
    }
  }
  const auto group = std::find_if(branded.begin(), branded.end(), [](const ResourceLeaf& leaf) {
    return leaf.type == ResourceId(pe::kResourceGroupIcon) && leaf.name == ResourceId(3);
  });
  ASSERT_NE(group, branded.end());
  EXPECT_EQ(group->language, ResourceId(1033));
  const std::vector<IconGroupEntry> entries = ReadIconGroup(group->bytes);
  EXPECT_EQ(entries[3].image.width, 0);  // 256
  EXPECT_EQ(entries[3].image.size, branding.icon[3].size);
  EXPECT_EQ(entries[0].image.bitCount, 4);

  // Without an icon, the stub's icon resources are left as they are.
  const std::vector<ResourceLeaf> plain = Brand(stub.Get(), Branding{}, made);
  EXPECT_EQ(Groups(plain), Groups(stub.Get()));
  EXPECT_EQ(Icons(plain), Icons(stub.Get()));
}

TEST(VersionStrings, TakesTheStandardKeysOnceWithUtf8Values) {
  VersionStrings strings;
  AddVersionString(strings, "CompanyName=Example \xC3\x9C \xF0\x9F\x98\x80");  // Ü, U+1F600 as a surrogate pair
  AddVersionString(strings, "Comments=");
  AddVersionString(strings, "LegalTrademarks=a=b");
  ASSERT_EQ(strings.size(), 3u);
  EXPECT_EQ(strings[0].key, u"CompanyName");
  EXPECT_EQ(strings[0].value, u"Example \u00DC \U0001F600");
  EXPECT_EQ(strings[1].value, u"");
  EXPECT_EQ(strings[2].value, u"a=b");
  AddVersionString(strings, "FileDescription=" + std::string(32700, 'x'));  // as long as a value's block allows
}

TEST(VersionStrings, RefusesUnknownKeysRepeatsAndValuesThatAreNotUtf8OrTooLong) {
  VersionStrings strings;
  AddVersionString(strings, "ProductName=P");
  for (const std::string& bad : std::vector<std::string>{
           "ProductName=again",              // given twice
           "productname=P", "Vendor=x",     // not a standard key
           "CompanyName", "=x",             // no key or no value
           "CompanyName=\x80",              // a continuation byte alone
           "CompanyName=a\xC3",             // cut inside a character
           "CompanyName=\xC0\xAF",          // overlong '/'
           "CompanyName=\xED\xA0\x80",      // a surrogate
           "CompanyName=\xF4\x90\x80\x80",  // past U+10FFFF
           "CompanyName=\xFF",
           "CompanyName=" + std::string(32760, 'x'),  // its block would pass 64 KiB
       }) {
    EXPECT_THROW(AddVersionString(strings, bad), InputError) << bad.substr(0, 40);
  }
  EXPECT_EQ(strings.size(), 1u);
}

TEST(VersionStrings, SetOrAddedInEveryStringTableAndOverrideTheVersion) {
  VersionBlock tree = VersionTree();
  VersionBlock german = tree.children[0].children[0];
  german.key = u"040704B0";
  tree.children[0].children.push_back(german);
  const std::vector<std::uint8_t> resource = WriteVersionResource(tree);
  VersionStrings strings;
  AddVersionString(strings, "ProductName=Example Suite");
  AddVersionString(strings, "CompanyName=Example");
  AddVersionString(strings, "ProductVersion=4.2 beta");

  const VersionInfo info = ParseVersionInfo(View(StampVersionResource(View(resource), Version{4, 2, 0, 17}, strings)));
  ASSERT_EQ(info.stringTables.size(), 2u);
  for (const VersionInfo::StringTable& table : info.stringTables) {
    const std::vector<std::pair<std::u16string, std::u16string>> expected{
        {u"ProductName", u"Example Suite"}, {u"FileVersion", u"4.2.0.17"}, {u"CompanyName", u"Example"}, {u"ProductVersion", u"4.2 beta"}};
    EXPECT_EQ(table.values, expected);
  }
  EXPECT_EQ(info.productVersion, (VersionInfo::Version{4, 2, 0, 17}));
  // Strings alone leave the numbers.
  EXPECT_EQ(ParseVersionInfo(View(StampVersionResource(View(resource), std::nullopt, strings))).fileVersion,
            (VersionInfo::Version{1, 0, 0, 0}));
}

TEST(VersionStrings, RefusedWhereTheResourceCannotHoldThem) {
  VersionStrings strings;
  for (const char* key : {"CompanyName", "FileDescription", "ProductName"}) AddVersionString(strings, std::string(key) + "=" + std::string(12000, 'x'));
  const std::vector<std::uint8_t> resource = WriteVersionResource(VersionTree());
  EXPECT_THROW(StampVersionResource(View(resource), std::nullopt, strings), InputError) << "72 KB of values";
  strings.pop_back();
  EXPECT_NO_THROW(StampVersionResource(View(resource), std::nullopt, strings)) << "48 KB of values";

  VersionBlock noStrings = VersionTree();
  noStrings.children.erase(noStrings.children.begin());
  EXPECT_THROW(StampVersionResource(View(WriteVersionResource(noStrings)), std::nullopt, strings), InputError);
}

}  // namespace
}  // namespace vantor::packaging
