// Typed values through a running gateway with the simulator: groups defined with "TD" report
// value changes, refreshes and read completions as typed datagrams (kinds 0x63 and 0x72) with
// the server's timestamps, beside groups of "AD" whose datagrams keep their bytes, and "TR"
// reads values with their types.
#include <chrono>
#include <cmath>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/datagram_inbox.h"
#include "tests/e2e/gateway_process.h"
#include "tests/e2e/shared_gateway_fixture.h"
#include "tests/e2e/typed_datagram.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint8_t kTypedChange = 0x63;
constexpr std::uint8_t kTypedRead = 0x72;

std::int64_t NowMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class TypedValuesTest : public SharedGatewayTest {
protected:
  void SetUp() override {
    SharedGatewayTest::SetUp();
    ASSERT_TRUE(m_inbox.Open());
  }

  // "TD" with the lines of the same "AD" request.
  static std::string TypedDefinition(const std::vector<GroupDefinition>& groups,
                                     std::uint16_t port) {
    return "TD" + DefineGroupsRequest(groups, port).substr(2);
  }
  int DefineTyped(const GroupDefinition& group) {
    const std::string reply = Raw(TypedDefinition({group}, m_inbox.Port()));
    std::smatch match;
    if (!std::regex_match(reply, match, std::regex("0\t\r\n([0-9]+)\r\n"))) {
      ADD_FAILURE() << reply;
      return -1;
    }
    return std::stoi(match[1]);
  }

  // The next typed datagram of the group of that kind.
  std::optional<TypedDatagram> NextTyped(int group, std::uint8_t kind = kTypedChange) {
    const auto found = m_inbox.WaitFor([&](const Notification& n) {
      const auto d = DecodeTypedDatagram(n.bytes);
      return d && d->group == group && d->kind == kind;
    });
    if (!found) return std::nullopt;
    return DecodeTypedDatagram(found->bytes);
  }

  CDatagramInbox m_inbox;
};

TEST_F(TypedValuesTest, FirstReportCarriesEveryItemWithItsTypeValueAndTimestamp) {
  const std::string name = UniqueGroupName("typed");
  const int g = DefineTyped(
      Group(name,
            {Item("Static.Real8"), Item("Static.Real4"), Item("Static.String"), Item("Static.Int1"),
             Item("Static.UInt4"), Item("Static.Boolean"), Item("Ramp.Int4"), Item("Bad.Int2")},
            true, 50));
  ASSERT_GE(g, 0);
  EXPECT_EQ("0\t\r\n", Raw(SetGroupsActiveRequest(true, {g})));
  const auto report = NextTyped(g);
  ASSERT_TRUE(report);
  const std::int64_t now = NowMicroseconds();
  EXPECT_EQ(0u, report->transaction);
  EXPECT_EQ(1, report->masterQuality);  // one bad item
  ASSERT_EQ(8u, report->entries.size());
  const auto& e = report->entries;
  for (std::size_t k = 0; k < e.size(); ++k) {
    EXPECT_EQ(k, e[k].handle);
    EXPECT_EQ(0, e[k].flags);
    EXPECT_EQ(0, e[k].error);
    EXPECT_GT(e[k].timestamp, 0);
    EXPECT_LE(e[k].timestamp, now);
  }
  EXPECT_EQ(5, e[0].vartype);
  EXPECT_EQ(3.25, e[0].Real8());
  EXPECT_EQ(4, e[1].vartype);
  EXPECT_EQ(1.5f, e[1].Real4());
  EXPECT_EQ(8, e[2].vartype);
  EXPECT_EQ("Quarnix", e[2].value);
  EXPECT_EQ(16, e[3].vartype);
  EXPECT_EQ(-100, e[3].Signed());
  EXPECT_EQ(19, e[4].vartype);
  EXPECT_EQ(3000000000u, e[4].Unsigned());
  EXPECT_EQ(11, e[5].vartype);
  EXPECT_EQ(std::string(1, '\x01'), e[5].value);
  EXPECT_EQ(0xC0, e[5].quality);
  // A ticking item carries the time of its last change.
  EXPECT_EQ(3, e[6].vartype);
  EXPECT_GT(e[6].timestamp, now - 1'000'000);
  // The bad item: its whole quality word.
  EXPECT_EQ(0x00, e[7].quality);
  EXPECT_EQ(2u, e[7].value.size());
  EXPECT_EQ("0\t\r\n", Raw(SetGroupsActiveRequest(false, {g})));
}

