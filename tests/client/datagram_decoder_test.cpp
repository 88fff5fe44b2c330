#include "client/datagram_decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "client/typed_value.h"

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (const int value : values) bytes += static_cast<char>(value);
  return bytes;
}

void PutBigEndian(std::string& bytes, std::uint32_t value, int size) {
  for (int shift = (size - 1) * 8; shift >= 0; shift -= 8) {
    bytes += static_cast<char>((value >> shift) & 0xFF);
  }
}

// Packs a value-change call the way the gateway does: 121 entries per datagram, 2-byte values.
std::vector<std::string> PackChange(std::uint32_t transaction, std::uint16_t group,
                                    std::uint32_t masterError, std::uint32_t masterQuality,
                                    int count) {
  std::vector<std::string> datagrams;
  const int packets = count <= 121 ? 1 : (count + 120) / 121;
  int start = 0;
  for (int d = 1; d <= packets; ++d) {
    const int end = d == packets ? count : 121 * d;
    std::string bytes;
    bytes += 'C';
    PutBigEndian(bytes, 0, 2);
    PutBigEndian(bytes, transaction, 4);
    PutBigEndian(bytes, group, 2);
    PutBigEndian(bytes, static_cast<std::uint32_t>(end - start), 2);
    PutBigEndian(bytes, masterError, 4);
    PutBigEndian(bytes, masterQuality & 0xFF, 1);
    for (int i = start; i < end; ++i) {
      PutBigEndian(bytes, static_cast<std::uint32_t>(i), 2);
      PutBigEndian(bytes, 2, 1);
      PutBigEndian(bytes, static_cast<std::uint32_t>(i * 10), 2);
      if (masterQuality != 0) PutBigEndian(bytes, 0xC0, 1);
      if (masterError != 0) PutBigEndian(bytes, 0, 4);
    }
    bytes[1] = static_cast<char>(bytes.size() >> 8);
    bytes[2] = static_cast<char>(bytes.size() & 0xFF);
    datagrams.push_back(bytes);
    start = end;
  }
  return datagrams;
}

std::string Refusal(const std::string& bytes) {
  const DecodeResult result = DecodeDatagram(bytes);
  EXPECT_FALSE(result.ok);
  return result.reason;
}

TEST(DatagramDecoderTest, ValueChangeWithTwoItemsAndGoodMasterResults) {
  const std::string bytes =
      Bytes({0x43, 0x00, 0x19, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00,
             0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x01, 0x2C, 0x00, 0x01, 0x01, 0x01});
  ASSERT_EQ(bytes.size(), 25u);
  const DecodeResult result = DecodeDatagram(bytes);
  ASSERT_TRUE(result.ok) << result.reason;
  const Datagram& datagram = result.datagram;
  EXPECT_EQ(datagram.kind, DatagramKind::kValueChange);
  EXPECT_EQ(datagram.transactionId, 0u);
  EXPECT_EQ(datagram.group, 2);
  EXPECT_EQ(datagram.count, 2);
  EXPECT_EQ(datagram.masterError, 0u);
  EXPECT_EQ(datagram.masterQuality, 0);
  ASSERT_EQ(datagram.items.size(), 2u);
  EXPECT_EQ(datagram.items[0].handle, 0);
  EXPECT_EQ(datagram.items[0].length, 2);
  EXPECT_EQ(datagram.items[0].value, 300u);
  EXPECT_FALSE(datagram.items[0].quality);
  EXPECT_FALSE(datagram.items[0].error);
  EXPECT_EQ(datagram.items[1].handle, 1);
  EXPECT_EQ(datagram.items[1].length, 1);
  EXPECT_EQ(datagram.items[1].value, 1u);
}

