// Group datagrams through a running gateway with the simulator: value changes after "AC" and
// "RF", read completions after "AR", write completions after "AW", byte for byte at the
// client's receive port.
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/datagram_inbox.h"
#include "tests/e2e/shared_gateway_fixture.h"

namespace {

class NotificationsTest : public SharedGatewayTest {
protected:
  void SetUp() override {
    SharedGatewayTest::SetUp();
    ASSERT_TRUE(m_inbox.Open());
  }

  // The 16-byte header of a value-change or read-complete datagram.
  static std::string Header(char kind, std::size_t length, std::uint32_t transaction, int group,
                            int entries, std::uint32_t masterError = 0,
                            std::uint8_t masterQuality = 0) {
    return std::string(1, kind) + BigEndian16(static_cast<std::uint32_t>(length)) +
           BigEndian32(transaction) + BigEndian16(static_cast<std::uint32_t>(group)) +
           BigEndian16(static_cast<std::uint32_t>(entries)) + BigEndian32(masterError) +
           std::string(1, static_cast<char>(masterQuality));
  }

  void Activate(int group, bool active = true) {
    EXPECT_EQ("0\t\r\n", Raw(SetGroupsActiveRequest(active, {group})));
  }

  // The next datagram of the group, as bytes ("" when none came in time).
  std::string NextOf(int group, DatagramKind kind = DatagramKind::kValueChange) {
    const auto notification = m_inbox.WaitFor(IsGroupKind(kind, group));
    return notification ? notification->bytes : std::string();
  }

