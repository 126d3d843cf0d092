// The packer's rules that the end-to-end packing tests cannot reach one by
// one: every form rule of the manifest (one spelling of each), the version syntax, where the
// manifest's version is stamped, and the resource directory's order.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Packaging/Branding/VersionStamp.h"
#include "Packaging/Files/FileIo.h"
#include "Packaging/Image/OutputImage.h"
#include "Packaging/Image/ResourceSection.h"
#include "Packaging/Manifest/ManifestCheck.h"
#include "Packaging/PackError.h"
#include "PackerTestSupport.h"

namespace vantor::packaging {
namespace {

TEST(Version, PartsFrom0To65535) {
  EXPECT_EQ(ParseVersion("0.0.0.0"), (Version{0, 0, 0, 0}));
  EXPECT_EQ(ParseVersion("65535.1.22.333"), (Version{65535, 1, 22, 333}));
  EXPECT_EQ(FormatVersion(Version{4, 2, 0, 17}), "4.2.0.17");
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.65536", "1..3.4", "1.2.3.4.", ".1.2.3", "+1.2.3.4",
                          "1.2.3.-4", "a.b.c.d", "1.2.3.4 ", "1.2.3.099999"})
    EXPECT_THROW(ParseVersion(bad), InputError) << bad;
}

TEST(Version, StampsTheAssemblyIdentityOnly) {
  const std::string manifest =
      "<?xml version=\"1.0\"?>\n<assembly manifestVersion=\"1.0\">\n"
      "  <assemblyIdentity type=\"win32\" name=\"Vantor.VantorSetup\" version=\"1.0.0.0\" processorArchitecture=\"x86\"/>\n"
      "  <dependency version=\"6.0.0.0\"/>\n</assembly>\n";
  std::string expected = manifest;
  expected.replace(expected.find("\"1.0.0.0\""), 9, "\"10.20.30.40\"");
  EXPECT_EQ(StampManifestVersion(manifest, Version{10, 20, 30, 40}), expected);
  EXPECT_THROW(StampManifestVersion("<assembly><dependency version=\"1.0.0.0\"/></assembly>", Version{}), InputError);
  EXPECT_THROW(StampManifestVersion("<assemblyIdentity name=\"x\"/><a version=\"1\"/>", Version{}), InputError);
  EXPECT_THROW(StampManifestVersion("<assemblyIdentity name=\"x\" xversion=\"1\"/>", Version{}), InputError);
}

// XML lets any whitespace separate attributes and surround '=', and either quote.
TEST(Version, ReadsTheAssemblyIdentityAsXmlHasIt) {
  for (const char* identity : {"<assemblyIdentity\tversion=\"1.0.0.0\" name=\"a\"/>",
                               "<assemblyIdentity\r\n    name=\"a\"\n    version=\"1.0.0.0\"/>",
                               "<assemblyIdentity  name=\"a\"  version = \"1.0.0.0\"/>",
                               "<assemblyIdentity name='a' version='1.0.0.0'></assemblyIdentity>"}) {
    const std::string stamped = StampManifestVersion(identity, Version{4, 2, 0, 17});
    EXPECT_NE(stamped.find("4.2.0.17"), std::string::npos) << identity;
    EXPECT_EQ(stamped.find("1.0.0.0"), std::string::npos) << identity;
    EXPECT_EQ(AssemblyIdentityAttribute(identity, "name"), "a") << identity;
  }
  EXPECT_EQ(AssemblyIdentityAttribute("<assemblyIdentityX version=\"1\"/><assemblyIdentity/>", "version"), std::nullopt);
  for (const char* malformed : {"<assemblyIdentity version", "<assemblyIdentity version=1.0/>", "<assemblyIdentity version=\"1.0/>"})
    EXPECT_THROW(AssemblyIdentityAttribute(malformed, "version"), InputError) << malformed;
}

// A manifest of the right form; only its form matters here.
const std::string kLine = "\"setup.exe\" 1234 0123456789abcdef0123456789abcdef";
const std::string kBase64Line = std::string(64, 'A');
std::string Certificate() { return "-----BEGIN CERTIFICATE-----\n" + kBase64Line + "\nQUJD\n-----END CERTIFICATE-----\n"; }
std::string GoodManifest() {
  return kLine + "\n-----BEGIN SIGNATURE-----\n" + kBase64Line + "\nQUI=\n-----END SIGNATURE-----\n" + Certificate() +
         Certificate();
}

TEST(Manifest, ReadsLineOneSignatureAndCertificates) {
  const Manifest manifest = ParseManifest(GoodManifest());
  EXPECT_EQ(manifest.firstLine, kLine);
  EXPECT_EQ(manifest.installerSize, 1234u);
  EXPECT_EQ(manifest.installerMd5, "0123456789abcdef0123456789abcdef");
  const auto decoded = [](std::string tail) {  // 64 'A's are 48 zero bytes
    std::vector<std::uint8_t> bytes(48, 0);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
  };
  EXPECT_EQ(manifest.signature, decoded("AB"));
  EXPECT_EQ(manifest.signerCertificate, decoded("ABC"));
  EXPECT_EQ(manifest.caCertificate, manifest.signerCertificate);
}

