#include "Packaging/Signing/Authenticode.h"

#include <array>
#include <cstdio>

#include "Packaging/Manifest/Der.h"
#include "Packaging/Manifest/X509.h"
#include "Packaging/PackError.h"

namespace vantor::packaging {
namespace {

using namespace der;

constexpr const char* kWhat = "Authenticode signature";

// WIN_CERTIFICATE: dwLength (the header included), wRevision,
// wCertificateType, then the certificate; entries start 8-byte aligned.
constexpr std::size_t kEntryHeaderSize = 8;
constexpr std::size_t kEntryAlignment = 8;
constexpr std::uint16_t kRevision2 = 0x0200;
constexpr std::uint16_t kPkcsSignedData = 0x0002;

// Object identifiers as their DER contents.
constexpr std::array<std::uint8_t, 9> kSignedData = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
constexpr std::array<std::uint8_t, 10> kSpcIndirectData = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};
constexpr std::array<std::uint8_t, 11> kTstInfo = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x01, 0x04};
constexpr std::array<std::uint8_t, 9> kCounterSignature = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x06};
constexpr std::array<std::uint8_t, 9> kSigningTime = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x05};
constexpr std::array<std::uint8_t, 10> kRfc3161TimeStamp = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x03, 0x03, 0x01};

// Short names of the usual name attributes (2.5.4.x, and the e-mail address).
struct NameAttribute {
  std::array<std::uint8_t, 9> oid;
  std::size_t size;
  const char* label;
};
constexpr std::array<NameAttribute, 8> kNameAttributes = {{
    {{0x55, 0x04, 0x03}, 3, "CN"},
    {{0x55, 0x04, 0x05}, 3, "serialNumber"},
    {{0x55, 0x04, 0x06}, 3, "C"},
    {{0x55, 0x04, 0x07}, 3, "L"},
    {{0x55, 0x04, 0x08}, 3, "ST"},
    {{0x55, 0x04, 0x0A}, 3, "O"},
    {{0x55, 0x04, 0x0B}, 3, "OU"},
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x01}, 9, "emailAddress"},
}};
constexpr std::uint8_t kUtf8String = 0x0C;
constexpr std::uint8_t kPrintableString = 0x13;
constexpr std::uint8_t kT61String = 0x14;
constexpr std::uint8_t kIa5String = 0x16;
constexpr std::uint8_t kBmpString = 0x1E;

