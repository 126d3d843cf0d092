#include "Packaging/Manifest/ManifestCheck.h"

#include <algorithm>
#include <vector>

#include "Packaging/Manifest/CertificateRules.h"
#include "Packaging/PackError.h"

namespace vantor::packaging {
namespace {

constexpr std::string_view kSignatureBegin = "-----BEGIN SIGNATURE-----";
constexpr std::string_view kSignatureEnd = "-----END SIGNATURE-----";
constexpr std::string_view kCertificateBegin = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kCertificateEnd = "-----END CERTIFICATE-----";
constexpr std::size_t kBase64Line = 64;

[[noreturn]] void Refuse(const std::string& rule) { throw ManifestError("form", rule); }

std::vector<std::string_view> SplitLines(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") Refuse("it starts with a byte-order mark");
  if (text.find('\r') != std::string_view::npos) Refuse("CR in line ends (LF only)");
  if (text.empty() || text.back() != '\n') Refuse("no line feed after the last line");
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool IsDecimal(std::string_view text) {
  return !text.empty() && text.size() <= 19 && (text == "0" || text[0] != '0') &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsLowerHex(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool IsBase64Text(std::string_view line) {
  return std::all_of(line.begin(), line.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=';
  });
}

// Base64 in its one canonical spelling: whole groups of four characters, '='
// only as the last one or two, and the bits the padding leaves over zero.
std::vector<std::uint8_t> DecodeBase64(std::string_view text, const char* what) {
  static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) Refuse(std::string(what) + ": base64 is not in groups of four characters");
  const std::size_t padding = text.size() >= 2 && text.substr(text.size() - 2) == "==" ? 2
                              : !text.empty() && text.back() == '='                  ? 1
                                                                                     : 0;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t value = i < text.size() - padding ? kAlphabet.find(text[i]) : 0;
    if (value == std::string_view::npos) Refuse(std::string(what) + ": '=' inside base64");
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    if (i % 4 != 3) continue;
    for (int shift = 16; shift >= 0; shift -= 8) bytes.push_back(static_cast<std::uint8_t>(bits >> shift));
    bits = 0;
  }
  if (std::any_of(bytes.end() - static_cast<std::ptrdiff_t>(padding), bytes.end(), [](std::uint8_t byte) { return byte != 0; }))
    Refuse(std::string(what) + ": base64 whose padding bits are not zero");
  bytes.resize(bytes.size() - padding);
  return bytes;
}

// `"setup.exe" <size> <md5>`
void ParseFirstLine(std::string_view line, Manifest& manifest) {
  constexpr std::string_view kName = "\"setup.exe\" ";
  const std::size_t space = line.rfind(' ');
  if (line.substr(0, kName.size()) != kName || space < kName.size()) Refuse("line 1 is not '\"setup.exe\" <size> <md5>'");
  const std::string_view size = line.substr(kName.size(), space - kName.size());
  const std::string_view md5 = line.substr(space + 1);
  if (!IsDecimal(size) || md5.size() != 32 || !IsLowerHex(md5)) Refuse("line 1 is not '\"setup.exe\" <size> <md5>'");
  manifest.firstLine = std::string(line);
  manifest.installerSize = std::stoull(std::string(size));
  manifest.installerMd5 = std::string(md5);
}

// Lines [at, end of block) of base64 up to `endLine`, 64 characters each but
// the last (1 to 64); returns the index after it.
std::size_t ReadBlock(const std::vector<std::string_view>& lines, std::size_t at, std::string_view endLine,
                      std::string& base64, const char* what) {
  const std::size_t first = at;
  for (; at < lines.size() && lines[at] != endLine; ++at) {
    if (!IsBase64Text(lines[at]) || lines[at].empty() || lines[at].size() > kBase64Line ||
        (at > first && lines[at - 1].size() != kBase64Line))
      Refuse(std::string(what) + ": lines must be base64 of 64 characters, the last of 1 to 64");
    base64 += lines[at];
  }
  if (at == lines.size() || base64.empty()) Refuse(std::string(what) + ": no '" + std::string(endLine) + "'");
  return at + 1;
}

// `bytes` as base64 lines of 64 characters, the last of 1 to 64, each with its line feed.
void AppendBase64Lines(const std::vector<std::uint8_t>& bytes, std::string& text) {
  static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string base64;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t bits = 0;
    for (std::size_t j = 0; j < 3; ++j) bits = (bits << 8) | (j < count ? bytes[i + j] : 0);
    for (std::size_t j = 0; j < 4; ++j) base64 += j <= count ? kAlphabet[(bits >> (18 - 6 * j)) & 0x3F] : '=';
  }
  for (std::size_t at = 0; at < base64.size(); at += kBase64Line) text.append(base64, at, kBase64Line) += '\n';
}

void AppendBlock(std::string_view begin, const std::vector<std::uint8_t>& bytes, std::string_view end, std::string& text) {
  text.append(begin) += '\n';
  AppendBase64Lines(bytes, text);
  text.append(end) += '\n';
}

}  // namespace

