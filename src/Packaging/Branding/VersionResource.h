#pragma once

// The version resource (VS_VERSIONINFO), read into a tree of blocks and
// written back from one: the one model of the format that the image checks
// read and version stamping rewrites.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Packaging/Image/ByteView.h"

namespace vantor::packaging {

// A block: a key, a value (UTF-16 text when `type` is pe::version::kTextType,
// else bytes) and child blocks. `valueLength` is the field as stored: code
// units for text, bytes otherwise.
struct VersionBlock {
  std::u16string key;
  std::uint16_t type = 0;
  std::uint16_t valueLength = 0;
  std::vector<std::uint8_t> value;
  std::vector<VersionBlock> children;
};

// Raises FormatError unless `resource` is one well-formed tree: every block at
// least its header and key long and inside its parent, its key's NUL and its
// value inside it, blocks nested at most three deep below the root, and after
// the root nothing but zero padding to a 4-byte boundary.
VersionBlock ReadVersionResource(ByteView resource);

// The tree as a resource, every length computed again (so values may change
// size); raises FormatError when a block outgrows its 16-bit length.
std::vector<std::uint8_t> WriteVersionResource(const VersionBlock& root);

// What a version resource says.
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

// Raises FormatError when `resource` is not a well-formed version resource
// whose root is VS_VERSION_INFO with, if any, a fixed part of the right form.
VersionInfo ParseVersionInfo(ByteView resource);

}  // namespace vantor::packaging
