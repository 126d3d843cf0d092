// The Authenticode reader on hand-made signatures and security directories:
// the parts that signatures made by tools/pack (tests/tools/signing-tests.sh)
// do not show, such as a legacy countersignature and damaged entries.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "Packaging/PackError.h"
#include "Packaging/Signing/Authenticode.h"
#include "PackerTestSupport.h"

namespace vantor::packaging {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A DER element of `tag` around its parts, one after another.
Bytes Der(std::uint8_t tag, std::initializer_list<Bytes> parts) {
  Bytes contents;
  for (const Bytes& part : parts) contents.insert(contents.end(), part.begin(), part.end());
  const auto size = static_cast<std::uint8_t>(contents.size());
  Bytes element = contents.size() < 0x80    ? Bytes{tag, size}
                  : contents.size() < 0x100 ? Bytes{tag, 0x81, size}
                                            : Bytes{tag, 0x82, static_cast<std::uint8_t>(contents.size() >> 8), size};
  std::copy(contents.begin(), contents.end(), std::back_inserter(element));
  return element;
}
Bytes Text(std::uint8_t tag, const std::string& text) { return Der(tag, {Bytes(text.begin(), text.end())}); }
Bytes Oid(Bytes contents) { return Der(0x06, {contents}); }
Bytes Cn(const std::string& name) { return Der(0x30, {Der(0x31, {Der(0x30, {Oid({0x55, 0x04, 0x03}), Text(0x0C, name)})})}); }

const Bytes kSerial = Der(0x02, {{0x07}});
const Bytes kAlgorithm = Der(0x30, {Oid({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B})});

// A certificate with only the fields the reader reads filled in.
Bytes Certificate(const std::string& subject, const Bytes& serial = kSerial) {
  const Bytes validity = Der(0x30, {Text(0x17, "010101000000Z"), Text(0x17, "020101000000Z")});
  return Der(0x30, {Der(0x30, {serial, kAlgorithm, Cn("Test CA"), validity, Cn(subject), Der(0x30, {})}), kAlgorithm,
                    Der(0x03, {{0x00}})});
}

Bytes SignerInfo(const Bytes& authenticated, const Bytes& unauthenticated) {
  return Der(0x30, {Der(0x02, {{0x01}}), Der(0x30, {Cn("Test CA"), kSerial}), kAlgorithm, authenticated, kAlgorithm,
                    Der(0x04, {{0x55}}), unauthenticated});
}

// Signed data as Authenticode has it, by "Legacy Signer", countersigned at `time`.
Bytes LegacySignature(const Bytes& time) {
  const Bytes signingTime = Der(0x30, {Oid({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x05}), Der(0x31, {time})});
  const Bytes counter = SignerInfo(Der(0xA0, {signingTime}), {});
  const Bytes attribute = Der(0x30, {Oid({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x06}), Der(0x31, {counter})});
  const Bytes signedData =
      Der(0x30, {Der(0x02, {{0x01}}), Der(0x31, {}), Der(0x30, {Oid({0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04})}),
                 Der(0xA0, {Certificate("Other", Der(0x02, {{0x08}})), Certificate("Legacy Signer")}), Der(0x31, {SignerInfo({}, Der(0xA1, {attribute}))})});
  return Der(0x30, {Oid({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02}), Der(0xA0, {signedData})});
}

// The small test image with `table` as its security directory, after its last section.
PeImage Signed(const Bytes& table, std::uint32_t extraSize = 0) {
  test::SmallImage image;
  const std::size_t at = image.bytes.size();
  image.bytes.insert(image.bytes.end(), table.begin(), table.end());
  test::Put(image.bytes, test::SmallImage::kOptional + 96 + 8 * 4, at);
  test::Put(image.bytes, test::SmallImage::kOptional + 96 + 8 * 4 + 4, table.size() + extraSize);
  return PeImage(image.bytes);
}

Bytes Entry(std::uint16_t type, const Bytes& certificate, std::size_t padding = 0) {
  Bytes entry(8);
  test::Put(entry, 0, 8 + certificate.size() + padding);
  test::Put(entry, 4, 0x0200, 2);
  test::Put(entry, 6, type, 2);
  std::copy(certificate.begin(), certificate.end(), std::back_inserter(entry));
  entry.resize(entry.size() + padding);
  return entry;
}

TEST(Authenticode, ReadsTheSignerAndALegacyCountersignature) {
  const Bytes signature = LegacySignature(Text(0x17, "991231235959Z"));
  const Bytes table = Entry(2, signature, (8 - signature.size() % 8) % 8);
  const auto read = ReadAuthenticode(Signed(table));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->signer, "CN=Legacy Signer");
  ASSERT_TRUE(read->timeStamp);
  EXPECT_EQ(read->timeStamp->time, "1999-12-31T23:59:59Z");
  EXPECT_EQ(read->timeStamp->authority, "CN=Legacy Signer");
  EXPECT_FALSE(read->timeStamp->rfc3161);
  EXPECT_EQ(ReadSignedData({signature.data(), signature.size(), "signature"}).timeStamp->time, "1999-12-31T23:59:59Z");
  const Bytes generalized = LegacySignature(Text(0x18, "20491231235959.5Z"));
  EXPECT_EQ(ReadSignedData({generalized.data(), generalized.size(), "signature"}).timeStamp->time, "2049-12-31T23:59:59Z");
  EXPECT_FALSE(ReadAuthenticode(PeImage(test::SmallImage().bytes)));
}

