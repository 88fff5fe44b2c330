// Every command's replies through a running gateway with the simulator, byte for byte.
#include <string>
#include <vector>

#include "tests/e2e/shared_gateway_fixture.h"

namespace {

class RequestsTest : public SharedGatewayTest {
protected:
  static std::string Indices(const std::vector<int>& indices) {
    std::string text;
    for (const int index : indices) text += "\r\n" + std::to_string(index);
    return text;
  }
};

// --- Heartbeat, unknown commands, short lines ---

TEST_F(RequestsTest, HeartbeatIsAnsweredHbtOk) {
  EXPECT_EQ("0\tHBT OK!\r\n", Raw("HBT\r\n"));
  EXPECT_EQ("0\tHBT OK!\r\n", Raw("HBT\tmore\tfields\r\n"));
  EXPECT_EQ("0\tHBT OK!\r\n", Raw("HBT\n"));  // a bare LF ends the line too
}

TEST_F(RequestsTest, UnknownCommandsAreRefusedWithTheirToken) {
  EXPECT_EQ("1\tUnknown command: hbt\r\n", Raw("hbt\r\n"));
  EXPECT_EQ("1\tUnknown command: HBT \r\n", Raw("HBT \r\n"));
  EXPECT_EQ("1\tUnknown command: GET / HTTP/1.0\r\n", Raw("GET / HTTP/1.0\r\n\r\n"));
  EXPECT_EQ("1\tUnknown command: \r\n", Raw("\t\r\n"));
}

TEST_F(RequestsTest, FirstLineTooShortForACommandGetsNoReply) {
  EXPECT_EQ("", Raw("\r\n"));
  EXPECT_EQ("", Raw("x\n"));
  EXPECT_EQ("0\tHBT OK!\r\n", Raw("HBT\r\n"));  // and the gateway still serves
}

TEST_F(RequestsTest, OverlongFirstLineIsCutAndItsCommandStillFound) {
  EXPECT_EQ("0\tHBT OK!\r\n", Raw("HBT\t" + std::string(300, 'x') + "\r\n"));
  const std::string reply = Raw(std::string(150, 'Q') + "\r\n");
  // The command token is what the 100-byte buffer kept: fewer than 100 characters.
  ASSERT_EQ(0u, reply.rfind("1\tUnknown command: Q", 0)) << reply;
  const std::size_t kept = reply.size() - std::string("1\tUnknown command: \r\n").size();
  EXPECT_LT(kept, 100u);
  EXPECT_GE(kept, 97u);
}

// --- AD ---

TEST_F(RequestsTest, DefineRepliesTheIndicesOfTheNewGroups) {
  const std::string first = UniqueGroupName("define_a");
  const std::string second = UniqueGroupName("define_b");
  const ExchangeResult result = Gateway().Exchange(DefineGroupsRequest(
      {Group(first, {Item("Static.Int2"), Item("Memory.Int4." + first, kVtI4)}, true, 100),
       Group(second, {Item("Ramp.Int2", kVtI2, false)}, false)}));
  ASSERT_TRUE(result.Ok()) << result.message;
  const auto indices = ReplyIndices(result.reply.text);
  ASSERT_TRUE(indices && indices->size() == 2) << result.raw;
  const int index = (*indices)[0];
  EXPECT_EQ("0\t\r\n" + std::to_string(index) + "\r\n" + std::to_string(index + 1) + "\r\n",
            result.raw);
  EXPECT_EQ("0\t" + Indices({index + 1, index}) + "\r\n",
            Raw(QueryGroupIndexesRequest({second, first})));
}

TEST_F(RequestsTest, DefineWithoutCountReadsGroupsUntilAnEmptyLine) {
  const std::string name = UniqueGroupName("uncounted");
  const ExchangeResult result =
      Gateway().Exchange("AD\r\n" + name + "\tA\t1\r\nStatic.Int2\tA\t0\r\n\r\n");
  const auto indices = ReplyIndices(result.reply.text);
  ASSERT_TRUE(result.Ok() && indices && indices->size() == 1) << result.raw;
  const std::string index = std::to_string((*indices)[0]);
  EXPECT_EQ("0\t\r\n" + index + "\r\n", result.raw);
  EXPECT_EQ("0\t\r\n" + index + "\r\n", Raw(QueryGroupIndexesRequest({name})));
}

TEST_F(RequestsTest, DefineFollowedByAnEmptyLineDefinesNothing) {
  EXPECT_EQ("0\t\r\n", Raw("AD\t1\r\n\r\n"));
}

TEST_F(RequestsTest, DefineWithAnUnknownItemFailsWithTheItemsErrorAndKeepsNothing) {
  const std::string good = UniqueGroupName("kept_out");
  const std::string bad = UniqueGroupName("unknown_item");
  const std::string raw =
      Raw(DefineGroupsRequest({Group(good, {Item("Static.Int2")}),
                               Group(bad, {Item("Static.Int4"), Item("Static.Nothing")})}));
  // OPC_E_UNKNOWNITEMID 0xC0040007 as a signed decimal code.
  EXPECT_EQ("-1073479673\tAdd item Static.Nothing on group " + bad +
                " failed: The item ID is not defined in the server. : c0040007\r\n",
            raw);
  // Both groups of the request left the list again.
  EXPECT_EQ("-1\t\r\n-1\r\n-1\r\n", Raw(QueryGroupIndexesRequest({good, bad})));
}

TEST_F(RequestsTest, DefineWithAnUnservableTypeFails) {
  const std::string name = UniqueGroupName("bad_type");
  // An array of VT_I2 is a type the item cannot be served as (OPC_E_BADTYPE).
  const std::string raw = Raw(DefineGroupsRequest({Group(name, {Item("Static.Int2", 0x2002)})}));
  EXPECT_EQ("-1073479676\tAdd item Static.Int2 on group " + name +
                " failed: The item's value cannot be converted between the requested and the "
                "canonical type. : c0040004\r\n",
            raw);
}

TEST_F(RequestsTest, DefineOfADuplicateGroupNameFails) {
  const std::string name = UniqueGroupName("twice");
  ASSERT_GE(DefineOne(Group(name, {Item("Static.Int2")})), 0);
  // OPC_E_DUPLICATENAME 0xC004000C.
  EXPECT_EQ("-1073479668\tAdd group " + name + " to server failed : c004000c\r\n",
            Raw(DefineGroupsRequest({Group(name, {Item("Static.Int2")})})));
}

// --- RM ---

TEST_F(RequestsTest, RemoveLeavesAPlaceholderAndTrimsTheTail) {
  const std::string a = UniqueGroupName("rm_a");
  const std::string b = UniqueGroupName("rm_b");
  const std::string c = UniqueGroupName("rm_c");
  const std::vector<int> indices =
      Define({Group(a, {Item("Static.Int2")}), Group(b, {Item("Static.Int2")}),
              Group(c, {Item("Static.Int2")})});
  ASSERT_EQ(3u, indices.size());
  const int first = indices[0];

  EXPECT_EQ("0\t\r\n", Raw(RemoveGroupsRequest({first + 1})));
  // The third group keeps its index; the removed one is not found and refuses reads.
  EXPECT_EQ("0\t" + Indices({first, -1, first + 2}) + "\r\n",
            Raw(QueryGroupIndexesRequest({a, b, c})));
  EXPECT_EQ("1\tGroup " + std::to_string(first + 1) + " was removed\r\n",
            Raw(ReadSyncRequest(first + 1, {0})));
  // Removing a placeholder again is accepted.
  EXPECT_EQ("0\t\r\n", Raw(RemoveGroupsRequest({first + 1})));

  // Removing the last group trims the placeholder before it: the next group takes its index.
  EXPECT_EQ("0\t\r\n", Raw(RemoveGroupsRequest({first + 2})));
  const std::string d = UniqueGroupName("rm_d");
  EXPECT_EQ(first + 1, DefineOne(Group(d, {Item("Static.Int2")})));
  EXPECT_EQ("0\t" + Indices({first, first + 1}) + "\r\n", Raw(QueryGroupIndexesRequest({a, d})));
}

TEST_F(RequestsTest, RemoveRefusesBadCountsAndIndices) {
  EXPECT_EQ("1\tInvalid group count: 0\r\n", Raw("RM\t0\r\n"));
  EXPECT_EQ("1\tInvalid group count: 65536\r\n", Raw("RM\t65536\r\n"));
  EXPECT_EQ("1\tInvalid group index: 99999\r\n", Raw("RM\t1\r\n99999\r\n"));
  EXPECT_EQ("1\tInvalid group index: -1\r\n", Raw("RM\t1\r\n-1\r\n"));
  EXPECT_EQ("0\t\r\n", Raw("RM\r\n\r\n"));  // no index before the empty line
}

// --- Q? ---

TEST_F(RequestsTest, QueryComparesNamesExactly) {
  const std::string name = UniqueGroupName("Exact");
  const int index = DefineOne(Group(name, {Item("Static.Int2")}));
  ASSERT_GE(index, 0);
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ("0\t" + Indices({-1, index, -1}) + "\r\n",
            Raw(QueryGroupIndexesRequest({lower, name, "no such group"})));
  EXPECT_EQ("-1\t\r\n-1\r\n", Raw(QueryGroupIndexesRequest({"no such group"})));
}

// --- SR ---

TEST_F(RequestsTest, SyncReadAnswersValuesAndQualities) {
  const std::string name = UniqueGroupName("read");
  const int index = DefineOne(Group(
      name, {Item("Static.Int2"), Item("Static.Boolean"), Item("Static.Int4"), Item("Static.UInt4"),
             Item("Static.Real8"), Item("Bad.Int2"), Item("Uncertain.Int2"), Item("Static.Int1"),
             Item("Static.UInt1"), Item("Static.UInt2"), Item("Static.String")}));
  ASSERT_GE(index, 0);
  EXPECT_EQ(
      "0\t\r\n300\t192\r\n1\t192\r\n70000\t192\r\n3000000000\t192\r\n0\t192\r\n0\t0\r\n"
      "0\t64\r\n-100\t192\r\n200\t192\r\n50000\t192\r\n0\t192\r\n",
      Raw(ReadSyncRequest(index, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10})));
  // Items in any order and repeated; the transaction id is read and not used.
  EXPECT_EQ("0\t\r\n70000\t192\r\n300\t192\r\n300\t192\r\n",
            Raw(ReadSyncRequest(index, {2, 0, 0}, 12345)));
  // Extra fields on an item line are ignored.
  EXPECT_EQ("0\t\r\n300\t192\r\n", Raw("SR\t" + std::to_string(index) + "\t1\t0\r\n0\textra\r\n"));
}

