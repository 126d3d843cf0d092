// Hostile stubs: layouts no valid image has, resource trees that reuse their
// parts, and version resources that break their own lengths. Each is refused
// as malformed input before anything is written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Packaging/Branding/VersionResource.h"
#include "Packaging/Branding/VersionStamp.h"
#include "Packaging/Image/ImageRebuild.h"
#include "Packaging/Image/PeImage.h"
#include "Packaging/Image/PeResources.h"
#include "Packaging/PackError.h"
#include "PackerTestSupport.h"

namespace vantor::packaging {
namespace {

using test::Put;
using test::SmallImage;
using test::Text;
using test::VersionTree;

TEST(ImageLayout, ReadsASoundImage) {
  const PeImage image(SmallImage().bytes);
  ASSERT_EQ(image.Sections().size(), 3u);
  EXPECT_EQ(image.Sections()[1].name, ".rsrc");
}

TEST(ImageLayout, RefusesWhatNoValidImageHas) {
  constexpr std::size_t kOptional = SmallImage::kOptional;
  const auto field = SmallImage::SectionField;
  struct Damage {
    const char* what;
    std::size_t offset;
    std::uint32_t value;
  };
  const Damage damages[] = {
      {"file alignment 0", kOptional + 36, 0},
      {"section alignment 0", kOptional + 32, 0},
      {"file alignment 0x10000000", kOptional + 36, 0x10000000},
      {"file alignment 0xFFFF0000", kOptional + 36, 0xFFFF0000},
      {"file alignment 0xFFFFFFF8", kOptional + 36, 0xFFFFFFF8},
      {"file alignment 0x100, below 512", kOptional + 36, 0x100},
      {"file alignment 0x600, not a power of two", kOptional + 36, 0x600},
      {"section alignment below the file alignment", kOptional + 32, 0x100},
      {"resources' file data inside the headers", field(1, SmallImage::kPointerToRawData), 0x200},
      {"resources' file data at 0", field(1, SmallImage::kPointerToRawData), 0},
      {"a section before the resources with its data after them", field(0, SmallImage::kPointerToRawData), 0x800},
      {"a section before the resources overlapping them", field(0, SmallImage::kSizeOfRawData), 0x400},
      {"file data not aligned", field(1, SmallImage::kPointerToRawData), 0x601},
      {"section table past SizeOfHeaders", kOptional + 60, 0x100},
      {"resources' address inside .text", field(1, SmallImage::kVirtualAddress), 0x1000},
      {"a section past SizeOfImage", kOptional + 56, 0x2000},
  };
  for (const Damage& damage : damages) {
    std::vector<std::uint8_t> bytes = SmallImage().bytes;
    Put(bytes, damage.offset, damage.value);
    EXPECT_THROW(PeImage{std::move(bytes)}, FormatError) << damage.what;
  }
}

// Every window is checked against its own end, wherever it starts.
TEST(ByteView, ChecksReadsAgainstTheWindowAtAnyOffset) {
  const std::vector<std::uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7, 8};
  const ByteView view(bytes.data(), bytes.size(), "bytes");
  EXPECT_EQ(view.Sub(4, 4, "tail").U32(0), 0x08070605u);
  EXPECT_THROW(view.Sub(4, 5, "tail"), FormatError);
  EXPECT_THROW(view.Sub(9, 0, "past"), FormatError);
  EXPECT_THROW(view.From(9, "past"), FormatError);
  EXPECT_THROW(view.U32(5), FormatError);
  EXPECT_THROW(view.Sub(2, 4, "middle").U16(3), FormatError);
}

// A section's virtual size beyond its file data is zero-filled by the
// loader: no file bytes stand for those addresses.
TEST(ImageLayout, ReadsNoFileDataForASectionsZeroFilledTail) {
  std::vector<std::uint8_t> bytes = SmallImage().bytes;
  Put(bytes, SmallImage::SectionField(0, SmallImage::kVirtualSize), 0x800);  // .text: 0x200 bytes of file data
  const PeImage image(std::move(bytes));
  EXPECT_EQ(image.AtRva(0x1100, 0x100, "in the file data").Size(), 0x100u);
  EXPECT_THROW(image.FromRva(0x1300, "in the zero-filled tail"), FormatError);
  EXPECT_THROW(image.AtRva(0x1100, 0x200, "running into the tail"), FormatError);
}

// The stub layouts the rebuild refuses: the payload must stay as written, and
// every table the loader reads must stay where the headers say.
TEST(StubLayout, RefusesWhatTheRebuildWouldBreak) {
  const auto checked = [](std::vector<std::uint8_t> bytes) { return CheckLayout(PeImage(std::move(bytes)), "stub"); };
  EXPECT_EQ(checked(SmallImage().bytes).resources, 1u);
  // The image with one relocation block of `page` and `entry`.
  const auto relocated = [](std::uint32_t page, std::uint16_t entry) {
    SmallImage image;
    const std::size_t at = image.RelocationsOffset();
    Put(image.bytes, at, page);
    Put(image.bytes, at + 4, 12);
    Put(image.bytes, at + 8, entry, 2);
    Put(image.bytes, SmallImage::Directory(5) + 4, 12);
    Put(image.bytes, SmallImage::SectionField(2, SmallImage::kVirtualSize), 12);
    return image.bytes;
  };
  const auto damaged = [](std::vector<std::pair<std::size_t, std::uint32_t>> puts) {
    std::vector<std::uint8_t> bytes = SmallImage().bytes;
    for (const auto& [at, value] : puts) Put(bytes, at, value);
    return bytes;
  };
  std::vector<std::uint8_t> withOverlay = SmallImage().bytes;
  withOverlay.resize(withOverlay.size() + 0x200);
  const std::pair<const char*, std::vector<std::uint8_t>> stubs[] = {
      {"data after the last section", withOverlay},
      {"an import directory running from .text into the resources",
       damaged({{SmallImage::Directory(1), 0x1F00}, {SmallImage::Directory(1) + 4, 0x200}})},
      {"a debug directory inside the resources", damaged({{SmallImage::Directory(6), 0x2000}, {SmallImage::Directory(6) + 4, 8}})},
      {"a resource directory reaching past its section", damaged({{SmallImage::Directory(2) + 4, 0x1001}})},
      {"relocations inside the resources", damaged({{SmallImage::Directory(5), 0x2000}})},
      {"a relocation block shorter than its header", damaged({{SmallImage().RelocationsOffset() + 4, 4}})},
      {"a relocation patching the resources", relocated(0x2000, 0x3000)},
      {"a relocation at .text's end spilling into the resources", relocated(0x1000, 0x3FFE)},
      {"a 64-bit relocation reaching the resources", relocated(0x1000, 0xAFFC)},
      {"a relocation of an unknown type", relocated(0x1000, 0x5010)},
  };
  for (const auto& [what, bytes] : stubs) {
    try {
      checked(bytes);
      ADD_FAILURE() << what << ": not refused";
    } catch (const InputError&) {
    } catch (const FormatError&) {
    }
  }
  EXPECT_NO_THROW(checked(relocated(0x1000, 0x3FFC))) << "the last 32 bits before the resources";
}

// A resource tree of one type (RCDATA) with `count` entries at the name
// level, each with a language table and a data entry of its own. Names are
// numbers, or with `nameUnits` set, names of that many units, one string for
// all with `shareName`. Each leaf has `dataSize` bytes of its own, or with
// `shareData` all leaves point at one block.
std::vector<std::uint8_t> Tree(std::size_t count, std::size_t nameUnits, bool shareName, std::size_t dataSize, bool shareData) {
  const std::size_t names = 24;
  const std::size_t languages = names + 16 + 8 * count;
  const std::size_t dataEntries = languages + 24 * count;
  const std::size_t strings = dataEntries + 16 * count;
  const std::size_t stringSize = 2 + 2 * nameUnits;
  const std::size_t data = (strings + (nameUnits == 0 ? 0 : shareName ? stringSize : stringSize * count) + 7) / 8 * 8;
  std::vector<std::uint8_t> tree(data + (shareData ? dataSize : dataSize * count));
  Put(tree, 14, 1, 2);
  Put(tree, 16, pe::kResourceRcData);
  Put(tree, 20, 0x80000000 | names);
  Put(tree, names + (nameUnits == 0 ? 14 : 12), count, 2);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t string = strings + (shareName ? 0 : stringSize * i);
    Put(tree, names + 16 + 8 * i, nameUnits == 0 ? i + 1 : 0x80000000 | string);
    Put(tree, names + 16 + 8 * i + 4, 0x80000000 | (languages + 24 * i));
    if (nameUnits != 0 && (i == 0 || !shareName)) {
      Put(tree, string, nameUnits, 2);
      for (std::size_t u = 0; u < nameUnits; ++u) Put(tree, string + 2 + 2 * u, 'A' + (i + u) % 26, 2);
    }
    Put(tree, languages + 24 * i + 14, 1, 2);
    Put(tree, languages + 24 * i + 20, dataEntries + 16 * i);
    Put(tree, dataEntries + 16 * i, SmallImage::kResourceRva + data + (shareData ? 0 : dataSize * i));
    Put(tree, dataEntries + 16 * i + 4, dataSize);
  }
  return tree;
}

