#include "Packaging/Branding/VersionStamp.h"

#include <algorithm>
#include <iterator>

#include "Packaging/Branding/VersionResource.h"
#include "Packaging/Image/PeFormat.h"
#include "Packaging/PackError.h"

namespace vantor::packaging {
namespace {

namespace v = pe::version;

// The standard string keys, which Explorer and the version API know.
constexpr std::u16string_view kStringKeys[] = {u"CompanyName",     u"FileDescription",  u"ProductName", u"LegalCopyright",
                                               u"OriginalFilename", u"InternalName",    u"ProductVersion", u"FileVersion",
                                               u"Comments",        u"LegalTrademarks"};

void SetText(VersionBlock& block, std::u16string_view text) {
  block.value.clear();
  for (const char16_t unit : text) AppendLe16(block.value, unit);
  AppendLe16(block.value, 0);
  block.valueLength = To16(text.size() + 1, "version string length");
  block.type = v::kTextType;
}

void SetText(VersionBlock& block, const std::string& text) { SetText(block, std::u16string(text.begin(), text.end())); }

// Strict UTF-8 (no overlong forms, surrogates or code points past U+10FFFF)
// as UTF-16; nothing when `text` is not UTF-8.
std::optional<std::u16string> Utf16FromUtf8(std::string_view text) {
  std::u16string result;
  for (std::size_t at = 0; at < text.size();) {
    const auto lead = static_cast<std::uint8_t>(text[at]);
    const std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || at + length > text.size()) return std::nullopt;
    char32_t point = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
      const auto next = static_cast<std::uint8_t>(text[at + i]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      point = point << 6 | (next & 0x3F);
    }
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kSmallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return std::nullopt;
    if (point >= 0x10000) {
      result.push_back(static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10)));
      result.push_back(static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
    } else {
      result.push_back(static_cast<char16_t>(point));
    }
    at += length;
  }
  return result;
}

std::string Utf8Key(std::u16string_view key) { return std::string(key.begin(), key.end()); }  // the keys are ASCII

// Each string table: StringFileInfo / <language>.
template <typename Visit>
void ForEachStringTable(VersionBlock& root, Visit visit) {
  for (VersionBlock& block : root.children)
    if (block.key == u"StringFileInfo")
      for (VersionBlock& table : block.children) visit(table);
}

void SetStrings(VersionBlock& root, const VersionStrings& strings) {
  bool found = false;
  ForEachStringTable(root, [&](VersionBlock& table) {
    found = true;
    for (const VersionString& string : strings) {
      auto value = std::find_if(table.children.begin(), table.children.end(), [&](const VersionBlock& b) { return b.key == string.key; });
      if (value == table.children.end()) value = table.children.insert(table.children.end(), VersionBlock{string.key, 0, 0, {}, {}});
      SetText(*value, string.value);
    }
  });
  if (!found && !strings.empty()) throw InputError("stub: the version resource has no string table to set --version-string values in");
}

// The version strings live at StringFileInfo / <language> / <key>.
void StampStrings(VersionBlock& root, const std::string& text) {
  ForEachStringTable(root, [&](VersionBlock& table) {
    for (VersionBlock& value : table.children)
      if (value.key == u"FileVersion" || value.key == u"ProductVersion") SetText(value, text);
  });
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
  return StampVersionResource(resource, std::optional<Version>(version), {});
}

void AddVersionString(VersionStrings& strings, std::string_view argument) {
  const std::size_t equals = argument.find('=');
  const std::string_view key = argument.substr(0, equals);
  const auto known = std::find_if(std::begin(kStringKeys), std::end(kStringKeys), [&](std::u16string_view k) { return Utf8Key(k) == key; });
  if (equals == std::string_view::npos || known == std::end(kStringKeys))
    throw InputError("--version-string takes KEY=VALUE, KEY one of " + VersionStringKeys() + ", not '" + std::string(key) + "'");
  if (std::any_of(strings.begin(), strings.end(), [&](const VersionString& s) { return s.key == *known; }))
    throw InputError("--version-string " + std::string(key) + " given twice");
  const std::optional<std::u16string> value = Utf16FromUtf8(argument.substr(equals + 1));
  if (!value) throw InputError("--version-string " + std::string(key) + ": the value is not UTF-8");
  if (value->find(u'\0') != std::u16string::npos) throw InputError("--version-string " + std::string(key) + ": the value holds a NUL");
  // The value's block (header, key, value, each NUL-terminated) has a 16-bit length.
  const std::uint64_t block = AlignUp(v::kHeaderSize + 2 * (known->size() + 1), v::kAlignment) + 2 * (value->size() + 1);
  if (block > 0xFFFF)
    throw InputError("--version-string " + std::string(key) + ": the value is too long for a version resource (" +
                     std::to_string(value->size()) + " UTF-16 units)");
  strings.push_back({std::u16string(*known), *value});
}

std::string VersionStringKeys() {
  std::string keys;
  for (const std::u16string_view key : kStringKeys) keys += (keys.empty() ? "" : ", ") + Utf8Key(key);
  return keys;
}

std::vector<std::uint8_t> StampVersionResource(ByteView resource, const std::optional<Version>& version, const VersionStrings& strings) {
  VersionBlock root = ReadVersionResource(resource);
  if (version) {
    StampFixedInfo(root, *version);
    StampStrings(root, FormatVersion(*version));
  }
  SetStrings(root, strings);
  try {
    return WriteVersionResource(root);
  } catch (const FormatError&) {
    throw InputError("the version resource with the --version-string values given is larger than the format allows (64 KiB)");
  }
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
