// Topics, message texts, write values and the bounded store of latest values.
#include <gtest/gtest.h>

#include "mqtt/latest_values.h"
#include "mqtt/topic_payload.h"

namespace {

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
  EXPECT_EQ(ValuePayload(ItemValue{4, 0xFFFFFFFE, 3, 192, std::nullopt}, at),
            "{\"value\":-2,\"quality\":192,\"quality_text\":\"good\","
            "\"timestamp\":\"2025-12-08T09:00:00.123Z\"}");
  EXPECT_EQ(ValueOf(ValuePayload(ItemValue{4, 0xFFFFFFFE, 19, 192, std::nullopt}, at)),
            "4294967294");
  EXPECT_EQ(ValueOf(ValuePayload(ItemValue{2, 0xC350, 18, 192, std::nullopt}, at)), "50000");
  EXPECT_EQ(ValueOf(ValuePayload(ItemValue{1, 0x9C, 16, 192, std::nullopt}, at)), "-100");
  EXPECT_EQ(ValueOf(ValuePayload(ItemValue{1, 1, 11, 192, std::nullopt}, at)), "true");
  EXPECT_EQ(ValueOf(ValuePayload(ItemValue{0, 0, 5, 192, std::nullopt}, at)), "null");
  const std::string uncertain = ValuePayload(ItemValue{2, 0, 2, 0x40, 0xC0040007u}, at);
  EXPECT_NE(uncertain.find("\"quality\":64,\"quality_text\":\"uncertain\""), std::string::npos);
  EXPECT_NE(uncertain.find("\"error\":\"0xC0040007\""), std::string::npos);
  EXPECT_EQ(StatusPayload(false, "unknown"),
            "{\"status\":\"offline\",\"gateway\":\"unknown\",\"broker\":\"disconnected\"}");
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
  EXPECT_EQ(reason, "\"+\" is not a whole number from -2147483648 to 2147483647");
}

TEST(TopicPayloadTest, LatestValuesHoldOneSlotPerItemWhateverComes) {
  BridgeConfig config;
  config.prefix = "p";
  config.groups = {BridgeGroup{"g", 100, 0, {{"A", 3}, {"B/1", 3}}, 1},
                   BridgeGroup{"h", 100, 5, {{"C", 3}}, 2}};
  CLatestValues values(config);
  const auto at = std::chrono::system_clock::now();
  for (std::uint32_t n = 0; n < 10000; ++n) {
    values.Apply(0, 0, ItemValue{4, n, 0, 192, std::nullopt}, at);
    values.Apply(0, 1, ItemValue{4, n, 0, 192, std::nullopt}, at);
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
  EXPECT_TRUE(values.Apply(1, 0, ItemValue{4, 100, 0, 192, std::nullopt}, at));
  EXPECT_FALSE(values.Apply(1, 0, ItemValue{4, 103, 0, 192, std::nullopt}, at));
  EXPECT_TRUE(values.Apply(1, 0, ItemValue{4, 106, 0, 192, std::nullopt}, at));
  EXPECT_TRUE(values.Apply(1, 0, ItemValue{4, 106, 0, 0, std::nullopt}, at));
  values.MarkAllDirty();
  EXPECT_EQ(values.DirtyCount(), 3u);
}

}  // namespace
