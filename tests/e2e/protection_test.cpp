// The protection options against a running gateway: /bind, /allow, /maxconn, /readonly and
// /maxgroups, all set on one gateway that listens on 127.0.0.2 and serves only 127.0.0.2.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "client/request_builder.h"
#include "tests/e2e/running_gateway.h"
#include "tests/net/loopback.h"

namespace {

constexpr std::uint32_t kServedAddress = 0x7F000002;  // 127.0.0.2
constexpr std::uint32_t kOtherAddress = 0x7F000001;   // 127.0.0.1
constexpr auto kWait = std::chrono::seconds(30);

SocketAddressIn Endpoint(std::uint32_t address, std::uint16_t port) {
  SocketAddressIn endpoint;
  endpoint.address = HostToNet32(address);
  endpoint.port = HostToNet16(port);
  return endpoint;
}

// A client connection from a given local address to the gateway on 127.0.0.2.
class CClientFrom {
public:
  CClientFrom(std::uint32_t from, std::uint16_t port) {
    m_socket = SocketCreate(kSockStream);
    m_connected = SocketBind(m_socket, Endpoint(from, 0)) &&
                  SocketConnect(m_socket, Endpoint(kServedAddress, port));
  }
  ~CClientFrom() { SocketClose(m_socket); }
  CClientFrom(const CClientFrom&) = delete;
  CClientFrom& operator=(const CClientFrom&) = delete;

  bool Connected() const { return m_connected; }
  // Sends the request, ends the sending half and returns every byte until the gateway closes.
  std::string Exchange(const std::string& request) {
    SocketSend(m_socket, request.data(), static_cast<int>(request.size()));
    ::shutdown(m_socket, SHUT_WR);
    return ReceiveAll();
  }
  std::string ReceiveAll() {
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
      if (SocketWaitReadableMs(m_socket, 1000) <= 0) continue;
      const int count = SocketReceive(m_socket, buffer, sizeof buffer);
      if (count <= 0) break;
      received.append(buffer, static_cast<std::size_t>(count));
    }
    return received;
  }

private:
  SocketHandle m_socket = kNoSocket;
  bool m_connected = false;
};

class ProtectionTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    s_gateway = std::make_unique<CRunningGateway>(
        std::vector<std::string>{"/bind", "127.0.0.2", "/allow", "127.0.0.2", "/readonly",
                                 "/maxconn", "4", "/maxgroups", "2"});
  }
  static void TearDownTestSuite() { s_gateway.reset(); }
  void SetUp() override { ASSERT_TRUE(s_gateway && s_gateway->Ready()) << "gateway did not start"; }

  static std::uint16_t Port() { return s_gateway->ListenPort(); }
  static std::string Served(const std::string& request) {
    CClientFrom client(kServedAddress, Port());
    EXPECT_TRUE(client.Connected());
    return client.Exchange(request);
  }
  static GroupDefinition Group(const std::string& name, const std::string& itemId) {
    GroupDefinition group;
    group.name = name;
    group.items.push_back(ItemDefinition{itemId, true, 2});
    return group;
  }

  inline static std::unique_ptr<CRunningGateway> s_gateway;
};

TEST_F(ProtectionTest, ListensOnTheBoundAddressAndServesOnlyAllowedClients) {
  EXPECT_EQ("0\tHBT OK!\r\n", Served("HBT\r\n"));

  // Nothing listens on 127.0.0.1.
  const SocketHandle elsewhere = SocketCreate(kSockStream);
  EXPECT_FALSE(SocketConnect(elsewhere, Endpoint(kOtherAddress, Port())));
  SocketClose(elsewhere);

  // A client from 127.0.0.1 is closed unanswered, and the refusal is logged.
  CClientFrom stranger(kOtherAddress, Port());
  ASSERT_TRUE(stranger.Connected());
  EXPECT_EQ("", stranger.Exchange("HBT\r\n"));
  EXPECT_TRUE(testing_loopback::WaitUntil(
      [] {
        // The refusal's own line (the start record names /allow too).
        return s_gateway->LogFile().find(CGatewayProcess::GatewayText(
                   "拒绝来自 127.0.0.1 的连接：该地址不在 /allow 列表中")) != std::string::npos;
      },
      kWait));
  EXPECT_EQ("0\tHBT OK!\r\n", Served("HBT\r\n"));
}

TEST_F(ProtectionTest, MoreConnectionsFromOneAddressThanMaxconnAreClosedAtOnce) {
  std::vector<std::unique_ptr<CClientFrom>> held;
  for (int i = 0; i < 4; ++i) {
    held.push_back(std::make_unique<CClientFrom>(kServedAddress, Port()));
    ASSERT_TRUE(held.back()->Connected());
  }
  // The fifth may be accepted by the system, but the gateway closes it without a reply.
  EXPECT_TRUE(testing_loopback::WaitUntil([] { return Served("HBT\r\n").empty(); }, kWait));
  EXPECT_TRUE(testing_loopback::WaitUntil(
      [] {
        return s_gateway->LogFile().find(CGatewayProcess::GatewayText(
                   "的连接：该地址未关闭的连接已达 /maxconn")) != std::string::npos;
      },
      kWait));
  // One held connection goes: the address is served again.
  held.pop_back();
  EXPECT_TRUE(
      testing_loopback::WaitUntil([] { return Served("HBT\r\n") == "0\tHBT OK!\r\n"; }, kWait));
}

TEST_F(ProtectionTest, WritesAreRefusedAndGroupsStopAtTheLimit) {
  // Connections an earlier test held may still count against /maxconn until the gateway has
  // seen them close.
  ASSERT_TRUE(
      testing_loopback::WaitUntil([] { return Served("HBT\r\n") == "0\tHBT OK!\r\n"; }, kWait));
  const std::string defined = Served(
      DefineGroupsRequest({Group("ro_a", "Memory.Int2.ro_a"), Group("ro_b", "Static.Int2")}));
  ASSERT_EQ("0\t\r\n0\r\n1\r\n", defined);

  EXPECT_EQ("1\tWrites are disabled on this gateway\r\n", Served(WriteSyncRequest(0, {{0, "7"}})));
  EXPECT_EQ("1\tWrites are disabled on this gateway\r\n",
            Served(WriteAsyncRequest(0, {{0, "7"}}, 5)));
  EXPECT_EQ("0\t\r\n0\t192\r\n", Served(ReadSyncRequest(0, {0})));  // nothing was written

  EXPECT_EQ("1\tToo many groups: the limit is 2 (/maxgroups)\r\n",
            Served(DefineGroupsRequest({Group("ro_c", "Static.Int2")})));
  // Removing one makes room for exactly one.
  EXPECT_EQ("0\t\r\n", Served(RemoveGroupsRequest({1})));
  EXPECT_EQ(
      "1\tToo many groups: the limit is 2 (/maxgroups)\r\n",
      Served(DefineGroupsRequest({Group("ro_d", "Static.Int2"), Group("ro_e", "Static.Int2")})));
  EXPECT_EQ("0\t\r\n1\r\n", Served(DefineGroupsRequest({Group("ro_f", "Static.Int2")})));
}

}  // namespace
