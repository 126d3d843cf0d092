#include "Packaging/Branding/VersionResource.h"

#include <algorithm>

#include "Packaging/Image/PeFormat.h"

namespace vantor::packaging {
namespace {

namespace v = pe::version;

std::size_t Align4(std::size_t offset) { return static_cast<std::size_t>(AlignUp(offset, v::kAlignment)); }

// The block at the start of `bytes`, which runs to the end of its parent.
VersionBlock ReadBlock(ByteView bytes, int depth) {
  if (depth > v::kMaxDepth) throw FormatError("Version resource nests deeper than " + std::to_string(v::kMaxDepth) + " blocks");
  const std::size_t length = bytes.U16(v::kLength);
  if (length < v::kHeaderSize + 2) throw FormatError("Version block of " + Hex(length) + " bytes is shorter than its header and key");
  const ByteView block = bytes.Sub(0, length, "version block");
  VersionBlock result;
  result.valueLength = block.U16(v::kValueLength);
  result.type = block.U16(v::kType);
  result.key = block.U16CString(v::kHeaderSize);
  const std::size_t valueStart = Align4(v::kHeaderSize + 2 * (result.key.size() + 1));
  const std::size_t valueBytes = (result.type == v::kTextType ? 2u : 1u) * std::size_t{result.valueLength};
  if (valueBytes != 0) {
    const ByteView value = block.Sub(valueStart, valueBytes, "version value");
    result.value.assign(value.Data(), value.Data() + value.Size());
  }
  for (std::size_t offset = Align4(valueStart + valueBytes); offset < block.Size();) {
    result.children.push_back(ReadBlock(block.From(offset, "version block"), depth + 1));
    offset = Align4(offset + block.U16(offset + v::kLength));
  }
  return result;
}

void WriteBlock(const VersionBlock& block, std::vector<std::uint8_t>& out) {
  const std::size_t start = out.size();
  out.resize(start + v::kHeaderSize);
  for (const char16_t unit : block.key) AppendLe16(out, unit);
  AppendLe16(out, 0);
  out.resize(Align4(out.size()));
  out.insert(out.end(), block.value.begin(), block.value.end());
  for (const VersionBlock& child : block.children) {
    out.resize(Align4(out.size()));
    WriteBlock(child, out);
  }
  PutLe16(out, start + v::kLength, To16(out.size() - start, "version block length"), "version resource");
  PutLe16(out, start + v::kValueLength, block.valueLength, "version resource");
  PutLe16(out, start + v::kType, block.type, "version resource");
}

// A text value, up to its terminating NUL.
std::u16string Text(const std::vector<std::uint8_t>& value) {
  const ByteView bytes(value.data(), value.size(), "version value");
  std::u16string text = bytes.U16String(0, value.size() / 2);
  text.erase(std::min(text.find(u'\0'), text.size()));
  return text;
}

VersionInfo::Version VersionAt(ByteView fixed, std::size_t offset) {
  const std::uint32_t high = fixed.U32(offset);
  const std::uint32_t low = fixed.U32(offset + 4);
  return {static_cast<std::uint16_t>(high >> 16), static_cast<std::uint16_t>(high),
          static_cast<std::uint16_t>(low >> 16), static_cast<std::uint16_t>(low)};
}

}  // namespace

VersionBlock ReadVersionResource(ByteView resource) {
  VersionBlock root = ReadBlock(resource, 0);
  const std::size_t end = resource.U16(v::kLength);
  for (std::size_t i = end; i < resource.Size(); ++i) {
    if (i >= Align4(end) || resource.U8(i) != 0)
      throw FormatError("Version resource has " + Hex(resource.Size() - end) + " bytes after its root block");
  }
  return root;
}

std::vector<std::uint8_t> WriteVersionResource(const VersionBlock& root) {
  std::vector<std::uint8_t> out;
  WriteBlock(root, out);
  return out;
}

VersionInfo ParseVersionInfo(ByteView resource) {
  const VersionBlock root = ReadVersionResource(resource);
  if (root.key != u"VS_VERSION_INFO") throw FormatError("Version resource does not start with VS_VERSION_INFO");
  VersionInfo info;
  if (!root.value.empty()) {
    const ByteView fixed = ByteView(root.value.data(), root.value.size(), "version value").Sub(0, v::kFixedInfoSize, "fixed version information");
    if (fixed.U32(0) != v::kFixedInfoSignature) throw FormatError("Fixed version information has a wrong signature");
    info.fileVersion = VersionAt(fixed, v::kFixedFileVersion);
    info.productVersion = VersionAt(fixed, v::kFixedProductVersion);
  }
  for (const VersionBlock& block : root.children) {
    if (block.key != u"StringFileInfo") continue;  // VarFileInfo holds only the translations
    for (const VersionBlock& table : block.children) {
      VersionInfo::StringTable strings{table.key, {}};
      for (const VersionBlock& value : table.children) strings.values.emplace_back(value.key, Text(value.value));
      info.stringTables.push_back(std::move(strings));
    }
  }
  return info;
}

std::optional<std::u16string> VersionInfo::String(std::u16string_view key) const {
  for (const StringTable& table : stringTables) {
    for (const auto& [name, value] : table.values) {
      if (name == key) return value;
    }
  }
  return std::nullopt;
}

}  // namespace vantor::packaging
