#include "Packaging/Branding/IconResource.h"

#include <string>

#include "Packaging/Image/PeFormat.h"

namespace vantor::packaging {
namespace {

namespace i = pe::icon;

constexpr std::uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::uint8_t kPngEnd[] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};  // the IEND chunk, always these bytes
constexpr std::size_t kPngWidth = 16;  // in the IHDR chunk, which comes first; big-endian
constexpr std::size_t kPngHeight = 20;

// BITMAPINFOHEADER fields.
constexpr std::size_t kBitmapHeaderSize = 40;
constexpr std::size_t kBitmapWidth = 4;
constexpr std::size_t kBitmapHeight = 8;  // the colour and mask bitmaps', so twice the icon's
constexpr std::size_t kBitmapPlanes = 12;
constexpr std::size_t kBitmapBitCount = 14;
constexpr std::size_t kBitmapCompression = 16;
constexpr std::size_t kBitmapColorsUsed = 32;

// The fields an icon file's entry and an icon group's share.
IconImage Described(ByteView entry) {
  return {entry.U8(i::kWidth), entry.U8(i::kHeight), entry.U8(i::kColorCount), entry.U16(i::kPlanes), entry.U16(i::kBitCount),
          entry.U32(i::kBytesInRes), {}};
}

std::uint32_t Pixels(std::uint8_t entrySize) { return entrySize == 0 ? 256 : entrySize; }

std::uint32_t BigEndian32(ByteView bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(bytes.U8(offset)) << 24 | static_cast<std::uint32_t>(bytes.U8(offset + 1)) << 16 |
         static_cast<std::uint32_t>(bytes.U8(offset + 2)) << 8 | bytes.U8(offset + 3);
}

bool StartsWith(ByteView bytes, const std::uint8_t* prefix, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i)
    if (i >= bytes.Size() || bytes.U8(i) != prefix[i]) return false;
  return true;
}

void CheckPng(const IconImage& image, const std::string& what) {
  const ByteView& data = image.data;
  if (BigEndian32(data, kPngWidth) != Pixels(image.width) || BigEndian32(data, kPngHeight) != Pixels(image.height))
    throw FormatError(what + " is a PNG of another size than its entry states");
  if (data.Size() < sizeof kPngSignature + sizeof kPngEnd ||
      !StartsWith(data.From(data.Size() - sizeof kPngEnd, "PNG end"), kPngEnd, sizeof kPngEnd))
    throw FormatError(what + " is a PNG without its end");
}

// An uncompressed DIB: header, colour table, then the colour and the mask
// bitmaps, rows padded to 4 bytes.
void CheckBitmap(const IconImage& image, const std::string& what) {
  const ByteView& data = image.data;
  const std::uint32_t headerSize = data.U32(0);
  const std::uint32_t width = Pixels(image.width);
  const std::uint32_t height = Pixels(image.height);
  if (headerSize < kBitmapHeaderSize || data.U32(kBitmapWidth) != width || data.U32(kBitmapHeight) != 2 * height ||
      data.U16(kBitmapPlanes) != 1 || data.U32(kBitmapCompression) != 0)
    throw FormatError(what + " is neither a PNG nor an uncompressed bitmap of the size its entry states");
  const std::uint16_t bits = data.U16(kBitmapBitCount);
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
    throw FormatError(what + " has " + std::to_string(bits) + " bits per pixel");
  const std::uint64_t colorsUsed = data.U32(kBitmapColorsUsed);
  const std::uint64_t colors = bits > 8 ? colorsUsed : colorsUsed != 0 ? colorsUsed : std::uint64_t{1} << bits;
  const auto rowBytes = [](std::uint64_t pixels, std::uint64_t bitsPerPixel) { return (pixels * bitsPerPixel + 31) / 32 * 4; };
  const std::uint64_t needed = headerSize + 4 * colors + (rowBytes(width, bits) + rowBytes(width, 1)) * height;
  if (data.Size() < needed) throw FormatError(what + " is cut short (" + Hex(data.Size()) + " of " + Hex(needed) + " bytes)");
}

}  // namespace

std::vector<IconImage> ReadIconFile(ByteView file) {
  if (file.Size() < i::kHeaderSize || file.U16(0) != 0 || file.U16(i::kType) != i::kIconType)
    throw FormatError("not an icon file (.ico)");
  const std::size_t count = file.U16(i::kCount);
  if (count == 0) throw FormatError("the icon file holds no image");
  const ByteView entries = file.Sub(i::kHeaderSize, count * i::kFileEntrySize, "icon directory");
  std::vector<IconImage> images;
  for (std::size_t n = 0; n < count; ++n) {
    const ByteView entry = entries.Sub(n * i::kFileEntrySize, i::kFileEntrySize, "icon directory entry");
    IconImage image = Described(entry);
    const std::string what = "icon image " + std::to_string(n + 1);
    if (image.size == 0) throw FormatError(what + " is empty");
    image.data = file.Sub(entry.U32(i::kFileOffset), image.size, "icon image");
    if (StartsWith(image.data, kPngSignature, sizeof kPngSignature))
      CheckPng(image, what);
    else
      CheckBitmap(image, what);
    images.push_back(image);
  }
  return images;
}

std::vector<IconGroupEntry> ReadIconGroup(ByteView group) {
  if (group.U16(0) != 0 || group.U16(i::kType) != i::kIconType) throw FormatError("Icon group has a wrong header");
  const std::size_t count = group.U16(i::kCount);
  const ByteView entries = group.Sub(i::kHeaderSize, count * i::kGroupEntrySize, "icon group entries");
  std::vector<IconGroupEntry> result;
  for (std::size_t n = 0; n < count; ++n) {
    const ByteView entry = entries.Sub(n * i::kGroupEntrySize, i::kGroupEntrySize, "icon group entry");
    result.push_back({Described(entry), entry.U16(i::kGroupId)});
  }
  return result;
}

std::vector<std::uint8_t> WriteIconGroup(const std::vector<IconGroupEntry>& entries) {
  std::vector<std::uint8_t> out(i::kHeaderSize + i::kGroupEntrySize * entries.size());
  PutLe16(out, i::kType, i::kIconType, "icon group");
  PutLe16(out, i::kCount, To16(entries.size(), "icon image count"), "icon group");
  for (std::size_t n = 0; n < entries.size(); ++n) {
    const std::size_t at = i::kHeaderSize + n * i::kGroupEntrySize;
    const IconImage& image = entries[n].image;
    out[at + i::kWidth] = image.width;
    out[at + i::kHeight] = image.height;
    out[at + i::kColorCount] = image.colorCount;
    PutLe16(out, at + i::kPlanes, image.planes, "icon group");
    PutLe16(out, at + i::kBitCount, image.bitCount, "icon group");
    PutLe32(out, at + i::kBytesInRes, image.size, "icon group");
    PutLe16(out, at + i::kGroupId, entries[n].id, "icon group");
  }
  return out;
}

}  // namespace vantor::packaging
