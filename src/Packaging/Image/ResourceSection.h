#pragma once

// A resource section written from scratch: the three-level directory (type,
// name, language), its data entries, the names, then the data.

#include <cstdint>
#include <functional>
#include <vector>

#include "Packaging/Image/PeResources.h"

namespace vantor::packaging {

class OutputImage;

// One resource to write: its place in the tree and its data, either bytes
// that outlive the section (the stub's own, or a caller's buffer) or produced
// by `stream` (exactly `size` bytes, written in pieces).
struct ResourceLeaf {
  ResourceId type = 0;
  ResourceId name = 0;
  ResourceId language = 0;
  std::uint32_t codePage = 0;
  ByteView bytes;
  std::uint64_t size = 0;
  std::function<void(OutputImage&)> stream;

  std::uint64_t DataSize() const { return stream ? size : bytes.Size(); }
};

// Where each part of the section goes. Directories are written breadth
// first, each with its named entries (by name) before its numbered ones
// (ascending), as the loader's lookup requires; then the data entries, the
// names, and each resource's data at an 8-byte boundary.
class ResourceSection {
 public:
  // Sorts `leaves`; two leaves at the same place raise InputError.
  ResourceSection(std::vector<ResourceLeaf> leaves, std::uint32_t sectionRva);

  // Bytes of the section as loaded (without padding to the file alignment).
  std::uint64_t Size() const { return size_; }
  const std::vector<ResourceLeaf>& Leaves() const { return leaves_; }
  void Write(OutputImage& out) const;

 private:
  std::vector<std::uint8_t> BuildDirectory() const;

  std::vector<ResourceLeaf> leaves_;
  std::uint32_t sectionRva_;
  std::vector<std::uint64_t> dataOffsets_;
  std::uint64_t size_ = 0;
};

}  // namespace vantor::packaging