TEST(ResourceTree, ReadsNamesAndDataWhereTheyLie) {
  const PeImage image(SmallImage(Tree(3, 5, false, 100, false)).bytes);
  const std::vector<Resource> resources = ReadResources(image);
  ASSERT_EQ(resources.size(), 3u);
  const ByteView file = image.Bytes();
  for (const Resource& resource : resources) {
    ASSERT_TRUE(resource.name.IsNamed());
    EXPECT_EQ(resource.name.Name().size(), 5u);
    EXPECT_GE(resource.name.NameUnits().Data(), file.Data());  // a view of the image, not a copy
    EXPECT_LT(resource.name.NameUnits().Data(), file.Data() + file.Size());
    EXPECT_EQ(ResourceData(image, resource).Size(), 100u);
  }
}

// A small file that stands for huge resources by reusing one long name or one
// large block is refused before it costs memory per entry.
TEST(ResourceTree, RefusesTreesThatDescribeMoreThanTheImage) {
  const struct {
    const char* what;
    std::vector<std::uint8_t> tree;
  } trees[] = {
      {"4,000 entries named by one string of 65,535 units", Tree(4000, 65535, true, 8, false)},
      {"1,000 leaves sharing one 64 KiB block", Tree(1000, 0, false, 0x10000, true)},
      {"5,000 leaves of their own, each small", Tree(5000, 0, false, 0, false)},
  };
  for (const auto& [what, tree] : trees) {
    const PeImage image(SmallImage(tree).bytes);
    EXPECT_THROW(ReadResources(image), FormatError) << what;
  }
  std::vector<std::uint8_t> outside = Tree(1, 0, false, 16, false);
  Put(outside, 24 + 16 + 8 + 24, 0x1000);  // the data entry's RVA: in .text
  EXPECT_THROW(ReadResources(PeImage(SmallImage(outside).bytes)), FormatError) << "data outside the resource section";
}