TEST_F(TypedValuesTest, RefreshAndReadCompleteAreTypedWithTheirTransactionsBesideAnUntypedGroup) {
  const std::string typed = UniqueGroupName("typed-rf");
  const std::string plain = UniqueGroupName("plain-rf");
  const int t = DefineTyped(Group(typed, {Item("Static.Real8"), Item("Static.Int2")}, false));
  ASSERT_GE(t, 0);
  const int p =
      DefineOne(Group(plain, {Item("Static.Int2"), Item("Static.Real8")}, false), m_inbox.Port());
  ASSERT_GE(p, 0);
  EXPECT_EQ("0\t\r\n", Raw(SetGroupsActiveRequest(true, {t, p})));
  ASSERT_TRUE(NextTyped(t));
  m_inbox.Drain();

  EXPECT_EQ(0u, Raw(RefreshGroupsRequest(4711, {t, p})).rfind("0\t", 0));
  const auto refreshed = NextTyped(t);
  ASSERT_TRUE(refreshed);
  EXPECT_EQ(4711u, refreshed->transaction);
  ASSERT_EQ(2u, refreshed->entries.size());
  EXPECT_EQ(3.25, refreshed->entries[0].Real8());
  EXPECT_EQ(300, refreshed->entries[1].Signed());
  // The defined group beside it keeps the defined bytes: Int2 300, Real8 without value bytes.
  const auto defined = m_inbox.WaitFor([&](const Notification& n) {
    return n.bytes.size() >= 9 && n.bytes[0] == 'C' && n.bytes.substr(3, 4) == BigEndian32(4711) &&
           n.bytes.substr(7, 2) == BigEndian16(static_cast<std::uint32_t>(p));
  });
  ASSERT_TRUE(defined);
  EXPECT_EQ(
      ToHex(HexBytes("43 0018") + BigEndian32(4711) + BigEndian16(static_cast<std::uint32_t>(p)) +
            HexBytes("0002 00000000 00 | 0000 02 012C | 0001 00")),
      ToHex(defined->bytes));

  EXPECT_EQ(0u, Raw(ReadAsyncRequest(t, {1, 0}, 815)).rfind("0\t", 0));
  const auto read = NextTyped(t, kTypedRead);
  ASSERT_TRUE(read);
  EXPECT_EQ(815u, read->transaction);
  ASSERT_EQ(2u, read->entries.size());
  EXPECT_EQ(1, read->entries[0].handle);
  EXPECT_EQ(300, read->entries[0].Signed());
  EXPECT_EQ(3.25, read->entries[1].Real8());
  EXPECT_EQ("0\t\r\n", Raw(SetGroupsActiveRequest(false, {t, p})));
}

TEST_F(TypedValuesTest, TypedReadReturnsWhatWasWritten) {
  const std::string name = UniqueGroupName("typed-tr");
  const int g = DefineTyped(Group(
      name, {Item("Memory.Real8." + name), Item("Memory.String." + name), Item("Static.UInt4")},
      false));
  ASSERT_GE(g, 0);
  EXPECT_EQ("0\t\r\n", Raw(WriteSyncRequest(g, {{0, "21.7"}, {1, "a\\b"}})));
  const std::string reply = Raw("TR\t" + std::to_string(g) + "\t3\r\n0\r\n1\r\n2\r\n");
  const std::regex shape(
      "0\t3 values\r\n"
      "0\t5\t192\t\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z\t0\t21\\.7\r\n"
      "1\t8\t192\t\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z\t0\ta\\\\\\\\b\r\n"
      "2\t19\t192\t[^\t]*\t0\t3000000000\r\n");
  EXPECT_TRUE(std::regex_match(reply, shape)) << reply;
  // From the cache the same values (the group is inactive: out of service).
  EXPECT_EQ(0u,
            Raw("TR\t" + std::to_string(g) + "\t1\tC\r\n0\r\n").rfind("0\t1 values\r\n0\t5\t", 0));
}