std::string Escaped(unsigned value, const char* format) {
  char text[8];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string AttributeValueText(std::uint8_t tag, ByteView value) {
  std::string text;
  if (tag == kBmpString) {
    if (value.Size() % 2 != 0) throw InputError(std::string(kWhat) + " is not DER: a BMP string of an odd length");
    for (std::size_t i = 0; i < value.Size(); i += 2) {
      const unsigned unit = static_cast<unsigned>(value.U8(i) << 8 | value.U8(i + 1));
      text += unit >= 0x20 && unit < 0x7F ? std::string(1, static_cast<char>(unit)) : Escaped(unit, "\\u%04X");
    }
    return text;
  }
  if (tag != kUtf8String && tag != kPrintableString && tag != kT61String && tag != kIa5String) {
    for (std::size_t i = 0; i < value.Size(); ++i) text += Escaped(value.U8(i), i == 0 ? "#%02X" : "%02X");
    return text;
  }
  for (std::size_t i = 0; i < value.Size(); ++i) {
    const unsigned byte = value.U8(i);
    text += byte >= 0x20 && byte < 0x7F && byte != '\\' ? std::string(1, static_cast<char>(byte)) : Escaped(byte, "\\x%02X");
  }
  return text;
}

// A SignerInfo's parts: who signed (issuer and serial number; empty for a
// signer named by key identifier) and its attributes.
struct SignerInfo {
  ByteView issuer;
  ByteView serial;
  ByteView authenticated;    // [0] attributes, or empty
  ByteView unauthenticated;  // [1] attributes, or empty
};

SignerInfo ReadSignerInfo(ByteView contents) {
  DerReader info(contents, kWhat);
  SignerInfo signer;
  info.Read(kInteger, "signer version");
  if (info.Next(Primitive(0))) {
    info.Read(Primitive(0), "signer key identifier");
  } else {
    DerReader id(info.Read(kSequence, "signer's issuer and serial number"), kWhat);
    signer.issuer = id.Read(kSequence, "signer's issuer");
    signer.serial = id.Read(kInteger, "signer's serial number");
    id.End("signer's issuer and serial number");
  }
  info.Read(kSequence, "signer's digest algorithm");
  if (info.Next(Constructed(0))) signer.authenticated = info.Read(Constructed(0), "authenticated attributes");
  info.Read(kSequence, "signature algorithm");
  info.Read(kOctetString, "signature");
  if (info.Next(Constructed(1))) signer.unauthenticated = info.Read(Constructed(1), "unauthenticated attributes");
  info.End("signer info");
  return signer;
}

// The subject of the certificate in `certificates` that issuer and serial
// number name; empty when none does.
std::string SubjectOf(ByteView certificates, const SignerInfo& signer) {
  DerReader set(certificates, kWhat);
  while (!set.AtEnd()) {
    if (!set.Next(kSequence)) {  // another kind of certificate: skipped
      set.Read(set.Tag(), "other certificate");
      continue;
    }
    const CertificateFields fields = ReadCertificateFields(set.Read(kSequence, "certificate"), kWhat);
    if (!signer.issuer.Empty() && Equal(fields.issuer, signer.issuer) && Equal(fields.serial, signer.serial))
      return NameText(fields.subject);
  }
  return {};
}

// A ContentInfo holding SignedData of `contentType`, with one signer.
struct SignedData {
  ByteView content;  // the encapsulated content's [0] contents
  ByteView certificates;
  SignerInfo signer;
};

template <typename Oid>
SignedData ReadSignedDataOf(ByteView contentInfoContents, const Oid& contentType, const char* name) {
  DerReader contentInfo(contentInfoContents, kWhat);
  if (!Equal(contentInfo.Read(kObjectId, "content type"), kSignedData))
    throw InputError(std::string(kWhat) + ": the " + name + " is not PKCS#7 signed data");
  DerReader explicitContent(contentInfo.Read(Constructed(0), "signed data"), kWhat);
  contentInfo.End("content info");
  DerReader signedData(explicitContent.Read(kSequence, "signed data"), kWhat);
  explicitContent.End("signed data");
  signedData.Read(kInteger, "signed data version");
  signedData.Read(kSet, "digest algorithms");
  DerReader encapsulated(signedData.Read(kSequence, "encapsulated content"), kWhat);
  SignedData parts;
  const ByteView type = encapsulated.Read(kObjectId, "encapsulated content type");
  if (encapsulated.Next(Constructed(0))) parts.content = encapsulated.Read(Constructed(0), "encapsulated content");
  encapsulated.End("encapsulated content");
  if (!Equal(type, contentType)) throw InputError(std::string(kWhat) + ": the " + name + " carries other content (" + DottedOid(type) + ")");
  if (signedData.Next(Constructed(0))) parts.certificates = signedData.Read(Constructed(0), "certificates");
  signedData.Skip(Constructed(1), "revocation lists");
  DerReader signers(signedData.Read(kSet, "signer infos"), kWhat);
  signedData.End("signed data");
  parts.signer = ReadSignerInfo(signers.Read(kSequence, "signer info"));
  if (!signers.AtEnd()) throw InputError(std::string(kWhat) + ": the " + name + " has more than one signer");
  return parts;
}

// "YYMMDDHHMMSSZ" (UTCTime) or "YYYYMMDDHHMMSS[.fff]Z" (GeneralizedTime) as
// "YYYY-MM-DDTHH:MM:SSZ".
std::string TimeText(std::uint8_t tag, ByteView value) {
  const std::string text(AsText(value));
  const std::size_t yearDigits = tag == kUtcTime ? 2 : 4;
  const std::size_t digits = yearDigits + 10;
  std::size_t end = digits;
  bool valid = true;
  if (tag == kGeneralizedTime && end < text.size() && text[end] == '.') {
    for (++end; end < text.size() && text[end] >= '0' && text[end] <= '9';) ++end;
    valid = end > digits + 1;  // a fraction has digits
  }
  valid = valid && text.size() == end + 1 && text[end] == 'Z';
  for (std::size_t i = 0; valid && i < digits; ++i) valid = text[i] >= '0' && text[i] <= '9';
  const auto field = [&](std::size_t at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); };
  valid = valid && field(yearDigits) >= 1 && field(yearDigits) <= 12 && field(yearDigits + 2) >= 1 &&
          field(yearDigits + 2) <= 31 && field(yearDigits + 4) < 24 && field(yearDigits + 6) < 60 &&
          field(yearDigits + 8) < 61;
  if (!valid) throw InputError(std::string(kWhat) + ": a time that is not a DER time (" + AttributeValueText(kIa5String, value) + ")");
  const std::string year = tag == kUtcTime ? (field(0) >= 50 ? "19" : "20") + text.substr(0, 2) : text.substr(0, 4);
  const auto at = [&](std::size_t i) { return text.substr(yearDigits + i, 2); };
  return year + "-" + at(0) + "-" + at(2) + "T" + at(4) + ":" + at(6) + ":" + at(8) + "Z";
}

// An RFC 3161 time-stamp token: the time from its TSTInfo, the authority
// from its signer's certificate.
TimeStamp ReadRfc3161(ByteView token) {
  const SignedData parts = ReadSignedDataOf(token, kTstInfo, "time-stamp token");
  DerReader explicitContent(parts.content, kWhat);
  DerReader octets(explicitContent.Read(kOctetString, "time-stamp info"), kWhat);
  explicitContent.End("time-stamp info");
  DerReader info(octets.Read(kSequence, "time-stamp info"), kWhat);
  octets.End("time-stamp info");
  info.Read(kInteger, "time-stamp version");
  info.Read(kObjectId, "time-stamp policy");
  info.Read(kSequence, "time-stamp message imprint");
  info.Read(kInteger, "time-stamp serial number");
  TimeStamp stamp;
  stamp.time = TimeText(kGeneralizedTime, info.Read(kGeneralizedTime, "time-stamp time"));
  stamp.authority = SubjectOf(parts.certificates, parts.signer);
  stamp.rfc3161 = true;
  return stamp;
}