  CDatagramInbox m_inbox;
};

TEST_F(NotificationsTest, ActivationReportsEveryActiveItemThenOnlyChanges) {
  const std::string name = UniqueGroupName("activate");
  const int g =
      DefineOne(Group(name,
                      {Item("Static.Int2"), Item("Memory.Int4." + name), Item("Static.Boolean"),
                       Item("Static.Real8"), Item("Memory.Int2." + name, 0, false)},
                      true, 20),
                m_inbox.Port());
  ASSERT_GE(g, 0);
  // Defined groups stay inactive at the server until "AC", whatever their flag.
  m_inbox.SendMarker("marker");
  EXPECT_EQ("marker", m_inbox.Next().value_or(Notification{}).bytes);

  Activate(g);
  // Handle, length, value: Int2 300, Int4 0, Boolean true, Real8 without value bytes. The
  // inactive fifth item is left out.
  EXPECT_EQ(ToHex(Header('C', 35, 0, g, 4) + HexBytes("0000 02 012C | 0001 04 00000000 |"
                                                      "0002 01 01 | 0003 00")),
            ToHex(NextOf(g)));

  EXPECT_EQ("0\t\r\n", Raw(WriteSyncRequest(g, {{1, "1234"}})));
  EXPECT_EQ(ToHex(Header('C', 23, 0, g, 1) + HexBytes("0001 04 000004D2")), ToHex(NextOf(g)));
  EXPECT_EQ("0\t\r\n", Raw(WriteSyncRequest(g, {{1, "-2"}})));
  EXPECT_EQ(ToHex(Header('C', 23, 0, g, 1) + HexBytes("0001 04 FFFFFFFE")), ToHex(NextOf(g)));
  Activate(g, false);
}

TEST_F(NotificationsTest, BadQualityAddsAQualityByteToEveryEntry) {
  const std::string name = UniqueGroupName("quality");
  const int g = DefineOne(
      Group(name, {Item("Bad.Int2"), Item("Static.Int2"), Item("Uncertain.Int2")}), m_inbox.Port());
  ASSERT_GE(g, 0);
  Activate(g);
  // Master quality S_FALSE: each entry ends with its quality byte (0 bad, 0xC0 good, 0x40).
  EXPECT_EQ(ToHex(Header('C', 34, 0, g, 3, 0, 1) +
                  HexBytes("0000 02 0000 00 | 0001 02 012C C0 | 0002 02 0000 40")),
            ToHex(NextOf(g)));
  Activate(g, false);
}

TEST_F(NotificationsTest, DeactivatedGroupFallsSilentWhileOthersGoOn) {
  const std::string quiet = UniqueGroupName("quiet");
  const std::string ticking = UniqueGroupName("ticking");
  const std::vector<int> groups =
      Define({Group(quiet, {Item("Memory.Int2." + quiet, kVtI2)}, true, 10),
              Group(ticking, {Item("Ramp.Int4", kVtI4)}, true, 10)},
             m_inbox.Port());
  ASSERT_EQ(2u, groups.size());
  EXPECT_EQ("0\t\r\n", Raw(SetGroupsActiveRequest(true, groups)));
  ASSERT_NE("", NextOf(groups[0]));

  Activate(groups[0], false);
  m_inbox.Drain();
  EXPECT_EQ("0\t\r\n", Raw(WriteSyncRequest(groups[0], {{0, "5"}})));
  // The ticking group reports every 100 ms tick; across three of its reports the deactivated
  // group sends nothing.
  for (int report = 0; report < 3; ++report) {
    const auto next = m_inbox.Next();
    ASSERT_TRUE(next && next->decoded.ok);
    EXPECT_EQ(groups[1], next->Value().group) << ToHex(next->bytes);
  }
  // Activated again, it reports its current value.
  Activate(groups[0]);
  EXPECT_EQ(ToHex(Header('C', 21, 0, groups[0], 1) + HexBytes("0000 02 0005")),
            ToHex(NextOf(groups[0])));
  EXPECT_EQ("0\t\r\n", Raw(SetGroupsActiveRequest(false, groups)));
}

TEST_F(NotificationsTest, RampValuesArriveInOrder) {
  const std::string name = UniqueGroupName("ramp");
  const int g = DefineOne(Group(name, {Item("Ramp.Int4", kVtI4)}, true, 10), m_inbox.Port());
  ASSERT_GE(g, 0);
  Activate(g);
  std::vector<std::int32_t> values;
  for (int i = 0; i < 3; ++i) {
    const auto next = m_inbox.WaitFor(IsGroupKind(DatagramKind::kValueChange, g));
    ASSERT_TRUE(next);
    ASSERT_EQ(1u, next->Value().items.size());
    values.push_back(next->Value().items[0].SignedValue());
  }
  EXPECT_LT(values[0], values[1]);
  EXPECT_LT(values[1], values[2]);
  Activate(g, false);
}

TEST_F(NotificationsTest, GroupsDefinedWithoutAPortReportToTheDefaultPort) {
  const std::string name = UniqueGroupName("default_port");
  const int g = DefineOne(Group(name, {Item("Static.Int2")}));
  ASSERT_GE(g, 0);
  Activate(g);
  const auto datagram = Gateway().Announcements().Receive(std::chrono::seconds(20));
  ASSERT_TRUE(datagram);
  EXPECT_EQ(ToHex(Header('C', 21, 0, g, 1) + HexBytes("0000 02 012C")), ToHex(datagram->bytes));
  Activate(g, false);
}

TEST_F(NotificationsTest, RefreshSendsEveryItemWithItsTransactionId) {
  const std::string name = UniqueGroupName("refresh");
  const int g = DefineOne(Group(name, {Item("Static.Int2"), Item("Static.Int4")}), m_inbox.Port());
  ASSERT_GE(g, 0);
  Activate(g);
  const std::string all = HexBytes("0000 02 012C | 0001 04 00011170");
  EXPECT_EQ(ToHex(Header('C', 28, 0, g, 2) + all), ToHex(NextOf(g)));

  const std::string reply = Raw(RefreshGroupsRequest(77, {g}));
  EXPECT_TRUE(std::regex_match(reply, std::regex("0\t[0-9]+l\r\n"))) << reply;
  EXPECT_EQ(ToHex(Header('C', 28, 77, g, 2) + all), ToHex(NextOf(g)));

  // The transaction number is unsigned 32-bit.
  EXPECT_TRUE(
      std::regex_match(Raw(RefreshGroupsRequest(4000000000u, {g})), std::regex("0\t[0-9]+l\r\n")));
  EXPECT_EQ(ToHex(Header('C', 28, 4000000000u, g, 2) + all), ToHex(NextOf(g)));
  Activate(g, false);
}

TEST_F(NotificationsTest, AsyncReadCompletesWithAReadDatagramCarryingItsTransactionId) {
  const std::string name = UniqueGroupName("async_read");
  const int g =
      DefineOne(Group(name, {Item("Static.Int2"), Item("Static.UInt4")}, false), m_inbox.Port());
  ASSERT_GE(g, 0);
  const ExchangeResult result = Gateway().Exchange(ReadAsyncRequest(g, {0, 1}, 7));
  ASSERT_TRUE(result.Ok()) << result.message;
  EXPECT_EQ(0, result.reply.code) << result.raw;
  EXPECT_TRUE(std::regex_match(result.raw, std::regex("0\t[0-9]+\r\n"))) << result.raw;
  EXPECT_EQ(ToHex(Header('R', 28, 7, g, 2) + HexBytes("0000 02 012C | 0001 04 B2D05E00")),
            ToHex(NextOf(g, DatagramKind::kReadComplete)));

  // A negative id travels as its 32 bits.
  EXPECT_EQ(0, Gateway().Exchange("AR\t" + std::to_string(g) + "\t1\t-1\r\n0\r\n").reply.code);
  EXPECT_EQ(ToHex(Header('R', 21, 0xFFFFFFFF, g, 1) + HexBytes("0000 02 012C")),
            ToHex(NextOf(g, DatagramKind::kReadComplete)));
}

TEST_F(NotificationsTest, AsyncWriteCompletesWithThirteenBytes) {
  const std::string name = UniqueGroupName("async_write");
  const int g = DefineOne(
      Group(name, {Item("Memory.Int4." + name, kVtI4), Item("Memory.UInt2." + name, 18)}, false),
      m_inbox.Port());
  ASSERT_GE(g, 0);
  const ExchangeResult result =
      Gateway().Exchange(WriteAsyncRequest(g, {{0, "4242"}, {1, "65535"}}, 0x01020304));
  ASSERT_TRUE(result.Ok()) << result.message;
  EXPECT_TRUE(std::regex_match(result.raw, std::regex("0\t[0-9]+\r\n"))) << result.raw;
  EXPECT_EQ(ToHex(HexBytes("57 01020304") + BigEndian16(static_cast<std::uint32_t>(g)) +
                  HexBytes("0002 00000000")),
            ToHex(NextOf(g, DatagramKind::kWriteComplete)));
  EXPECT_EQ("0\t\r\n4242\t192\r\n65535\t192\r\n", Raw(ReadSyncRequest(g, {0, 1})));
}

TEST_F(NotificationsTest, AsyncWriteToAReadOnlyItemNamesItsErrorBeforeTheCancelId) {
  const std::string name = UniqueGroupName("async_ro");
  const int g = DefineOne(Group(name, {Item("Static.Int2", kVtI2)}, false), m_inbox.Port());
  ASSERT_GE(g, 0);
  const std::string raw = Raw(WriteAsyncRequest(g, {{0, "1"}}, 9));
  EXPECT_TRUE(std::regex_match(
      raw, std::regex("1\tThe item's access rights do not allow this operation\\.\t[0-9]+\r\n")))
      << raw;
}

TEST_F(NotificationsTest, GroupOf300ItemsArrivesAsDatagramsOf121And121And58Entries) {
  const std::string name = UniqueGroupName("big");
  std::vector<ItemDefinition> items;
  for (int k = 0; k < 300; ++k)
    items.push_back(Item("Memory.Int2." + name + "_" + std::to_string(k), kVtI2));
  const int g = DefineOne(Group(name, items), m_inbox.Port());
  ASSERT_GE(g, 0);
  Activate(g);
  const std::vector<Notification> datagrams = m_inbox.Take(3);
  ASSERT_EQ(3u, datagrams.size());
  const int counts[] = {121, 121, 58};
  int handle = 0;
  for (int d = 0; d < 3; ++d) {
    std::string expected =
        Header('C', 16 + 5 * static_cast<std::size_t>(counts[d]), 0, g, counts[d]);
    for (int k = 0; k < counts[d]; ++k, ++handle) {
      expected += BigEndian16(static_cast<std::uint32_t>(handle)) + HexBytes("02 0000");
    }
    EXPECT_EQ(ToHex(expected), ToHex(datagrams[static_cast<std::size_t>(d)].bytes)) << d;
  }
  // A change of one item afterwards is one small datagram.
  EXPECT_EQ("0\t\r\n", Raw(WriteSyncRequest(g, {{299, "-2"}})));
  EXPECT_EQ(ToHex(Header('C', 21, 0, g, 1) + HexBytes("012B 02 FFFE")), ToHex(NextOf(g)));
  Activate(g, false);
}

}  // namespace
