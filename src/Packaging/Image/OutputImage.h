#pragma once

// The packed image as it is written: bytes in order, with the optional
// header's checksum computed on the way.

#include <cstdint>
#include <vector>

#include "Packaging/Files/FileIo.h"

namespace vantor::packaging {

class OutputImage {
 public:
  explicit OutputImage(File& file) : file_(file) {}

  void Write(const std::uint8_t* data, std::size_t size);
  void Write(const std::vector<std::uint8_t>& bytes) { Write(bytes.data(), bytes.size()); }
  // Zeros up to the file offset `offset`.
  void PadTo(std::uint64_t offset);
  std::uint64_t Position() const { return position_; }

  // The image checksum of everything written, the checksum field being
  // written as zero: the 16-bit one's-complement sum of the file's
  // little-endian words, plus the file's length.
  std::uint32_t CheckSum() const;

 private:
  File& file_;
  std::uint64_t position_ = 0;
  std::uint64_t sum_ = 0;  // of 16-bit words; carries are folded in at the end
};

}  // namespace vantor::packaging
