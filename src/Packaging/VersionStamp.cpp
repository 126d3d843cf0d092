#include "Packaging/VersionStamp.h"

#include "Packaging/PackError.h"
#include "Packaging/PeFormat.h"
#include "Packaging/VersionResource.h"

namespace vantor::packaging {
namespace {

namespace v = pe::version;

void SetText(VersionBlock& block, const std::string& text) {
  block.value.clear();
  for (const char c : text) AppendLe16(block.value, static_cast<std::uint8_t>(c));
  AppendLe16(block.value, 0);
  block.valueLength = static_cast<std::uint16_t>(text.size() + 1);
  block.type = v::kTextType;
}

// The version strings live at StringFileInfo / <language> / <key>.
void StampStrings(VersionBlock& root, const std::string& text) {
  for (VersionBlock& block : root.children) {
    if (block.key != u"StringFileInfo") continue;
    for (VersionBlock& table : block.children)
      for (VersionBlock& value : table.children)
        if (value.key == u"FileVersion" || value.key == u"ProductVersion") SetText(value, text);
  }
}

void StampFixedInfo(VersionBlock& root, const Version& version) {
  auto& value = root.value;
  if (value.size() < v::kFixedInfoSize || ByteView(value.data(), value.size(), "version value").U32(0) != v::kFixedInfoSignature)
    throw InputError("stub: the version resource has no fixed file information");
  const std::uint32_t high = static_cast<std::uint32_t>(version[0]) << 16 | version[1];
  const std::uint32_t low = static_cast<std::uint32_t>(version[2]) << 16 | version[3];
  for (const std::size_t offset : {v::kFixedFileVersion, v::kFixedProductVersion}) {
    PutLe32(value, offset, high, "fixed version information");
    PutLe32(value, offset + 4, low, "fixed version information");
  }
}

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Where the value of attribute `name` of the manifest's first assemblyIdentity
// element lies: [first, second). Attributes are read as XML has them: any
// whitespace around names and '=', values in double or single quotes.
std::optional<std::pair<std::size_t, std::size_t>> AttributeValue(std::string_view manifest, std::string_view name) {
  constexpr std::string_view kElement = "<assemblyIdentity";
  std::size_t at = 0;
  for (;; at += kElement.size()) {
    at = manifest.find(kElement, at);
    if (at == std::string_view::npos) throw InputError("stub: the application manifest has no assemblyIdentity");
    const std::size_t next = at + kElement.size();
    if (next < manifest.size() && (IsXmlSpace(manifest[next]) || manifest[next] == '/' || manifest[next] == '>')) break;
  }
  const auto malformed = [] { return InputError("stub: the application manifest's assemblyIdentity is malformed"); };
  for (at += kElement.size();;) {
    while (at < manifest.size() && IsXmlSpace(manifest[at])) ++at;
    if (at == manifest.size()) throw malformed();
    if (manifest[at] == '/' || manifest[at] == '>') return std::nullopt;
    const std::size_t nameStart = at;
    while (at < manifest.size() && !IsXmlSpace(manifest[at]) && manifest[at] != '=' && manifest[at] != '/' && manifest[at] != '>') ++at;
    const std::string_view attribute = manifest.substr(nameStart, at - nameStart);
    while (at < manifest.size() && IsXmlSpace(manifest[at])) ++at;
    if (at == manifest.size() || manifest[at] != '=') throw malformed();
    for (++at; at < manifest.size() && IsXmlSpace(manifest[at]);) ++at;
    if (at == manifest.size() || (manifest[at] != '"' && manifest[at] != '\'')) throw malformed();
    const std::size_t valueStart = at + 1;
    const std::size_t valueEnd = manifest.find(manifest[at], valueStart);
    if (valueEnd == std::string_view::npos) throw malformed();
    if (attribute == name) return std::pair{valueStart, valueEnd};
    at = valueEnd + 1;
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

std::vector<std::uint8_t> StampVersionResource(ByteView resource, const Version& version) {
  VersionBlock root = ReadVersionResource(resource);
  StampFixedInfo(root, version);
  StampStrings(root, FormatVersion(version));
  return WriteVersionResource(root);
}

std::optional<std::string> AssemblyIdentityAttribute(std::string_view manifest, std::string_view name) {
  const auto value = AttributeValue(manifest, name);
  if (!value) return std::nullopt;
  return std::string(manifest.substr(value->first, value->second - value->first));
}

std::string StampManifestVersion(std::string_view manifest, const Version& version) {
  const auto value = AttributeValue(manifest, "version");
  if (!value) throw InputError("stub: the manifest's assemblyIdentity has no version");
  std::string stamped(manifest);
  stamped.replace(value->first, value->second - value->first, FormatVersion(version));
  return stamped;
}

}  // namespace vantor::packaging
