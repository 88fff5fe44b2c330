// Many connections at once, silent connections and connections that end early, against a
// running gateway: every well-formed request is still answered, and value changes keep coming.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/datagram_inbox.h"
#include "tests/e2e/shared_gateway_fixture.h"
#include "tests/net/loopback.h"

namespace {

using testing_loopback::TcpClient;

class ConnectionsTest : public SharedGatewayTest {};

TEST_F(ConnectionsTest, SeveralClientsAtOnceAreAllAnsweredInFull) {
  constexpr int kClients = 8;
  constexpr int kRounds = 10;
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([c] {
      const std::string name = UniqueGroupName("client" + std::to_string(c));
      const int g =
          DefineOne(Group(name, {Item("Memory.Int4." + name, kVtI4), Item("Static.Int2")}));
      ASSERT_GE(g, 0);
      for (int round = 0; round < kRounds; ++round) {
        EXPECT_EQ("0\tHBT OK!\r\n", Raw("HBT\r\n"));
        const std::string value = std::to_string(c * 1000 + round);
        EXPECT_EQ("0\t\r\n", Raw(WriteSyncRequest(g, {{0, value}})));
        EXPECT_EQ("0\t\r\n" + value + "\t192\r\n300\t192\r\n", Raw(ReadSyncRequest(g, {0, 1})));
      }
      EXPECT_EQ("0\t\r\n" + std::to_string(g) + "\r\n", Raw(QueryGroupIndexesRequest({name})));
    });
  }
  for (auto& client : clients) client.join();
}

TEST_F(ConnectionsTest, SilentClientsHoldUpNeitherRequestsNorValueChanges) {
  CDatagramInbox inbox;
  ASSERT_TRUE(inbox.Open());
  const std::string name = UniqueGroupName("while_silent");
  const int g = DefineOne(Group(name, {Item("Ramp.Int4", kVtI4)}, true, 10), inbox.Port());
  ASSERT_GE(g, 0);
  EXPECT_EQ("0\t\r\n", Raw(SetGroupsActiveRequest(true, {g})));
  ASSERT_TRUE(inbox.Next());

  // Connected and sending nothing, or half a line without its end.
  std::vector<std::unique_ptr<TcpClient>> silent;
  for (int i = 0; i < 3; ++i) {
    silent.push_back(std::make_unique<TcpClient>(Gateway().ListenPort()));
    ASSERT_TRUE(silent.back()->Connected());
  }
  silent.back()->Send("HB");

  for (int i = 0; i < 20; ++i) EXPECT_EQ("0\tHBT OK!\r\n", Raw("HBT\r\n"));
  inbox.Drain();
  for (int i = 0; i < 3; ++i) {
    const auto next = inbox.Next();
    ASSERT_TRUE(next) << "value changes stopped while silent clients were connected";
    EXPECT_EQ(g, next->Value().group);
  }
  // The half line is finished late and answered like any other request.
  silent.back()->Send("T\r\n");
  char reply[32] = {};
  ASSERT_GT(SocketWaitReadable(silent.back()->Handle(), 30), 0);
  std::string received;
  for (;;) {
    const int count = SocketReceive(silent.back()->Handle(), reply, sizeof reply);
    if (count <= 0) break;
    received.append(reply, static_cast<std::size_t>(count));
  }
  EXPECT_EQ("0\tHBT OK!\r\n", received);
  EXPECT_EQ("0\t\r\n", Raw(SetGroupsActiveRequest(false, {g})));
}

// Everything a client received until the gateway closed the connection.
std::string ReceiveUntilClosed(const TcpClient& client) {
  std::string received;
  char reply[256];
  while (SocketWaitReadable(client.Handle(), 30) > 0) {
    const int count = SocketReceive(client.Handle(), reply, sizeof reply);
    if (count <= 0) break;
    received.append(reply, static_cast<std::size_t>(count));
  }
  return received;
}

