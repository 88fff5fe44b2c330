#include "client/gateway_reply.h"

#include <gtest/gtest.h>

namespace {

std::string Reason(std::string_view bytes) {
  std::string reason;
  EXPECT_FALSE(ParseReply(bytes, &reason)) << bytes;
  return reason;
}

TEST(GatewayReplyTest, CodeAndTextAreSplitAtTheFirstTab) {
  const auto reply = ParseReply("0\tHBT OK!\r\n");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->code, 0);
  EXPECT_EQ(reply->text, "HBT OK!");

  const auto withTabs = ParseReply("1\t0: bad\t2: worse\t\r\n");
  ASSERT_TRUE(withTabs);
  EXPECT_EQ(withTabs->text, "0: bad\t2: worse\t");
}

TEST(GatewayReplyTest, NegativeCodeAndEmptyTextAreRead) {
  const auto reply = ParseReply("-2\t\r\n");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->code, -2);
  EXPECT_EQ(reply->text, "");
  EXPECT_EQ(ParseReply("-2147467259\tx\r\n")->code, static_cast<std::int32_t>(0x80004005u));
}

TEST(GatewayReplyTest, MalformedRepliesNameTheirFault) {
  EXPECT_EQ(Reason(""), "the reply is empty");
  EXPECT_EQ(Reason("HBT OK!\r\n"), "no TAB after the reply code");
  EXPECT_EQ(Reason("x\tfoo\r\n"), "the reply code \"x\" is not a signed 32-bit decimal number");
  EXPECT_EQ(Reason("\tfoo\r\n"), "the reply code \"\" is not a signed 32-bit decimal number");
  EXPECT_EQ(Reason("2147483648\t\r\n"),
            "the reply code \"2147483648\" is not a signed 32-bit decimal number");
  EXPECT_EQ(Reason("0\tHBT OK!"), "the reply does not end with CR LF (cut short?)");
  EXPECT_EQ(Reason("0\tHBT OK!\n"), "the reply does not end with CR LF (cut short?)");
  EXPECT_EQ(Reason("0\t\r"), "the reply does not end with CR LF (cut short?)");
}

TEST(GatewayReplyTest, IndicesStandOnLinesAfterAnEmptyFirstField) {
  const auto reply = ParseReply("0\t\r\n3\r\n4\r\n");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->text, "\r\n3\r\n4");
  EXPECT_EQ(ReplyIndices(reply->text), (std::vector<int>{3, 4}));
  EXPECT_EQ(ReplyIndices("\r\n-1\r\n1"), (std::vector<int>{-1, 1}));
  EXPECT_EQ(ReplyIndices(""), std::vector<int>{});
  EXPECT_FALSE(ReplyIndices("3\r\n4"));
  EXPECT_FALSE(ReplyIndices("\r\nthree"));
}

TEST(GatewayReplyTest, SyncReadValuesCarryValueAndQuality) {
  const auto values = ReplySyncReadValues("\r\n300\t192\r\n1\t64");
  ASSERT_TRUE(values);
  ASSERT_EQ(values->size(), 2u);
  EXPECT_EQ((*values)[0].value, "300");
  EXPECT_EQ((*values)[0].quality, 192);
  EXPECT_EQ((*values)[1].value, "1");
  EXPECT_EQ((*values)[1].quality, 64);
  EXPECT_FALSE(ReplySyncReadValues("\r\n300"));
  EXPECT_FALSE(ReplySyncReadValues("\r\n300\tgood"));
  EXPECT_STREQ(QualityName(192), "good");
  EXPECT_STREQ(QualityName(64), "uncertain");
  EXPECT_STREQ(QualityName(0), "bad");
}

TEST(GatewayReplyTest, CancelIdIsReadWithOrWithoutTheRefreshL) {
  EXPECT_EQ(ReplyCancelId("17"), 17u);
  EXPECT_EQ(ReplyCancelId("17l"), 17u);
  EXPECT_EQ(ReplyCancelId("4294967295"), 4294967295u);
  EXPECT_FALSE(ReplyCancelId(""));
  EXPECT_FALSE(ReplyCancelId("l"));
  EXPECT_FALSE(ReplyCancelId("-1"));
  EXPECT_FALSE(ReplyCancelId("4294967296"));
  EXPECT_FALSE(ReplyCancelId(" returned when all Refresh2(...)"));
}

TEST(GatewayReplyTest, ListRepliesStateTheirLineCountFirst) {
  const auto list = ReplyList("2 entries, more with 1f\r\nB\tRamp\tRamp\r\nL\tInt1\tStatic.Int1");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->words, "entries, more with 1f");
  ASSERT_EQ(list->lines.size(), 2u);
  EXPECT_EQ(list->lines[1], (std::vector<std::string>{"L", "Int1", "Static.Int1"}));
  EXPECT_TRUE(ReplyList("0 entries, the last page"));
  EXPECT_FALSE(ReplyList("3 entries\r\nB\tRamp\tRamp"));  // a line missing
  EXPECT_FALSE(ReplyList("0 entries\r\nB\tRamp\tRamp"));  // a line too many
  EXPECT_FALSE(ReplyList("entries"));
}

TEST(GatewayReplyTest, TypedReadRepliesGiveEachItemItsSixFields) {
  const auto values = ReplyTypedReadValues(
      "2 values\r\n0\t5\t192\t2026-12-09T01:02:03.456Z\t0\t21.7\r\n"
      "3\t0\t0\t\t-1073479673\t");
  ASSERT_TRUE(values);
  ASSERT_EQ(values->size(), 2u);
  EXPECT_EQ((*values)[0].item, 0);
  EXPECT_EQ((*values)[0].vartype, 5);
  EXPECT_EQ((*values)[0].quality, 192);
  EXPECT_EQ((*values)[0].timestamp, "2026-12-09T01:02:03.456Z");
  EXPECT_EQ((*values)[0].value, "21.7");
  EXPECT_EQ((*values)[1].item, 3);
  EXPECT_EQ((*values)[1].timestamp, "");
  EXPECT_EQ((*values)[1].error, -1073479673);
  EXPECT_EQ((*values)[1].value, "");
  EXPECT_TRUE(ReplyTypedReadValues("1 value\r\n0\t8\t192\t\t0\ta\\tb"));
  EXPECT_FALSE(ReplyTypedReadValues("1 values\r\n0\t5\t192\t\t0"));      // a field missing
  EXPECT_FALSE(ReplyTypedReadValues("1 values\r\n0\tR8\t192\t\t0\t1"));  // not a number
  EXPECT_FALSE(ReplyTypedReadValues("1 entries\r\n0\t5\t192\t\t0\t1"));
  EXPECT_FALSE(ReplyTypedReadValues("\r\n300\t192"));  // an SR reply
}

}  // namespace
