#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <filesystem>

#include "tests/e2e/gateway_process.h"
#include "tests/net/loopback.h"

using namespace testing_loopback;

namespace {

// A private working directory per test and the options that aim a gateway at a receiver.
class StartupTest : public ::testing::Test {
protected:
  void SetUp() override { m_dir = CGatewayProcess::MakeWorkDirectory(); }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
  }

  static std::vector<std::string> Options(std::uint16_t listenPort, std::uint16_t remotePort) {
    return {"/s",        "/lp", std::to_string(listenPort), "/rh",
            "127.0.0.1", "/rp", std::to_string(remotePort)};
  }

  std::filesystem::path m_dir;
};

// The log file's line end is the platform's text-mode one: LF, or CR LF on Windows.
bool HasLineEndingIn(const std::string& content, const std::string& tail) {
  return content.find(tail + "\n") != std::string::npos ||
         content.find(tail + "\r\n") != std::string::npos;
}

}  // namespace

TEST_F(StartupTest, AnnouncesLogsAndShutsDownCleanlyOnSigterm) {
  UdpReceiver receiver;
  const std::uint16_t port = FreeTcpPort();
  CGatewayProcess gateway(Options(port, receiver.Port()), m_dir);
  ASSERT_TRUE(gateway.Started());
  const std::string startup = receiver.Receive(std::chrono::seconds(60)).value_or("");
  EXPECT_EQ(std::string("Startup Quarnix\r\n", 17), startup);
  const std::string log = ReadFile(m_dir / "RV_Morvantel.log");
  EXPECT_TRUE(HasLineEndingIn(
      log, CGatewayProcess::GatewayText("成功打开套接字端口") + std::to_string(port)))
      << log;
  TcpClient client(port);
  EXPECT_TRUE(client.Connected());
  client.Close();

  gateway.Signal(SIGTERM);
  EXPECT_EQ(std::string("Exit Quarnix\r\n", 14),
            receiver.Receive(std::chrono::seconds(60)).value_or(""));
  ASSERT_TRUE(gateway.WaitForExit(std::chrono::seconds(60)));
  EXPECT_EQ(0, gateway.ExitCode());
  EXPECT_EQ("", gateway.StandardOutput());
}

TEST_F(StartupTest, SigintRunsTheSameShutdown) {
  UdpReceiver receiver;
  CGatewayProcess gateway(Options(FreeTcpPort(), receiver.Port()), m_dir);
  ASSERT_EQ("Startup Quarnix\r\n", receiver.Receive(std::chrono::seconds(60)).value_or(""));
  gateway.Signal(SIGINT);
  EXPECT_EQ("Exit Quarnix\r\n", receiver.Receive(std::chrono::seconds(60)).value_or(""));
  ASSERT_TRUE(gateway.WaitForExit(std::chrono::seconds(60)));
  EXPECT_EQ(0, gateway.ExitCode());
}

TEST_F(StartupTest, SecondInstanceOnTheSamePortIsRefusedAndAnotherPortStarts) {
  UdpReceiver receiver;
  const std::uint16_t port = FreeTcpPort();
  CGatewayProcess first(Options(port, receiver.Port()), m_dir);
  ASSERT_EQ("Startup Quarnix\r\n", receiver.Receive(std::chrono::seconds(60)).value_or(""));

  CGatewayProcess second(Options(port, receiver.Port()), m_dir);
  ASSERT_TRUE(second.WaitForExit(std::chrono::seconds(60)));
  EXPECT_NE(0, second.ExitCode());
  // The defined line, then which port another gateway serves.
  EXPECT_EQ(
      CGatewayProcess::GatewayText("只能打开该程序的一个实例\n端口" + std::to_string(port) +
                                   "已由另一个正在运行的Quarnix网关使用，它在该端口接受请求。"
                                   "不必再启动一个；要再运行一个网关，请用/lp选择另一个端口。\n"),
      second.StandardOutput());

  UdpReceiver otherReceiver;
  CGatewayProcess third(Options(FreeTcpPort(), otherReceiver.Port()), m_dir);
  EXPECT_EQ("Startup Quarnix\r\n", otherReceiver.Receive(std::chrono::seconds(60)).value_or(""));

  receiver.SendMarker("marker");  // the refused instance sent nothing
  EXPECT_EQ("marker", receiver.Receive().value_or(""));

  third.Signal(SIGTERM);
  first.Signal(SIGTERM);
  ASSERT_TRUE(third.WaitForExit(std::chrono::seconds(60)));
  ASSERT_TRUE(first.WaitForExit(std::chrono::seconds(60)));
  EXPECT_EQ(0, third.ExitCode());
  EXPECT_EQ(0, first.ExitCode());
}

TEST_F(StartupTest, RestartAfterSigkillSucceeds) {
  UdpReceiver receiver;
  const std::uint16_t port = FreeTcpPort();
  {
    CGatewayProcess crashed(Options(port, receiver.Port()), m_dir);
    ASSERT_EQ("Startup Quarnix\r\n", receiver.Receive(std::chrono::seconds(60)).value_or(""));
    TcpClient client(port);  // leaves a connection behind on the port
    crashed.Signal(SIGKILL);
    ASSERT_TRUE(crashed.WaitForExit(std::chrono::seconds(60)));
  }
  CGatewayProcess restarted(Options(port, receiver.Port()), m_dir);
  EXPECT_EQ("Startup Quarnix\r\n", receiver.Receive(std::chrono::seconds(60)).value_or(""));
  restarted.Signal(SIGTERM);
  ASSERT_TRUE(restarted.WaitForExit(std::chrono::seconds(60)));
  EXPECT_EQ(0, restarted.ExitCode());
}

TEST_F(StartupTest, ListeningPortInUseFailsWithTheErrorTextOnStandardOutput) {
  UdpReceiver receiver;
  SocketHandle occupant = SocketCreate(kSockStream);
  SocketAddressIn any;
  ASSERT_TRUE(SocketBind(occupant, any));
  ASSERT_TRUE(SocketListen(occupant, 5));
  const std::uint16_t port = LocalPort(occupant);
  CGatewayProcess gateway(Options(port, receiver.Port()), m_dir);
  ASSERT_TRUE(gateway.WaitForExit(std::chrono::seconds(60)));
  EXPECT_NE(0, gateway.ExitCode());
  // The defined error text, then the line that says what it means and what to do.
  const std::string taken = CGatewayProcess::GatewayText(
      "端口" + std::to_string(port) +
      "已被另一个程序占用，Quarnix无法在该端口监听请求。请结束占用该端口的程序，或用/lp选择另一个"
      "端口。");
  EXPECT_EQ(
      "error Bind " + std::to_string(CGatewayProcess::AddressInUseCode()) + "d\n" + taken + "\n",
      gateway.StandardOutput());
  const std::string log = ReadFile(m_dir / "RV_Morvantel.log");
  EXPECT_TRUE(HasLineEndingIn(log, taken)) << log;
  SocketClose(occupant);
}
