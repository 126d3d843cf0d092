#pragma once

// What the packer's tests share: a scratch folder, little-endian fields
// (written out here, not taken from the code under test), names for resource
// ids, a small image to damage, and a version resource.

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "Packaging/Branding/VersionResource.h"
#include "Packaging/Image/PeFormat.h"
#include "Packaging/Image/PeResources.h"

namespace vantor::packaging::test {

// A new folder under the temporary directory, removed with its content.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "packer-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16 | static_cast<std::uint32_t>(b.at(at + 3)) << 24;
}
inline void Put(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t value, std::size_t width = 4) {
  for (std::size_t i = 0; i < width; ++i) b.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
}

// A named resource id; its UTF-16LE bytes live as long as the test program.
inline ResourceId Named(const std::u16string& name) {
  static std::deque<std::vector<std::uint8_t>> names;
  std::vector<std::uint8_t>& bytes = names.emplace_back();
  for (const char16_t unit : name) {
    bytes.push_back(static_cast<std::uint8_t>(unit));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return ResourceId(ByteView(bytes.data(), bytes.size(), "name"));
}

// A small PE32 image: headers of 0x400 bytes (file alignment 0x200, section
// alignment 0x1000), then .text, .rsrc holding `resources` (laid out for RVA
// 0x2000) and .reloc (one block for .text's page, without entries), each
// section's file data right after the previous one.
struct SmallImage {
  static constexpr std::size_t kOptional = 0x58;  // PE signature at 0x40, file header at 0x44
  static constexpr std::size_t kSections = kOptional + 0xE0;
  static constexpr std::uint32_t kResourceRva = 0x2000;
  enum Field : std::size_t { kVirtualSize = 8, kVirtualAddress = 12, kSizeOfRawData = 16, kPointerToRawData = 20 };
  static std::size_t SectionField(std::size_t section, Field field) { return kSections + 40 * section + field; }
  static std::size_t Directory(std::size_t index) { return kOptional + 96 + 8 * index; }

  std::vector<std::uint8_t> bytes;

  explicit SmallImage(const std::vector<std::uint8_t>& resources = std::vector<std::uint8_t>(16)) {
    const auto align = [](std::uint64_t value, std::uint64_t to) { return (value + to - 1) / to * to; };
    const std::uint64_t rsrcRaw = align(resources.size(), 0x200);
    const std::uint64_t relocRva = align(kResourceRva + resources.size(), 0x1000);
    bytes.assign(0x400 + 0x200 + rsrcRaw + 0x200, 0);
    Put(bytes, 0, 0x5A4D, 2);
    Put(bytes, 0x3C, 0x40);
    Put(bytes, 0x40, 0x4550);
    Put(bytes, 0x44, 0x14C, 2);  // i386
    Put(bytes, 0x46, 3, 2);
    Put(bytes, 0x54, 0xE0, 2);
    Put(bytes, 0x56, 0x102, 2);
    Put(bytes, kOptional, 0x10B, 2);
    Put(bytes, kOptional + 32, 0x1000);
    Put(bytes, kOptional + 36, 0x200);
    Put(bytes, kOptional + 56, relocRva + 0x1000);
    Put(bytes, kOptional + 60, 0x400);
    Put(bytes, kOptional + 92, 16);
    Put(bytes, kOptional + 96 + 8 * 2, kResourceRva);
    Put(bytes, kOptional + 96 + 8 * 2 + 4, resources.size());
    Put(bytes, kOptional + 96 + 8 * 5, relocRva);
    Put(bytes, kOptional + 96 + 8 * 5 + 4, 8);
    const struct {
      const char* name;
      std::uint64_t rva, size, raw, pointer;
    } sections[] = {{".text", 0x1000, 0x200, 0x200, 0x400},
                    {".rsrc", kResourceRva, resources.size(), rsrcRaw, 0x600},
                    {".reloc", relocRva, 8, 0x200, 0x600 + rsrcRaw}};
    for (std::size_t i = 0; i < 3; ++i) {
      for (std::size_t c = 0; sections[i].name[c] != '\0'; ++c) bytes[kSections + 40 * i + c] = static_cast<std::uint8_t>(sections[i].name[c]);
      Put(bytes, SectionField(i, kVirtualSize), sections[i].size);
      Put(bytes, SectionField(i, kVirtualAddress), sections[i].rva);
      Put(bytes, SectionField(i, kSizeOfRawData), sections[i].raw);
      Put(bytes, SectionField(i, kPointerToRawData), sections[i].pointer);
    }
    std::copy(resources.begin(), resources.end(), bytes.begin() + 0x600);
    Put(bytes, 0x600 + rsrcRaw, 0x1000);
    Put(bytes, 0x600 + rsrcRaw + 4, 8);
  }
  std::size_t RelocationsOffset() const { return bytes.size() - 0x200; }
};

inline VersionBlock Text(const char16_t* key, const std::u16string& value) {
  VersionBlock block{key, pe::version::kTextType, static_cast<std::uint16_t>(value.size() + 1), {}, {}};
  for (const char16_t unit : value + u'\0') AppendLe16(block.value, unit);
  return block;
}

// VS_VERSION_INFO with fixed information for 1.0.0.0 and its usual blocks.
inline VersionBlock VersionTree() {
  std::vector<std::uint8_t> fixed(52);
  Put(fixed, 0, 0xFEEF04BD);
  Put(fixed, 8, 0x10000);
  Put(fixed, 16, 0x10000);
  VersionBlock table{u"040904B0", 1, 0, {}, {Text(u"ProductName", u"VantorSetup"), Text(u"FileVersion", u"1.0.0.0")}};
  VersionBlock strings{u"StringFileInfo", 1, 0, {}, {table}};
  VersionBlock translation{u"Translation", 0, 4, {0x09, 0x04, 0xB0, 0x04}, {}};
  VersionBlock variables{u"VarFileInfo", 1, 0, {}, {translation}};
  return {u"VS_VERSION_INFO", 0, 52, fixed, {strings, variables}};
}

}  // namespace vantor::packaging::test