TEST_F(RequestsTest, SyncReadOf300ItemsAnswersEveryOneInOrder) {
  const std::string name = UniqueGroupName("read300");
  std::vector<ItemDefinition> items;
  std::vector<std::uint16_t> indices;
  std::string expected = "0\t";
  for (int k = 0; k < 300; ++k) {
    items.push_back(Item(k % 2 == 0 ? "Static.Int2" : "Static.Int4"));
    indices.push_back(static_cast<std::uint16_t>(299 - k));
    expected += k % 2 == 0 ? "\r\n70000\t192" : "\r\n300\t192";
  }
  const int index = DefineOne(Group(name, items));
  ASSERT_GE(index, 0);
  EXPECT_EQ(expected + "\r\n", Raw(ReadSyncRequest(index, indices)));
}

TEST_F(RequestsTest, SyncReadOfRequestedTypesConvertsOnTheServer) {
  const std::string name = UniqueGroupName("read_types");
  // Static.Int2 (300) as VT_I4, Static.Int4 (70000) as VT_UI4, Static.Int2 as VT_BOOL.
  const int index = DefineOne(Group(name, {Item("Static.Int2", kVtI4), Item("Static.Int4", kVtUi4),
                                           Item("Static.Int2", kVtBool)}));
  ASSERT_GE(index, 0);
  EXPECT_EQ("0\t\r\n300\t192\r\n70000\t192\r\n1\t192\r\n", Raw(ReadSyncRequest(index, {0, 1, 2})));
}

