#pragma once

// An image's resources: the three-level tree (type, name, language) as a flat
// list of leaves that refer to the image's bytes (names and data are not
// copied).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Packaging/Image/ByteView.h"
#include "Packaging/Image/PeFormat.h"
#include "Packaging/Image/PeImage.h"

namespace vantor::packaging {

// A resource type, name or language: a number, or a name of UTF-16LE code
// units held in bytes that outlive the id (the image's, or a caller's).
class ResourceId {
 public:
  ResourceId(std::uint32_t number) : number_(number) {}  // implicit: most ids are numbers
  explicit ResourceId(ByteView name) : named_(true), name_(name) {}

  bool IsNamed() const { return named_; }
  std::uint32_t Number() const { return number_; }
  // The name's code units as stored (UTF-16LE), without a length or a NUL.
  ByteView NameUnits() const { return name_; }
  std::u16string Name() const { return name_.U16String(0, name_.Size() / 2); }

  friend bool operator==(const ResourceId& a, const ResourceId& b);
  friend bool operator!=(const ResourceId& a, const ResourceId& b) { return !(a == b); }
  // The order of a directory's entries: names by their code units, then numbers.
  friend bool operator<(const ResourceId& a, const ResourceId& b);

 private:
  bool named_ = false;
  std::uint32_t number_ = 0;
  ByteView name_;
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

// Every resource, in tree order. An image without resources has none. Raises
// FormatError for a tree that is not three levels deep or points outside the
// section holding it, and for one that describes more bytes (tables, entries,
// names, data entries and data, each counted every time the walk reaches it)
// than the whole image holds: a sound tree shares little or nothing, while a
// hostile one reuses its parts to make a small file stand for huge resources;
// and for one of more than 4,096 entries (all levels), so that the walk's
// memory and time stay small whatever the image's size.
std::vector<Resource> ReadResources(const PeImage& image);

// The data of `resource`.
ByteView ResourceData(const PeImage& image, const Resource& resource);

// The data of the first resource of `type` and `name`, in whatever language.
std::optional<ByteView> FindResourceData(const PeImage& image, const ResourceId& type, const ResourceId& name);

}  // namespace vantor::packaging
