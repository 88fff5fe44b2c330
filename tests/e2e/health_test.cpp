// The gateway's health outlets end to end: the status request before and after the server
// connects, across a server restart and with an active group; the metrics port scraped and read
// by the Prometheus client library's parser, /health, refusals and bad requests; the service
// manager's notifications on a test NOTIFY_SOCKET.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "client/client_tool.h"
#include "client/request_builder.h"
#include "client/status_report.h"
#include "tests/e2e/datagram_inbox.h"
#include "tests/e2e/http_scrape.h"
#include "tests/e2e/running_gateway.h"
#include "tests/net/loopback.h"

namespace {

using namespace std::chrono_literals;
using testing_loopback::WaitUntil;

StatusReport Status(const CRunningGateway& gateway) {
  const ExchangeResult result = gateway.Exchange(StatusRequest());
  EXPECT_TRUE(result.Ok()) << result.message;
  EXPECT_EQ(0, result.reply.code) << result.raw;
  const auto report = ReadStatusReport(result.reply.text);
  EXPECT_TRUE(report) << result.raw;
  return report.value_or(StatusReport{});
}

double Figure(const StatusReport& report, const std::string& key) {
  const auto value = report.Figure(key);
  EXPECT_TRUE(value) << key;
  return value ? std::strtod(value->c_str(), nullptr) : -1;
}

bool UnderWine() {
  const char* launcher = std::getenv("QUARNIX_E2E_LAUNCHER");
  return launcher != nullptr && launcher[0] != '\0';
}

}  // namespace

TEST(HealthTest, StatusFollowsTheServerThroughARestartAndTellsTheValueAge) {
  CRunningGateway gateway;
  ASSERT_TRUE(gateway.Ready());
  // Before any request the server is not connected, and the status request does not connect it.
  StatusReport before = Status(gateway);
  EXPECT_FALSE(before.ServerConnected());
  EXPECT_EQ("Quarnix.Simulator", before.Figure("server_progid"));
  EXPECT_EQ("-", before.Figure("value_age_max_seconds"));
  // The client tool says "not healthy" with exit status 1.
  std::ostringstream out;
  std::ostringstream err;
  const std::string port = std::to_string(gateway.ListenPort());
  EXPECT_EQ(1, RunClientTool({"--port", port, "status"}, out, err)) << err.str();
  EXPECT_NE(std::string::npos, out.str().find("NOT HEALTHY: the OPC server is not connected"));
  EXPECT_FALSE(Status(gateway).ServerConnected());

  CDatagramInbox inbox;
  ASSERT_TRUE(inbox.Open());
  GroupDefinition flowing{"flowing", true, 250, {{"Ramp.Int4", true, 0}}};
  GroupDefinition control{"control", false, {}, {{"Control.Restart", true, 0}}};
  ASSERT_EQ("0\t\r\n0\r\n1\r\n",
            gateway.RawExchange(DefineGroupsRequest({flowing, control}, inbox.Port())));
  ASSERT_EQ("0\t\r\n", gateway.RawExchange(SetGroupsActiveRequest(true, {0})));
  ASSERT_TRUE(inbox.WaitFor(IsGroupKind(DatagramKind::kValueChange, 0)));
  const StatusReport connected = Status(gateway);
  EXPECT_TRUE(connected.ServerConnected());
  EXPECT_GT(Figure(connected, "server_connected_since"), 0);
  EXPECT_EQ(2, Figure(connected, "group_entries"));
  EXPECT_EQ(2, Figure(connected, "groups_registered"));
  EXPECT_EQ(1, Figure(connected, "groups_active"));
  EXPECT_EQ(2, Figure(connected, "items"));
  EXPECT_EQ(5, Figure(connected, "requests_served"));  // ST, ST (the tool), ST, AD, AC
  EXPECT_GT(Figure(connected, "datagrams_sent"), 0);
  ASSERT_EQ(1u, connected.groupAges.size());
  EXPECT_EQ(0u, connected.groupAges[0].first);
  // The group's values move every update period (250 ms).
  EXPECT_LT(connected.groupAges[0].second, 0.5);
  EXPECT_TRUE(connected.Healthy(1));
  EXPECT_EQ(0, RunClientTool({"--port", port, "status", "--json"}, out, err)) << err.str();

  // The simulator crashes for a second; the gateway counts the loss and the reconnection.
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(1, {{0, "1"}})));
  ASSERT_TRUE(WaitUntil(
      [&] {
        const StatusReport after = Status(gateway);
        return after.ServerConnected() && Figure(after, "server_reconnects") == 1;
      },
      60s));
  const StatusReport after = Status(gateway);
  EXPECT_EQ(1, Figure(after, "server_losses"));
  EXPECT_NE("0x00000000", after.Figure("server_last_loss_code"));
  inbox.Drain();
  ASSERT_TRUE(inbox.WaitFor(IsGroupKind(DatagramKind::kValueChange, 0)));
  const StatusReport flowingAgain = Status(gateway);
  ASSERT_EQ(1u, flowingAgain.groupAges.size());
  EXPECT_LT(flowingAgain.groupAges[0].second, 0.5);
}