// --- SW ---

TEST_F(RequestsTest, SyncWriteIsReadBackConvertedToTheRequestedType) {
  const std::string name = UniqueGroupName("write");
  const int index = DefineOne(
      Group(name, {Item("Memory.Int4." + name, kVtI4), Item("Memory.Int2." + name, kVtI2),
                   Item("Memory.UInt1." + name, kVtUi1), Item("Memory.Boolean." + name, kVtBool)}));
  ASSERT_GE(index, 0);
  EXPECT_EQ("0\t\r\n0\t192\r\n0\t192\r\n0\t192\r\n0\t192\r\n",
            Raw(ReadSyncRequest(index, {0, 1, 2, 3})));
  EXPECT_EQ("0\t\r\n",
            Raw(WriteSyncRequest(index, {{0, "70000"}, {1, "70000"}, {2, "300"}, {3, "1"}})));
  EXPECT_EQ("0\t\r\n70000\t192\r\n4464\t192\r\n44\t192\r\n1\t192\r\n",
            Raw(ReadSyncRequest(index, {0, 1, 2, 3})));
  EXPECT_EQ("0\t\r\n", Raw(WriteSyncRequest(index, {{0, "-5"}})));
  EXPECT_EQ("0\t\r\n-5\t192\r\n", Raw(ReadSyncRequest(index, {0})));
}

