// The protection options against a running gateway: /bind, /allow, /maxconn, /readonly and
// /maxgroups, all set on one gateway that listens on 127.0.0.2 and serves only 127.0.0.2; then
// /writers and the audit trail of writes on a gateway that serves 127.0.0.1 and 127.0.0.2 and
// lets only 127.0.0.2 write.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "client/request_builder.h"
#include "tests/e2e/running_gateway.h"
#include "tests/net/loopback.h"

namespace {

constexpr std::uint32_t kServedAddress = 0x7F000002;  // 127.0.0.2
constexpr std::uint32_t kOtherAddress = 0x7F000001;   // 127.0.0.1
constexpr auto kWait = std::chrono::seconds(30);
constexpr char kAuditFile[] = "RV_Morvantel.audit.log";

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

// The audit trail's lines, each split at its TABs.
std::vector<std::vector<std::string>> AuditLines(const std::filesystem::path& directory) {
  std::vector<std::vector<std::string>> lines;
  std::ifstream file(directory / kAuditFile, std::ios::binary);
  std::string text;
  while (std::getline(file, text)) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
    std::vector<std::string> fields;
    std::stringstream split(text);
    std::string field;
    while (std::getline(split, field, '\t')) fields.push_back(field);
    lines.push_back(fields);
  }
  return lines;
}

class WritersTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    s_gateway = std::make_unique<CRunningGateway>(
        std::vector<std::string>{"/allow", "127.0.0.1,127.0.0.2", "/writers", "127.0.0.2"});
  }
  static void TearDownTestSuite() { s_gateway.reset(); }
  void SetUp() override { ASSERT_TRUE(s_gateway && s_gateway->Ready()) << "gateway did not start"; }

  static std::string From(std::uint32_t address, const std::string& request) {
    CClientFrom client(address, s_gateway->ListenPort());
    EXPECT_TRUE(client.Connected());
    return client.Exchange(request);
  }
  static GroupDefinition Group(const std::string& name, const std::vector<std::string>& itemIds) {
    GroupDefinition group;
    group.name = name;
    for (const std::string& id : itemIds) group.items.push_back(ItemDefinition{id, true, 2});
    return group;
  }

  inline static std::unique_ptr<CRunningGateway> s_gateway;
};

