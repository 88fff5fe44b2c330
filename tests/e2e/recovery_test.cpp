// The gateway survives its OPC server: the simulator crashes through "Control.Restart" while an
// active group sends values, and without any request the gateway notices, reconnects, registers
// the groups again under their indices and announces it; the client's values flow on. A server
// that hangs ("Control.Hang") holds no request longer than the call deadline, and one that is
// only slow ("Control.Delay") is not taken for lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "client/request_builder.h"
#include "tests/e2e/datagram_inbox.h"
#include "tests/e2e/running_gateway.h"
#include "tests/e2e/typed_datagram.h"
#include "tests/net/loopback.h"

namespace {

using testing_loopback::WaitUntil;
using namespace std::chrono_literals;

TEST(RecoveryTest, ValuesComeBackUnderTheSameGroupAfterTheServerRestarts) {
  CRunningGateway gateway;
  ASSERT_TRUE(gateway.Ready());
  CDatagramInbox inbox;
  ASSERT_TRUE(inbox.Open());
  // 0: active counter; 1: inactive counter; 2: the restart control and a memory item.
  EXPECT_EQ(
      "0\t\r\n0\r\n1\r\n2\r\n",
      gateway.RawExchange(DefineGroupsRequest(
          {Group("flowing", true, {{"Ramp.Int4", true, 0}}),
           Group("idle", false, {{"Ramp.Int4", true, 0}}),
           Group("control", false, {{"Control.Restart", true, 0}, {"Memory.Int4.r", true, 0}})},
          inbox.Port())));
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(SetGroupsActiveRequest(true, {0})));
  ASSERT_TRUE(inbox.WaitFor(IsGroupKind(DatagramKind::kValueChange, 0)));
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(2, {{1, "7"}})));

  // One second of downtime; the write is answered first.
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(2, {{0, "1"}})));
  const auto startup = [&] {
    for (;;) {
      const auto datagram = gateway.Announcements().Receive(60s);
      if (!datagram || datagram->bytes == "Startup Quarnix\r\n") return datagram.has_value();
    }
  };
  ASSERT_TRUE(startup()) << gateway.LogFile();

  // Values of the active group flow again under its index, without any request; the inactive
  // group stays silent.
  inbox.Drain();
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(inbox.WaitFor(IsGroupKind(DatagramKind::kValueChange, 0)));
  inbox.SendMarker("marker");
  for (;;) {
    const auto next = inbox.Next();
    ASSERT_TRUE(next);
    if (next->bytes == "marker") break;
    EXPECT_EQ(next->Value().group, 0) << ToHex(next->bytes);
  }

  // The old indices serve every request; the new server remembers nothing.
  EXPECT_EQ("0\t\r\n0\t192\r\n", gateway.RawExchange(ReadSyncRequest(2, {1})));
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(2, {{1, "9"}})));
  EXPECT_EQ("0\t\r\n9\t192\r\n", gateway.RawExchange(ReadSyncRequest(2, {1})));
  EXPECT_EQ("0\t\r\n1\r\n", gateway.RawExchange(QueryGroupIndexesRequest({"idle"})));
  EXPECT_EQ(0, gateway.RawExchange(RefreshGroupsRequest(5, {0})).rfind("0\t", 0));
  EXPECT_TRUE(WaitUntil([&] {
    return gateway.LogFile().find(CGatewayProcess::GatewayText(
               "OpcServer已恢复，3 个组已重新加入")) != std::string::npos;
  })) << gateway.LogFile();
}