TEST(HealthTest, MetricsPortServesPrometheusTextAndHealth) {
  const std::uint16_t metricsPort = FreeLoopbackPort();
  CRunningGateway gateway({"/metrics", std::to_string(metricsPort)});
  ASSERT_TRUE(gateway.Ready());
  // Not connected before the first request.
  EXPECT_EQ("HTTP/1.0 503 Service Unavailable", HttpStatusLine(HttpGet(metricsPort, "/health")));
  ASSERT_EQ("0\tHBT OK!\r\n", gateway.RawExchange(HeartbeatRequest()));
  EXPECT_EQ("0\tHBT OK!\r\n", gateway.RawExchange(HeartbeatRequest()));
  ASSERT_TRUE(WaitUntil(
      [&] { return HttpStatusLine(HttpGet(metricsPort, "/health")) == "HTTP/1.0 200 OK"; }));

  // A silent client and one that sends 100 KB of request line hold up nobody.
  const SocketHandle silent = SocketCreate(kSockStream);
  ASSERT_TRUE(SocketConnect(silent, testing_loopback::LoopbackAddress(metricsPort)));
  const std::string huge =
      HttpExchange(metricsPort, "GET /" + std::string(100000, 'a') + " HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(huge.empty() || HttpStatusLine(huge) == "HTTP/1.0 400 Bad Request")
      << huge.substr(0, 80);

  const std::string scrape = HttpGet(metricsPort, "/metrics");
  ASSERT_EQ("HTTP/1.0 200 OK", HttpStatusLine(scrape));
  EXPECT_NE(std::string::npos,
            scrape.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"));
  const std::map<std::string, double> samples = ParsedScrape(scrape);
  EXPECT_EQ(1, samples.at("quarnix_server_connected{progid=Quarnix.Simulator}"));
  EXPECT_EQ(2, samples.at("quarnix_requests_total{command=HBT,result=success}"));
  EXPECT_EQ(0, samples.at("quarnix_server_losses_total{}"));
  EXPECT_EQ(0, samples.at("quarnix_connections_refused_total{reason=not_allowed}"));
  EXPECT_LE(2, samples.at("quarnix_request_duration_seconds_count{}"));
  EXPECT_LT(0, samples.at("quarnix_uptime_seconds{}"));
  EXPECT_EQ(1, samples.count("quarnix_request_duration_seconds_bucket{le=+Inf}"));
  EXPECT_LT(0, samples.at("quarnix_process_resident_memory_bytes{}"));
  SocketClose(silent);

  EXPECT_EQ("HTTP/1.0 404 Not Found", HttpStatusLine(HttpGet(metricsPort, "/")));
  EXPECT_EQ("HTTP/1.0 405 Method Not Allowed",
            HttpStatusLine(HttpExchange(metricsPort, "POST /metrics HTTP/1.1\r\n\r\n")));
  EXPECT_EQ("HTTP/1.0 400 Bad Request", HttpStatusLine(HttpExchange(metricsPort, "hello\r\n\r\n")));
  // HEAD: the headers without the body.
  const std::string head = HttpExchange(metricsPort, "HEAD /health HTTP/1.0\r\n\r\n");
  EXPECT_EQ("\r\n\r\n", head.substr(head.size() - 4)) << head;
  // The request port's replies are unchanged.
  EXPECT_EQ("1\tUnknown command: St\r\n", gateway.RawExchange("St\r\n"));
}

TEST(HealthTest, ConnectOptionMakesTheGatewayHealthyBeforeAnyRequest) {
  const std::uint16_t metricsPort = FreeLoopbackPort();
  CRunningGateway gateway({"/connect", "/metrics", std::to_string(metricsPort)});
  ASSERT_TRUE(gateway.Ready());
  ASSERT_TRUE(WaitUntil(
      [&] { return HttpStatusLine(HttpGet(metricsPort, "/health")) == "HTTP/1.0 200 OK"; }));
  const StatusReport status = Status(gateway);
  EXPECT_EQ("connected", status.Figure("server_state"));
  EXPECT_EQ(0, Figure(status, "server_reconnects"));
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(0, RunClientTool({"--port", std::to_string(gateway.ListenPort()), "status"}, out, err))
      << out.str() << err.str();
}

TEST(HealthTest, IdleGatewayIsToldApartFromALostServer) {
  const std::uint16_t metricsPort = FreeLoopbackPort();
  CRunningGateway gateway({"/metrics", std::to_string(metricsPort)});
  ASSERT_TRUE(gateway.Ready());
  const std::string health = HttpGet(metricsPort, "/health");
  EXPECT_EQ("HTTP/1.0 503 Service Unavailable", HttpStatusLine(health));
  EXPECT_NE(std::string::npos, health.find("not connected yet: no request has asked for it"))
      << health;
  std::map<std::string, double> samples = ParsedScrape(HttpGet(metricsPort, "/metrics"));
  EXPECT_EQ(1, samples.at("quarnix_server_awaiting_first_request{}"));
  EXPECT_EQ(0, samples.at("quarnix_server_losses_total{}"));
  EXPECT_EQ("waiting_for_first_request", Status(gateway).Figure("server_state"));
  std::ostringstream out;
  std::ostringstream err;
  const std::string port = std::to_string(gateway.ListenPort());
  EXPECT_EQ(1, RunClientTool({"--port", port, "status"}, out, err));
  EXPECT_NE(std::string::npos, out.str().find("not connected yet: no request has asked for it"))
      << out.str();

  ASSERT_EQ("0\tHBT OK!\r\n", gateway.RawExchange(HeartbeatRequest()));
  // A scrape may hand out figures up to 100 ms old.
  EXPECT_TRUE(WaitUntil([&] {
    return ParsedScrape(HttpGet(metricsPort, "/metrics"))
               .at("quarnix_server_awaiting_first_request{}") == 0;
  }));
  EXPECT_EQ("connected", Status(gateway).Figure("server_state"));
}

TEST(HealthTest, ValueAgeGoesOnGrowingThroughAServerOutage) {
  CRunningGateway gateway;
  ASSERT_TRUE(gateway.Ready());
  CDatagramInbox inbox;
  ASSERT_TRUE(inbox.Open());
  GroupDefinition flowing{"flowing", true, 100, {{"Ramp.Int4", true, 0}}};
  GroupDefinition control{"control", false, {}, {{"Control.Restart", true, 0}}};
  ASSERT_EQ("0\t\r\n0\r\n1\r\n",
            gateway.RawExchange(DefineGroupsRequest({flowing, control}, inbox.Port())));
  ASSERT_EQ("0\t\r\n", gateway.RawExchange(SetGroupsActiveRequest(true, {0})));
  ASSERT_TRUE(inbox.WaitFor(IsGroupKind(DatagramKind::kValueChange, 0)));
  // Down for 8 s: the group's age goes on from its last value change instead of vanishing.
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(1, {{0, "8"}})));
  ASSERT_TRUE(WaitUntil(
      [&] {
        const StatusReport during = Status(gateway);
        return during.Figure("server_state") == "lost" && during.groupAges.size() == 1 &&
               during.groupAges[0].second > 1.5;
      },
      30s));
  const StatusReport during = Status(gateway);
  if (during.Figure("server_state") == "lost") {
    EXPECT_EQ(0u, during.groupAges[0].first);
    EXPECT_GT(Figure(during, "value_age_max_seconds"), 1.5);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(1,
              RunClientTool({"--port", std::to_string(gateway.ListenPort()), "status"}, out, err));
    EXPECT_NE(std::string::npos, out.str().find("NOT HEALTHY: the OPC server was lost"))
        << out.str();
  }
}