TEST_F(TypedValuesTest, TwoHundredItemsSplitByEntryAtMost1472Bytes) {
  const std::string name = UniqueGroupName("typed-many");
  std::vector<ItemDefinition> items;
  for (int k = 0; k < 200; ++k) items.push_back(Item("Static.Real8"));
  const int g = DefineTyped(Group(name, items, false));
  ASSERT_GE(g, 0);
  EXPECT_EQ("0\t\r\n", Raw(SetGroupsActiveRequest(true, {g})));
  // 29 bytes an entry: 50 to a datagram of 1,466 bytes.
  std::size_t handle = 0;
  for (int d = 0; d < 4; ++d) {
    const auto part = NextTyped(g);
    ASSERT_TRUE(part) << d;
    EXPECT_EQ(1466u, part->size);
    ASSERT_EQ(50u, part->entries.size());
    for (const WireTypedEntry& entry : part->entries) EXPECT_EQ(handle++, entry.handle);
  }
  EXPECT_EQ(200u, handle);
  EXPECT_EQ("0\t\r\n", Raw(SetGroupsActiveRequest(false, {g})));
}

TEST_F(TypedValuesTest, TypedDefinitionAndReadRefuseAsTheirDefinedTwins) {
  // A definition that ends inside a group keeps none of its groups.
  const std::string name = UniqueGroupName("typed-bad");
  EXPECT_EQ("1\tIncomplete group " + name + ": 1 of 2 items\r\n",
            Raw("TD\t1\r\n" + name + "\tA\t2\r\nStatic.Int2\tA\t0\r\n\r\n"));
  EXPECT_EQ("-1\t\r\n-1\r\n", Raw(QueryGroupIndexesRequest({name})));
  EXPECT_EQ("1\tInvalid group count: 0\r\n", Raw("TD\t0\r\n"));

  const int g = DefineTyped(Group(UniqueGroupName("typed-refuse"), {Item("Static.Int2")}, false));
  ASSERT_GE(g, 0);
  const std::string index = std::to_string(g);
  EXPECT_EQ("1\tInvalid item index: 1\r\n", Raw("TR\t" + index + "\t1\r\n1\r\n"));
  EXPECT_EQ("1\tInvalid item count: 0\r\n", Raw("TR\t" + index + "\t0\r\n"));
  EXPECT_EQ(0u, Raw("TR\t" + index + "\t1\tD\r\n0\r\n").rfind("1\tInvalid data source: D", 0));
  EXPECT_EQ("1\tInvalid group index: 65000\r\n", Raw("TR\t65000\t1\r\n0\r\n"));
  EXPECT_EQ("0\t\r\n", Raw(RemoveGroupsRequest({g})));
  EXPECT_EQ(0u, Raw("TR\t" + index + "\t1\r\n0\r\n").rfind("1\t", 0));
}

}  // namespace

