#include "Packaging/Image/OutputImage.h"

#include <array>

namespace vantor::packaging {

void OutputImage::Write(const std::uint8_t* data, std::size_t size) {
  file_.Write(data, size);
  std::size_t i = 0;
  if (size > 0 && position_ % 2 == 1) sum_ += std::uint64_t{data[i++]} << 8;  // the high byte of a word begun before
  for (; i + 1 < size; i += 2) sum_ += data[i] | std::uint64_t{data[i + 1]} << 8;
  if (i < size) sum_ += data[i];
  position_ += size;
}

void OutputImage::PadTo(std::uint64_t offset) {
  static const std::array<std::uint8_t, 4096> kZeros{};
  while (position_ < offset) Write(kZeros.data(), static_cast<std::size_t>(std::min<std::uint64_t>(offset - position_, kZeros.size())));
}

std::uint32_t OutputImage::CheckSum() const {
  std::uint64_t sum = sum_;
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + position_);
}

}  // namespace vantor::packaging
