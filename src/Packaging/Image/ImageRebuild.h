#pragma once

// The stub's image around a new resource section: everything before the
// section is kept byte for byte but the header fields that describe the
// layout; the sections after it (only .reloc, which lld places last) move
// with its end, unchanged. File offsets keep the stub's file alignment, so
// sections stay page-aligned in the file when the stub's are.

#include <cstdint>
#include <string>

#include "Packaging/Files/FileIo.h"
#include "Packaging/Image/PeImage.h"
#include "Packaging/Image/ResourceSection.h"

namespace vantor::packaging {

struct StubLayout {
  std::size_t resources = 0;  // the resource section's index in the section table
};

// Raises InputError for a stub whose resource section cannot be rebuilt: it
// has none of its own, a section other than .reloc or a data directory lies
// after it, or data follows the last section.
StubLayout CheckLayout(const PeImage& image, const std::string& what);

class RebuiltImage {
 public:
  // Raises InputError when the image would grow past 2 GiB, or the file past
  // the stub's size plus what is new in it (payload, stamped values, the
  // resource directory) plus the file alignment.
  RebuiltImage(const PeImage& image, const StubLayout& layout, const ResourceSection& resources);

  // Writes the whole image, then its checksum (computed as the loader does).
  void WriteTo(File& file) const;

 private:
  std::vector<std::uint8_t> Prefix() const;

  const PeImage& image_;
  const StubLayout& layout_;
  const ResourceSection& resources_;
  std::uint64_t rawSize_ = 0;
  std::int64_t virtualShift_ = 0;
  std::int64_t fileShift_ = 0;
  std::uint64_t sizeOfImage_ = 0;
};

}  // namespace vantor::packaging