TEST_F(RequestsTest, WriteOfTextThatIsNoWholeNumberIsRefusedAndWritesNothing) {
  const std::string name = UniqueGroupName("write_text");
  const int index = DefineOne(Group(name, {Item("Memory.Int4." + name, kVtI4)}));
  ASSERT_GE(index, 0);
  ASSERT_EQ("0\t\r\n", Raw(WriteSyncRequest(index, {{0, "7"}})));
  for (const std::string value : {"abc", "12abc", "4 2"}) {
    EXPECT_EQ("1\tInvalid value for item 0: " + value + "\r\n",
              Raw(WriteSyncRequest(index, {{0, value}})));
    EXPECT_EQ("1\tInvalid value for item 0: " + value + "\r\n",
              Raw("AW\t" + std::to_string(index) + "\t1\t5\r\n0\t" + value + "\r\n"));
  }
  EXPECT_EQ("0\t\r\n7\t192\r\n", Raw(ReadSyncRequest(index, {0})));
  // Blanks before and after the number and a sign are still taken.
  EXPECT_EQ("0\t\r\n", Raw(WriteSyncRequest(index, {{0, "  +42  "}})));
  EXPECT_EQ("0\t\r\n42\t192\r\n", Raw(ReadSyncRequest(index, {0})));
}

TEST_F(RequestsTest, SyncWriteToReadOnlyItemsNamesTheirPositions) {
  const std::string name = UniqueGroupName("write_ro");
  const int index =
      DefineOne(Group(name, {Item("Static.Int2", kVtI2), Item("Memory.Int2." + name, kVtI2),
                             Item("Ramp.Int2", kVtI2)}));
  ASSERT_GE(index, 0);
  const std::string rights = "The item's access rights do not allow this operation.";
  EXPECT_EQ("1\t0: " + rights + "\t2: " + rights + "\t\r\n",
            Raw(WriteSyncRequest(index, {{0, "1"}, {1, "7"}, {2, "1"}})));
  // The writable item in between was written.
  EXPECT_EQ("0\t\r\n7\t192\r\n", Raw(ReadSyncRequest(index, {1})));
}

// --- Refusals of malformed requests ---