TEST(DatagramDecoderTest, MasterResultsDecideWhichOptionalFieldsFollowEachValue) {
  // Master quality S_FALSE and master error S_FALSE: quality byte and 4-byte error per entry.
  const std::string both =
      Bytes({0x52, 0x00, 0x1A, 0x00, 0x00, 0x00, 0x07, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00,
             0x00, 0x01, 0x01, 0x00, 0x04, 0x02, 0xFF, 0xFE, 0x40, 0xC0, 0x04, 0x00, 0x07});
  const DecodeResult read = DecodeDatagram(both);
  ASSERT_TRUE(read.ok) << read.reason;
  EXPECT_EQ(read.datagram.kind, DatagramKind::kReadComplete);
  EXPECT_EQ(read.datagram.transactionId, 7u);
  ASSERT_EQ(read.datagram.items.size(), 1u);
  EXPECT_EQ(read.datagram.items[0].handle, 4);
  EXPECT_EQ(read.datagram.items[0].value, 0xFFFEu);
  EXPECT_EQ(read.datagram.items[0].SignedValue(), -2);
  EXPECT_EQ(read.datagram.items[0].quality, 0x40);
  EXPECT_EQ(read.datagram.items[0].error, 0xC0040007u);

  // Master error only: the error follows the value directly, there is no quality byte.
  const std::string errorOnly =
      Bytes({0x43, 0x00, 0x19, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
             0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x80, 0x00, 0x00, 0x01, 0x00, 0x00});
  ASSERT_EQ(errorOnly.size(), 25u);
  const DecodeResult change = DecodeDatagram(errorOnly + Bytes({0x00, 0x00}));
  EXPECT_FALSE(change.ok);  // two bytes too many for the length field
  std::string fixed = errorOnly + Bytes({0x00, 0x00});
  fixed[2] = 0x1B;
  const DecodeResult fixedChange = DecodeDatagram(fixed);
  ASSERT_TRUE(fixedChange.ok) << fixedChange.reason;
  EXPECT_EQ(fixedChange.datagram.items[0].value, 0x80000001u);
  EXPECT_FALSE(fixedChange.datagram.items[0].quality);
  EXPECT_EQ(fixedChange.datagram.items[0].error, 0u);
}

TEST(DatagramDecoderTest, ValueWithoutBytesAndOneByteValues) {
  const std::string bytes =
      Bytes({0x43, 0x00, 0x17, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00,
             0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x08, 0x01, 0x9C});
  const DecodeResult result = DecodeDatagram(bytes);
  ASSERT_TRUE(result.ok) << result.reason;
  EXPECT_EQ(result.datagram.items[0].length, 0);
  EXPECT_EQ(result.datagram.items[1].length, 1);
  EXPECT_EQ(result.datagram.items[1].value, 0x9Cu);
  EXPECT_EQ(result.datagram.items[1].SignedValue(), -100);
}

TEST(DatagramDecoderTest, EmptyChangeIsSixteenBytes) {
  const DecodeResult result = DecodeDatagram(PackChange(0, 5, 0, 0, 0).front());
  ASSERT_TRUE(result.ok) << result.reason;
  EXPECT_EQ(result.datagram.group, 5);
  EXPECT_TRUE(result.datagram.items.empty());
}

TEST(DatagramDecoderTest, ChangeOf300ItemsArrivesIn121And121And58Entries) {
  const std::vector<std::string> datagrams = PackChange(9, 3, 1, 1, 300);
  ASSERT_EQ(datagrams.size(), 3u);
  std::vector<std::size_t> counts;
  int nextHandle = 0;
  for (const std::string& bytes : datagrams) {
    EXPECT_LE(bytes.size(), 16u + 121u * 12u);
    const DecodeResult result = DecodeDatagram(bytes);
    ASSERT_TRUE(result.ok) << result.reason;
    EXPECT_EQ(result.datagram.transactionId, 9u);
    EXPECT_EQ(result.datagram.group, 3);
    counts.push_back(result.datagram.items.size());
    for (const ItemEntry& entry : result.datagram.items) {
      EXPECT_EQ(entry.handle, nextHandle);
      EXPECT_EQ(entry.value, static_cast<std::uint32_t>(nextHandle * 10));
      EXPECT_EQ(entry.quality, 0xC0);
      EXPECT_EQ(entry.error, 0u);
      ++nextHandle;
    }
  }
  EXPECT_EQ(counts, (std::vector<std::size_t>{121, 121, 58}));
  EXPECT_EQ(datagrams[0].size(), 16u + 121u * 10u);
  EXPECT_EQ(static_cast<unsigned char>(datagrams[0][1]), 0x04);
}