namespace {

TEST_F(TypedValuesTest, SixtyFourBitDateAndCurrencyItemsArriveAndReadWithTheirTypes) {
  const std::string name = UniqueGroupName("typed-wide");
  const int g = DefineTyped(Group(name,
                                  {Item("Static.Int8"), Item("Static.UInt8"), Item("Static.Date"),
                                   Item("Static.Currency"), Item("Random.Real8." + name)},
                                  false));
  ASSERT_GE(g, 0);
  EXPECT_EQ("0\t\r\n", Raw(SetGroupsActiveRequest(true, {g})));
  const auto report = NextTyped(g);
  ASSERT_TRUE(report);
  ASSERT_EQ(5u, report->entries.size());
  EXPECT_EQ(20, report->entries[0].vartype);
  EXPECT_EQ(-9000000000ll, report->entries[0].Signed());
  EXPECT_EQ(21, report->entries[1].vartype);
  EXPECT_EQ(18000000000000000000ull, report->entries[1].Unsigned());
  EXPECT_EQ(7, report->entries[2].vartype);
  EXPECT_EQ(1767268800000000ll, report->entries[2].Signed());  // 2026-01-01T12:00:00Z
  EXPECT_EQ(6, report->entries[3].vartype);
  EXPECT_EQ(123400, report->entries[3].Signed());
  EXPECT_EQ(5, report->entries[4].vartype);
  EXPECT_EQ("0\t\r\n", Raw(SetGroupsActiveRequest(false, {g})));
  const std::string reply = Raw("TR\t" + std::to_string(g) + "\t4\r\n0\r\n1\r\n2\r\n3\r\n");
  EXPECT_TRUE(
      std::regex_match(reply, std::regex("0\t4 values\r\n0\t20\t192\t[^\t]+\t0\t-9000000000\r\n"
                                         "1\t21\t192\t[^\t]+\t0\t18000000000000000000\r\n"
                                         "2\t7\t192\t[^\t]+\t0\t2026-01-01T12:00:00\\.000Z\r\n"
                                         "3\t6\t192\t[^\t]+\t0\t12\\.34\r\n")))
      << reply;
}

TEST_F(TypedValuesTest, WrittenTextReachesSixtyFourBitDateAndCurrencyItems) {
  // SW converts its text to the item's type as the system's conversion does: the edges of each
  // range are taken, a text beyond them or no number or date is refused before anything is sent.
  const std::string name = UniqueGroupName("typed-wide-sw");
  const int g = DefineTyped(Group(name,
                                  {Item("Memory.Int8." + name), Item("Memory.UInt8." + name),
                                   Item("Memory.Date." + name), Item("Memory.Currency." + name)},
                                  false));
  ASSERT_GE(g, 0);
  EXPECT_EQ("0\t\r\n", Raw(WriteSyncRequest(g, {{0, "-9223372036854775808"},
                                                {1, "18446744073709551615"},
                                                {2, "2026-12-09 10:30"},
                                                {3, "-12.3456"}})));
  const std::string reply = Raw("TR\t" + std::to_string(g) + "\t4\r\n0\r\n1\r\n2\r\n3\r\n");
  EXPECT_TRUE(std::regex_match(
      reply, std::regex("0\t4 values\r\n0\t20\t192\t[^\t]+\t0\t-9223372036854775808\r\n"
                        "1\t21\t192\t[^\t]+\t0\t18446744073709551615\r\n"
                        "2\t7\t192\t[^\t]+\t0\t2026-12-09T10:30:00\\.000Z\r\n"
                        "3\t6\t192\t[^\t]+\t0\t-12\\.3456\r\n")))
      << reply;
  const std::vector<ItemWrite> refused = {
      {0, "9223372036854775808"}, {1, "-1"}, {2, "2026-02-30"}, {3, "twelve"}};
  for (const ItemWrite& write : refused)
    EXPECT_EQ(
        "1\tInvalid value for item " + std::to_string(write.item) + ": " + write.value + "\r\n",
        Raw(WriteSyncRequest(g, {write})));
}

}  // namespace

namespace {

TEST_F(TypedValuesTest, TextsAreUtf8WhateverTheGatewaysCodePage) {
  // The item ID arrives in UTF-8 with TD; SW takes its value in the gateway's code page; TR and
  // the typed datagrams answer in UTF-8.
  const std::string name = UniqueGroupName("typed-utf8");
  const int g = DefineTyped(Group(name, {Item("Memory.String." + name + ".温度")}, false));
  ASSERT_GE(g, 0);
  EXPECT_EQ("0\t\r\n", Raw("SW\t" + std::to_string(g) + "\t1\r\n0\t" +
                           CGatewayProcess::GatewayText("温度 °C") + "\r\n"));
  const std::string reply = Raw("TR\t" + std::to_string(g) + "\t1\r\n0\r\n");
  EXPECT_TRUE(
      std::regex_match(reply, std::regex("0\t1 values\r\n0\t8\t192\t[^\t]+\t0\t温度 °C\r\n")))
      << reply;
  EXPECT_EQ("0\t\r\n", Raw(SetGroupsActiveRequest(true, {g})));
  const auto report = NextTyped(g);
  ASSERT_TRUE(report);
  ASSERT_EQ(1u, report->entries.size());
  EXPECT_EQ("温度 °C", report->entries[0].value);
  EXPECT_EQ("0\t\r\n", Raw(SetGroupsActiveRequest(false, {g})));
}

// Whether bytes is well-formed UTF-8: no stray continuation byte, no character cut short, no
// overlong form, surrogate or code point beyond U+10FFFF.
bool IsUtf8(const std::string& bytes) {
  std::size_t k = 0;
  while (k < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[k]);
    std::size_t more = 0;
    std::uint32_t code = lead;
    if (lead >= 0xF0 && lead <= 0xF4)
      more = 3, code = lead & 0x07u;
    else if (lead >= 0xE0 && lead <= 0xEF)
      more = 2, code = lead & 0x0Fu;
    else if (lead >= 0xC2 && lead <= 0xDF)
      more = 1, code = lead & 0x1Fu;
    else if (lead >= 0x80)
      return false;
    if (k + more >= bytes.size() && more != 0) return false;
    for (std::size_t m = 1; m <= more; ++m) {
      const auto next = static_cast<unsigned char>(bytes[k + m]);
      if ((next & 0xC0u) != 0x80u) return false;
      code = (code << 6) | (next & 0x3Fu);
    }
    constexpr std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[more] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
      return false;
    k += more + 1;
  }
  return true;
}