TEST(Manifest, RefusesEveryBreakOfForm) {
  const std::string good = GoodManifest();
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"byte-order mark", "\xEF\xBB\xBF" + good},
      {"CR LF", replaced("\n", "\r\n")},
      {"no final LF", good.substr(0, good.size() - 1)},
      {"upper-case MD5", replaced("abcdef0123", "ABCDEF0123")},
      {"short MD5", replaced("0123456789abcdef0123456789abcdef", "0123")},
      {"size with a leading zero", replaced(" 1234 ", " 01234 ")},
      {"file name not setup.exe", replaced("\"setup.exe\"", "\"Setup.exe\"")},
      {"base64 line of 65", replaced(kBase64Line + "\nQUI=", kBase64Line + "A\nQUI=")},
      {"base64 last line of 68", replaced(kBase64Line + "\nQUI=", kBase64Line + "\n" + std::string(64, 'A') + "QUI=")},
      {"base64 inner line of 60", replaced(kBase64Line + "\nQUI=", std::string(60, 'A') + "\nQUI=")},
      {"base64 padding bits not zero", replaced("QUI=", "QUJ=")},
      {"not base64", replaced("QUI=", "QU*=")},
      {"base64 padding inside", replaced("QUI=", "Q=I=")},
      {"base64 not in groups of four", replaced("QUI=", "QUI")},
      {"empty signature", replaced(kBase64Line + "\nQUI=\n", "")},
      {"no signature end", replaced("-----END SIGNATURE-----\n", "")},
      {"one certificate", good.substr(0, good.size() - Certificate().size())},
      {"three certificates", good + Certificate()},
      {"text after the certificates", good + "x\n"},
      {"blank line", replaced("-----END SIGNATURE-----\n", "-----END SIGNATURE-----\n\n")},
  };
  for (const auto& [name, text] : cases) EXPECT_THROW(ParseManifest(text), InputError) << name;
}

// Writes a resource section to a file and reads it back.
std::vector<std::uint8_t> Written(const ResourceSection& section) {
  const test::TemporaryFolder folder;
  {
    TemporaryOutput output(folder.Path() / "section");
    OutputImage out(output.Stream());
    section.Write(out);
    output.Commit();
  }
  return test::ReadFile(folder.Path() / "section");
}

using test::U32;

// The ids of one directory table, named ones as their text.
std::vector<std::string> Entries(const std::vector<std::uint8_t>& b, std::size_t table) {
  std::vector<std::string> ids;
  const std::size_t count = static_cast<std::size_t>(b[table + 12] | b[table + 13] << 8) + (b[table + 14] | b[table + 15] << 8);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t name = U32(b, table + 16 + 8 * i);
    if (name & 0x80000000) {
      const std::size_t at = name & 0x7FFFFFFF;
      std::string text;
      for (std::size_t c = 0; c < b[at]; ++c) text += static_cast<char>(b[at + 2 + 2 * c]);
      ids.push_back(text);
    } else {
      ids.push_back(std::to_string(name));
    }
  }
  return ids;
}

// A leaf whose data is the text of `data` (a literal, which outlives it).
ResourceLeaf Leaf(ResourceId type, ResourceId name, const char* data) {
  return {std::move(type), std::move(name), 0, 0, ByteView(reinterpret_cast<const std::uint8_t*>(data), std::strlen(data), "data"), 0, {}};
}
using test::Named;

TEST(ResourceSection, NamedEntriesFirstThenIdsAscendingAndDataAligned) {
  const std::uint32_t rva = 0x5000;
  const ResourceSection section({Leaf(10, 101, "m"), Leaf(Named(u"ZZ"), 1, "z"), Leaf(3, 1, "icon"),
                                 Leaf(10, 100, "installer"), Leaf(Named(u"AB"), Named(u"N"), "ab"),
                                 Leaf(10, Named(u"X"), "x")},
                                rva);
  const auto bytes = Written(section);
  ASSERT_EQ(bytes.size(), section.Size());
  EXPECT_EQ(Entries(bytes, 0), (std::vector<std::string>{"AB", "ZZ", "3", "10"}));
  const std::size_t rcdata = U32(bytes, 16 + 8 * 3 + 4) & 0x7FFFFFFF;
  EXPECT_EQ(Entries(bytes, rcdata), (std::vector<std::string>{"X", "100", "101"}));
  // RCDATA 100's data entry: its data at an 8-byte boundary, where the RVA says.
  const std::size_t language = U32(bytes, rcdata + 16 + 8 + 4) & 0x7FFFFFFF;
  const std::size_t entry = U32(bytes, language + 16 + 4);
  const std::uint32_t dataRva = U32(bytes, entry);
  EXPECT_EQ(dataRva % 8, 0u);
  EXPECT_EQ(U32(bytes, entry + 4), 9u);
  EXPECT_EQ(std::string(bytes.begin() + (dataRva - rva), bytes.begin() + (dataRva - rva) + 9), "installer");
}

TEST(ResourceSection, RefusesTwoResourcesAtOnePlace) {
  EXPECT_THROW(ResourceSection({Leaf(10, 100, "a"), Leaf(10, 100, "b")}, 0x1000), InputError);
}

}  // namespace
}  // namespace vantor::packaging