TEST_F(ConnectionsTest, HalfSentRequestsHoldUpNeitherRequestsNorValueChanges) {
  using namespace std::chrono;
  CDatagramInbox inbox;
  ASSERT_TRUE(inbox.Open());
  const std::string name = UniqueGroupName("while_half_sent");
  const int g = DefineOne(Group(name, {Item("Ramp.Int4", kVtI4)}, true, 10), inbox.Port());
  ASSERT_GE(g, 0);
  EXPECT_EQ("0\t\r\n", Raw(SetGroupsActiveRequest(true, {g})));
  ASSERT_TRUE(inbox.Next());

  // 30 requests whose first line came, and not the rest: they stay open until their deadlines.
  const std::string group = std::to_string(g);
  const std::string unfinished = UniqueGroupName("unfinished");
  const std::string starts[] = {
      "AD\r\n", "AD\t1\r\n" + unfinished + "\tA\t2\r\nStatic.Int2\tA\t0\r\n",
      "SW\t" + group + "\t2\r\n0\t1\r\n", "RM\r\n", "SR\t" + group + "\t1\t0\r\n"};
  std::vector<std::unique_ptr<TcpClient>> halfSent;
  for (int i = 0; i < 30; ++i) {
    halfSent.push_back(std::make_unique<TcpClient>(Gateway().ListenPort()));
    ASSERT_TRUE(halfSent.back()->Connected());
    halfSent.back()->Send(starts[i % 5]);
  }
  // A read whose bytes trickle in one every 100 ms, each line complete within its second, is
  // served like any other.
  TcpClient trickling(Gateway().ListenPort());
  ASSERT_TRUE(trickling.Connected());
  std::thread trickle([&trickling, request = ReadSyncRequest(g, {0})] {
    for (const char byte : request) {
      trickling.Send(std::string(1, byte));
      std::this_thread::sleep_for(milliseconds(100));  // the client's pace, not a wait
    }
  });
  // Meanwhile another client is answered within a second each time, and the values keep coming
  // with no gap of a second.
  inbox.Drain();
  const auto until = steady_clock::now() + seconds(2);
  while (steady_clock::now() < until) {
    const auto asked = steady_clock::now();
    EXPECT_EQ("0\tHBT OK!\r\n", Gateway().RawExchange("HBT\r\n", seconds(1)));
    EXPECT_LT(steady_clock::now() - asked, seconds(1));
    if (!inbox.Next(seconds(1))) {
      ADD_FAILURE() << "value changes stopped for a second";
      break;
    }
  }
  trickle.join();
  EXPECT_EQ(0u, ReceiveUntilClosed(trickling).rfind("0\t\r\n", 0));

  // Each half-sent request gets the reply of a read that failed, and did nothing.
  for (const auto& client : halfSent) {
    const std::string received = ReceiveUntilClosed(*client);
    EXPECT_EQ(0u, received.rfind("-2147467259\t", 0)) << received;
  }
  EXPECT_EQ("-1\t\r\n-1\r\n", Raw(QueryGroupIndexesRequest({unfinished})));
  EXPECT_EQ("0\t\r\n", Raw(SetGroupsActiveRequest(false, {g})));
}

TEST_F(ConnectionsTest, ClientsThatLeaveEarlyLeaveTheGatewayServing) {
  const std::string name = UniqueGroupName("stays");
  const int g = DefineOne(Group(name, {Item("Memory.Int2." + name, kVtI2)}));
  ASSERT_GE(g, 0);
  const std::string left = UniqueGroupName("left");
  {
    TcpClient atOnce(Gateway().ListenPort());  // closes right after connecting
  }
  {
    TcpClient halfLine(Gateway().ListenPort());
    halfLine.Send("HB");
  }
  {
    TcpClient midDefinition(Gateway().ListenPort());
    midDefinition.Send("AD\t1\r\n" + left + "\tA\t2\r\nStatic.Int2\tA\t0\r\n");
  }
  {
    TcpClient midWrite(Gateway().ListenPort());
    midWrite.Send("SW\t" + std::to_string(g) + "\t2\r\n0\t17\r\n");
  }
  {
    TcpClient noReader(Gateway().ListenPort());  // gone before the reply is written
    noReader.Send("HBT\r\n");
  }
  EXPECT_EQ("0\tHBT OK!\r\n", Raw("HBT\r\n"));
  // The write was not carried out (its second line never came), the unfinished definition kept
  // no group, and the defined group still serves.
  EXPECT_EQ("0\t\r\n0\t192\r\n", Raw(ReadSyncRequest(g, {0})));
  EXPECT_EQ("-1\t\r\n-1\r\n", Raw(QueryGroupIndexesRequest({left})));
  EXPECT_EQ("0\t\r\n", Raw(WriteSyncRequest(g, {{0, "17"}})));
  EXPECT_EQ("0\t\r\n17\t192\r\n", Raw(ReadSyncRequest(g, {0})));
}

}  // namespace