TEST_F(TypedValuesTest, LongTextIsCutAtACharacterBoundaryAndFlaggedButReadWhole) {
  // Static.LongString: 100,000 characters, "21.7°C 温度 " (15 UTF-8 bytes) 10,000 times.
  std::string whole;
  for (int k = 0; k < 10000; ++k) whole += "21.7°C 温度 ";
  ASSERT_EQ(150000u, whole.size());
  const std::string name = UniqueGroupName("typed-long");
  const int g = DefineTyped(Group(name, {Item("Static.LongString"), Item("Static.Int2")}, false));
  ASSERT_GE(g, 0);
  EXPECT_EQ("0\t\r\n", Raw(SetGroupsActiveRequest(true, {g})));
  const auto first = NextTyped(g);
  ASSERT_TRUE(first);
  EXPECT_LE(first->size, 1472u);
  ASSERT_EQ(1u, first->entries.size());
  const WireTypedEntry& text = first->entries[0];
  EXPECT_EQ(8, text.vartype);
  EXPECT_EQ(1, text.flags);  // cut
  EXPECT_TRUE(IsUtf8(text.value));
  EXPECT_EQ(0u, whole.rfind(text.value, 0));  // a prefix of the item's text
  // The 1,435 bytes an otherwise empty datagram holds end inside the "温" of the 96th repeat
  // (bytes 1433 to 1435): the cut falls back to the character boundary before it.
  EXPECT_EQ(95u * 15u + 8u, text.value.size());
  // The item after it does not fit any more: it starts the next datagram, not cut.
  const auto second = NextTyped(g);
  ASSERT_TRUE(second);
  ASSERT_EQ(1u, second->entries.size());
  EXPECT_EQ(1, second->entries[0].handle);
  EXPECT_EQ(0, second->entries[0].flags);
  EXPECT_EQ(300, second->entries[0].Signed());
  EXPECT_EQ("0\t\r\n", Raw(SetGroupsActiveRequest(false, {g})));

  // TR answers the whole text, valid UTF-8 (no character needs an escape).
  const std::string reply = Raw("TR\t" + std::to_string(g) + "\t2\r\n0\r\n1\r\n");
  EXPECT_TRUE(IsUtf8(reply));
  const std::string head = "0\t2 values\r\n0\t8\t192\t";
  ASSERT_EQ(0u, reply.rfind(head, 0)) << reply.substr(0, 200);
  const std::size_t stamp = reply.find('\t', head.size());
  ASSERT_NE(std::string::npos, stamp);
  const std::string rest = reply.substr(stamp);
  const std::string tail = "\r\n1\t2\t192\t";
  ASSERT_EQ("\t0\t" + whole + tail, rest.substr(0, 3 + whole.size() + tail.size()))
      << rest.substr(0, 200);
  // The Int2's line ends the reply: "<timestamp>\t0\t300\r\n".
  EXPECT_TRUE(std::regex_match(rest.substr(3 + whole.size() + tail.size()),
                               std::regex("[^\t\r\n]+\t0\t300\r\n")));
}

}  // namespace