TEST(DatagramDecoderTest, WriteAndCancelCompletesHaveFixedSizes) {
  const DecodeResult write = DecodeDatagram(
      Bytes({0x57, 0x00, 0x00, 0x00, 0x07, 0x00, 0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x01}));
  ASSERT_TRUE(write.ok) << write.reason;
  EXPECT_EQ(write.datagram.kind, DatagramKind::kWriteComplete);
  EXPECT_EQ(write.datagram.transactionId, 7u);
  EXPECT_EQ(write.datagram.group, 1);
  EXPECT_EQ(write.datagram.count, 5);
  EXPECT_EQ(write.datagram.masterError, 1u);

  const DecodeResult cancel = DecodeDatagram(Bytes({0x4E, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x02}));
  ASSERT_TRUE(cancel.ok) << cancel.reason;
  EXPECT_EQ(cancel.datagram.kind, DatagramKind::kCancelComplete);
  EXPECT_EQ(cancel.datagram.transactionId, 0xFFFFFFFFu);
  EXPECT_EQ(cancel.datagram.group, 2);
}

TEST(DatagramDecoderTest, AnnouncementsAreRecognisedByTheirWholeText) {
  const DecodeResult startup = DecodeDatagram("Startup Quarnix\r\n");
  ASSERT_TRUE(startup.ok);
  EXPECT_EQ(startup.datagram.kind, DatagramKind::kStartup);
  EXPECT_EQ(startup.datagram.text.size(), 17u);
  const DecodeResult exit = DecodeDatagram("Exit Quarnix\r\n");
  ASSERT_TRUE(exit.ok);
  EXPECT_EQ(exit.datagram.kind, DatagramKind::kExit);
  EXPECT_EQ(Refusal("Startup Quarnix"), "unknown datagram kind 0x53 (15 bytes)");
}

TEST(DatagramDecoderTest, DatagramsTooShortForTheirKindAreRefusedWithTheReason) {
  EXPECT_EQ(Refusal(Bytes({0x43, 0x00, 0x03})),
            "too short for a value-change datagram: 3 bytes, its header alone has 16");
  EXPECT_EQ(Refusal(Bytes({0x52})),
            "too short for a read-complete datagram: 1 bytes, its header alone has 16");
  EXPECT_EQ(Refusal(std::string("W") + std::string(11, '\0')),
            "too short for a write-complete datagram: 12 bytes, it has 13");
  EXPECT_EQ(Refusal(std::string("N") + std::string(5, '\0')),
            "too short for a cancel-complete datagram: 6 bytes, it has 7");
  EXPECT_EQ(Refusal(std::string("N") + std::string(7, '\0')),
            "too long for a cancel-complete datagram: 8 bytes, it has 7");
  EXPECT_EQ(Refusal(""), "the datagram is empty");
  EXPECT_EQ(Refusal("A"), "unknown datagram kind 0x41 (1 bytes)");
}

TEST(DatagramDecoderTest, InconsistentValueDatagramsAreRefused) {
  std::string header = PackChange(0, 0, 0, 0, 0).front();
  // Length field larger than the datagram.
  std::string longer = header;
  longer[2] = 0x20;
  EXPECT_EQ(Refusal(longer),
            "the length field of the value-change datagram says 32 bytes, but 16 came");
  // One entry announced, none present.
  std::string missing = header + Bytes({0x00});
  missing[2] = 17;
  missing[10] = 1;
  EXPECT_EQ(Refusal(missing),
            "entry 0 of 1 is cut short: the datagram ends before its handle and value length");
  // A value of 3 bytes.
  std::string odd = header + Bytes({0x00, 0x00, 0x03, 0x01, 0x02, 0x03});
  odd[2] = 22;
  odd[10] = 1;
  EXPECT_EQ(Refusal(odd), "entry 0 has value length 3; a value has 0, 1, 2 or 4 bytes");
  // A value cut short.
  std::string cut = header + Bytes({0x00, 0x00, 0x04, 0x01});
  cut[2] = 20;
  cut[10] = 1;
  EXPECT_EQ(Refusal(cut), "entry 0 of 1 is cut short: 7 bytes needed, 4 left");
  // Bytes after the last entry.
  std::string trailing = header + Bytes({0x00, 0x00, 0x00, 0x09});
  trailing[2] = 20;
  trailing[10] = 1;
  EXPECT_EQ(Refusal(trailing),
            "1 bytes follow the last of the 1 entries of the value-change datagram");
  // More entries than one datagram carries.
  std::string many = header;
  many[10] = 122;
  EXPECT_EQ(Refusal(many),
            "the value-change datagram announces 122 entries, more than the 121 one datagram "
            "carries");
}

