#pragma once

// An image's resources: the three-level tree (type, name, language) as a flat
// list of leaves, their data, and the version resource's contents.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Packaging/ByteView.h"
#include "Packaging/PeImage.h"

namespace vantor::packaging {

namespace pe {
inline constexpr std::uint16_t kResourceIcon = 3;
inline constexpr std::uint16_t kResourceRcData = 10;
inline constexpr std::uint16_t kResourceGroupIcon = 14;
inline constexpr std::uint16_t kResourceVersion = 16;
inline constexpr std::uint16_t kResourceManifest = 24;
}  // namespace pe

// A resource type, name or language: a number, or a UTF-16 string.
class ResourceId {
 public:
  ResourceId(std::uint32_t number) : number_(number) {}  // implicit: most ids are numbers
  explicit ResourceId(std::u16string name) : named_(true), name_(std::move(name)) {}

  bool IsNamed() const { return named_; }
  std::uint32_t Number() const { return number_; }
  const std::u16string& Name() const { return name_; }

  friend bool operator==(const ResourceId& a, const ResourceId& b) {
    return a.named_ == b.named_ && (a.named_ ? a.name_ == b.name_ : a.number_ == b.number_);
  }
  friend bool operator!=(const ResourceId& a, const ResourceId& b) { return !(a == b); }

 private:
  bool named_ = false;
  std::uint32_t number_ = 0;
  std::u16string name_;
};

// One leaf of the resource tree: where it sits, and its data entry.
struct Resource {
  ResourceId type = 0;
  ResourceId name = 0;
  ResourceId language = 0;
  std::uint32_t dataRva = 0;
  std::uint32_t size = 0;
  std::uint32_t codePage = 0;
};

// Every resource, in tree order. An image without resources has none; a tree
// that is not three levels deep, or that points outside its section, raises
// FormatError.
std::vector<Resource> ReadResources(const PeImage& image);

// The data of `resource`.
ByteView ResourceData(const PeImage& image, const Resource& resource);

// The data of the first resource of `type` and `name`, in whatever language.
std::optional<ByteView> FindResourceData(const PeImage& image, const ResourceId& type, const ResourceId& name);

// The contents of a version resource (VS_VERSIONINFO).
struct VersionInfo {
  using Version = std::array<std::uint16_t, 4>;  // A.B.C.D

  struct StringTable {
    std::u16string language;  // language and code page in hex, such as "040904B0"
    std::vector<std::pair<std::u16string, std::u16string>> values;
  };

  Version fileVersion{};  // from the fixed part
  Version productVersion{};
  std::vector<StringTable> stringTables;

  // The value of `key` in the first string table that has it.
  std::optional<std::u16string> String(std::u16string_view key) const;
};

// Raises FormatError when `resource` is not a well-formed version resource.
VersionInfo ParseVersionInfo(ByteView resource);

}  // namespace vantor::packaging
