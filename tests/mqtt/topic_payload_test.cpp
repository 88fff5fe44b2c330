// Topics, message texts, write values and the bounded store of latest values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "mqtt/latest_values.h"
#include "mqtt/topic_payload.h"

namespace {

// A value from a defined datagram's entry.
ItemValue Defined(std::uint8_t length, std::uint32_t raw, std::uint16_t dataType,
                  std::uint16_t quality, std::optional<std::uint32_t> error) {
  ItemValue value;
  value.length = length;
  value.raw = raw;
  value.dataType = dataType;
  value.quality = quality;
  value.error = error;
  return value;
}

// The "value" field of a value message.
std::string ValueOf(const std::string& payload) {
  const auto start = payload.find("\"value\":") + 8;
  return payload.substr(start, payload.find(',', start) - start);
}

TEST(TopicPayloadTest, ItemIdsBecomeOneTopicLevelWithoutWildcards) {
  EXPECT_EQ(TopicSafeItemId("Ramp.Int4"), "Ramp.Int4");
  EXPECT_EQ(TopicSafeItemId("Line/1+#$x%"), "Line%2F1%2B%23%24x%25");
  EXPECT_EQ(TopicSafeItemId(std::string("a\tb\x7F", 4)), "a%09b%7F");
  EXPECT_EQ(TopicSafeItemId("温度"), "温度");        // UTF-8 stays
  EXPECT_EQ(TopicSafeItemId("\xCE\xC2"), "%CE%C2");  // bytes that are not UTF-8 (GBK) do not
  EXPECT_NE(TopicSafeItemId("a/b"), TopicSafeItemId("a%2Fb"));
}

TEST(TopicPayloadTest, ValuesReadByTheirRequestedTypeAndKeepTheirQuality) {
  const auto at = std::chrono::system_clock::time_point(std::chrono::milliseconds(1765184400123));
  EXPECT_EQ(
      ValuePayload(Defined(4, 0xFFFFFFFE, 3, 192, std::nullopt), at),
      "{\"value\":-2,\"quality\":192,\"quality_text\":\"good\","
      "\"timestamp\":\"2025-12-08T09:00:00.123Z\",\"received\":\"2025-12-08T09:00:00.123Z\"}");
  EXPECT_EQ(ValueOf(ValuePayload(Defined(4, 0xFFFFFFFE, 19, 192, std::nullopt), at)), "4294967294");
  EXPECT_EQ(ValueOf(ValuePayload(Defined(2, 0xC350, 18, 192, std::nullopt), at)), "50000");
  EXPECT_EQ(ValueOf(ValuePayload(Defined(1, 0x9C, 16, 192, std::nullopt), at)), "-100");
  EXPECT_EQ(ValueOf(ValuePayload(Defined(1, 1, 11, 192, std::nullopt), at)), "true");
  EXPECT_EQ(ValueOf(ValuePayload(Defined(0, 0, 5, 192, std::nullopt), at)), "null");
  const std::string uncertain = ValuePayload(Defined(2, 0, 2, 0x40, 0xC0040007u), at);
  EXPECT_NE(uncertain.find("\"quality\":64,\"quality_text\":\"uncertain\""), std::string::npos);
  EXPECT_NE(uncertain.find("\"error\":\"0xC0040007\""), std::string::npos);
  EXPECT_EQ(StatusPayload(false, "unknown"),
            "{\"status\":\"offline\",\"gateway\":\"unknown\",\"broker\":\"disconnected\"}");
  EXPECT_EQ(
      StatusPayload(true, "connected", std::nullopt, ActiveServer{"backup", "Quarnix.Simulator.2"}),
      "{\"status\":\"online\",\"gateway\":\"connected\",\"broker\":\"connected\","
      "\"server\":\"backup\",\"server_progid\":\"Quarnix.Simulator.2\"}");
  EXPECT_EQ(WriteResultPayload(false, 1, "a \"b\"\x01\xFF"),
            "{\"ok\":false,\"code\":1,\"text\":\"a \\\"b\\\"\\u0001\\ufffd\"}");
}

TEST(TopicPayloadTest, WriteValuesAreWholeNumbersWithinTheItemsType) {
  std::string reason;
  EXPECT_EQ(WriteValueText(" 42\n", 3, &reason), "42");
  EXPECT_EQ(WriteValueText("-128", 16, &reason), "-128");
  EXPECT_EQ(WriteValueText("true", 11, &reason), "-1");
  EXPECT_EQ(WriteValueText("1", 11, &reason), "-1");
  EXPECT_EQ(WriteValueText("4294967295", 19, &reason), "4294967295");
  for (const auto& [text, type] :
       std::vector<std::pair<std::string, std::uint16_t>>{{"12abc", 3},
                                                          {"", 3},
                                                          {"1.5", 3},
                                                          {"300", 16},
                                                          {"-1", 18},
                                                          {"2147483648", 3},
                                                          {"99999999999", 0},
                                                          {"true", 3},
                                                          {"+", 3}}) {
    EXPECT_FALSE(WriteValueText(text, type, &reason)) << text;
  }
  EXPECT_EQ(reason, "\"+\" is not a whole number from -2147483648 to 2147483647 (VT_I4)");
  EXPECT_FALSE(WriteValueText("99999999999", 0, &reason));
  EXPECT_EQ(reason, "\"99999999999\" is not a whole number from -2147483648 to 2147483647");
}

// An item's type: the configured one, else the server's (VT_I2 for the example's Memory.Int2).
TEST(TopicPayloadTest, WriteValuesOfRealsTextsAnd64BitNumbersFitTheirType) {
  std::string reason;
  EXPECT_FALSE(WriteValueText("70000", kVarTypeI2, &reason));
  EXPECT_EQ(reason, "\"70000\" is not a whole number from -32768 to 32767 (VT_I2)");
  EXPECT_EQ(WriteValueText(" 21.7 ", kVarTypeR8, &reason), "21.7");
  EXPECT_EQ(WriteValueText("-3", kVarTypeR4, &reason), "-3");
  EXPECT_EQ(WriteValueText("1e300", kVarTypeR8, &reason), "1e+300");
  EXPECT_EQ(WriteValueText("12.34", kVarTypeCy, &reason), "12.34");
  for (const auto& [text, type] :
       std::vector<std::pair<std::string, std::uint16_t>>{{"1e300", kVarTypeR4},
                                                          {"nan", kVarTypeR8},
                                                          {"inf", kVarTypeR8},
                                                          {"21.7 C", kVarTypeR8},
                                                          {"0x10", kVarTypeR8},
                                                          {"", kVarTypeR8},
                                                          {"true", kVarTypeR8},
                                                          {"1e16", kVarTypeCy}}) {
    EXPECT_FALSE(WriteValueText(text, type, &reason)) << text;
  }
  EXPECT_EQ(WriteValueText("9223372036854775807", kVarTypeI8, &reason), "9223372036854775807");
  EXPECT_EQ(WriteValueText("-9223372036854775808", kVarTypeI8, &reason), "-9223372036854775808");
  EXPECT_FALSE(WriteValueText("9223372036854775808", kVarTypeI8, &reason));
  EXPECT_EQ(WriteValueText("18446744073709551615", kVarTypeUi8, &reason), "18446744073709551615");
  EXPECT_FALSE(WriteValueText("18446744073709551616", kVarTypeUi8, &reason));
  EXPECT_EQ(WriteValueText("false", kVarTypeBool, &reason), "0");
  // Texts go as they are, blanks kept; what a request line cannot carry is refused, not cut.
  EXPECT_EQ(WriteValueText(" Pump 3 ", kVarTypeBstr, &reason), " Pump 3 ");
  EXPECT_EQ(WriteValueText("温度", kVarTypeBstr, &reason), "温度");
  EXPECT_EQ(WriteValueText(std::string(90, 'a'), kVarTypeBstr, &reason, 90), std::string(90, 'a'));
  EXPECT_FALSE(WriteValueText(std::string(91, 'a'), kVarTypeBstr, &reason, 90));
  EXPECT_EQ(reason,
            "the text is 91 bytes; one write carries at most 90 (the gateway's request lines hold "
            "99 characters)");
  EXPECT_FALSE(WriteValueText("a\tb", kVarTypeBstr, &reason));
  EXPECT_FALSE(WriteValueText("", kVarTypeBstr, &reason));
  EXPECT_FALSE(WriteValueText("2026-12-09T01:02:03Z", kVarTypeDate, &reason));
  EXPECT_EQ(reason,
            "the bridge does not write items of type VT_DATE (numbers, texts and "
            "true/false only)");
}

TEST(TopicPayloadTest, TypedValuesCarryTheServersTimestampAndTheirJsonType) {
  const auto at = std::chrono::system_clock::time_point(std::chrono::milliseconds(1765184400123));
  const auto typed = [&](std::uint16_t vartype, const std::string& bytes, std::int64_t serverTime) {
    ItemValue value;
    value.typed = ReadTypedValue(vartype, bytes);
    value.serverTime = serverTime;
    return ValuePayload(value, at);
  };
  const auto r8 = [](double real) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &real, sizeof bits);
    std::string bytes;
    for (int shift = 56; shift >= 0; shift -= 8) bytes += static_cast<char>(bits >> shift);
    return bytes;
  };
  EXPECT_EQ(
      typed(kVarTypeR8, r8(21.7), 1796778123456000),
      "{\"value\":21.7,\"quality\":192,\"quality_text\":\"good\","
      "\"timestamp\":\"2026-12-09T01:02:03.456Z\",\"received\":\"2025-12-08T09:00:00.123Z\"}");
  EXPECT_EQ(ValueOf(typed(kVarTypeR8, r8(std::nan("")), 1)), "null");
  EXPECT_NE(typed(kVarTypeR8, r8(-HUGE_VAL), 1).find("\"value\":null,\"value_text\":\"-inf\","),
            std::string::npos);
  EXPECT_EQ(ValueOf(typed(kVarTypeBstr, "Quar\"nix", 1)), "\"Quar\\\"nix\"");
  EXPECT_EQ(ValueOf(typed(kVarTypeBool, std::string(1, '\0'), 1)), "false");
  EXPECT_EQ(ValueOf(typed(kVarTypeDate, std::string(8, '\0'), 1)), "\"1970-01-01T00:00:00.000Z\"");
  EXPECT_EQ(ValueOf(typed(kVarTypeUi8, std::string(8, '\xFF'), 1)), "18446744073709551615");
  EXPECT_NE(typed(0x2005, "", 1).find("\"value\":null,\"value_text\":\"(VARTYPE 8197)\""),
            std::string::npos);
  // No server timestamp: the received time stands in.
  EXPECT_NE(typed(kVarTypeR8, r8(1.5), 0).find("\"timestamp\":\"2025-12-08T09:00:00.123Z\""),
            std::string::npos);
}