// ---------------------------------------------------------------------------------------------
// Typed datagrams (0x63, 0x72)

void Put64(std::string& bytes, std::uint64_t value) {
  PutBigEndian(bytes, static_cast<std::uint32_t>(value >> 32), 4);
  PutBigEndian(bytes, static_cast<std::uint32_t>(value), 4);
}

std::string TypedEntryBytes(std::uint16_t handle, std::uint16_t vartype, std::uint16_t quality,
                            std::uint8_t flags, std::int64_t timestamp, std::uint32_t error,
                            const std::string& value) {
  std::string bytes;
  PutBigEndian(bytes, handle, 2);
  PutBigEndian(bytes, vartype, 2);
  PutBigEndian(bytes, quality, 2);
  PutBigEndian(bytes, flags, 1);
  Put64(bytes, static_cast<std::uint64_t>(timestamp));
  PutBigEndian(bytes, error, 4);
  PutBigEndian(bytes, static_cast<std::uint32_t>(value.size()), 2);
  return bytes + value;
}

std::string TypedDatagram(int kind, std::uint32_t transaction, std::uint16_t group,
                          const std::vector<std::string>& entries, std::uint32_t masterError = 0,
                          std::uint8_t masterQuality = 0) {
  std::string body;
  for (const std::string& entry : entries) body += entry;
  std::string bytes(1, static_cast<char>(kind));
  PutBigEndian(bytes, static_cast<std::uint32_t>(16 + body.size()), 2);
  PutBigEndian(bytes, transaction, 4);
  PutBigEndian(bytes, group, 2);
  PutBigEndian(bytes, static_cast<std::uint32_t>(entries.size()), 2);
  PutBigEndian(bytes, masterError, 4);
  PutBigEndian(bytes, masterQuality, 1);
  return bytes + body;
}

std::string Be(std::uint64_t value, int size) {
  std::string bytes;
  for (int shift = (size - 1) * 8; shift >= 0; shift -= 8) {
    bytes += static_cast<char>((value >> shift) & 0xFF);
  }
  return bytes;
}

std::string R8(double real) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &real, sizeof bits);
  return Be(bits, 8);
}

std::string R4(float real) {
  std::uint32_t bits = 0;
  std::memcpy(&bits, &real, sizeof bits);
  return Be(bits, 4);
}

std::string Text(std::uint16_t vartype, const std::string& bytes) {
  return TypedValueText(ReadTypedValue(vartype, bytes));
}

TEST(TypedDatagramDecoderTest, ChangeOfARealAndACutStringDecodesByteForByte) {
  // Group 2, item 0 a VT_R8 of 21.7 stamped 2026-12-09T01:02:03.456Z, item 1 "Quarnix" flagged
  // as cut, without timestamp: 73 bytes.
  const std::string bytes = Bytes(
      {0x63, 0x00, 0x49, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00,
       0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0xC0, 0x00, 0x00, 0x06, 0x62, 0x29, 0x01, 0xC9, 0xEE,
       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x40, 0x35, 0xB3, 0x33, 0x33, 0x33, 0x33, 0x33,
       0x00, 0x01, 0x00, 0x08, 0x00, 0xC0, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
       0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x51, 0x75, 0x61, 0x72, 0x6E, 0x69, 0x78});
  ASSERT_EQ(bytes.size(), 73u);
  const DecodeResult result = DecodeDatagram(bytes);
  ASSERT_TRUE(result.ok) << result.reason;
  const Datagram& datagram = result.datagram;
  EXPECT_EQ(datagram.kind, DatagramKind::kTypedChange);
  EXPECT_STREQ(DatagramKindName(datagram.kind), "typed-change");
  EXPECT_EQ(datagram.group, 2);
  EXPECT_TRUE(datagram.items.empty());
  ASSERT_EQ(datagram.typedItems.size(), 2u);
  const TypedItemEntry& real = datagram.typedItems[0];
  EXPECT_EQ(real.handle, 0);
  EXPECT_EQ(real.vartype, kVarTypeR8);
  EXPECT_EQ(real.quality, 0xC0);
  EXPECT_FALSE(real.Cut());
  EXPECT_EQ(real.timestamp, 1796778123456000);
  EXPECT_EQ(UtcTimeText(real.timestamp), "2026-12-09T01:02:03.456Z");
  const TypedValue value = ReadTypedValue(real.vartype, real.value);
  EXPECT_EQ(value.kind, TypedValue::Kind::kReal);
  EXPECT_EQ(value.real, 21.7);
  EXPECT_EQ(TypedValueText(value), "21.7");
  const TypedItemEntry& text = datagram.typedItems[1];
  EXPECT_EQ(text.vartype, kVarTypeBstr);
  EXPECT_TRUE(text.Cut());
  EXPECT_EQ(text.timestamp, 0);
  EXPECT_EQ(text.value, "Quarnix");
  EXPECT_EQ(bytes,
            TypedDatagram(0x63, 0, 2,
                          {TypedEntryBytes(0, kVarTypeR8, 0xC0, 0, 1796778123456000, 0, R8(21.7)),
                           TypedEntryBytes(1, kVarTypeBstr, 0xC0, 1, 0, 0, "Quarnix")}));
}