TEST(RecoveryTest, TypedGroupStaysTypedAfterTheServerRestartsAndAfterItHangs) {
  CRunningGateway gateway({"/calltimeout", "2"});
  ASSERT_TRUE(gateway.Ready());
  CDatagramInbox inbox;
  ASSERT_TRUE(inbox.Open());
  const std::string request = DefineGroupsRequest(
      {Group("typed", true, {{"Ramp.Real8", true, 0}}),
       Group("control", false, {{"Control.Restart", true, 0}, {"Control.Hang", true, 0}})},
      inbox.Port());
  EXPECT_EQ("0\t\r\n0\r\n1\r\n", gateway.RawExchange("TD" + request.substr(2)));
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(SetGroupsActiveRequest(true, {0})));
  const auto typedOfGroup0 = [](const Notification& n) {
    const auto d = DecodeTypedDatagram(n.bytes);
    return d && d->kind == 0x63 && d->group == 0 && d->entries.size() == 1 &&
           d->entries[0].vartype == 5;
  };
  ASSERT_TRUE(inbox.WaitFor(typedOfGroup0));
  const auto comesBackTyped = [&] {
    for (;;) {
      const auto datagram = gateway.Announcements().Receive(60s);
      ASSERT_TRUE(datagram) << gateway.LogFile();
      if (datagram->bytes == "Startup Quarnix\r\n") break;
    }
    // Registered again, the group's values come typed as before.
    inbox.Drain();
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(inbox.WaitFor(typedOfGroup0));
    inbox.SendMarker("marker");
    for (;;) {
      const auto next = inbox.Next();
      ASSERT_TRUE(next);
      if (next->bytes == "marker") break;
      EXPECT_TRUE(typedOfGroup0(*next)) << ToHex(next->bytes);
    }
  };
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(1, {{0, "1"}})));
  comesBackTyped();
  // A hang: the read that meets it fails after the deadline, the server is handled as lost.
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(1, {{1, "4"}})));
  const std::string failed = gateway.RawExchange(ReadSyncRequest(0, {0}));
  EXPECT_NE(0u, failed.rfind("0\t", 0)) << failed;
  comesBackTyped();
}

// What a polling client saw: each request's reply and how long it waited for it.
struct PolledReply {
  std::string request;
  std::string reply;
  std::chrono::milliseconds waited;
};

// A client that sends "HBT" and "SR" every 200 ms on its own thread until stopped.
class CPollingClient {
public:
  CPollingClient(const CRunningGateway& gateway, std::string read)
      : m_thread([this, &gateway, read] { Run(gateway, read); }) {}
  ~CPollingClient() { Stop(); }
  void Stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
  }
  std::vector<PolledReply> Replies() {
    std::lock_guard lock(m_mutex);
    return m_replies;
  }

private:
  void Run(const CRunningGateway& gateway, const std::string& read) {
    auto next = std::chrono::steady_clock::now();
    while (!m_stop) {
      for (const std::string& request : {HeartbeatRequest(), read}) {
        const auto start = std::chrono::steady_clock::now();
        std::string reply = gateway.RawExchange(request, 60s);
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        std::lock_guard lock(m_mutex);
        m_replies.push_back({request.substr(0, 3), std::move(reply), waited});
      }
      next += 200ms;  // the client's pace
      std::this_thread::sleep_until(next);
    }
  }

  std::atomic<bool> m_stop{false};
  std::mutex m_mutex;
  std::vector<PolledReply> m_replies;
  std::thread m_thread;
};

