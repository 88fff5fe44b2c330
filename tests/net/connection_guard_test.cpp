// The /allow list parser and the listener's admission rule (allow list, /maxconn per address,
// room below the open-file limit, refusal log lines at most once a minute per address).
#include "net/connection_guard.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) {
  return (a << 24) | (b << 16) | (c << 8) | d;
}

TEST(AllowListTest, AcceptsAddressesAndBlocksAndMatchesOnlyThem) {
  CAllowList list;
  ASSERT_TRUE(list.Parse("10.1.2.0/24,10.1.3.7"));
  EXPECT_EQ(2u, list.Size());
  EXPECT_TRUE(list.Allows(Ip(10, 1, 2, 0)));
  EXPECT_TRUE(list.Allows(Ip(10, 1, 2, 255)));
  EXPECT_TRUE(list.Allows(Ip(10, 1, 3, 7)));
  EXPECT_FALSE(list.Allows(Ip(10, 1, 3, 8)));
  EXPECT_FALSE(list.Allows(Ip(10, 1, 1, 255)));

  ASSERT_TRUE(list.Parse("192.168.1.77/16"));  // host bits beyond the prefix are ignored
  EXPECT_TRUE(list.Allows(Ip(192, 168, 200, 1)));
  EXPECT_FALSE(list.Allows(Ip(192, 169, 0, 1)));
  ASSERT_TRUE(list.Parse("0.0.0.0/0"));
  EXPECT_TRUE(list.Allows(Ip(8, 8, 8, 8)));
  ASSERT_TRUE(list.Parse("127.0.0.2/32"));
  EXPECT_FALSE(list.Allows(Ip(127, 0, 0, 1)));
}

TEST(AllowListTest, RefusesMalformedListsAndKeepsThePreviousOne) {
  CAllowList list;
  ASSERT_TRUE(list.Parse("10.0.0.1"));
  for (const char* bad :
       {"", "10.1.2.0/33", "10.1.2", "x", "10.1.2.0/24,", ",10.1.2.0", "10.1.2.0/24,,10.1.3.7",
        "300.1.1.1", "10.1.2.3.4", "10.1.2.0/", "10.1.2.0/x", " 10.1.2.3", "10.1.2.3 ",
        "0x0a.1.2.3", "10.1.2.-1", "10..2.3", "1000.1.2.3", "10.1.2.0/-1", "10.1.2.0/24/8"}) {
    EXPECT_FALSE(list.Parse(bad)) << bad;
  }
  EXPECT_EQ(1u, list.Size());
  EXPECT_TRUE(list.Allows(Ip(10, 0, 0, 1)));
  EXPECT_FALSE(list.Allows(Ip(10, 0, 0, 2)));
}

TEST(AllowListTest, ARefusedListNamesItsFirstBadEntry) {
  CAllowList list;
  std::string bad;
  EXPECT_FALSE(list.Parse("10.1.2.5,10.1.2.300,x", &bad));
  EXPECT_EQ("10.1.2.300", bad);
  EXPECT_FALSE(list.Parse("10.1.2.5,,10.1.2.6", &bad));
  EXPECT_EQ("", bad);
}

// /writers must lie within /allow: every address of a block, possibly across several blocks.
TEST(AllowListTest, CoversTellsWhetherEveryAddressOfAnotherListIsAllowed) {
  const auto list = [](const char* text) {
    CAllowList parsed;
    EXPECT_TRUE(parsed.Parse(text)) << text;
    return parsed;
  };
  const CAllowList allow = list("10.1.2.0/24,10.1.3.0/25,10.1.3.128/25,10.1.3.200");
  EXPECT_TRUE(allow.Covers(list("10.1.2.7")));
  EXPECT_TRUE(allow.Covers(list("10.1.2.0/26,10.1.3.9")));
  EXPECT_TRUE(allow.Covers(list("10.1.2.0/23")));  // filled by the three blocks together
  EXPECT_FALSE(allow.Covers(list("10.1.4.1")));
  EXPECT_FALSE(allow.Covers(list("10.1.2.7,10.1.4.1")));
  EXPECT_FALSE(allow.Covers(list("10.1.0.0/22")));  // half of it is outside
  EXPECT_FALSE(allow.Covers(CAllowList()));         // every address
  EXPECT_FALSE(list("10.1.2.0/25,10.1.2.0/25").Covers(list("10.1.2.0/24")));  // counted once
  EXPECT_TRUE(CAllowList().Covers(list("203.0.113.9")));
  EXPECT_TRUE(list("0.0.0.0/0").Covers(CAllowList()));
}