TEST(HealthTest, UnknownOptionsAndADeadProgIdAreNamedAtStart) {
  CRunningGateway gateway({"/metric", "9464", "/connect", "/progId", "No.Such.Server"});
  ASSERT_TRUE(gateway.Ready());
  const std::string said = gateway.Process().StandardOutput();
  EXPECT_NE(std::string::npos,
            said.find("ignored unknown option /metric (did you mean /metrics?)\n"))
      << said;
  EXPECT_NE(std::string::npos, said.find("ignored unknown option 9464\n")) << said;
  // In the log file the ProgID's line follows the start record.
  const std::string log = gateway.LogFile();
  const std::size_t start = log.find(CGatewayProcess::GatewayText("启动，选项："));
  ASSERT_NE(std::string::npos, start) << log;
  const std::size_t next = log.find('\n', start);
  const std::size_t dead =
      log.find(CGatewayProcess::GatewayText("OPC服务器 No.Such.Server 未在本机注册"), start);
  EXPECT_EQ(next + 21, dead) << log;  // the time stamp, then the text
  EXPECT_NE(std::string::npos, log.find("ignored unknown option /metric", start)) << log;
  if (!UnderWine()) {
    EXPECT_NE(std::string::npos, log.find("Quarnix.Simulator", dead)) << log;
  }
  // /connect keeps trying the server; nothing was lost.
  EXPECT_TRUE(WaitUntil([&] { return Status(gateway).Figure("server_state") == "connecting"; }));
  EXPECT_EQ(0, Figure(Status(gateway), "server_losses"));
}

