#include "client/request_builder.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

TEST(RequestBuilderTest, HeartbeatAndExitAreOneLineEach) {
  EXPECT_EQ(HeartbeatRequest(), "HBT\r\n");
  EXPECT_EQ(ExitRequest(), "Exit\r\n");
}

TEST(RequestBuilderTest, DefineWritesGroupLinesFollowedByTheirItemLines) {
  GroupDefinition first;
  first.name = "Boiler";
  first.updateRate = 250;
  first.items = {{"Static.Int2", true, 2}, {"Random.Real8", false, 0}};
  GroupDefinition second;
  second.name = "Empty group";
  second.active = false;
  EXPECT_EQ(DefineGroupsRequest({first, second}, 9000),
            "AD\t2\t9000\r\n"
            "Boiler\tA\t2\t250\r\n"
            "Static.Int2\tA\t2\r\n"
            "Random.Real8\tN\t0\r\n"
            "Empty group\tN\t0\r\n");
}

TEST(RequestBuilderTest, DefineWithoutReceivePortLeavesTheFieldOut) {
  GroupDefinition group;
  group.name = "G";
  group.items = {{"Memory.UInt4", true, 19}};
  EXPECT_EQ(DefineGroupsRequest({group}), "AD\t1\r\nG\tA\t1\r\nMemory.UInt4\tA\t19\r\n");
}

TEST(RequestBuilderTest, IndexListsCarryTheirCount) {
  EXPECT_EQ(RemoveGroupsRequest({1, 0}), "RM\t2\r\n1\r\n0\r\n");
  EXPECT_EQ(SetGroupsActiveRequest(true, {0, 2}), "AC\tA\t2\r\n0\r\n2\r\n");
  EXPECT_EQ(SetGroupsActiveRequest(false, {3}), "AC\tN\t1\r\n3\r\n");
  EXPECT_EQ(SetGroupsStateRequest("Active", {-1}), "AC\tActive\t1\r\n-1\r\n");
}

TEST(RequestBuilderTest, EmptyIndexListIsEndedByAnEmptyLineInsteadOfACountOfZero) {
  EXPECT_EQ(RemoveGroupsRequest({}), "RM\r\n\r\n");
  EXPECT_EQ(SetGroupsActiveRequest(true, {}), "AC\tA\r\n\r\n");
}

TEST(RequestBuilderTest, RefreshAndQueryEndWithAnEmptyLine) {
  EXPECT_EQ(RefreshGroupsRequest(4294967295u, {0, 2}), "RF\t4294967295\r\n0\r\n2\r\n\r\n");
  EXPECT_EQ(RefreshGroupsRequest(7, {}), "RF\t7\r\n\r\n");
  EXPECT_EQ(QueryGroupIndexesRequest({"Boiler", "名字"}), "Q?\r\nBoiler\r\n名字\r\n\r\n");
}

TEST(RequestBuilderTest, ReadsCarryCountAndTransactionIdAsSignedBits) {
  EXPECT_EQ(ReadSyncRequest(1, {0, 3}), "SR\t1\t2\t0\r\n0\r\n3\r\n");
  EXPECT_EQ(ReadAsyncRequest(0, {65535}, 7), "AR\t0\t1\t7\r\n65535\r\n");
  EXPECT_EQ(ReadAsyncRequest(0, {1}, 0xFFFFFFFFu), "AR\t0\t1\t-1\r\n1\r\n");
  EXPECT_EQ(ReadAsyncRequest(0, {1}, 0x80000000u), "AR\t0\t1\t-2147483648\r\n1\r\n");
}

TEST(RequestBuilderTest, WritesPutIndexAndValueOnEachLine) {
  EXPECT_EQ(WriteSyncRequest(0, {{0, "300"}, {5, "-1"}}), "SW\t0\t2\r\n0\t300\r\n5\t-1\r\n");
  EXPECT_EQ(WriteAsyncRequest(2, {{1, "1"}}, 9), "AW\t2\t1\t9\r\n1\t1\r\n");
}

TEST(RequestBuilderTest, LineOf99CharactersPassesAndOf100IsRefused) {
  const std::string name97(97, 'n');
  EXPECT_EQ(QueryGroupIndexesRequest({name97}), "Q?\r\n" + name97 + "\r\n\r\n");
  EXPECT_THROW(QueryGroupIndexesRequest({name97 + "x"}), std::invalid_argument);
}

TEST(RequestBuilderTest, TextsThatWouldBreakTheSyntaxAreRefused) {
  GroupDefinition tabbed;
  tabbed.name = "a\tb";
  EXPECT_THROW(DefineGroupsRequest({tabbed}), std::invalid_argument);
  GroupDefinition itemWithLineFeed;
  itemWithLineFeed.name = "G";
  itemWithLineFeed.items = {{"x\ny", true, 0}};
  EXPECT_THROW(DefineGroupsRequest({itemWithLineFeed}), std::invalid_argument);
  EXPECT_THROW(DefineGroupsRequest({}), std::invalid_argument);
  EXPECT_THROW(QueryGroupIndexesRequest({""}), std::invalid_argument);
  EXPECT_THROW(WriteSyncRequest(0, {{0, ""}}), std::invalid_argument);
  EXPECT_THROW(WriteSyncRequest(0, {{0, "1\r"}}), std::invalid_argument);
  EXPECT_THROW(ReadSyncRequest(0, {}), std::invalid_argument);
  EXPECT_THROW(WriteAsyncRequest(0, {}, 1), std::invalid_argument);
  EXPECT_THROW(SetGroupsStateRequest("", {1}), std::invalid_argument);
}

TEST(RequestBuilderTest, MoreThan65535EntriesAreRefused) {
  EXPECT_NO_THROW(ReadSyncRequest(0, std::vector<std::uint16_t>(65535, 1)));
  EXPECT_THROW(ReadSyncRequest(0, std::vector<std::uint16_t>(65536, 1)), std::invalid_argument);
}

}  // namespace