TEST(TopicPayloadTest, LatestValuesHoldOneSlotPerItemWhateverComes) {
  BridgeConfig config;
  config.prefix = "p";
  config.groups = {BridgeGroup{"g", 100, 0, {{"A", 3}, {"B/1", 3}}, 1},
                   BridgeGroup{"h", 100, 5, {{"C", 3}}, 2}};
  CLatestValues values(config);
  const auto at = std::chrono::system_clock::now();
  for (std::uint32_t n = 0; n < 10000; ++n) {
    values.Apply(0, 0, Defined(4, n, 0, 192, std::nullopt), at);
    values.Apply(0, 1, Defined(4, n, 0, 192, std::nullopt), at);
  }
  EXPECT_FALSE(values.Apply(0, 2, ItemValue{}, at));  // no such item
  EXPECT_FALSE(values.Apply(2, 0, ItemValue{}, at));
  ASSERT_EQ(values.DirtyCount(), 2u);
  const auto first = values.TakeDirty();
  EXPECT_EQ(values.Slot(*first).topic, "p/A");
  EXPECT_EQ(values.Slot(*first).latest->raw, 9999u);
  EXPECT_EQ(values.FindByTopic("p/B%2F1"), values.TakeDirty());
  EXPECT_FALSE(values.TakeDirty());

  // Deadband 5 on group h: 3 away is dropped, 6 away and a quality change are kept.
  EXPECT_TRUE(values.Apply(1, 0, Defined(4, 100, 0, 192, std::nullopt), at));
  EXPECT_FALSE(values.Apply(1, 0, Defined(4, 103, 0, 192, std::nullopt), at));
  EXPECT_TRUE(values.Apply(1, 0, Defined(4, 106, 0, 192, std::nullopt), at));
  EXPECT_TRUE(values.Apply(1, 0, Defined(4, 106, 0, 0, std::nullopt), at));
  values.MarkAllDirty();
  EXPECT_EQ(values.DirtyCount(), 3u);
}

}  // namespace