TEST(HealthTest, MetricsPortClosesClientsOffTheAllowListUnread) {
  const std::uint16_t metricsPort = FreeLoopbackPort();
  CRunningGateway gateway({"/metrics", std::to_string(metricsPort), "/allow", "10.9.9.9"});
  ASSERT_TRUE(gateway.Ready());
  EXPECT_EQ("", HttpGet(metricsPort, "/metrics"));
}

TEST(HealthTest, BadOrTakenMetricsPortEndsTheStart) {
  for (const std::string value : {"0", "70000", "x"}) {
    const auto dir = CGatewayProcess::MakeWorkDirectory();
    CGatewayProcess gateway({"/s", "/lp", std::to_string(FreeLoopbackPort()), "/metrics", value},
                            dir);
    ASSERT_TRUE(gateway.WaitForExit(60s));
    EXPECT_EQ(1, gateway.ExitCode()) << value;
    EXPECT_NE(std::string::npos, gateway.StandardOutput().find("/metrics")) << value;
    std::filesystem::remove_all(dir);
  }
  const SocketHandle occupant = SocketCreate(kSockStream);
  ASSERT_TRUE(SocketBind(occupant, testing_loopback::LoopbackAddress(0)));
  ASSERT_TRUE(SocketListen(occupant, 5));
  const std::uint16_t taken = testing_loopback::LocalPort(occupant);
  const auto dir = CGatewayProcess::MakeWorkDirectory();
  CGatewayProcess gateway(
      {"/s", "/lp", std::to_string(FreeLoopbackPort()), "/metrics", std::to_string(taken)}, dir);
  ASSERT_TRUE(gateway.WaitForExit(60s));
  EXPECT_EQ(1, gateway.ExitCode());
  const std::string text = CGatewayProcess::GatewayText(
      "端口" + std::to_string(taken) + "已被另一个程序占用，Quarnix无法在该端口提供指标");
  EXPECT_NE(std::string::npos, gateway.StandardOutput().find(text)) << gateway.StandardOutput();
  SocketClose(occupant);
  std::filesystem::remove_all(dir);
}