TEST(AllowListTest, EmptyListAllowsEveryAddress) {
  const CAllowList list;
  EXPECT_TRUE(list.Empty());
  EXPECT_TRUE(list.Allows(Ip(203, 0, 113, 9)));
}

class ConnectionGuardTest : public ::testing::Test {
protected:
  CConnectionGuard& Configured(const char* allow, int maxConnections, int openFileLimit) {
    ProtectionSettings settings;
    if (allow != nullptr) {
      EXPECT_TRUE(settings.allowList.Parse(allow));
    }
    settings.maxConnections = maxConnections;
    settings.openFileLimit = openFileLimit;
    m_guard.Configure(settings);
    return m_guard;
  }

  CConnectionGuard m_guard;
};

using Verdict = CConnectionGuard::Verdict;

TEST_F(ConnectionGuardTest, RefusesAddressesOffTheListAndCountsPerAddress) {
  CConnectionGuard& guard = Configured("127.0.0.0/24", 2, 0);
  const std::uint32_t a = Ip(127, 0, 0, 1);
  const std::uint32_t b = Ip(127, 0, 0, 2);
  EXPECT_EQ(Verdict::kNotAllowed, guard.Admit(Ip(127, 0, 1, 1)));
  EXPECT_EQ(Verdict::kAdmitted, guard.Admit(a));
  EXPECT_EQ(Verdict::kAdmitted, guard.Admit(a));
  EXPECT_EQ(Verdict::kTooMany, guard.Admit(a));
  EXPECT_EQ(Verdict::kAdmitted, guard.Admit(b));  // other addresses are not affected
  guard.Release(a);
  EXPECT_EQ(Verdict::kAdmitted, guard.Admit(a));
  EXPECT_EQ(3, guard.OpenCount());
}

TEST_F(ConnectionGuardTest, KeepsDescriptorsInReserveBelowTheOpenFileLimit) {
  CConnectionGuard& guard = Configured(nullptr, 1000, CConnectionGuard::kReservedFiles + 3);
  EXPECT_EQ(Verdict::kAdmitted, guard.Admit(Ip(10, 0, 0, 0)));
  EXPECT_FALSE(guard.Crowded());
  for (unsigned i = 1; i < 3; ++i) EXPECT_EQ(Verdict::kAdmitted, guard.Admit(Ip(10, 0, 0, i)));
  EXPECT_TRUE(guard.Crowded());  // silent connections then get a shorter first-line wait
  EXPECT_EQ(Verdict::kNoRoom, guard.Admit(Ip(10, 0, 0, 9)));
  guard.Release(Ip(10, 0, 0, 0));
  EXPECT_EQ(Verdict::kAdmitted, guard.Admit(Ip(10, 0, 0, 9)));
}

TEST_F(ConnectionGuardTest, LogsARefusedAddressAtMostOnceAMinuteWithTheCountSince) {
  CConnectionGuard& guard = Configured("10.0.0.1", 1, 0);
  const std::uint32_t stranger = Ip(10, 0, 0, 2);
  const auto start = CConnectionGuard::Clock::now();
  const std::string first = guard.RefusalLogLine(stranger, Verdict::kNotAllowed, start);
  EXPECT_NE(std::string::npos, first.find("10.0.0.2")) << first;
  EXPECT_NE(std::string::npos, first.find("/allow")) << first;
  EXPECT_NE(std::string::npos, first.find(" 1 ")) << first;
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ("", guard.RefusalLogLine(stranger, Verdict::kNotAllowed,
                                       start + std::chrono::seconds(10 + i)));
  }
  // Another address has a line of its own.
  EXPECT_NE("", guard.RefusalLogLine(Ip(10, 0, 0, 1), Verdict::kTooMany, start));
  const std::string next =
      guard.RefusalLogLine(stranger, Verdict::kNotAllowed, start + std::chrono::seconds(61));
  EXPECT_NE(std::string::npos, next.find(" 5 ")) << next;
}

}  // namespace