TEST(RecoveryTest, HungServerHoldsNoRequestPastTheDeadlineAndSlowOneIsNotLost) {
  CRunningGateway gateway({"/calltimeout", "2"});
  ASSERT_TRUE(gateway.Ready());
  CDatagramInbox inbox;
  ASSERT_TRUE(inbox.Open());
  EXPECT_EQ(
      "0\t\r\n0\r\n1\r\n",
      gateway.RawExchange(DefineGroupsRequest(
          {Group("ticking", true, {{"Ramp.Int4", true, 0}}), Group("controls", false,
                                                                   {{"Control.Hang", true, 0},
                                                                    {"Control.Delay", true, 0},
                                                                    {"Memory.Int4.h", true, 0}})},
          inbox.Port())));
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(SetGroupsActiveRequest(true, {0})));
  ASSERT_TRUE(inbox.WaitFor(IsGroupKind(DatagramKind::kValueChange, 0)));

  // Slow: every call takes 500 ms, within the deadline; all complete and nothing is cancelled.
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(1, {{1, "500"}})));
  for (const char* value : {"3", "4"}) {
    EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(1, {{2, value}})));
    EXPECT_EQ(std::string("0\t\r\n") + value + "\t192\r\n",
              gateway.RawExchange(ReadSyncRequest(1, {2})));
  }
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(1, {{1, "0"}})));
  EXPECT_EQ(gateway.LogFile().find(CGatewayProcess::GatewayText("已取消")), std::string::npos);

  // Hung for 20 s while two clients keep polling (5 requests/s each): none waits longer than the
  // deadline plus 1 s, also those that arrive while another's call hangs and a browse, which
  // makes several calls on the server.
  CPollingClient client(gateway, ReadSyncRequest(1, {2}));
  CPollingClient other(gateway, BrowseRequest(BrowseQuery{}));
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(1, {{0, "20"}})));
  const auto startup = [&] {
    for (;;) {
      const auto datagram = gateway.Announcements().Receive(90s);
      if (!datagram || datagram->bytes == "Startup Quarnix\r\n") return datagram.has_value();
    }
  };
  ASSERT_TRUE(startup()) << gateway.LogFile();
  inbox.Drain();
  ASSERT_TRUE(inbox.WaitFor(IsGroupKind(DatagramKind::kValueChange, 0))) << gateway.LogFile();
  client.Stop();
  other.Stop();

  int heartbeats = 0;
  std::chrono::milliseconds worst{0};
  for (CPollingClient* polling : {&client, &other}) {
    for (const PolledReply& polled : polling->Replies()) {
      EXPECT_LT(polled.waited, 3s) << polled.request << ": " << polled.reply;
      // Answered: "HBT OK!", or while the server cannot be created the creation's failure.
      EXPECT_FALSE(polled.reply.empty()) << polled.request;
      if (polled.request == "HBT") ++heartbeats;
      worst = std::max(worst, polled.waited);
    }
  }
  std::printf("longest wait for a reply through the hang: %lld ms\n",
              static_cast<long long>(worst.count()));
  EXPECT_GT(heartbeats, 20);
  EXPECT_EQ("0\t\r\n4\t192\r\n", gateway.RawExchange(ReadSyncRequest(1, {2})));
  const std::string log = gateway.LogFile();
  EXPECT_NE(log.find(CGatewayProcess::GatewayText("判定为已失去响应")), std::string::npos) << log;
  EXPECT_NE(log.find(CGatewayProcess::GatewayText("OpcServer已恢复，2 个组已重新加入")),
            std::string::npos)
      << log;

  // It hangs again, and the gateway is stopped meanwhile: the teardown gives the server up at
  // the first cancelled call and ends within the deadline plus 5 s.
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(1, {{0, "10"}})));
  EXPECT_TRUE(gateway.Stop(7s)) << gateway.LogFile();

  // A server process of its own (the Windows build's) outlives the stopped gateway: once its hang
  // is over, the next gateway is served by it.
  CRunningGateway next({"/calltimeout", "2"});
  ASSERT_TRUE(next.Ready());
  const auto until = std::chrono::steady_clock::now() + 60s;
  std::string reply = next.RawExchange(HeartbeatRequest());
  while (reply != "0\tHBT OK!\r\n" && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(200ms);  // the client's pace
    reply = next.RawExchange(HeartbeatRequest());
  }
  EXPECT_EQ("0\tHBT OK!\r\n", reply) << next.LogFile();
}

// With /statuscheck 1 a crash shorter than the default check period is noticed by the check alone
// (no request, no active group): the status request says so, and the server comes back.
TEST(RecoveryTest, AShortCrashIsNoticedWithinTheStatusCheckPeriod) {
  CRunningGateway gateway({"/statuscheck", "1"});
  ASSERT_TRUE(gateway.Ready());
  EXPECT_EQ("0\t\r\n0\r\n", gateway.RawExchange(DefineGroupsRequest(
                                {Group("control", false, {{"Control.Restart", true, 0}})}, 0)));
  const auto losses = [&] {
    const std::string reply = gateway.RawExchange(StatusRequest());
    const std::string key = "server_losses\t";
    const std::size_t at = reply.find(key);
    return at == std::string::npos ? -1 : std::atoi(reply.c_str() + at + key.size());
  };
  EXPECT_EQ(0, losses());
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(0, {{0, "1"}})));
  // Within a few periods, well before the default check (10 s) would have come.
  const auto written = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitUntil([&] { return losses() == 1; }, 8s)) << gateway.LogFile();
  std::printf("crash noticed after %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - written)
                                         .count()));
  const auto startup = [&] {
    for (;;) {
      const auto datagram = gateway.Announcements().Receive(60s);
      if (!datagram || datagram->bytes == "Startup Quarnix\r\n") return datagram.has_value();
    }
  };
  ASSERT_TRUE(startup()) << gateway.LogFile();
  EXPECT_NE(gateway.LogFile().find("/statuscheck 1"), std::string::npos);
}

// The server's losses as the status request counts them (it answers from the known state), -1
// when the reply holds no count.
int ServerLosses(const CRunningGateway& gateway) {
  const std::string reply = gateway.RawExchange(StatusRequest());
  const std::string key = "server_losses\t";
  const std::size_t at = reply.find(key);
  return at == std::string::npos ? -1 : std::atoi(reply.c_str() + at + key.size());
}

// The times a text occurs in the gateway's log.
std::size_t LogCount(const CRunningGateway& gateway, const std::string& text) {
  const std::string log = gateway.LogFile();
  std::size_t count = 0;
  for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
    ++count;
  return count;
}