// A legacy countersignature: a SignerInfo whose signing time attribute is
// the time; its certificate travels with the signature's own.
TimeStamp ReadCountersignature(ByteView signerInfo, ByteView certificates) {
  const SignerInfo counter = ReadSignerInfo(signerInfo);
  DerReader attributes(counter.authenticated, kWhat);
  while (!attributes.AtEnd()) {
    DerReader attribute(attributes.Read(kSequence, "countersignature attribute"), kWhat);
    const bool signingTime = Equal(attribute.Read(kObjectId, "countersignature attribute type"), kSigningTime);
    DerReader values(attribute.Read(kSet, "countersignature attribute values"), kWhat);
    if (!signingTime) continue;
    const std::uint8_t tag = values.Next(kUtcTime) ? kUtcTime : kGeneralizedTime;
    return {TimeText(tag, values.Read(tag, "signing time")), SubjectOf(certificates, counter), false};
  }
  throw InputError(std::string(kWhat) + ": its countersignature has no signing time");
}

}  // namespace

std::string NameText(ByteView name) {
  std::string text;
  DerReader names(name, kWhat);
  while (!names.AtEnd()) {
    DerReader relative(names.Read(kSet, "relative name"), kWhat);
    while (!relative.AtEnd()) {
      DerReader attribute(relative.Read(kSequence, "name attribute"), kWhat);
      const ByteView oid = attribute.Read(kObjectId, "name attribute type");
      const std::uint8_t tag = attribute.Tag();
      const ByteView value = attribute.Read(tag, "name attribute value");
      attribute.End("name attribute");
      std::string label = DottedOid(oid);
      for (const NameAttribute& known : kNameAttributes)
        if (Equal(oid, ByteView(known.oid.data(), known.size, "name attribute type"))) label = known.label;
      text += (text.empty() ? "" : ", ") + label + "=" + AttributeValueText(tag, value);
    }
  }
  return text;
}

AuthenticodeSignature ReadSignedData(ByteView pkcs7) {
  try {
    DerReader file(pkcs7, kWhat);
    const SignedData parts = ReadSignedDataOf(file.Read(kSequence, "content info"), kSpcIndirectData, "signature");
    // WIN_CERTIFICATE pads its certificate with zeros to 8 bytes.
    const ByteView padding = file.Rest();
    for (std::size_t i = 0; i < padding.Size(); ++i)
      if (padding.Size() >= kEntryAlignment || padding.U8(i) != 0)
        throw InputError(std::string(kWhat) + ": bytes after its end");
    AuthenticodeSignature signature;
    signature.signer = SubjectOf(parts.certificates, parts.signer);
    if (signature.signer.empty()) throw InputError(std::string(kWhat) + ": the signer's certificate is not in it");
    DerReader attributes(parts.signer.unauthenticated, kWhat);
    while (!attributes.AtEnd() && !signature.timeStamp) {
      DerReader attribute(attributes.Read(kSequence, "attribute"), kWhat);
      const ByteView type = attribute.Read(kObjectId, "attribute type");
      DerReader values(attribute.Read(kSet, "attribute values"), kWhat);
      attribute.End("attribute");
      if (Equal(type, kRfc3161TimeStamp)) signature.timeStamp = ReadRfc3161(values.Read(kSequence, "time-stamp token"));
      if (Equal(type, kCounterSignature))
        signature.timeStamp = ReadCountersignature(values.Read(kSequence, "countersignature"), parts.certificates);
    }
    return signature;
  } catch (const FormatError& error) {
    throw InputError(std::string(kWhat) + " is cut short: " + error.what());
  }
}

std::optional<AuthenticodeSignature> ReadAuthenticode(const PeImage& image) {
  const DataDirectory directory = image.DirectoryEntry(Directory::kSecurity);
  if (directory.rva == 0 && directory.size == 0) return std::nullopt;
  try {
    // The one directory whose address is a file offset.
    const ByteView table = image.Bytes().Sub(directory.rva, directory.size, "security directory");
    for (std::size_t at = 0; at < table.Size();) {
      const std::uint32_t length = table.U32(at);
      if (length < kEntryHeaderSize) throw InputError(std::string(kWhat) + ": a certificate entry of " + Hex(length) + " bytes");
      const ByteView entry = table.Sub(at, length, "certificate entry");
      if (entry.U16(4) == kRevision2 && entry.U16(6) == kPkcsSignedData)
        return ReadSignedData(entry.From(kEntryHeaderSize, "signature"));
      // The entry lies inside the directory, so this is at most 7 bytes past its end.
      at = static_cast<std::size_t>(AlignUp(std::uint64_t{at} + length, kEntryAlignment));
    }
  } catch (const FormatError& error) {
    throw InputError(std::string(kWhat) + ": " + error.what());
  }
  throw InputError(std::string(kWhat) + ": the security directory holds no PKCS#7 signature");
}

}  // namespace vantor::packaging