TEST_F(WritersTest, OnlyTheWritersAddressWritesAndEveryWriteRequestIsAudited) {
  // 127.0.0.2 defines a group; 127.0.0.1 reads it and may not change it.
  ASSERT_EQ("0\t\r\n0\r\n",
            From(kServedAddress,
                 DefineGroupsRequest({Group("w_a", {"Memory.Int2.writers", "Static.Int2"})})));
  EXPECT_EQ("0\t\r\n0\t192\r\n", From(kOtherAddress, ReadSyncRequest(0, {0})));
  const std::string refused = "1\tWrites are not allowed from 127.0.0.1 (/writers)\r\n";
  // A value with a control character and a byte that is no UTF-8.
  EXPECT_EQ(refused, From(kOtherAddress, WriteSyncRequest(0, {{0, "7\x01\xff"}})));
  EXPECT_EQ(refused, From(kOtherAddress, WriteAsyncRequest(0, {{0, "7"}}, 5)));
  EXPECT_EQ(refused, From(kOtherAddress, RemoveGroupsRequest({0})));
  EXPECT_EQ("0\t\r\n0\t192\r\n", From(kOtherAddress, ReadSyncRequest(0, {0})));  // unchanged

  // 127.0.0.1 defines and removes a group of its own.
  EXPECT_EQ("0\t\r\n1\r\n",
            From(kOtherAddress, DefineGroupsRequest({Group("w_b", {"Static.Int2"})})));
  EXPECT_EQ("0\t\r\n", From(kOtherAddress, RemoveGroupsRequest({1})));

  // 127.0.0.2 writes; a write to a read-only item fails at the server.
  EXPECT_EQ("0\t\r\n", From(kServedAddress, WriteSyncRequest(0, {{0, "7"}})));
  EXPECT_EQ("0\t\r\n7\t192\r\n", From(kOtherAddress, ReadSyncRequest(0, {0})));
  const std::string failed = From(kServedAddress, WriteSyncRequest(0, {{0, "8"}, {1, "5"}}));
  EXPECT_EQ(0u, failed.find("1\t1: ")) << failed;
  EXPECT_EQ(0u, From(kServedAddress, WriteAsyncRequest(0, {{0, "9"}}, 5)).find("0\t"));

  const std::string status = From(kOtherAddress, StatusRequest());
  EXPECT_NE(std::string::npos, status.find("\r\nwriters\t127.0.0.2\r\n")) << status;
  EXPECT_NE(std::string::npos, status.find("\r\naudit_writable\t1\r\n")) << status;

  // One line per write request, own group's removal not among them; then the completion of the
  // accepted AW with the server's result per item.
  ASSERT_TRUE(testing_loopback::WaitUntil(
      [] { return AuditLines(s_gateway->WorkDirectory()).size() >= 7; }, kWait));
  const auto lines = AuditLines(s_gateway->WorkDirectory());
  ASSERT_EQ(7u, lines.size());
  const std::string serverText = failed.substr(5, failed.size() - 8);  // "1\t1: <text>\t\r\n"
  const std::vector<std::vector<std::string>> expected = {
      {"SW", "0", "w_a", "refused", refused.substr(2, refused.size() - 4), "1", "0",
       "Memory.Int2.writers", "7\\x01\\xFF", "refused"},
      {"AW", "0", "w_a", "refused", refused.substr(2, refused.size() - 4), "1", "0",
       "Memory.Int2.writers", "7", "refused"},
      {"RM", "0", "w_a", "refused", refused.substr(2, refused.size() - 4), "0"},
      {"SW", "0", "w_a", "written", "", "1", "0", "Memory.Int2.writers", "7", "written"},
      {"SW", "0", "w_a", "failed", "1: " + serverText + "\\t", "2", "0", "Memory.Int2.writers", "8",
       "written", "1", "Static.Int2", "5", "failed: " + serverText},
      {"AW", "0", "w_a", "accepted", "", "1", "0", "Memory.Int2.writers", "9", "accepted"},
      {"AW-complete", "0", "w_a", "written", "", "1", "0", "Memory.Int2.writers", "9", "written"},
  };
  const std::string clients[] = {"127.0.0.1:", "127.0.0.1:", "127.0.0.1:", "127.0.0.2:",
                                 "127.0.0.2:", "127.0.0.2:", "127.0.0.2:"};
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const std::vector<std::string>& line = lines[k];
    ASSERT_EQ(expected[k].size() + 2, line.size()) << k;
    EXPECT_EQ(24u, line[0].size()) << line[0];  // 2026-12-09T03:30:01.123Z
    EXPECT_EQ('Z', line[0].back());
    EXPECT_EQ(0u, line[1].find(clients[k])) << line[1];
    EXPECT_EQ(expected[k], std::vector<std::string>(line.begin() + 2, line.end())) << k;
  }
}

TEST(WritesWithoutAuditTest, AWorkingDirectoryWithoutTheAuditTrailServesReadsAndRefusesWrites) {
  CRunningGateway gateway;
  ASSERT_TRUE(gateway.Ready());
  // A folder where the audit file should be: the file cannot be opened, even by root.
  const std::filesystem::path audit = gateway.WorkDirectory() / kAuditFile;
  ASSERT_TRUE(std::filesystem::create_directory(audit));
  ASSERT_EQ("0\t\r\n0\r\n", gateway.RawExchange(DefineGroupsRequest({GroupDefinition{
                                "na", true, std::nullopt, {{"Memory.Int2.noaudit", true, 2}}}})));
  EXPECT_EQ(
      "1\tWrites are refused: the audit trail RV_Morvantel.audit.log cannot be written in the "
      "gateway's working directory\r\n",
      gateway.RawExchange(WriteSyncRequest(0, {{0, "7"}})));
  EXPECT_EQ("0\t\r\n0\t192\r\n", gateway.RawExchange(ReadSyncRequest(0, {0})));
  EXPECT_NE(std::string::npos,
            gateway.RawExchange(StatusRequest()).find("\r\naudit_writable\t0\r\n"));
  EXPECT_NE(std::string::npos, gateway.LogFile().find(CGatewayProcess::GatewayText(
                                   "审计文件 RV_Morvantel.audit.log 无法写入")));

  // Writable again: the next write is made and recorded.
  std::filesystem::remove(audit);
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(0, {{0, "7"}})));
  const auto lines = AuditLines(gateway.WorkDirectory());
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("written", lines[0].at(5));
}

}  // namespace