TEST(TypedDatagramDecoderTest, ReadCompleteCarriesErrorsAndTypesWithoutValue) {
  const std::string bytes =
      TypedDatagram(0x72, 0xFFFFFFFF, 1,
                    {TypedEntryBytes(4, kVarTypeEmpty, 0x0000, 0, 0, 0xC0040007u, ""),
                     TypedEntryBytes(5, 0x2005, 0x00C0, 0, -1, 0, ""),  // VT_ARRAY | VT_R8
                     TypedEntryBytes(6, kVarTypeI8, 0x00D8, 0, 1, 0, Be(0x8000000000000000ull, 8))},
                    1, 1);
  const DecodeResult result = DecodeDatagram(bytes);
  ASSERT_TRUE(result.ok) << result.reason;
  EXPECT_EQ(result.datagram.kind, DatagramKind::kTypedRead);
  EXPECT_EQ(result.datagram.transactionId, 0xFFFFFFFFu);
  EXPECT_EQ(result.datagram.masterError, 1u);
  ASSERT_EQ(result.datagram.typedItems.size(), 3u);
  EXPECT_EQ(result.datagram.typedItems[0].error, 0xC0040007u);
  EXPECT_EQ(Text(kVarTypeEmpty, ""), "");
  EXPECT_EQ(Text(0x2005, ""), "(VARTYPE 8197)");
  EXPECT_EQ(result.datagram.typedItems[1].timestamp, -1);
  EXPECT_EQ(UtcTimeText(-1), "1969-12-31T23:59:59.999Z");
  EXPECT_EQ(result.datagram.typedItems[2].quality, 0xD8);  // the whole word, limit bits too
  EXPECT_EQ(Text(kVarTypeI8, result.datagram.typedItems[2].value), "-9223372036854775808");
}

TEST(TypedDatagramDecoderTest, InconsistentTypedDatagramsAreRefusedWithTheReason) {
  const std::string real = TypedEntryBytes(0, kVarTypeR8, 0xC0, 0, 0, 0, R8(1.5));
  EXPECT_EQ(Refusal(Bytes({0x63, 0x00, 0x03})),
            "too short for a typed value-change datagram: 3 bytes, its header alone has 16");
  std::string longer = TypedDatagram(0x72, 0, 0, {real});
  longer[2] = 0x7F;
  EXPECT_EQ(Refusal(longer),
            "the length field of the typed read-complete datagram says 127 bytes, but 45 came");
  std::string many = TypedDatagram(0x63, 0, 0, {});
  many[10] = 70;
  EXPECT_EQ(Refusal(many),
            "the typed value-change datagram announces 70 entries, more than the 69 one datagram "
            "carries");
  // The fixed part of an entry cut short; a value cut short; a length its type does not have.
  std::string fixed = TypedDatagram(0x63, 0, 0, {real.substr(0, 20)});
  fixed[10] = 1;
  EXPECT_EQ(Refusal(fixed), "entry 0 of 1 is cut short: 21 bytes needed before its value, 20 left");
  std::string value =
      TypedDatagram(0x63, 0, 0, {TypedEntryBytes(0, kVarTypeBstr, 0, 0, 0, 0, "abc")});
  value[value.size() - 4] = 7;  // L = 7, 3 bytes follow
  EXPECT_EQ(Refusal(value), "entry 0 of 1 is cut short: its value has 7 bytes, 3 left");
  EXPECT_EQ(Refusal(TypedDatagram(0x63, 0, 0, {TypedEntryBytes(0, kVarTypeR8, 0, 0, 0, 0, R4(1))})),
            "entry 0 (VT_R8) has value length 4; that type has 8");
  EXPECT_EQ(Refusal(TypedDatagram(0x63, 0, 0, {TypedEntryBytes(0, 0x2005, 0, 0, 0, 0, "x")})),
            "entry 0 (VARTYPE 8197) has value length 1; that type has 0");
  std::string trailing = TypedDatagram(0x63, 0, 0, {real}) + "x";
  trailing[2] = static_cast<char>(trailing.size());
  EXPECT_EQ(Refusal(trailing),
            "1 bytes follow the last of the 1 entries of the typed value-change datagram");
  // At most 1,472 bytes: the largest string that fits is 1,435 bytes.
  const auto withText = [](std::size_t size) {
    return TypedDatagram(0x63, 0, 0,
                         {TypedEntryBytes(0, kVarTypeBstr, 0, 1, 0, 0, std::string(size, 'a'))});
  };
  EXPECT_TRUE(DecodeDatagram(withText(1435)).ok);
  EXPECT_EQ(Refusal(withText(1436)),
            "too long for a typed value-change datagram: 1473 bytes, at most 1472");
}