TEST(HealthTest, TellsTheServiceManagerReadyWatchdogAndStopping) {
  if (UnderWine()) GTEST_SKIP() << "systemd's notifications exist only on Linux";
  const std::string path =
      (std::filesystem::temp_directory_path() / ("quarnix-notify-" + std::to_string(getpid())))
          .string();
  const int receiver = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ::unlink(path.c_str());
  ASSERT_EQ(0, ::bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  ::setenv("WATCHDOG_USEC", "200000", 1);
  std::vector<std::string> messages;
  {
    CRunningGateway gateway;
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ASSERT_TRUE(gateway.Ready());
    const auto receive = [&] {
      if (SocketWaitReadable(receiver, 30) <= 0) return false;
      char buffer[512];
      const ssize_t got = ::recv(receiver, buffer, sizeof buffer, 0);
      if (got > 0) messages.emplace_back(buffer, static_cast<std::size_t>(got));
      return got > 0;
    };
    ASSERT_TRUE(receive());
    EXPECT_EQ(0u, messages[0].rfind("READY=1\nSTATUS=listening for requests on port ", 0))
        << messages[0];
    // Keep-alives every 100 ms, from the UI thread.
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(receive());
      EXPECT_EQ("WATCHDOG=1", messages.back());
    }
    EXPECT_TRUE(gateway.Stop());
  }
  for (;;) {
    char buffer[512];
    if (SocketWaitReadable(receiver, 0) <= 0) break;
    const ssize_t got = ::recv(receiver, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    messages.emplace_back(buffer, static_cast<std::size_t>(got));
  }
  EXPECT_EQ("STOPPING=1", messages.back());
  ::close(receiver);
  ::unlink(path.c_str());
}

// A manager that never reads (its socket's queue fills) and then a socket removed under the
// gateway: the notifications are dropped and counted, requests are answered and SIGTERM ends it.
TEST(HealthTest, ANotificationReaderThatNeverReadsHoldsUpNothing) {
  if (UnderWine()) GTEST_SKIP() << "systemd's notifications exist only on Linux";
  const std::string path =
      (std::filesystem::temp_directory_path() / ("quarnix-deaf-notify-" + std::to_string(getpid())))
          .string();
  const int receiver = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ::unlink(path.c_str());
  ASSERT_EQ(0, ::bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address));
  const std::uint16_t metricsPort = FreeLoopbackPort();
  ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  ::setenv("WATCHDOG_USEC", "20000", 1);  // a keep-alive every 10 ms: the queue fills at once
  CRunningGateway gateway({"/metrics", std::to_string(metricsPort)});
  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");
  ASSERT_TRUE(gateway.Ready());
  const auto failures = [&] {
    const std::string scrape = HttpGet(metricsPort, "/metrics");
    const std::string name = "\nquarnix_service_notify_failures_total ";
    const std::size_t at = scrape.find(name);
    return at == std::string::npos ? -1.0 : std::strtod(scrape.c_str() + at + name.size(), nullptr);
  };
  ASSERT_TRUE(WaitUntil([&] { return failures() > 0; }));
  for (int i = 0; i < 5; ++i) {
    const ExchangeResult result = gateway.Exchange(HeartbeatRequest());
    ASSERT_TRUE(result.Ok()) << result.message;
    EXPECT_EQ("HBT OK!", result.reply.text);
  }
  // The socket goes away: every send fails at once, still counted.
  ::close(receiver);
  ::unlink(path.c_str());
  const double before = failures();
  ASSERT_TRUE(WaitUntil([&] { return failures() > before; }));
  EXPECT_TRUE(gateway.Exchange(HeartbeatRequest()).Ok());
  EXPECT_TRUE(gateway.Stop(std::chrono::seconds(10)));
}

// A call that hangs holds the UI thread: the status request, /health and /metrics are answered
// meanwhile from the figures published before it, not after the call.
TEST(HealthTest, StatusAndMetricsAnswerWhileAServerCallHangs) {
  const std::uint16_t metricsPort = FreeLoopbackPort();
  CRunningGateway gateway({"/calltimeout", "10", "/metrics", std::to_string(metricsPort)});
  ASSERT_TRUE(gateway.Ready());
  GroupDefinition group;
  group.name = "controls";
  group.items = {{"Control.Hang", true, 0}, {"Memory.Int4.h", true, 0}};
  EXPECT_EQ("0\t\r\n0\r\n", gateway.RawExchange(DefineGroupsRequest({group}, 0)));
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(0, {{0, "10"}})));
  std::atomic<bool> readAnswered{false};
  std::thread reader([&] {
    gateway.RawExchange(ReadSyncRequest(0, {1}), 60s);
    readAnswered = true;
  });
  double slowest = 0;
  for (int i = 0; i < 5; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const StatusReport report = Status(gateway);
    slowest = std::max(
        slowest, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    EXPECT_EQ(1, Figure(report, "server_connected"));
    EXPECT_EQ("HTTP/1.0 200 OK", HttpStatusLine(HttpGet(metricsPort, "/health")));
  }
  EXPECT_NE(std::string::npos, HttpGet(metricsPort, "/metrics").find("quarnix_server_connected 1"));
  // All of it before the hung read was answered (at its 10 s deadline).
  EXPECT_FALSE(readAnswered);
  std::printf("slowest status reply while a call hangs: %.1f ms\n", slowest * 1000);
  reader.join();
}