// A hang that no request meets but the status check itself: the check's call is cancelled at the
// deadline, the server is decided lost and created again, and requests that come meanwhile are
// answered within the deadline plus 1 s; the values come back.
TEST(RecoveryTest, AHangMetByTheStatusCheckIsDecidedAndRecovered) {
  CRunningGateway gateway({"/calltimeout", "2", "/statuscheck", "1"});
  ASSERT_TRUE(gateway.Ready());
  CDatagramInbox inbox;
  ASSERT_TRUE(inbox.Open());
  EXPECT_EQ("0\t\r\n0\r\n1\r\n", gateway.RawExchange(DefineGroupsRequest(
                                     {Group("ticking", true, {{"Ramp.Int4", true, 0}}),
                                      Group("control", false, {{"Control.Hang", true, 0}})},
                                     inbox.Port())));
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(SetGroupsActiveRequest(true, {0})));
  ASSERT_TRUE(inbox.WaitFor(IsGroupKind(DatagramKind::kValueChange, 0)));
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(1, {{0, "5"}})));
  // Only status requests until the loss is counted: none of them calls the server.
  ASSERT_TRUE(WaitUntil([&] { return ServerLosses(gateway) == 1; }, 10s)) << gateway.LogFile();
  EXPECT_NE(gateway.LogFile().find(CGatewayProcess::GatewayText("判定为已失去响应")),
            std::string::npos);
  // Requests while the new server is being created, until the groups are back.
  CPollingClient client(gateway, ReadSyncRequest(0, {0}));
  for (;;) {
    const auto datagram = gateway.Announcements().Receive(60s);
    ASSERT_TRUE(datagram) << gateway.LogFile();
    if (datagram->bytes == "Startup Quarnix\r\n") break;
  }
  inbox.Drain();
  ASSERT_TRUE(inbox.WaitFor(IsGroupKind(DatagramKind::kValueChange, 0))) << gateway.LogFile();
  client.Stop();
  for (const PolledReply& polled : client.Replies()) {
    EXPECT_LT(polled.waited, 3s) << polled.request << ": " << polled.reply;
    EXPECT_FALSE(polled.reply.empty()) << polled.request;
  }
  EXPECT_EQ(1, ServerLosses(gateway));
}

// A hang that ends just as the call deadline runs out: the gateway either finds the server only
// slow or recovers it once, never twice, and the values come back.
TEST(RecoveryTest, AHangEndingAtTheDeadlineIsRecoveredAtMostOnce) {
  CRunningGateway gateway({"/calltimeout", "2"});
  ASSERT_TRUE(gateway.Ready());
  CDatagramInbox inbox;
  ASSERT_TRUE(inbox.Open());
  EXPECT_EQ("0\t\r\n0\r\n1\r\n",
            gateway.RawExchange(DefineGroupsRequest(
                {Group("ticking", true, {{"Ramp.Int4", true, 0}}),
                 Group("control", false, {{"Control.Hang", true, 0}, {"Memory.Int4.e", true, 0}})},
                inbox.Port())));
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(SetGroupsActiveRequest(true, {0})));
  ASSERT_TRUE(inbox.WaitFor(IsGroupKind(DatagramKind::kValueChange, 0)));
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(1, {{1, "6"}})));
  // The hang lasts as long as the deadline from the write on; the read right after meets it.
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(1, {{0, "2"}})));
  const auto start = std::chrono::steady_clock::now();
  const std::string first = gateway.RawExchange(ReadSyncRequest(1, {1}), 60s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << first;
  EXPECT_FALSE(first.empty());
  // Served again: by the same server (only slow) or by the one recovery.
  ASSERT_TRUE(WaitUntil(
      [&] { return gateway.RawExchange(ReadSyncRequest(1, {1})) == "0\t\r\n6\t192\r\n"; }, 30s))
      << gateway.LogFile();
  inbox.Drain();
  ASSERT_TRUE(inbox.WaitFor(IsGroupKind(DatagramKind::kValueChange, 0))) << gateway.LogFile();
  const int losses = ServerLosses(gateway);
  EXPECT_GE(losses, 0);
  EXPECT_LE(losses, 1);
  EXPECT_LE(LogCount(gateway, CGatewayProcess::GatewayText("判定为已失去响应")), 1u);
  EXPECT_EQ(static_cast<std::size_t>(losses),
            LogCount(gateway, CGatewayProcess::GatewayText("OpcServer已恢复")));
}

}  // namespace
