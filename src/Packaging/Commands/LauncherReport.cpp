#include "Packaging/Commands/LauncherReport.h"

#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "Launcher/StubContract.h"
#include "Packaging/Branding/IconResource.h"
#include "Packaging/Branding/VersionResource.h"
#include "Packaging/Commands/Packer.h"
#include "Packaging/Image/PeResources.h"
#include "Packaging/Manifest/ManifestCheck.h"
#include "Packaging/PackError.h"
#include "Packaging/Signing/Authenticode.h"

namespace vantor::packaging {
namespace {

// A report's value: text, a number or a literal (true, false, null) as it
// is written, or an object of named values in order. One model, written as
// JSON or as indented text.
struct Value {
  enum class Kind { kText, kLiteral, kObject, kList };
  Kind kind = Kind::kLiteral;
  std::string text = "null";
  std::vector<std::pair<std::string, Value>> members;  // an object's; a list's under empty names

  static Value Text(std::string text) { return {Kind::kText, std::move(text), {}}; }
  static Value Number(std::uint64_t number) { return {Kind::kLiteral, std::to_string(number), {}}; }
  static Value Bool(bool value) { return {Kind::kLiteral, value ? "true" : "false", {}}; }
  static Value Null() { return {}; }
  static Value Object() { return {Kind::kObject, {}, {}}; }
  static Value List() { return {Kind::kList, {}, {}}; }
  Value& Add(std::string name, Value value) {
    members.emplace_back(std::move(name), std::move(value));
    return members.back().second;
  }
};

std::string JsonString(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

void WriteJson(const Value& value, std::string& out, int depth) {
  if (value.kind == Value::Kind::kText) out += JsonString(value.text);
  if (value.kind == Value::Kind::kLiteral) out += value.text;
  if (value.kind == Value::Kind::kText || value.kind == Value::Kind::kLiteral) return;
  const bool object = value.kind == Value::Kind::kObject;
  out += object ? "{" : "[";
  const std::string indent(static_cast<std::size_t>(2 * (depth + 1)), ' ');
  for (std::size_t i = 0; i < value.members.size(); ++i) {
    out += (i == 0 ? "\n" : ",\n") + indent;
    if (object) out += JsonString(value.members[i].first) + ": ";
    WriteJson(value.members[i].second, out, depth + 1);
  }
  if (!value.members.empty()) out += "\n" + std::string(static_cast<std::size_t>(2 * depth), ' ');
  out += object ? "}" : "]";
}

void WriteText(const Value& value, std::string& out, const std::string& indent) {
  for (const auto& [name, member] : value.members) {
    if (member.kind == Value::Kind::kObject) {
      out += indent + name + ":\n";
      WriteText(member, out, indent + "  ");
      continue;
    }
    std::string items;
    for (const auto& item : member.members) items += (items.empty() ? "" : ", ") + item.second.text;
    out += indent + name + ": " + (member.kind == Value::Kind::kList ? items : member.text) + "\n";
  }
}

std::string Utf8(std::u16string_view text) {
  std::string utf8;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t point = text[i];
    if (point >= 0xD800 && point < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
      point = 0x10000 + ((point - 0xD800) << 10) + (text[++i] - 0xDC00u);
    else if (point >= 0xD800 && point < 0xE000)
      point = 0xFFFD;  // a lone surrogate
    if (point < 0x80) {
      utf8 += static_cast<char>(point);
    } else if (point < 0x800) {
      utf8 += static_cast<char>(0xC0 | (point >> 6));
      utf8 += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
      utf8 += static_cast<char>(0xE0 | (point >> 12));
      utf8 += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (point & 0x3F));
    } else {
      utf8 += static_cast<char>(0xF0 | (point >> 18));
      utf8 += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
      utf8 += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (point & 0x3F));
    }
  }
  return utf8;
}

// The level attribute of the application manifest's requestedExecutionLevel.
Value ExecutionLevel(std::string_view manifest) {
  const std::size_t element = manifest.find("<requestedExecutionLevel");
  const std::size_t end = manifest.find('>', element);
  if (element == std::string_view::npos || end == std::string_view::npos) return Value::Null();
  const std::string_view tag = manifest.substr(element, end - element);
  for (const char quote : {'"', '\''}) {
    const std::string key = std::string(" level=") + quote;
    const std::size_t at = tag.find(key);
    const std::size_t close = at == std::string_view::npos ? at : tag.find(quote, at + key.size());
    if (close != std::string_view::npos) return Value::Text(std::string(tag.substr(at + key.size(), close - at - key.size())));
  }
  return Value::Null();
}

Value VersionStrings(const PeImage& image) {
  Value strings = Value::Object();
  const auto resource = FindResourceData(image, pe::kResourceVersion, 1);
  if (!resource) return strings;
  const VersionInfo info = ParseVersionInfo(*resource);
  if (!info.stringTables.empty())
    for (const auto& [key, value] : info.stringTables.front().values) strings.Add(Utf8(key), Value::Text(Utf8(value)));
  return strings;
}

// The sizes of the images of the launcher's first icon group: "16x16", ...
Value IconSizes(const PeImage& image) {
  Value sizes = Value::List();
  for (const Resource& resource : ReadResources(image)) {
    if (resource.type != ResourceId(pe::kResourceGroupIcon)) continue;
    for (const IconGroupEntry& entry : ReadIconGroup(ResourceData(image, resource))) {
      const unsigned width = entry.image.width == 0 ? 256 : entry.image.width;
      const unsigned height = entry.image.height == 0 ? 256 : entry.image.height;
      sizes.Add("", Value::Text(std::to_string(width) + "x" + std::to_string(height)));
    }
    break;
  }
  return sizes;
}

Value CertificateReport(const Der& der) {
  const CertificateFacts facts = ReadCertificateFacts(der);
  Value certificate = Value::Object();
  certificate.Add("subject", Value::Text(facts.subject));
  certificate.Add("not_before", Value::Text(facts.notBefore));
  certificate.Add("not_after", Value::Text(facts.notAfter));
  return certificate;
}

Value ManifestReport(ByteView bytes, ByteView installer) {
  const Manifest manifest = ParseManifest(AsText(bytes));
  Md5 md5;
  md5.Update(installer.Data(), installer.Size());
  Value report = Value::Object();
  report.Add("first_line", Value::Text(manifest.firstLine));
  report.Add("matches_installer",
             Value::Bool(manifest.installerSize == installer.Size() && manifest.installerMd5 == ToHex(md5.Finish())));
  report.Add("signer", Value::Text(ReadCertificateFacts(manifest.signerCertificate).subject));
  report.Add("signer_certificate", CertificateReport(manifest.signerCertificate));
  report.Add("ca_certificate", CertificateReport(manifest.caCertificate));
  std::optional<std::string> refusal;
  try {
    VerifyManifestSignature(manifest);
  } catch (const ManifestError& error) {
    refusal = std::string(error.Check()) + ": " + error.Detail();
  }
  report.Add("signature_verifies", Value::Bool(!refusal));
  report.Add("refused", refusal ? Value::Text(*refusal) : Value::Null());
  return report;
}

Value SecurityReport(const PeImage& image, std::string_view applicationManifest) {
  const auto flags = image.DllCharacteristics();
  const auto loadConfig = ReadLoadConfig(image);
  Value security = Value::Object();
  security.Add("aslr", Value::Bool(flags & pe::kDllDynamicBase));
  security.Add("high_entropy_va", Value::Bool(image.IsPe32Plus() && (flags & pe::kDllHighEntropyVa)));
  security.Add("dep", Value::Bool(flags & pe::kDllNxCompat));
  security.Add("cfg", Value::Bool(flags & pe::kDllGuardCf));
  security.Add("dependent_load_flags", loadConfig ? Value::Text(Hex(loadConfig->dependentLoadFlags)) : Value::Null());
  security.Add("requested_execution_level", ExecutionLevel(applicationManifest));
  return security;
}

Value Report(const PeImage& image, const std::string& what) {
  const auto installer = FindResourceData(image, pe::kResourceRcData, contract::kInstallerResource);
  const auto manifest = FindResourceData(image, pe::kResourceRcData, contract::kManifestResource);
  if (!installer || !manifest) throw InputError(what + " carries no installer and manifest (a stub, not a packed launcher)");
  Value report = Value::Object();
  report.Add("architecture", Value::Text(image.Machine() == pe::kMachineI386 ? "x86" : "x64"));
  report.Add("version_strings", VersionStrings(image));
  report.Add("icon_sizes", IconSizes(image));
  Value& installerReport = report.Add("installer", Value::Object());
  installerReport.Add("size", Value::Number(installer->Size()));
  const Sha256Digest sha256 = Sha256(installer->Data(), installer->Size());
  installerReport.Add("sha256", Value::Text(ToHex(sha256.data(), sha256.size())));
  report.Add("manifest", ManifestReport(*manifest, *installer));
  report.Add("security", SecurityReport(image, AsText(*FindResourceData(image, pe::kResourceManifest, 1))));
  // What the signature claims, read and not verified.
  const std::optional<AuthenticodeSignature> signature = ReadAuthenticode(image);
  Value& authenticode = report.Add("authenticode", Value::Object());
  authenticode.Add("signed", Value::Bool(signature.has_value()));
  authenticode.Add("signer", signature ? Value::Text(signature->signer) : Value::Null());
  // The time stamp's time under "timestamp" itself, so that one key answers
  // whether and when; null when there is none.
  const auto& timeStamp = signature ? signature->timeStamp : std::nullopt;
  authenticode.Add("timestamp", timeStamp ? Value::Text(timeStamp->time) : Value::Null());
  authenticode.Add("timestamp_authority", timeStamp ? Value::Text(timeStamp->authority) : Value::Null());
  authenticode.Add("timestamp_rfc3161", timeStamp ? Value::Bool(timeStamp->rfc3161) : Value::Null());
  return report;
}

}  // namespace

std::string InspectLauncher(const std::filesystem::path& path, ReportFormat format) {
  return InspectLauncher(File::OpenInput("launcher", path).ReadAll(kImageLimit), Describe("launcher", path), format);
}

std::string InspectLauncher(std::vector<std::uint8_t> bytes, const std::string& what, ReportFormat format) {
  const PeImage image = ReadLauncher(std::move(bytes), what);
  Value report;
  try {
    report = Report(image, what);
  } catch (const FormatError& error) {
    throw InputError(what + " is damaged: " + error.what());
  } catch (const ManifestError& error) {
    throw InputError(what + " is damaged: " + error.what());
  }
  std::string out;
  if (format == ReportFormat::kJson) {
    WriteJson(report, out, 0);
    out += '\n';
  } else {
    WriteText(report, out, "");
  }
  return out;
}

}  // namespace vantor::packaging
