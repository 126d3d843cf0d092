#include "Packaging/VersionStamp.h"

#include "Packaging/PackError.h"

namespace vantor::packaging {
namespace {

constexpr std::uint16_t kTextValue = 1;  // wType of a node whose value is a string

// One node of a VS_VERSIONINFO tree: wLength, wValueLength, wType, the key,
// the value and the children, each aligned to 4 bytes from the start of the
// resource. wValueLength counts words for a text value, bytes otherwise.
struct Node {
  std::u16string key;
  std::uint16_t type = 0;
  std::uint16_t valueLength = 0;
  std::vector<std::uint8_t> value;
  std::vector<Node> children;
};

std::size_t Align4(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  Node ReadNode(std::size_t offset, std::size_t limit) const {
    const std::size_t length = U16(offset);
    if (length < 6 || offset + length > limit) Malformed();
    const std::size_t end = offset + length;
    Node node;
    node.valueLength = U16(offset + 2);
    node.type = U16(offset + 4);
    std::size_t at = offset + 6;
    for (; U16(at) != 0; at += 2) node.key += static_cast<char16_t>(U16(at));
    at = Align4(at + 2);
    const std::size_t valueBytes = node.type == kTextValue ? node.valueLength * std::size_t{2} : node.valueLength;
    if (at + valueBytes > end) Malformed();
    node.value.assign(data_ + at, data_ + at + valueBytes);
    for (at = Align4(at + valueBytes); at < end; at = Align4(at + U16(at))) node.children.push_back(ReadNode(at, end));
    return node;
  }

 private:
  std::uint16_t U16(std::size_t offset) const {
    if (offset + 2 > size_) Malformed();
    return static_cast<std::uint16_t>(data_[offset] | data_[offset + 1] << 8);
  }
  [[noreturn]] static void Malformed() { throw InputError("stub: the version resource is malformed"); }

  const std::uint8_t* data_;
  std::size_t size_;
};

void PutU16(std::vector<std::uint8_t>& out, std::size_t offset, std::size_t value) {
  if (value > 0xFFFF) throw InputError("stub: the version resource grows too large");
  out[offset] = static_cast<std::uint8_t>(value);
  out[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Pad4(std::vector<std::uint8_t>& out) { out.resize(Align4(out.size())); }

void Write(const Node& node, std::vector<std::uint8_t>& out) {
  const std::size_t start = out.size();
  out.resize(start + 6);
  for (const char16_t unit : node.key) {
    out.push_back(static_cast<std::uint8_t>(unit));
    out.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  out.insert(out.end(), {0, 0});
  Pad4(out);
  out.insert(out.end(), node.value.begin(), node.value.end());
  for (const Node& child : node.children) {
    Pad4(out);
    Write(child, out);
  }
  PutU16(out, start, out.size() - start);
  PutU16(out, start + 2, node.valueLength);
  PutU16(out, start + 4, node.type);
}

void SetText(Node& node, const std::string& text) {
  node.value.clear();
  for (const char c : text) node.value.insert(node.value.end(), {static_cast<std::uint8_t>(c), 0});
  node.value.insert(node.value.end(), {0, 0});
  node.valueLength = static_cast<std::uint16_t>(text.size() + 1);
  node.type = kTextValue;
}

// The version strings live at StringFileInfo / <language> / <key>.
void StampStrings(Node& root, const std::string& text) {
  for (Node& block : root.children) {
    if (block.key != u"StringFileInfo") continue;
    for (Node& table : block.children)
      for (Node& value : table.children)
        if (value.key == u"FileVersion" || value.key == u"ProductVersion") SetText(value, text);
  }
}

std::uint32_t Get32(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t{bytes[offset + i]} << (8 * i);
  return value;
}

void PutU32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// VS_FIXEDFILEINFO: signature, structure version, then file and product
// versions as most and least significant words.
void StampFixedInfo(Node& root, const Version& version) {
  constexpr std::uint32_t kSignature = 0xFEEF04BD;
  const auto& value = root.value;
  if (value.size() < 52 || Get32(value, 0) != kSignature)
    throw InputError("stub: the version resource has no fixed file information");
  const std::uint32_t high = static_cast<std::uint32_t>(version[0]) << 16 | version[1];
  const std::uint32_t low = static_cast<std::uint32_t>(version[2]) << 16 | version[3];
  for (const std::size_t offset : {std::size_t{8}, std::size_t{16}}) {
    PutU32(root.value, offset, high);
    PutU32(root.value, offset + 4, low);
  }
}

}  // namespace

Version ParseVersion(std::string_view text) {
  Version version{};
  std::size_t part = 0;
  std::size_t digits = 0;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '.') {
      if (digits == 0 || part == 4) break;
      version[part++] = static_cast<std::uint16_t>(value);
      digits = value = 0;
    } else if (text[i] >= '0' && text[i] <= '9' && digits < 5) {
      value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
      if (value > 0xFFFF) break;
      ++digits;
    } else {
      break;
    }
    if (i == text.size() && part == 4) return version;
  }
  throw InputError("--version must be A.B.C.D, each 0-65535, not '" + std::string(text) + "'");
}

std::string FormatVersion(const Version& version) {
  return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." + std::to_string(version[2]) + "." +
         std::to_string(version[3]);
}

std::vector<std::uint8_t> StampVersionResource(const std::uint8_t* data, std::size_t size, const Version& version) {
  Node root = Reader(data, size).ReadNode(0, size);
  StampFixedInfo(root, version);
  StampStrings(root, FormatVersion(version));
  std::vector<std::uint8_t> out;
  Write(root, out);
  return out;
}

std::string StampManifestVersion(std::string_view manifest, const Version& version) {
  const std::size_t element = manifest.find("<assemblyIdentity");
  const std::size_t elementEnd = manifest.find('>', element);
  if (element == std::string_view::npos || elementEnd == std::string_view::npos)
    throw InputError("stub: the application manifest has no assemblyIdentity");
  const std::size_t attribute = manifest.substr(0, elementEnd).find(" version=\"", element);
  if (attribute == std::string_view::npos) throw InputError("stub: the manifest's assemblyIdentity has no version");
  const std::size_t start = attribute + 10;
  const std::size_t end = manifest.find('"', start);
  std::string stamped(manifest);
  stamped.replace(start, end - start, FormatVersion(version));
  return stamped;
}

}  // namespace vantor::packaging