TEST(TypedValueTest, ValueTextsFollowOneRuleForEveryType) {
  EXPECT_EQ(Text(kVarTypeR4, R4(21.7f)), "21.7");
  EXPECT_EQ(Text(kVarTypeR8, R8(3.25)), "3.25");
  EXPECT_EQ(Text(kVarTypeR8, R8(1e300)), "1e+300");
  EXPECT_EQ(Text(kVarTypeR8, R8(0.1 + 0.2)), "0.30000000000000004");
  EXPECT_EQ(Text(kVarTypeR8, R8(std::numeric_limits<double>::quiet_NaN())), "nan");
  EXPECT_EQ(Text(kVarTypeR4, R4(std::numeric_limits<float>::infinity())), "inf");
  EXPECT_EQ(Text(kVarTypeR8, R8(-std::numeric_limits<double>::infinity())), "-inf");
  EXPECT_EQ(Text(kVarTypeBool, "\x01"), "1");
  EXPECT_EQ(Text(kVarTypeBool, std::string(1, '\0')), "0");
  EXPECT_EQ(Text(kVarTypeI1, "\x9C"), "-100");
  EXPECT_EQ(Text(kVarTypeUi1, "\x9C"), "156");
  EXPECT_EQ(Text(kVarTypeI2, Be(0xFF9C, 2)), "-100");
  EXPECT_EQ(Text(kVarTypeUi4, Be(3000000000u, 4)), "3000000000");
  EXPECT_EQ(Text(kVarTypeError, Be(0x80004005u, 4)), "-2147467259");
  EXPECT_EQ(Text(kVarTypeI8, Be(0x7FFFFFFFFFFFFFFFull, 8)), "9223372036854775807");
  EXPECT_EQ(Text(kVarTypeUi8, Be(0xFFFFFFFFFFFFFFFFull, 8)), "18446744073709551615");
  EXPECT_EQ(Text(kVarTypeCy, Be(123400, 8)), "12.34");
  EXPECT_EQ(Text(kVarTypeCy, Be(static_cast<std::uint64_t>(-5000), 8)), "-0.5");
  EXPECT_EQ(Text(kVarTypeCy, Be(0x8000000000000000ull, 8)), "-922337203685477.5808");
  EXPECT_EQ(Text(kVarTypeCy, Be(30000, 8)), "3");
  EXPECT_EQ(Text(kVarTypeDate, Be(0, 8)), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(Text(kVarTypeBstr, "a\\b\tc\r\n\x01\x7F温度"), "a\\\\b\\tc\\r\\n\\x01\\x7F温度");
  EXPECT_EQ(Text(kVarTypeR8, R4(1)), "(VARTYPE 5)");  // a length its type does not have
  EXPECT_EQ(VarTypeName(kVarTypeUi8), "VT_UI8");
  EXPECT_EQ(VarTypeName(8197), "VARTYPE 8197");
  EXPECT_EQ(VarTypeName(12), "VT_VARIANT");  // the type of an item's "Item Value" property
}

}  // namespace