ByteView View(const std::vector<std::uint8_t>& bytes) { return ByteView(bytes.data(), bytes.size(), "version resource"); }

TEST(VersionResource, ReadsWhatItWritesAndStamps) {
  const std::vector<std::uint8_t> bytes = WriteVersionResource(VersionTree());
  EXPECT_EQ(WriteVersionResource(ReadVersionResource(View(bytes))), bytes);
  const VersionInfo info = ParseVersionInfo(View(bytes));
  EXPECT_EQ(info.String(u"ProductName"), u"VantorSetup");
  EXPECT_EQ(info.fileVersion, (VersionInfo::Version{1, 0, 0, 0}));

  const std::vector<std::uint8_t> stamped = StampVersionResource(View(bytes), Version{4, 2, 0, 17});
  const VersionInfo after = ParseVersionInfo(View(stamped));
  EXPECT_EQ(after.fileVersion, (VersionInfo::Version{4, 2, 0, 17}));
  EXPECT_EQ(after.productVersion, (VersionInfo::Version{4, 2, 0, 17}));
  EXPECT_EQ(after.String(u"FileVersion"), u"4.2.0.17");
  EXPECT_EQ(after.String(u"ProductName"), u"VantorSetup");
}

// Where the block with `key` starts in `bytes`.
std::size_t BlockOf(const std::vector<std::uint8_t>& bytes, const std::u16string& key) {
  std::vector<std::uint8_t> pattern;
  for (const char16_t unit : key) AppendLe16(pattern, unit);
  const auto at = std::search(bytes.begin(), bytes.end(), pattern.begin(), pattern.end());
  return static_cast<std::size_t>(at - bytes.begin()) - pe::version::kHeaderSize;
}

// One reader for every user: each of these is refused, by the image checks
// and by version stamping alike.
TEST(VersionResource, RefusesBlocksThatBreakTheirLengths) {
  const std::vector<std::uint8_t> good = WriteVersionResource(VersionTree());
  const std::size_t product = BlockOf(good, u"ProductName");
  std::vector<std::pair<const char*, std::vector<std::uint8_t>>> cases;
  auto valueTooLong = good;
  Put(valueTooLong, product + 2, 200, 2);
  cases.emplace_back("a value longer than its block", valueTooLong);
  auto keyPastNode = good;
  Put(keyPastNode, product, 12, 2);
  cases.emplace_back("a key running past its block", keyPastNode);
  VersionBlock deep = VersionTree();
  deep.children[0].children[0].children[0].children.push_back(Text(u"Deeper", u"x"));
  cases.emplace_back("blocks nested four deep", WriteVersionResource(deep));
  auto trailing = good;
  trailing.insert(trailing.end(), {0, 0, 0, 0});
  cases.emplace_back("four bytes after the root", trailing);
  auto trailingByte = good;
  trailingByte.push_back(1);
  cases.emplace_back("a non-zero byte after the root", trailingByte);
  for (const auto& [what, bytes] : cases) {
    EXPECT_THROW(ReadVersionResource(View(bytes)), FormatError) << what;
    EXPECT_THROW(ParseVersionInfo(View(bytes)), FormatError) << what;
    EXPECT_THROW(StampVersionResource(View(bytes), Version{}), FormatError) << what;
  }
}

}  // namespace
}  // namespace vantor::packaging
