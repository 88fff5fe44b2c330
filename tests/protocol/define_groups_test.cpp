// "AD" and "RM" through real connections against the simulator, through the recording decorator.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "protocol/request_settings.h"
#include "tests/protocol/dispatcher_fixture.h"

using enum OpcMethod;

namespace {

std::string ReadLogFile() {
  std::ifstream file(kLogFileName, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

class DefineGroupsTest : public DispatcherTest {
protected:
  // Three groups g0, g1, g2 of one item each.
  void DefineThree() {
    EXPECT_EQ(Request("AD\t3\r\ng0\tA\t1\r\nStatic.Int2\tA\t2\r\ng1\tA\t1\r\nStatic."
                      "Int2\tA\t2\r\ng2\tA\t1\r\n"
                      "Static.Int2\tA\t2\r\n"),
              "0\t\r\n0\r\n1\r\n2\r\n");
  }
};

TEST_F(DefineGroupsTest, TwoGroupsAreDefinedRegisteredAndAnsweredWithTheirIndices) {
  EXPECT_EQ(Request("AD\t2\r\ng1\tA\t2\r\nStatic.Int2\tA\t2\r\nStatic.Int4\tN\t3\r\ng2\tN\t1\r\n"
                    "Static.Int2\tN\t0\r\n"),
            "0\t\r\n0\r\n1\r\n");
  ASSERT_EQ(GroupCount(), 2u);

  const auto addGroups = m_opc.CallsOf(kAddGroup);
  ASSERT_EQ(addGroups.size(), 2u);
  EXPECT_EQ(addGroups[0].name, u"g1");
  EXPECT_EQ(addGroups[0].clientHandle, 0u);
  EXPECT_EQ(addGroups[0].active, FALSE);  // registered inactive whatever the flag
  EXPECT_EQ(addGroups[0].updateRate, 500u);
  EXPECT_EQ(addGroups[1].name, u"g2");
  EXPECT_EQ(addGroups[1].clientHandle, 1u);

  const auto addItems = m_opc.CallsOf(kAddItems);
  ASSERT_GE(addItems.size(), 1u);
  ASSERT_EQ(addItems[0].items.size(), 2u);
  EXPECT_EQ(addItems[0].items[0].itemId, u"Static.Int2");
  EXPECT_EQ(addItems[0].items[0].accessPath, u"");
  EXPECT_EQ(addItems[0].items[0].active, TRUE);
  EXPECT_EQ(addItems[0].items[0].clientHandle, 0u);
  EXPECT_EQ(addItems[0].items[0].requestedType, VT_I2);
  EXPECT_EQ(addItems[0].items[1].itemId, u"Static.Int4");
  EXPECT_EQ(addItems[0].items[1].active, FALSE);
  EXPECT_EQ(addItems[0].items[1].clientHandle, 1u);
  EXPECT_EQ(addItems[0].items[1].requestedType, VT_I4);

  EXPECT_EQ(Group(0)->bActive, TRUE);
  EXPECT_EQ(Group(1)->bActive, FALSE);
  EXPECT_EQ(Group(0)->dwNotifyHost, 0x7F000001u);
  EXPECT_EQ(Group(0)->wNotifyPort, 0u);
  EXPECT_NE(Group(0)->pIOPCGroupStateMgt, nullptr);
}

TEST_F(DefineGroupsTest, NewGroupsTakeTheIndicesAfterTheListsEntries) {
  DefineThree();
  EXPECT_EQ(Request("AD\t2\r\nh3\tA\t1\r\nStatic.Int2\tA\t0\r\nh4\tA\t1\r\nStatic.Int2\tA\t0\r\n"),
            "0\t\r\n3\r\n4\r\n");
  EXPECT_EQ(ServerGroup(u"h4").clientHandle, 4u);
}

TEST_F(DefineGroupsTest, GroupCountWithLow16BitsZeroIsRefusedBeforeAnyLine) {
  EXPECT_EQ(Request("AD\t0\r\ng\tA\t0\r\n"), "1\tInvalid group count: 0\r\n");
  EXPECT_EQ(Request("AD\t65536\r\n"), "1\tInvalid group count: 65536\r\n");
  EXPECT_EQ(Request("AD\tx\r\n"), "1\tInvalid group count: x\r\n");
  EXPECT_EQ(GroupCount(), 0u);
  EXPECT_EQ(m_opc.CountOf(kAddGroup), 0);
}

TEST_F(DefineGroupsTest, WithoutGroupCountGroupsRunUntilAnEmptyLine) {
  EXPECT_EQ(Request("AD\r\ng1\tA\t1\r\nStatic.Int2\tA\t0\r\ng2\tA\t2\r\nStatic.Int2\tA\t0\r\n"
                    "Static.Int4\tA\t0\r\n\r\n"),
            "0\t\r\n0\r\n1\r\n");
  EXPECT_EQ(GroupCount(), 2u);
  EXPECT_EQ(Group(1)->wItemCount, 2u);
}

TEST_F(DefineGroupsTest, ReachedGroupCountReadsNoFurtherLine) {
  // The trailing group line would be a second group if it were read.
  EXPECT_EQ(Request("AD\t1\r\ng\tA\t2\r\nStatic.Int2\tA\t2\r\nStatic.Int4\tA\t2\r\n"
                    "extra\tA\t1\r\n"),
            "0\t\r\n0\r\n");
  EXPECT_EQ(GroupCount(), 1u);
  EXPECT_EQ(m_opc.CountOf(kAddGroup), 1);
}

TEST_F(DefineGroupsTest, EmptyLineRightAfterTheFirstLineDefinesNothing) {
  EXPECT_EQ(Request("AD\r\n\r\n"), "0\t\r\n");
  EXPECT_EQ(Request("AD\t5\r\n\r\n"), "0\t\r\n");
  EXPECT_EQ(GroupCount(), 0u);
  EXPECT_EQ(m_opc.CountOf(kAddGroup), 0);
}

TEST_F(DefineGroupsTest, ActiveFlagsBeginWithCapitalA) {
  Define(
      "AD\r\nga\tA\t1\r\nStatic.Int2\ta\t0\r\ngb\tActive\t1\r\nStatic.Int2\tAB\t0\r\n"
      "gc\tAB\t1\r\nStatic.Int2\tN\t0\r\ngd\ta\t1\r\nStatic.Int2\tA\t0\r\n"
      "ge\tN\t1\r\nStatic.Int2\tA\t0\r\ngf\t1\t1\r\nStatic.Int2\tA\t0\r\n\r\n");
  ASSERT_EQ(GroupCount(), 6u);
  const BOOL expected[] = {TRUE, TRUE, TRUE, FALSE, FALSE, FALSE};
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(Group(i)->bActive, expected[i]) << i;
  EXPECT_EQ(Group(0)->pItemDefs[0].bActive, FALSE);
  EXPECT_EQ(Group(1)->pItemDefs[0].bActive, TRUE);
  EXPECT_EQ(Group(2)->pItemDefs[0].bActive, FALSE);
}

TEST_F(DefineGroupsTest, UpdateRateIs500UnlessGiven) {
  Define("AD\r\nslow\tA\t1\r\nStatic.Int2\tA\t0\r\nfast\tA\t1\t1000\r\nStatic.Int2\tA\t0\r\n\r\n");
  EXPECT_EQ(ServerGroup(u"slow").requestedUpdateRate, 500u);
  EXPECT_EQ(ServerGroup(u"fast").requestedUpdateRate, 1000u);
  EXPECT_EQ(Group(1)->dwRequestedUpdateRate, 1000u);
}

TEST_F(DefineGroupsTest, ReceivePortAndClientAddressBecomeTheDestination) {
  Define("AD\t1\t9000\r\ng\tA\t1\r\nStatic.Int2\tA\t0\r\n");
  Define("AD\t1\t70000\r\nh\tA\t1\r\nStatic.Int2\tA\t0\r\n");
  EXPECT_EQ(Group(0)->dwNotifyHost, 0x7F000001u);
  EXPECT_EQ(Group(0)->wNotifyPort, 9000u);
  EXPECT_EQ(Group(1)->wNotifyPort, 70000u % 65536u);
}

TEST_F(DefineGroupsTest, ItemClientHandlesFollowTheItemLines) {
  Define("AD\t1\r\ng\tA\t3\r\nStatic.Int1\tA\t0\r\nStatic.Int2\tA\t0\r\nStatic.Int4\tA\t0\r\n");
  const auto items = ServerGroup(u"g").items;
  ASSERT_EQ(items.size(), 3u);
  for (OPCHANDLE i = 0; i < 3; ++i) EXPECT_EQ(items[i].def.clientHandle, i);
}

TEST_F(DefineGroupsTest, GroupLogLineGoesToWindowAndFileWhileTheSwitchIsOn) {
  m_log.logItemOps = true;
  Define("AD\t1\t9000\r\ng\tA\t2\r\nStatic.Int2\tA\t2\r\nStatic.Int4\tA\t2\r\n");
  const std::string groupLine = "127.0.0.1(接收端口 9000)请求加入组 g。总数据项数 2";
  EXPECT_TRUE(m_frame.Logged(groupLine));
  EXPECT_TRUE(m_frame.Logged("往g组加入第 0 个变量 Static.Int2"));
  EXPECT_TRUE(m_frame.Logged("往g组加入第 1 个变量 Static.Int4"));
  const std::string file = ReadLogFile();
  EXPECT_NE(file.find(groupLine), std::string::npos);
  EXPECT_NE(file.find("往g组加入第 1 个变量 Static.Int4"), std::string::npos);

  m_frame.windowLines.clear();
  m_log.logGroupOps = false;
  m_log.logItemOps = false;
  Define("AD\t1\r\nh\tA\t1\r\nStatic.Int2\tA\t2\r\n");
  EXPECT_FALSE(m_frame.Logged("请求加入组"));
  EXPECT_FALSE(m_frame.Logged("个变量"));
}

TEST_F(DefineGroupsTest, NamesKeepSpacesAndMultibyteText) {
  Define("AD\t1\r\n组 一\tA\t1\r\nMemory.Int2.Tag one\tA\t0\r\n");
  EXPECT_EQ(ServerGroup(u"组 一").items.at(0).def.itemId, u"Memory.Int2.Tag one");
}

TEST_F(DefineGroupsTest, FailingItemInTheSecondOfThreeGroupsRemovesAllThreeOnly) {
  Define("AD\t1\r\nkeep\tA\t1\r\nStatic.Int2\tA\t0\r\n");
  const std::string text =  // "bad" is not an item of the server
      "Add item bad on group g2 failed: The item ID is not defined in the server. : c0040007";
  EXPECT_EQ(Request("AD\t3\r\ng1\tA\t1\r\nStatic.Int2\tA\t0\r\ng2\tA\t2\r\n"
                    "Static.Int2\tA\t0\r\nbad\tA\t0\r\ng3\tA\t1\r\nStatic.Int2\tA\t0\r\n"),
            "-1073479673\t" + text + "\r\n");
  EXPECT_EQ(GroupCount(), 1u);
  EXPECT_NE(Group(0), nullptr);
  EXPECT_TRUE(ServerGroup(u"g1").removed);
  EXPECT_TRUE(ServerGroup(u"g2").removed);
  EXPECT_FALSE(m_opc.GroupByName(u"g3").has_value());
  EXPECT_FALSE(ServerGroup(u"keep").removed);
  EXPECT_TRUE(m_frame.Logged("组加入OpcServer操作失败 " + text));
  EXPECT_NE(ReadLogFile().find(text), std::string::npos);
  // The indices are free again.
  EXPECT_EQ(Request("AD\t1\r\nnext\tA\t1\r\nStatic.Int2\tA\t0\r\n"), "0\t\r\n1\r\n");
}

TEST_F(DefineGroupsTest, FailingAddGroupIsAnsweredWithItsCodeAndText) {
  m_opc.SetFailure(kAddGroup, E_OUTOFMEMORY);
  EXPECT_EQ(Request("AD\t1\r\ng\tA\t1\r\nStatic.Int2\tA\t0\r\n"),
            "-2147024882\tAdd group g to server failed : 8007000e\r\n");
  EXPECT_EQ(GroupCount(), 0u);
}

TEST_F(DefineGroupsTest, GroupLinesWithMissingFieldsAreRefused) {
  EXPECT_EQ(Request("AD\t1\r\ng\tA\r\n"), "1\tMissing item count for group g\r\n");
  EXPECT_EQ(Request("AD\t1\r\ng\r\n"), "1\tMissing active flag for group g\r\n");
  EXPECT_EQ(Request("AD\t1\r\n\t\t\r\n"), "1\tMissing group name\r\n");
  EXPECT_EQ(GroupCount(), 0u);
  EXPECT_EQ(m_opc.CountOf(kAddGroup), 0);
}

TEST_F(DefineGroupsTest, ItemCountOutside16BitsIsRefused) {
  EXPECT_EQ(Request("AD\t1\r\ng\tA\t65536\r\n"), "1\tInvalid item count: 65536\r\n");
  EXPECT_EQ(Request("AD\t1\r\ng\tA\t-1\r\n"), "1\tInvalid item count: -1\r\n");
  EXPECT_EQ(GroupCount(), 0u);
}

TEST_F(DefineGroupsTest, ItemLinesWithMissingFieldsRefuseTheWholeRequest) {
  EXPECT_EQ(Request("AD\r\nok\tA\t1\r\nStatic.Int2\tA\t0\r\ng\tA\t2\r\ni1\tA\r\n"),
            "1\tMissing data type for item i1\r\n");
  EXPECT_EQ(Request("AD\r\ng\tA\t2\r\ni1\r\n"), "1\tMissing active flag for item i1\r\n");
  EXPECT_EQ(Request("AD\r\ng\tA\t2\r\n\t\t\r\n"), "1\tMissing item ID in group g\r\n");
  EXPECT_EQ(GroupCount(), 0u);
  EXPECT_EQ(m_opc.CountOf(kAddGroup), 0);
}

TEST_F(DefineGroupsTest, EmptyLineInsideAGroupRefusesTheRequestAndLeavesNoGroup) {
  Define("AD\t1\r\nkeep\tA\t1\r\nStatic.Int2\tA\t0\r\n");
  EXPECT_EQ(
      Request("AD\r\nfull\tA\t1\r\nStatic.Int2\tA\t0\r\ng\tA\t3\r\nStatic.Int2\tA\t2\r\n\r\n"),
      "1\tIncomplete group g: 1 of 3 items\r\n");
  EXPECT_EQ(GroupCount(), 1u);
  EXPECT_EQ(m_opc.CountOf(kAddGroup), 1);
}

TEST_F(DefineGroupsTest, ClientClosingInsideAGroupLeavesNoGroup) {
  Define("AD\t1\r\nkeep\tA\t1\r\nStatic.Int2\tA\t0\r\n");
  EXPECT_EQ(RequestThenHangUp("AD\r\ng\tA\t2\r\nStatic.Int2\tA\t2\r\n"), 0);
  EXPECT_EQ(GroupCount(), 1u);
  EXPECT_EQ(m_opc.CountOf(kAddGroup), 1);
  EXPECT_TRUE(m_frame.Logged("AD 请求时，程序抛出了异常。"));
}

TEST_F(DefineGroupsTest, LongOrLateLineAfterTheFirstRefusesTheRequestAndLeavesNoGroup) {
  Define("AD\t1\r\nkeep\tA\t1\r\nStatic.Int2\tA\t0\r\n");
  const std::string longId(120, 'i');
  EXPECT_EQ(
      Request("AD\r\nfull\tA\t1\r\nStatic.Int2\tA\t0\r\ng\tA\t1\r\n" + longId + "\tA\t2\r\n\r\n"),
      "1\tLine too long: " + longId.substr(0, 99) + "\r\n");
  // Half sent: the rest never comes, and the read fails within its second.
  const std::string late = Request("AD\r\nfull\tA\t1\r\nStatic.Int2\tA\t0\r\ng\tA\t1\r\n");
  EXPECT_EQ(0u, late.rfind("-2147467259\tAD ", 0)) << late;
  EXPECT_EQ(GroupCount(), 1u);
  EXPECT_EQ(m_opc.CountOf(kAddGroup), 1);
}

TEST_F(DefineGroupsTest, GroupsAndItemsBeyondTheLimitsAreRefusedAndLeaveNoGroup) {
  m_settings.maxGroups = 3;
  m_settings.maxItems = 5;
  Define("AD\t1\r\nkeep\tA\t3\r\nStatic.Int2\tA\t0\r\nStatic.Int2\tA\t0\r\nStatic.Int2\tA\t0\r\n");
  EXPECT_EQ(Request("AD\r\nsmall\tA\t1\r\nd\tA\t2\r\nbig\tA\t2\r\ne\tA\t2\r\nf\tA\t2\r\n\r\n"),
            "1\tToo many items: the limit is 5 in all groups (/maxitems)\r\n");
  EXPECT_EQ(Request("AD\r\nx\tA\t0\r\ny\tA\t0\r\nz\tA\t0\r\n\r\n"),
            "1\tToo many groups: the limit is 3 (/maxgroups)\r\n");
  EXPECT_EQ(GroupCount(), 1u);
  EXPECT_EQ(m_opc.CountOf(kAddGroup), 1);
  // Up to the limits is fine.
  EXPECT_EQ(Request("AD\r\nlast\tA\t2\r\nStatic.Int2\tA\t0\r\nStatic.Int2\tA\t0\r\n\r\n"),
            "0\t\r\n1\r\n");
}

TEST_F(DefineGroupsTest, GroupWithoutItemsFailsRegistrationWithTheServersCode) {
  EXPECT_EQ(Request("AD\t1\r\nempty\tA\t0\r\n"),
            "-2147024809\tAdd items on group empty failed : 80070057\r\n");
  EXPECT_EQ(GroupCount(), 0u);
  EXPECT_TRUE(ServerGroup(u"empty").removed);
}

// --- RM ---

TEST_F(DefineGroupsTest, RemovingTheMiddleGroupLeavesAPlaceholder) {
  DefineThree();
  EXPECT_EQ(Request("RM\t1\r\n1\r\n"), "0\t\r\n");
  EXPECT_EQ(GroupCount(), 3u);
  EXPECT_EQ(Group(1), nullptr);
  EXPECT_NE(Group(2), nullptr);
  const auto removes = m_opc.CallsOf(kRemoveGroup);
  ASSERT_EQ(removes.size(), 1u);
  EXPECT_TRUE(ServerGroup(u"g1").removed);
  EXPECT_EQ(removes[0].force, TRUE);
  EXPECT_TRUE(m_frame.Logged("删除组 g1"));

  // Removing the last group trims the placeholder before it as well.
  EXPECT_EQ(Request("RM\t1\r\n2\r\n"), "0\t\r\n");
  EXPECT_EQ(GroupCount(), 1u);
  EXPECT_EQ(Request("AD\t1\r\nnew\tA\t1\r\nStatic.Int2\tA\t0\r\n"), "0\t\r\n1\r\n");
}

TEST_F(DefineGroupsTest, RemovingWithoutCountRunsUntilAnEmptyLine) {
  DefineThree();
  EXPECT_EQ(Request("RM\r\n0\r\n2\r\n\r\n"), "0\t\r\n");
  EXPECT_EQ(GroupCount(), 2u);
  EXPECT_EQ(Group(0), nullptr);
  EXPECT_NE(Group(1), nullptr);
}

TEST_F(DefineGroupsTest, ReachedRemoveCountReadsNoFurtherLine) {
  DefineThree();
  EXPECT_EQ(Request("RM\t1\r\n0\r\n1\r\n"), "0\t\r\n");
  EXPECT_EQ(Group(0), nullptr);
  EXPECT_NE(Group(1), nullptr);
}

TEST_F(DefineGroupsTest, RemovingAPlaceholderIsAccepted) {
  DefineThree();
  Request("RM\t1\r\n1\r\n");
  EXPECT_EQ(Request("RM\t1\r\n1\r\n"), "0\t\r\n");
  EXPECT_EQ(m_opc.CountOf(kRemoveGroup), 1);
}

TEST_F(DefineGroupsTest, BadRemoveIndicesAreRefused) {
  DefineThree();
  EXPECT_EQ(Request("RM\t1\r\n3\r\n"), "1\tInvalid group index: 3\r\n");
  EXPECT_EQ(Request("RM\t1\r\n-1\r\n"), "1\tInvalid group index: -1\r\n");
  EXPECT_EQ(Request("RM\t1\r\n\t\t\r\n"), "1\tInvalid group index: (null)\r\n");
  EXPECT_EQ(Request("RM\t0\r\n"), "1\tInvalid group count: 0\r\n");
  EXPECT_EQ(Request("RM\t65536\r\n"), "1\tInvalid group count: 65536\r\n");
  EXPECT_EQ(GroupCount(), 3u);
  EXPECT_EQ(m_opc.CountOf(kRemoveGroup), 0);
}

TEST_F(DefineGroupsTest, BadIndexStopsRemovingAndTrimsNothing) {
  DefineThree();
  EXPECT_EQ(Request("RM\r\n2\r\n7\r\n1\r\n\r\n"), "1\tInvalid group index: 7\r\n");
  EXPECT_EQ(GroupCount(), 3u);  // the placeholder at 2 stays
  EXPECT_EQ(Group(2), nullptr);
  EXPECT_NE(Group(1), nullptr);
}

TEST_F(DefineGroupsTest, RemovingEveryGroupEmptiesTheList) {
  DefineThree();
  EXPECT_EQ(Request("RM\t3\r\n0\r\n1\r\n2\r\n"), "0\t\r\n");
  EXPECT_EQ(GroupCount(), 0u);
  EXPECT_EQ(m_opc.ActiveGroupCount(), 0u);
}

// --- TD ---

TEST_F(DefineGroupsTest, TypedDefinitionRefusesAsTheDefinedOneAndKeepsNoGroup) {
  m_settings.maxItems = 4;
  const char* const faulty[] = {
      "\t0\r\n",
      "\t1\r\ng\tA\r\n",
      "\t1\r\ng\tA\t65536\r\n",
      "\t1\r\ng\tA\t5\r\n",
      "\r\ng\tA\t2\r\nStatic.Int2\tA\t0\r\n\r\n",
      "\r\ng\tA\t2\r\ni1\r\n",
      "\t2\r\ng1\tA\t1\r\nStatic.Int2\tA\t0\r\ng2\tA\t1\r\nbad\tA\t0\r\n",
  };
  for (const char* tail : faulty) {
    const std::string defined = Request(std::string("AD") + tail);
    EXPECT_NE(0u, defined.rfind("0\t", 0)) << tail;
    EXPECT_EQ(defined, Request(std::string("TD") + tail)) << tail;
    EXPECT_EQ(GroupCount(), 0u) << tail;
  }
}

TEST_F(DefineGroupsTest, TypedGroupsAreMarkedTypedAndAnsweredAsDefinedGroups) {
  EXPECT_EQ(Request("AD\t1\r\nplain\tA\t1\r\nStatic.Int2\tA\t0\r\n"), "0\t\r\n0\r\n");
  EXPECT_EQ(Request("TD\t1\t6001\r\n组 一\tA\t1\r\nMemory.Real8.é\tA\t5\r\n"), "0\t\r\n1\r\n");
  EXPECT_FALSE(Group(0)->typed);
  ASSERT_NE(Group(1), nullptr);
  EXPECT_TRUE(Group(1)->typed);
  EXPECT_EQ(Group(1)->wNotifyPort, 6001);
  // Names and item IDs arrive in UTF-8.
  EXPECT_EQ(ServerGroup(u"组 一").items.at(0).def.itemId, u"Memory.Real8.é");
  EXPECT_EQ(ServerGroup(u"组 一").items.at(0).def.requestedType, VT_R8);
}