TEST(Authenticode, RefusesDamagedDirectoriesAndSignatures) {
  const Bytes good = LegacySignature(Text(0x17, "991231235959Z"));
  Bytes otherType = Entry(1, good);
  Bytes shortEntry = Entry(2, good);
  test::Put(shortEntry, 0, 7);
  Bytes longEntry = Entry(2, good);
  test::Put(longEntry, 0, longEntry.size() + 1);
  Bytes padded = Entry(2, good, 4);
  padded.back() = 1;
  const struct {
    const char* what;
    PeImage image;
  } cases[] = {
      {"directory past the end of the file", Signed(Entry(2, good), 1)},
      {"entry shorter than its header", Signed(shortEntry)},
      {"entry longer than the directory", Signed(longEntry)},
      {"no PKCS#7 entry", Signed(otherType)},
      {"padding that is not zero", Signed(padded)},
      {"a month 13", Signed(Entry(2, LegacySignature(Text(0x17, "991331235959Z"))))},
      {"a time without its Z", Signed(Entry(2, LegacySignature(Text(0x17, "9912312359590"))))},
      {"a fraction without digits", Signed(Entry(2, LegacySignature(Text(0x18, "20491231235959.Z"))))},
      {"a time of the wrong type", Signed(Entry(2, LegacySignature(Der(0x02, {{0x01}}))))},
      {"not signed data", Signed(Entry(2, Der(0x30, {Oid({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01}), Der(0xA0, {})})))},
      {"cut short", Signed(Entry(2, Bytes(good.begin(), good.end() - 1)))},
  };
  for (const auto& c : cases) EXPECT_THROW(ReadAuthenticode(c.image), InputError) << c.what;
}

TEST(Authenticode, NamesPrintAsOneLineWhateverTheyHold) {
  const Bytes name = Der(0x30, {Der(0x31, {Der(0x30, {Oid({0x55, 0x04, 0x06}), Text(0x13, "DE")})}),
                                Der(0x31, {Der(0x30, {Oid({0x55, 0x04, 0x0A}), Text(0x0C, "Gr\xC3\xBC\x6E\\\n")}),
                                           Der(0x30, {Oid({0x2A, 0x03}), Text(0x16, "x")})}),
                                Der(0x31, {Der(0x30, {Oid({0x55, 0x04, 0x03}), Der(0x1E, {{0x00, 0x41, 0x20, 0xAC}})})}),
                                Der(0x31, {Der(0x30, {Oid({0x55, 0x04, 0x0B}), Der(0x04, {{0xAB, 0x01}})})})});
  EXPECT_EQ(NameText({name.data() + 2, name.size() - 2, "name"}),
            "C=DE, O=Gr\\xC3\\xBCn\\x5C\\x0A, 1.2.3=x, CN=A\\u20AC, OU=#AB01");
}

}  // namespace
}  // namespace vantor::packaging