Manifest ParseManifest(std::string_view text) {
  const auto lines = SplitLines(text);
  Manifest manifest;
  ParseFirstLine(lines[0], manifest);
  if (lines.size() < 2 || lines[1] != kSignatureBegin) Refuse("line 2 is not '" + std::string(kSignatureBegin) + "'");
  std::string base64;
  std::size_t at = ReadBlock(lines, 2, kSignatureEnd, base64, "signature");
  manifest.signature = DecodeBase64(base64, "signature");
  for (auto* der : {&manifest.signerCertificate, &manifest.caCertificate}) {
    if (at == lines.size() || lines[at] != kCertificateBegin) Refuse("expected two PEM certificates after the signature");
    base64.clear();
    at = ReadBlock(lines, at + 1, kCertificateEnd, base64, "certificate");
    *der = DecodeBase64(base64, "certificate");
  }
  if (at != lines.size()) Refuse("text after the second certificate");
  return manifest;
}

void VerifyManifestSignature(const Manifest& manifest) {
  CheckCertificateRules(manifest.signerCertificate, manifest.caCertificate);
  VerifySignature(manifest.firstLine, manifest.signature, manifest.signerCertificate);
  VerifyIssuedBy(manifest.signerCertificate, manifest.caCertificate);
}

void CheckInstallerSize(const Manifest& manifest, std::uint64_t size) {
  if (manifest.installerSize != size)
    throw ManifestError("size", "it says " + std::to_string(manifest.installerSize) + " bytes, the installer has " +
                                    std::to_string(size));
}

void CheckInstallerDigest(const Manifest& manifest, const Md5Digest& digest) {
  if (manifest.installerMd5 != ToHex(digest))
    throw ManifestError("md5", "it says " + manifest.installerMd5 + ", the installer has " + ToHex(digest));
}

std::string FormatManifest(const Manifest& manifest) {
  std::string text = manifest.firstLine + '\n';
  AppendBlock(kSignatureBegin, manifest.signature, kSignatureEnd, text);
  AppendBlock(kCertificateBegin, manifest.signerCertificate, kCertificateEnd, text);
  AppendBlock(kCertificateBegin, manifest.caCertificate, kCertificateEnd, text);
  return text;
}

std::vector<std::uint8_t> ReadPemCertificate(std::string_view text, const std::string& what) {
  std::string base64;
  bool inside = false, ended = false;
  for (std::size_t start = 0; start < text.size() && !ended;) {
    std::size_t end = std::min(text.find('\n', start), text.size());
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    start = end + 1;
    if (!inside) {
      inside = line == kCertificateBegin;
    } else if (line == kCertificateEnd) {
      ended = true;
    } else if (!IsBase64Text(line)) {
      break;
    } else {
      base64 += line;
    }
  }
  if (!ended || base64.empty()) throw InputError(what + " is not a PEM certificate");
  try {
    return DecodeBase64(base64, "certificate");
  } catch (const ManifestError& error) {
    throw InputError(what + " is not a PEM certificate: " + error.Detail());
  }
}

std::string ToHex(const std::uint8_t* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const std::uint8_t* byte = bytes; byte != bytes + size; ++byte) {
    hex += kDigits[*byte >> 4];
    hex += kDigits[*byte & 0xF];
  }
  return hex;
}

}  // namespace vantor::packaging