TEST_F(RequestsTest, MalformedRequestsAreRefusedWithCodeOne) {
  const std::string name = UniqueGroupName("malformed");
  const int index = DefineOne(Group(name, {Item("Memory.Int2." + name, kVtI2)}));
  ASSERT_GE(index, 0);
  const std::string g = std::to_string(index);

  EXPECT_EQ("1\tInvalid group count: 0\r\n", Raw("AD\t0\r\n"));
  EXPECT_EQ("1\tInvalid group count: x\r\n", Raw("AD\tx\r\n"));
  EXPECT_EQ("1\tMissing item count for group g1\r\n", Raw("AD\t1\r\ng1\tA\r\n"));
  EXPECT_EQ("1\tMissing data type for item Static.Int2\r\n",
            Raw("AD\t1\r\ng2\tA\t1\r\nStatic.Int2\tA\r\n"));

  EXPECT_EQ("1\tInvalid group index: 99999\r\n", Raw("SR\t99999\t1\t0\r\n0\r\n"));
  EXPECT_EQ("1\tInvalid group index: (null)\r\n", Raw("SR\r\n"));
  EXPECT_EQ("1\tInvalid group index: -3\r\n", Raw("SW\t-3\t1\r\n0\t1\r\n"));
  EXPECT_EQ("1\tMissing item count\r\n", Raw("SR\t" + g + "\r\n"));
  EXPECT_EQ("1\tMissing transaction id\r\n", Raw("SR\t" + g + "\t1\r\n0\r\n"));
  EXPECT_EQ("1\tMissing transaction id\r\n", Raw("AW\t" + g + "\t1\r\n0\t1\r\n"));
  EXPECT_EQ("1\tInvalid item count: 0\r\n", Raw("SR\t" + g + "\t0\t0\r\n"));
  EXPECT_EQ("1\tInvalid item index: 1\r\n", Raw("SR\t" + g + "\t1\t0\r\n1\r\n"));
  // Item indices are 16 bits: 65536 names item 0.
  EXPECT_EQ("0\t\r\n0\t192\r\n", Raw("SR\t" + g + "\t1\t0\r\n65536\r\n"));
  EXPECT_EQ("1\tNo item lines\r\n", Raw("SR\t" + g + "\t2\t0\r\n\r\n"));
  EXPECT_EQ("1\tMissing value for item 0\r\n", Raw("SW\t" + g + "\t1\r\n0\r\n"));

  EXPECT_EQ("1\tMissing group state\r\n", Raw("AC\r\n"));
  EXPECT_EQ("1\tInvalid group count: 0\r\n", Raw("AC\tA\t0\r\n"));
  EXPECT_EQ("1\tInvalid group index: 99999\r\n", Raw("AC\tA\t1\r\n99999\r\n"));
  EXPECT_EQ("1\t\r\n", Raw("RF\r\n"));
  EXPECT_EQ("1\tInvalid group index: 99999\r\n", Raw("RF\t1\r\n99999\r\n"));

  // None of it changed the group.
  EXPECT_EQ("0\t\r\n0\t192\r\n", Raw(ReadSyncRequest(index, {0})));
}

TEST_F(RequestsTest, RequestEndedEarlyByTheClientIsAnsweredAsAFailure) {
  const std::string name = UniqueGroupName("cut");
  const int index = DefineOne(Group(name, {Item("Static.Int2"), Item("Static.Int4")}));
  ASSERT_GE(index, 0);
  // Two items announced, one line sent, then the client ends its sending half.
  const ExchangeResult result =
      Gateway().Exchange("SR\t" + std::to_string(index) + "\t2\t0\r\n0\r\n");
  ASSERT_TRUE(result.Ok()) << result.message;
  EXPECT_NE(0, result.reply.code);
  EXPECT_EQ(0u, result.reply.text.rfind(
                    CGatewayProcess::GatewayText("SR 请求时，程序抛出了异常。错误代码："), 0))
      << result.reply.text;
  EXPECT_EQ("0\tHBT OK!\r\n", Raw("HBT\r\n"));
}

TEST_F(RequestsTest, LinesAfterTheFirstAreNeitherCutNorTakenForEmptyByTheirLength) {
  const std::string name = UniqueGroupName("lines");
  const int index = DefineOne(Group(name, {Item("Memory.Int2." + name, kVtI2)}));
  ASSERT_GE(index, 0);
  // A value field cut at 99 characters would write 1: the request is refused instead.
  const std::string kept = "0\t" + std::string(96, ' ') + "1";
  EXPECT_EQ("1\tLine too long: " + kept + "\r\n",
            Raw("SW\t" + std::to_string(index) + "\t1\r\n" + kept + "23\r\n"));
  EXPECT_EQ("0\t\r\n0\t192\r\n", Raw(ReadSyncRequest(index, {0})));
  // A line of 99 characters is whole and still taken.
  EXPECT_EQ("0\t\r\n",
            Raw("SW\t" + std::to_string(index) + "\t1\r\n0\t" + std::string(92, ' ') + "123\r\n"));
  EXPECT_EQ("0\t\r\n123\t192\r\n", Raw(ReadSyncRequest(index, {0})));

  // One character and LF is a line with content: the group named "~" is found.
  const int tilde = DefineOne(Group("~", {Item("Static.Int2")}));
  ASSERT_GE(tilde, 0);
  EXPECT_EQ("0\t\r\n" + std::to_string(tilde) + "\r\n", Raw("Q?\r\n~\n\r\n"));
}

}  // namespace
