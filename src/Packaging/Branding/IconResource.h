#pragma once

// Icons: an icon file (.ico) read into its images, and the icon group
// resource (RT_GROUP_ICON) that lists a launcher's icon images (RT_ICON), read
// and written. The layouts are in PeFormat.h.

#include <cstdint>
#include <vector>

#include "Packaging/Image/ByteView.h"

namespace vantor::packaging {

// One image of an icon, as a directory entry describes it. Width and height
// 0 stand for 256. The data is a PNG, or a DIB (BITMAPINFOHEADER, colour
// table, colour and mask bitmaps), exactly what an RT_ICON resource holds.
struct IconImage {
  std::uint8_t width = 0;
  std::uint8_t height = 0;
  std::uint8_t colorCount = 0;
  std::uint16_t planes = 0;
  std::uint16_t bitCount = 0;
  std::uint32_t size = 0;  // bytes of data
  ByteView data;           // empty when read from a group, which holds no data
};

// The images of the icon file `file`, their data referring to it. Raises
// FormatError unless it is an icon file (not a cursor) with at least one image
// and every image lies inside it and is a whole PNG or DIB of the size its
// entry states.
std::vector<IconImage> ReadIconFile(ByteView file);

// An entry of an icon group: the image's description and its RT_ICON id.
struct IconGroupEntry {
  IconImage image;
  std::uint16_t id = 0;
};

// Raises FormatError unless `group` is an icon group whose entries all lie inside it.
std::vector<IconGroupEntry> ReadIconGroup(ByteView group);
std::vector<std::uint8_t> WriteIconGroup(const std::vector<IconGroupEntry>& entries);

}  // namespace vantor::packaging
