// quarnix-mqtt end to end: a mosquitto broker of the test's own, the gateway with the simulator,
// the bridge, and subscribers on the broker.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <memory>

#include "client/request_builder.h"
#include "tests/client/fake_gateway.h"
#include "tests/e2e/http_scrape.h"
#include "tests/e2e/running_gateway.h"
#include "tests/mqtt/mqtt_fixtures.h"

namespace {

using namespace std::chrono_literals;

std::string ConfigText(std::uint16_t gatewayPort, std::uint16_t brokerPort,
                       const std::string& prefix, const std::string& groups,
                       const std::string& bridgeExtra = "", const std::string& gatewayExtra = "",
                       std::uint16_t udpPort = 0, const std::string& brokerLines = "") {
  return "[gateway]\nhost = 127.0.0.1\nport = " + std::to_string(gatewayPort) +
         "\nudp_port = " + std::to_string(udpPort != 0 ? udpPort : FreeUdpPort()) + "\n" +
         gatewayExtra + "[broker]\n" +
         (brokerLines.empty() ? "host = 127.0.0.1\nport = " + std::to_string(brokerPort) + "\n"
                              : brokerLines) +
         "client_id = " + prefix + "\nkeepalive = 5\n[bridge]\nprefix = " + prefix + "\n" +
         bridgeExtra + groups;
}

// A group section with a name no other test uses.
std::string Group(const std::string& items, int rate = 100) {
  return "[group " + UniqueGroupName("mqtt") + "]\nrate = " + std::to_string(rate) + "\n" + items;
}

auto Any() {
  return [](const ReceivedMessage&) { return true; };
}
auto Field(const std::string& name, const std::string& value) {
  return [name, value](const ReceivedMessage& m) { return JsonField(m.payload, name) == value; };
}

class BridgeTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    s_broker = new CMosquittoBroker();
    s_gateway = new CRunningGateway();
  }
  static void TearDownTestSuite() {
    delete s_gateway;
    delete s_broker;
  }
  void SetUp() override {
    ASSERT_TRUE(s_broker->Ready()) << "mosquitto did not start";
    ASSERT_TRUE(s_gateway->Ready()) << "the gateway did not start";
  }
  static inline CMosquittoBroker* s_broker = nullptr;
  static inline CRunningGateway* s_gateway = nullptr;
};

TEST_F(BridgeTest, PublishesChangesWithQualityRetainedAndStatusWithLastWill) {
  const std::string items =
      "item = Ramp.Int4\nitem = Foo.Int4\nitem = Bad.Int4\nitem = Uncertain.Int2\n"
      "item = Static.UInt2, VT_UI2\n";
  CBridgeProcess bridge(ConfigText(s_gateway->ListenPort(), s_broker->Port(), "t1", Group(items)));
  CMqttSubscriber subscriber(s_broker->Port(), "t1/#");

  const auto first = subscriber.WaitFor("t1/Ramp.Int4", Field("quality", "192"));
  ASSERT_TRUE(first) << bridge.Log();
  const std::string firstValue = JsonField(first->payload, "value");
  EXPECT_TRUE(subscriber.WaitFor("t1/Ramp.Int4", [&](const ReceivedMessage& m) {
    return JsonField(m.payload, "value") != firstValue;
  })) << "Ramp.Int4 does not move";
  EXPECT_TRUE(subscriber.WaitFor("t1/Bad.Int4", Field("quality_text", "\"bad\"")));
  EXPECT_TRUE(subscriber.WaitFor("t1/Uncertain.Int2", Field("quality", "64")));
  EXPECT_TRUE(subscriber.WaitFor("t1/Static.UInt2", Field("value", "50000")));
  EXPECT_TRUE(subscriber.WaitFor("t1/$status", Field("gateway", "\"connected\"")));
  // The unknown item is logged with the gateway's reply; the others go on.
  EXPECT_NE(bridge.Log().find("Foo.Int4"), std::string::npos);
  EXPECT_NE(bridge.Log().find("c0040007"), std::string::npos) << bridge.Log();

  // A subscriber that comes later gets the last value at once, retained.
  CMqttSubscriber late(s_broker->Port(), "t1/Static.UInt2");
  const auto retained = late.WaitFor("t1/Static.UInt2", Any(), 5s);
  ASSERT_TRUE(retained);
  EXPECT_TRUE(retained->retained);

  // A bridge that dies leaves "offline" behind: the broker's last will.
  const std::size_t before = subscriber.Count();
  bridge.Process().Signal(SIGKILL);
  EXPECT_TRUE(subscriber.WaitFor("t1/$status", Field("status", "\"offline\""), 20s, before));
}

TEST_F(BridgeTest, WritesThroughSetOnlyWhenAllowedAndNeverPastReadonly) {
  // The two gateways' simulators each hold their own Memory items; the suffix keeps this
  // test's storage place apart from other tests'.
  const std::string item = "item = Memory.Int4.mqtt" + std::to_string(::getpid()) + "\n";
  CBridgeProcess writer(
      ConfigText(s_gateway->ListenPort(), s_broker->Port(), "tw", Group(item), "writes = true\n"));
  CBridgeProcess reader(ConfigText(s_gateway->ListenPort(), s_broker->Port(), "tr", Group(item)));
  CRunningGateway readonlyGateway({"/readonly"});
  ASSERT_TRUE(readonlyGateway.Ready());
  CBridgeProcess guarded(ConfigText(readonlyGateway.ListenPort(), s_broker->Port(), "tg",
                                    Group(item), "writes = true\n"));
  CMqttSubscriber subscriber(s_broker->Port(), "#");
  const std::string id = "Memory.Int4.mqtt" + std::to_string(::getpid());
  for (const char* prefix : {"tw", "tr", "tg"}) {
    ASSERT_TRUE(subscriber.WaitFor(std::string(prefix) + "/" + id, Field("value", "0")))
        << prefix << " publishes no value";
  }

  ASSERT_TRUE(subscriber.Publish("tw/" + id + "/set", "42"));
  EXPECT_TRUE(subscriber.WaitFor("tw/" + id + "/set/result", Field("ok", "true")));
  EXPECT_TRUE(subscriber.WaitFor("tw/" + id, Field("value", "42"))) << writer.Log();
  // Every write from a /set message is one line of the bridge's log: topic, item, value, outcome.
  EXPECT_NE(writer.Log().find("write from tw/" + id + "/set: item " + id +
                              ", value \"42\": sent as \"42\", written (code 0)\n"),
            std::string::npos)
      << writer.Log();

  ASSERT_TRUE(subscriber.Publish("tw/" + id + "/set", "12abc"));
  EXPECT_TRUE(subscriber.WaitFor("tw/" + id + "/set/result", Field("code", "null")));
  EXPECT_TRUE(writer.WaitForLog("write from tw/" + id + "/set: item " + id +
                                ", value \"12abc\": refused by the bridge: \"12abc\" is not a "
                                "whole number"))
      << writer.Log();

  const std::size_t before = subscriber.Count();
  ASSERT_TRUE(subscriber.Publish("tr/" + id + "/set", "7"));
  const auto refused = subscriber.WaitFor("tr/" + id + "/set/result", Any());
  ASSERT_TRUE(refused);
  EXPECT_NE(refused->payload.find("writes are off"), std::string::npos) << refused->payload;

  ASSERT_TRUE(subscriber.Publish("tg/" + id + "/set", "7"));
  const auto readonly = subscriber.WaitFor("tg/" + id + "/set/result", Any());
  ASSERT_TRUE(readonly);
  EXPECT_EQ(JsonField(readonly->payload, "code"), "1");
  EXPECT_NE(readonly->payload.find("Writes are disabled on this gateway"), std::string::npos);
  EXPECT_TRUE(
      guarded.WaitForLog("value \"7\": sent as \"7\", refused by the gateway (code 1: "
                         "Writes are disabled on this gateway)"))
      << guarded.Log();
  // Neither wrote: no 7 came on any topic.
  EXPECT_FALSE(subscriber.WaitFor("tr/" + id, Field("value", "7"), 1s, before));
  EXPECT_FALSE(subscriber.WaitFor("tg/" + id, Field("value", "7"), 1s, before));
}

TEST_F(BridgeTest, KeepsPublishingThroughABrokerRestart) {
  CBridgeProcess bridge(ConfigText(s_gateway->ListenPort(), s_broker->Port(), "tb",
                                   Group("item = Ramp.Int4\nitem = Static.Int2\n")));
  {
    CMqttSubscriber subscriber(s_broker->Port(), "tb/#");
    ASSERT_TRUE(subscriber.WaitFor("tb/Ramp.Int4", Any())) << bridge.Log();
  }
  s_broker->Stop();
  ASSERT_TRUE(bridge.WaitForLog("broker connection lost"));
  ASSERT_TRUE(s_broker->Start());
  // The broker forgot every retained value (no persistence): the bridge publishes all of its
  // items again, so even the value that never changes is there for a new subscriber.
  CMqttSubscriber subscriber(s_broker->Port(), "tb/#");
  EXPECT_TRUE(subscriber.WaitFor("tb/Static.Int2", Field("value", "300"))) << bridge.Log();
  EXPECT_TRUE(subscriber.WaitFor("tb/$status", Field("status", "\"online\"")));
  const std::size_t before = subscriber.Count();
  EXPECT_TRUE(subscriber.WaitFor("tb/Ramp.Int4", Any(), 20s, before + 1));
  EXPECT_EQ(bridge.Process().WaitForExit(0ms), false) << "the bridge ended: " << bridge.Log();
  // A stop request ends it cleanly: "offline" published, groups removed, status 0.
  bridge.Process().Signal(SIGTERM);
  ASSERT_TRUE(bridge.Process().WaitForExit(20s));
  EXPECT_EQ(bridge.Process().ExitCode(), 0) << bridge.Log();
  EXPECT_TRUE(subscriber.WaitFor("tb/$status", Field("gateway", "\"stopped\"")));
  EXPECT_NE(bridge.Log().find("gateway: groups removed"), std::string::npos) << bridge.Log();
}

TEST_F(BridgeTest, DefinesItsGroupsAgainAfterAGatewayRestartAndGoesOnAfterAServerRestart) {
  // A gateway of this test's own on a fixed port, started twice, announcing to the bridge.
  const std::uint16_t port = FreeLoopbackPort();
  const std::uint16_t udpPort = FreeUdpPort();
  const auto workDir = CGatewayProcess::MakeWorkDirectory();
  const std::vector<std::string> options{"/s",
                                         "/progId",
                                         "Quarnix.Simulator",
                                         "/lp",
                                         std::to_string(port),
                                         "/rp",
                                         std::to_string(udpPort),
                                         "/backup",
                                         "Quarnix.Simulator.2",
                                         "/failover",
                                         "0"};
  auto gateway = std::make_unique<CGatewayProcess>(options, workDir);
  ASSERT_TRUE(WaitForListener(port, 30s));
  CBridgeProcess bridge(ConfigText(port, s_broker->Port(), "tr2", Group("item = Ramp.Int4\n"), "",
                                   "check_interval = 1\n", udpPort));
  CMqttSubscriber subscriber(s_broker->Port(), "tr2/#");
  ASSERT_TRUE(subscriber.WaitFor("tr2/Ramp.Int4", Any())) << bridge.Log();

  gateway->Signal(SIGTERM);
  ASSERT_TRUE(gateway->WaitForExit(30s));
  EXPECT_TRUE(subscriber.WaitFor("tr2/$status", Field("gateway", "\"unreachable\"")));
  // Counted before the restart: the bridge may reconnect before the listener is seen to be up.
  const std::size_t before = subscriber.Count();
  gateway = std::make_unique<CGatewayProcess>(options, workDir);
  ASSERT_TRUE(WaitForListener(port, 30s));
  EXPECT_TRUE(subscriber.WaitFor("tr2/$status", Field("gateway", "\"connected\""), 30s, before));
  EXPECT_TRUE(subscriber.WaitFor("tr2/Ramp.Int4", Any(), 30s, before)) << bridge.Log();

  // The OPC server crashes for a second (Control.Restart): the gateway brings the groups back on
  // its backup at once and announces it; the bridge checks, activates and refreshes, values go
  // on, and the status names the server that serves now.
  const CGatewayClient client("127.0.0.1", port);
  EXPECT_TRUE(subscriber.WaitFor("tr2/$status", Field("server", "\"primary\"")));
  ASSERT_TRUE(WaitUntil(
      [&] {
        return client.Exchange(StatusRequest()).raw.find("\nserver_backup_available\t1") !=
               std::string::npos;
      },
      30s));
  const auto control = ReplyIndices(client
                                        .Exchange(DefineGroupsRequest({GroupDefinition{
                                            "ctl", true, 1000, {{"Control.Restart", true, 3}}}}))
                                        .reply.text);
  ASSERT_TRUE(control && control->size() == 1);
  const auto announcements = [&bridge] {
    const std::string log = bridge.Log();
    std::size_t count = 0;
    for (auto at = log.find("OPC server is back)"); at != std::string::npos;
         at = log.find("OPC server is back)", at + 1)) {
      ++count;
    }
    return count;
  };
  const std::size_t heard = announcements();
  ASSERT_EQ(client.Exchange(WriteSyncRequest(control->front(), {ItemWrite{0, "1"}})).reply.code, 0);
  ASSERT_TRUE(WaitUntil([&] { return announcements() > heard; }, 60s)) << bridge.Log();
  const std::size_t afterServer = subscriber.Count();
  EXPECT_TRUE(subscriber.WaitFor("tr2/Ramp.Int4", Any(), 30s, afterServer)) << bridge.Log();
  EXPECT_TRUE(subscriber.WaitFor("tr2/$status", Field("gateway", "\"connected\"")));
  EXPECT_TRUE(subscriber.WaitFor("tr2/$status", [](const ReceivedMessage& m) {
    return JsonField(m.payload, "server") == "\"backup\"" &&
           JsonField(m.payload, "server_progid") == "\"Quarnix.Simulator.2\"";
  })) << bridge.Log();
  gateway.reset();
  std::error_code ignored;
  std::filesystem::remove_all(workDir, ignored);
}

TEST_F(BridgeTest, RefusedCredentialsFailingGatewayAndBadConfigurationAreReported) {
  CMosquittoBroker closed("allow_anonymous false");
  ASSERT_TRUE(closed.Ready());
  CBridgeProcess refused(
      ConfigText(s_gateway->ListenPort(), closed.Port(), "tc", Group("item = Ramp.Int4\n")));
  EXPECT_TRUE(refused.WaitForLog("check username and password")) << refused.Log();
  EXPECT_FALSE(refused.Process().WaitForExit(0ms)) << "the bridge gave up";

  // A gateway whose OPC server cannot be created answers every request with an error: the bridge
  // says so on its status topic and in its log, and keeps trying.
  CRunningGateway serverless({"/progId", "No.Such.Server"});
  ASSERT_TRUE(serverless.Ready());
  CBridgeProcess waiting(
      ConfigText(serverless.ListenPort(), s_broker->Port(), "ts", Group("item = Ramp.Int4\n")));
  CMqttSubscriber subscriber(s_broker->Port(), "ts/$status");
  EXPECT_TRUE(subscriber.WaitFor("ts/$status", Field("gateway", "\"refused\""))) << waiting.Log();
  EXPECT_NE(waiting.Log().find("gateway refused group"), std::string::npos) << waiting.Log();

  CBridgeProcess bad("[gateway]\nhost = 127.0.0.1\ncolour = blue\n");
  ASSERT_TRUE(bad.Process().WaitForExit(10s));
  EXPECT_EQ(bad.Process().ExitCode(), 1);
  EXPECT_NE(bad.Log().find("bridge.conf:3: unknown key 'colour' in [gateway]"), std::string::npos)
      << bad.Log();
}

TEST_F(BridgeTest, ABrokerListWhoseFirstEntryIsDeadReachesTheNext) {
  const std::uint16_t dead = FreeLoopbackPort();
  CBridgeProcess bridge(
      ConfigText(s_gateway->ListenPort(), 0, "tl", Group("item = Ramp.Int4\n"), "", "", 0,
                 "host = 127.0.0.1:" + std::to_string(dead) +
                     ", 127.0.0.1\nport = " + std::to_string(s_broker->Port()) + "\n"));
  CMqttSubscriber subscriber(s_broker->Port(), "tl/#");
  EXPECT_TRUE(subscriber.WaitFor("tl/Ramp.Int4", Any())) << bridge.Log();
  EXPECT_NE(bridge.Log().find("broker 127.0.0.1:" + std::to_string(dead) +
                              " cannot be reached (Connection refused); trying the next broker"),
            std::string::npos)
      << bridge.Log();
  EXPECT_NE(
      bridge.Log().find("broker 127.0.0.1:" + std::to_string(s_broker->Port()) + " connected"),
      std::string::npos);
}

// Brokers on TLS listeners with certificates the test made; each also listens without TLS for
// the test's own subscriber.
class BridgeTlsTest : public BridgeTest {
protected:
  void SetUp() override {
    BridgeTest::SetUp();
    ASSERT_TRUE(m_certificates.Made()) << "openssl could not make the test certificates";
  }
  std::unique_ptr<CMosquittoBroker> Broker(const std::string& stem, bool requireClientCertificate) {
    return std::make_unique<CMosquittoBroker>(
        "allow_anonymous true\n" + m_certificates.ListenerLines(stem, requireClientCertificate) +
        "listener " + std::to_string(m_plainPort) + " 127.0.0.1\n");
  }
  std::string Config(const std::string& prefix, std::uint16_t port, const std::string& tls) {
    return ConfigText(s_gateway->ListenPort(), 0, prefix, Group("item = Ramp.Int4\n"), "", "", 0,
                      "host = 127.0.0.1\nport = " + std::to_string(port) +
                          "\ntls = true\nca_file = " + m_certificates.Path("ca.pem") + "\n" + tls);
  }
  static std::size_t CountOn(const CMqttSubscriber& subscriber, const std::string& topic) {
    const auto messages = subscriber.Messages();
    return static_cast<std::size_t>(std::count_if(messages.begin(), messages.end(),
                                                  [&](const auto& m) { return m.topic == topic; }));
  }

  CTestCertificates m_certificates;
  std::uint16_t m_plainPort = FreeLoopbackPort();
};

TEST_F(BridgeTlsTest, ABrokerAskingForAClientCertificateTakesOnlyABridgeWithOne) {
  const auto broker = Broker("server", true);
  ASSERT_TRUE(broker->Ready()) << "mosquitto did not start with TLS";
  CMqttSubscriber subscriber(m_plainPort, "#");
  CBridgeProcess trusted(Config("tm", broker->Port(),
                                "cert_file = " + m_certificates.Path("client.pem") +
                                    "\nkey_file = " + m_certificates.Path("client.key") + "\n"));
  EXPECT_TRUE(subscriber.WaitFor("tm/Ramp.Int4", Any())) << trusted.Log();
  EXPECT_TRUE(subscriber.WaitFor("tm/$status", Field("status", "\"online\"")));

  // Without a certificate of its own the handshake fails, and the log says why.
  CBridgeProcess anonymous(Config("ta", broker->Port(), ""));
  ASSERT_TRUE(anonymous.WaitForLog(" cannot be reached (")) << anonymous.Log();
  // The handshake's reason when it arrives before the broker closes the connection; a hint
  // when not.
  const std::string refusal = anonymous.Log();
  EXPECT_TRUE(refusal.find("client certificate") != std::string::npos &&
              refusal.find("set cert_file and key_file in [broker]") != std::string::npos)
      << refusal;
  EXPECT_EQ(CountOn(subscriber, "ta/Ramp.Int4"), 0u);

  // A key behind a password cannot be used by a service: a start-up error, not a prompt.
  CBridgeProcess locked(Config("tp", broker->Port(),
                               "cert_file = " + m_certificates.Path("client.pem") +
                                   "\nkey_file = " + m_certificates.Path("client-locked.key") +
                                   "\n"));
  ASSERT_TRUE(locked.Process().WaitForExit(10s)) << locked.Log();
  EXPECT_EQ(locked.Process().ExitCode(), 1);
  EXPECT_NE(locked.Log().find("broker: key_file " + m_certificates.Path("client-locked.key") +
                              ": the key is protected by a password"),
            std::string::npos)
      << locked.Log();
}

TEST_F(BridgeTlsTest, TheBrokersHostNameIsCheckedUnlessTlsInsecure) {
  // A certificate the CA signed, but for another name than 127.0.0.1.
  const auto broker = Broker("elsewhere", false);
  ASSERT_TRUE(broker->Ready()) << "mosquitto did not start with TLS";
  CMqttSubscriber subscriber(m_plainPort, "#");
  CBridgeProcess checked(Config("tc", broker->Port(), ""));
  ASSERT_TRUE(checked.WaitForLog(" cannot be reached (")) << checked.Log();
  EXPECT_NE(checked.Log().find("certificate verify failed"), std::string::npos) << checked.Log();
  CBridgeProcess insecure(Config("ti", broker->Port(), "tls_insecure = true\n"));
  EXPECT_TRUE(subscriber.WaitFor("ti/Ramp.Int4", Any())) << insecure.Log();
  EXPECT_EQ(CountOn(subscriber, "tc/Ramp.Int4"), 0u);
}

TEST_F(BridgeTlsTest, TlsMinVersionRefusesABrokerThatOffersLess) {
  // A TLS 1.2 server in place of the broker; the bridge asks for 1.3 at least.
  const std::uint16_t port = FreeLoopbackPort();
  CChildProcess server(
      {"openssl", "s_server", "-quiet", "-tls1_2", "-accept", "127.0.0.1:" + std::to_string(port),
       "-cert", m_certificates.Path("server.pem"), "-key", m_certificates.Path("server.key")},
      std::filesystem::temp_directory_path(),
      std::filesystem::path(m_certificates.Path("s_server.log")));
  ASSERT_TRUE(WaitForListener(port, 10s)) << "openssl s_server did not start";
  CBridgeProcess bridge(Config("tv", port, "tls_min_version = 1.3\n"));
  ASSERT_TRUE(bridge.WaitForLog(" cannot be reached (")) << bridge.Log();
  EXPECT_NE(bridge.Log().find("TLS: "), std::string::npos) << bridge.Log();
  EXPECT_NE(bridge.Log().find("protocol version"), std::string::npos) << bridge.Log();
}

TEST_F(BridgeTest, PublishesRealsAndStringsAsTheyAreAndWritesThemWithinTheirType) {
  const std::string tag = ".mqtt" + std::to_string(::getpid());
  const std::string real = "Memory.Real8" + tag;
  const std::string text = "Memory.String" + tag;
  const std::string small = "Memory.Int2" + tag;
  CBridgeProcess bridge(ConfigText(s_gateway->ListenPort(), s_broker->Port(), "ty",
                                   Group("item = Random.Real8\nitem = Static.String\nitem = " +
                                         real + "\nitem = " + text + "\nitem = " + small + "\n"),
                                   "writes = true\n"));
  CMqttSubscriber subscriber(s_broker->Port(), "ty/#");
  const auto random = subscriber.WaitFor("ty/Random.Real8", [](const ReceivedMessage& m) {
    const std::string value = JsonField(m.payload, "value");
    return value.find('.') != std::string::npos && value.find('"') == std::string::npos;
  });
  ASSERT_TRUE(random) << "no real with a fraction: " << bridge.Log();
  EXPECT_EQ(JsonField(random->payload, "timestamp").size(), 26u) << random->payload;  // "...Z"
  EXPECT_NE(random->payload.find("\"received\":\""), std::string::npos);
  EXPECT_TRUE(subscriber.WaitFor("ty/Static.String", Field("value", "\"Quarnix\"")));
  EXPECT_EQ(bridge.Log().find("does not know TD"), std::string::npos) << bridge.Log();

  // A real and a text written through /set read back as they were sent.
  ASSERT_TRUE(subscriber.WaitFor("ty/" + real, Field("value", "0")));
  ASSERT_TRUE(subscriber.Publish("ty/" + real + "/set", "21.7"));
  EXPECT_TRUE(subscriber.WaitFor("ty/" + real + "/set/result", Field("ok", "true")));
  EXPECT_TRUE(subscriber.WaitFor("ty/" + real, Field("value", "21.7"))) << bridge.Log();
  ASSERT_TRUE(subscriber.Publish("ty/" + text + "/set", "Pump 3 on"));
  EXPECT_TRUE(subscriber.WaitFor("ty/" + text, Field("value", "\"Pump 3 on\""))) << bridge.Log();

  // 70000 does not fit the server's VT_I2: refused, nothing written (the gateway would write
  // its low 16 bits, 4464).
  ASSERT_TRUE(subscriber.WaitFor("ty/" + small, Field("value", "0")));
  const std::size_t before = subscriber.Count();
  ASSERT_TRUE(subscriber.Publish("ty/" + small + "/set", "70000"));
  const auto refused = subscriber.WaitFor("ty/" + small + "/set/result", Any());
  ASSERT_TRUE(refused);
  EXPECT_EQ(JsonField(refused->payload, "ok"), "false");
  EXPECT_NE(refused->payload.find("from -32768 to 32767 (VT_I2)"), std::string::npos)
      << refused->payload;
  EXPECT_TRUE(bridge.WaitForLog("write from ty/" + small + "/set: item " + small +
                                ", value \"70000\": refused by the bridge"));
  EXPECT_FALSE(subscriber.WaitFor("ty/" + small, Field("value", "4464"), 1s, before));
}

TEST_F(BridgeTest, AnOlderGatewayWithoutTdGetsAdAndItsDatagramsAreReadAsBefore) {
  CFakeGateway older;
  older.AddReply("-1\t\r\n-1\r\n");              // Q?: no group of an earlier run
  older.AddReply("1\tUnknown command: TD\r\n");  // TD
  older.AddReply("0\t\r\n0\r\n");                // AD: group 0
  older.AddReply("0\t\r\n");                     // AC
  const std::uint16_t udpPort = FreeUdpPort();
  CBridgeProcess bridge(ConfigText(older.Port(), s_broker->Port(), "to",
                                   Group("item = Static.Int2\n"), "", "", udpPort));
  CMqttSubscriber subscriber(s_broker->Port(), "to/#");
  ASSERT_TRUE(bridge.WaitForLog("groups defined and active")) << bridge.Log();
  EXPECT_NE(bridge.Log().find("gateway does not know TD (an older version): defining the groups "
                              "with AD"),
            std::string::npos)
      << bridge.Log();
  const auto requests = older.Requests();
  ASSERT_GE(requests.size(), 4u);
  const std::string first = "\t1\t" + std::to_string(udpPort) + "\r\n";
  EXPECT_EQ(requests[1].rfind("TD" + first, 0), 0u) << requests[1];
  EXPECT_EQ(requests[2].rfind("AD" + first, 0), 0u) << requests[2];
  EXPECT_EQ(requests[3], "AC\tA\t1\r\n0\r\n");
  // A defined value-change datagram: group 0, item 0 a VT_I2 of 300.
  const std::string change(
      "\x43\x00\x15\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00"
      "\x00\x00\x02\x01\x2C",
      21);
  CFakeGateway::SendDatagram(udpPort, change);
  EXPECT_TRUE(subscriber.WaitFor("to/Static.Int2", Field("value", "300"))) << bridge.Log();
}

// The queue on disk: a broker of the test's own that keeps its sessions (persistence), so that a
// subscriber with a kept session gets what the bridge publishes before the subscriber is back.
class BridgeQueueTest : public BridgeTest {
protected:
  void SetUp() override {
    BridgeTest::SetUp();
    m_brokerStore = CGatewayProcess::MakeWorkDirectory();
    // mosquitto started by root writes as its own user.
    std::filesystem::permissions(m_brokerStore, std::filesystem::perms::all);
    m_stateDir = CGatewayProcess::MakeWorkDirectory();
    m_broker = std::make_unique<CMosquittoBroker>(
        "allow_anonymous true\npersistence true\npersistence_location " + m_brokerStore.string() +
        "/\nmax_queued_messages 100000\n" + BrokerLimits());
    ASSERT_TRUE(m_broker->Ready());
  }
  // Further lines for the broker's configuration.
  virtual std::string BrokerLimits() const { return ""; }
  void TearDown() override {
    m_broker.reset();
    std::error_code ignored;
    std::filesystem::remove_all(m_brokerStore, ignored);
    std::filesystem::remove_all(m_stateDir, ignored);
  }
  // QoS 1 as for a historian: the broker keeps no QoS 0 message for a subscriber that is away
  // (the test's own, reconnecting after each broker restart).
  std::string QueueConfig(const std::string& prefix, const std::string& items,
                          const std::string& extra = "") {
    return ConfigText(s_gateway->ListenPort(), m_broker->Port(), prefix, m_group + items,
                      "state_dir = " + m_stateDir.string() + "\nqos = 1\n" + extra, "", m_udpPort);
  }
  // Bytes in the queue's files: grows with every change queued.
  std::uintmax_t QueuedBytes() const {
    std::uintmax_t bytes = 0;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(m_stateDir, ignored)) {
      if (entry.path().extension() == ".seg") bytes += entry.file_size(ignored);
    }
    return bytes;
  }
  // Waits until the bridge delivered its queue and the subscriber got that many replayed
  // messages on the topic.
  static bool WaitForReplay(CBridgeProcess& bridge, const CMqttSubscriber& subscriber,
                            const std::string& topic) {
    const std::string said = "queue: all ";
    if (!bridge.WaitForLog(said)) return false;
    const std::string log = bridge.Log();
    const auto delivered = std::stoul(log.substr(log.rfind(said) + said.size()));
    return WaitUntil([&] { return Values(subscriber, topic).replayed.size() >= delivered; }, 20s);
  }
  bool WaitForQueued(std::uintmax_t bytes) {
    return WaitUntil([&] { return QueuedBytes() >= bytes; }, 20s);
  }
  // The ramp's values on the topic, and those replayed.
  struct Received {
    std::vector<long> all;
    std::vector<long> replayed;
    std::vector<long> sequences;
  };
  static Received Values(const CMqttSubscriber& subscriber, const std::string& topic) {
    Received out;
    for (const ReceivedMessage& m : subscriber.Messages()) {
      if (m.topic != topic) continue;
      const long value = std::stol(JsonField(m.payload, "value"));
      out.all.push_back(value);
      if (JsonField(m.payload, "replayed") == "true") {
        EXPECT_FALSE(m.retained) << m.payload;
        EXPECT_EQ(JsonField(m.payload, "timestamp").size(), 26u) << m.payload;
        out.replayed.push_back(value);
        out.sequences.push_back(std::stol(JsonField(m.payload, "seq")));
      }
    }
    return out;
  }
  // Values missing between the smallest and the largest given.
  static std::vector<long> Gaps(std::vector<long> values, long from) {
    std::sort(values.begin(), values.end());
    std::vector<long> missing;
    for (std::size_t k = 0; k < values.size(); ++k) {
      if (values[k] < from) continue;
      const long previous = k > 0 && values[k - 1] >= from ? values[k - 1] : values[k];
      for (long v = previous + 1; v < values[k]; ++v) missing.push_back(v);
    }
    return missing;
  }

  std::unique_ptr<CMosquittoBroker> m_broker;
  std::filesystem::path m_brokerStore;
  std::filesystem::path m_stateDir;
  std::uint16_t m_udpPort = FreeUdpPort();
  // Faster than the ramp's 100 ms steps, so the bridge sees every one.
  // About what one change of Ramp.Int4 takes in the queue.
  static constexpr std::uintmax_t kEntryBytes = 170;
  std::string m_group = "[group " + UniqueGroupName("mqtt") + "]\nrate = 50\n";
};

TEST_F(BridgeQueueTest, AnOutageIsReplayedInOrderWithoutAGapThenLiveValuesGoOn) {
  const std::uint16_t metricsPort = FreeLoopbackPort();
  CBridgeProcess bridge(QueueConfig(
      "tq", "item = Ramp.Int4\n",
      "metrics_port = " + std::to_string(metricsPort) + "\nmetrics_bind = 127.0.0.1\n"));
  CMqttSubscriber subscriber(m_broker->Port(), "tq/#", "tq-historian");
  ASSERT_TRUE(subscriber.WaitFor("tq/$status", Field("gateway", "\"connected\""))) << bridge.Log();
  ASSERT_TRUE(subscriber.WaitFor("tq/$status", Field("queued", "0")));
  ASSERT_TRUE(subscriber.WaitFor("tq/Ramp.Int4", Any())) << bridge.Log();

  m_broker->Stop();
  const std::uintmax_t empty = QueuedBytes();
  ASSERT_TRUE(WaitForQueued(empty + 30 * kEntryBytes)) << bridge.Log();
  // The bridge's metrics during the outage, read by the Prometheus parser.
  const std::string broker = "broker=127.0.0.1:" + std::to_string(m_broker->Port());
  auto during = ParsedScrape(HttpGet(metricsPort, "/metrics"));
  EXPECT_GE(during["quarnix_mqtt_queued_messages{}"], 25) << bridge.Log();
  EXPECT_GT(during["quarnix_mqtt_queue_bytes{}"], 25 * kEntryBytes);
  EXPECT_GT(during["quarnix_mqtt_queue_oldest_age_seconds{}"], 1);
  EXPECT_GT(during["quarnix_mqtt_published_total{}"], 0);
  EXPECT_EQ(during["quarnix_mqtt_broker_connected{" + broker + "}"], 0);
  EXPECT_EQ(during["quarnix_mqtt_gateway_connected{}"], 1);
  EXPECT_EQ(HttpStatusLine(HttpGet(metricsPort, "/health")), "HTTP/1.0 503 Service Unavailable");
  ASSERT_TRUE(m_broker->Start());
  ASSERT_TRUE(WaitForReplay(bridge, subscriber, "tq/Ramp.Int4")) << bridge.Log();
  const auto afterReplay = Values(subscriber, "tq/Ramp.Int4");
  ASSERT_GE(afterReplay.replayed.size(), 25u) << bridge.Log();
  const long lastReplayed = afterReplay.replayed.back();
  EXPECT_TRUE(subscriber.WaitFor("tq/Ramp.Int4", [&](const ReceivedMessage& m) {
    return JsonField(m.payload, "replayed").empty() &&
           std::stol(JsonField(m.payload, "value")) > lastReplayed + 2;
  })) << "no live values after the replay";

  const auto got = Values(subscriber, "tq/Ramp.Int4");
  EXPECT_TRUE(std::is_sorted(got.replayed.begin(), got.replayed.end()));
  for (std::size_t k = 1; k < got.sequences.size(); ++k) {
    EXPECT_EQ(got.sequences[k], got.sequences[k - 1] + 1) << "sequence numbers go up by one";
  }
  // Every step of the ramp from the outage's first one on, replayed or live.
  EXPECT_EQ(Gaps(got.all, got.replayed.front()), std::vector<long>{}) << bridge.Log();
  EXPECT_NE(bridge.Log().find("queue in " + m_stateDir.string()), std::string::npos);

  auto after = ParsedScrape(HttpGet(metricsPort, "/metrics"));
  EXPECT_GE(after["quarnix_mqtt_replayed_total{}"], static_cast<double>(got.replayed.size()));
  EXPECT_GT(after["quarnix_mqtt_published_total{}"], during["quarnix_mqtt_published_total{}"]);
  EXPECT_EQ(after["quarnix_mqtt_broker_connected{" + broker + "}"], 1);
  EXPECT_EQ(after["quarnix_mqtt_dropped_total{}"], 0);
  EXPECT_EQ(HttpStatusLine(HttpGet(metricsPort, "/health")), "HTTP/1.0 200 OK");
}

TEST_F(BridgeQueueTest, ABridgeKilledDuringAnOutageDeliversWhatItQueuedAfterItsRestart) {
  CMqttSubscriber subscriber(m_broker->Port(), "tk/#", "tk-historian");
  auto bridge = std::make_unique<CBridgeProcess>(QueueConfig("tk", "item = Ramp.Int4\n"));
  ASSERT_TRUE(subscriber.WaitFor("tk/Ramp.Int4", Any())) << bridge->Log();
  m_broker->Stop();
  const std::uintmax_t empty = QueuedBytes();
  ASSERT_TRUE(WaitForQueued(empty + 15 * kEntryBytes)) << bridge->Log();
  bridge->Process().Signal(SIGKILL);
  ASSERT_TRUE(bridge->Process().WaitForExit(10s));
  const std::uintmax_t kept = QueuedBytes();
  bridge = std::make_unique<CBridgeProcess>(QueueConfig("tk", "item = Ramp.Int4\n"));
  ASSERT_TRUE(bridge->WaitForLog("messages waiting")) << bridge->Log();
  EXPECT_EQ(bridge->Log().find("): 0 messages waiting"), std::string::npos) << bridge->Log();
  ASSERT_TRUE(WaitForQueued(kept + 10 * kEntryBytes)) << bridge->Log();

  // Stopped (SIGTERM) during the outage: everything queued is kept and found at the next start.
  bridge->Process().Signal(SIGTERM);
  ASSERT_TRUE(bridge->Process().WaitForExit(20s));
  EXPECT_EQ(bridge->Process().ExitCode(), 0) << bridge->Log();
  const auto number = [](const std::string& log, const std::string& before,
                         const std::string& after) {
    const auto end = log.rfind(after);
    if (end == std::string::npos) return -1L;
    const auto start = log.rfind(before, end) + before.size();
    return std::stol(log.substr(start, end - start));
  };
  const long stoppedWith = number(bridge->Log(), "queue: ", " messages kept for the next start");
  EXPECT_GT(stoppedWith, 20) << bridge->Log();
  bridge = std::make_unique<CBridgeProcess>(QueueConfig("tk", "item = Ramp.Int4\n"));
  ASSERT_TRUE(bridge->WaitForLog("messages waiting")) << bridge->Log();
  EXPECT_EQ(number(bridge->Log(), "): ", " messages waiting"), stoppedWith) << bridge->Log();
  ASSERT_TRUE(m_broker->Start());
  ASSERT_TRUE(WaitForReplay(*bridge, subscriber, "tk/Ramp.Int4")) << bridge->Log();

  const auto got = Values(subscriber, "tk/Ramp.Int4");
  ASSERT_GE(got.replayed.size(), 25u) << bridge->Log();
  EXPECT_TRUE(std::is_sorted(got.replayed.begin(), got.replayed.end()));
  for (std::size_t k = 1; k < got.sequences.size(); ++k) {
    EXPECT_EQ(got.sequences[k], got.sequences[k - 1] + 1) << "nothing queued was lost";
  }
  // The ramp's steps while no bridge ran are the only gaps: two stretches of missing values.
  const auto missing = Gaps(got.replayed, got.replayed.front());
  std::size_t stretches = 0;
  for (std::size_t k = 0; k < missing.size(); ++k) {
    if (k == 0 || missing[k] != missing[k - 1] + 1) ++stretches;
  }
  EXPECT_LE(stretches, 2u) << "more gaps than restarts";
}

TEST_F(BridgeQueueTest, ABrokerFlappingEveryFewSecondsLosesNothing) {
  CBridgeProcess bridge(QueueConfig("tp", "item = Ramp.Int4\n"));
  CMqttSubscriber subscriber(m_broker->Port(), "tp/#", "tp-historian");
  ASSERT_TRUE(subscriber.WaitFor("tp/Ramp.Int4", Any())) << bridge.Log();
  const std::string connected =
      "broker 127.0.0.1:" + std::to_string(m_broker->Port()) + " connected";
  const auto connections = [&] {
    const std::string log = bridge.Log();
    std::size_t count = 0;
    for (auto at = log.find(connected); at != std::string::npos; at = log.find(connected, at + 1)) {
      ++count;
    }
    return count;
  };
  std::size_t afterLastStart = 0;
  for (std::size_t round = 1; round <= 3; ++round) {
    m_broker->Stop();
    ASSERT_TRUE(WaitForQueued(QueuedBytes() + 10 * kEntryBytes)) << bridge.Log();
    afterLastStart = subscriber.Count();
    ASSERT_TRUE(m_broker->Start());
    ASSERT_TRUE(WaitUntil([&] { return connections() > round; }, 20s)) << bridge.Log();
  }
  // Once the queue is empty, every step of the ramp since the first outage came, live or
  // replayed (some replayed twice: those on their way when the broker went).
  ASSERT_TRUE(subscriber.WaitFor("tp/$status", Field("queued", "0"), 60s, afterLastStart))
      << bridge.Log();
  const auto got = Values(subscriber, "tp/Ramp.Int4");
  ASSERT_FALSE(got.replayed.empty()) << bridge.Log();
  const long last = *std::max_element(got.all.begin(), got.all.end());
  ASSERT_TRUE(subscriber.WaitFor("tp/Ramp.Int4", [&](const ReceivedMessage& m) {
    return JsonField(m.payload, "replayed").empty() &&
           std::stol(JsonField(m.payload, "value")) > last;
  })) << "no live values after the last outage";
  EXPECT_EQ(Gaps(Values(subscriber, "tp/Ramp.Int4").all, got.replayed.front()), std::vector<long>{})
      << bridge.Log();
}

// A broker that takes no packet over 1,000 bytes (Static.LongString's message is larger) and
// lets nobody publish on tx/Static.Int2.
class BridgeRefusalTest : public BridgeQueueTest {
protected:
  std::string BrokerLimits() const override {
    const auto acl = m_brokerStore / "acl";
    std::ofstream(acl) << "topic readwrite #\ntopic deny tx/Static.Int2\n";
    std::filesystem::permissions(acl, std::filesystem::perms::owner_read |
                                          std::filesystem::perms::owner_write |
                                          std::filesystem::perms::others_read);
    return "max_packet_size 1000\nacl_file " + acl.string() + "\n";
  }
};

TEST_F(BridgeRefusalTest, AMessageTooLargeForTheBrokerIsCountedLoggedAndLeftOutWhileTheRestFlows) {
  m_broker->Stop();
  const std::uint16_t metricsPort = FreeLoopbackPort();
  CBridgeProcess bridge(QueueConfig(
      "tx", "item = Ramp.Int4\nitem = Static.LongString\nitem = Static.Int2\n",
      "metrics_port = " + std::to_string(metricsPort) + "\nmetrics_bind = 127.0.0.1\n"));
  // Both items' first values wait in the queue, the long text among them.
  ASSERT_TRUE(WaitForQueued(QueuedBytes() + 1500 + 10 * kEntryBytes)) << bridge.Log();
  ASSERT_TRUE(m_broker->Start());
  CMqttSubscriber subscriber(m_broker->Port(), "tx/#");
  ASSERT_TRUE(bridge.WaitForLog("broker refused a message on tx/Static.LongString ("))
      << bridge.Log();
  EXPECT_NE(bridge.Log().find("larger than the broker's maximum); it is left out, not sent again"),
            std::string::npos)
      << bridge.Log();
  // A queued message (QoS 1) on a topic the broker does not allow: its acknowledgement says no.
  EXPECT_TRUE(bridge.WaitForLog("broker refused a message on tx/Static.Int2 (")) << bridge.Log();
  EXPECT_NE(bridge.Log().find("the broker refused it: Not authorized; it is left out"),
            std::string::npos)
      << bridge.Log();
  // The queue moves on past them, and live values go on on the same connection.
  ASSERT_TRUE(bridge.WaitForLog("queue: all ")) << bridge.Log();
  const std::size_t before = subscriber.Count();
  EXPECT_TRUE(subscriber.WaitFor("tx/Ramp.Int4", Any(), 20s, before)) << bridge.Log();
  EXPECT_EQ(bridge.Log().find("connection lost"), std::string::npos) << bridge.Log();
  auto samples = ParsedScrape(HttpGet(metricsPort, "/metrics"));
  EXPECT_GE(samples["quarnix_mqtt_refused_total{}"], 3) << "the queued ones and the live one";
  EXPECT_FALSE(subscriber.WaitFor("tx/Static.LongString", Any(), 0ms));
}

TEST_F(BridgeQueueTest, AFullQueueDropsTheOldestAndSaysSoInStatusAndLog) {
  m_broker->Stop();
  CBridgeProcess bridge(QueueConfig(
      "tf", "item = Ramp.Int4\nitem = Ramp.Int2\nitem = Ramp.UInt2, VT_UI2\nitem = Ramp.Real8\n",
      "max_queue_mb = 0.02\n"));
  ASSERT_TRUE(bridge.WaitForLog("messages dropped since the last note")) << bridge.Log();
  EXPECT_NE(bridge.Log().find("the queue reached max_queue_mb = 0.02, the oldest dropped"),
            std::string::npos)
      << bridge.Log();
  EXPECT_LE(QueuedBytes(), 21u * 1024);
  ASSERT_TRUE(m_broker->Start());
  CMqttSubscriber subscriber(m_broker->Port(), "tf/#");
  const auto status = subscriber.WaitFor("tf/$status", [](const ReceivedMessage& m) {
    return !JsonField(m.payload, "dropped").empty() && JsonField(m.payload, "dropped") != "0";
  });
  ASSERT_TRUE(status) << bridge.Log();
  EXPECT_NE(JsonField(status->payload, "queued_oldest"), "");
  // The oldest went: the first replayed message is not the first queued.
  const auto first = subscriber.WaitFor("tf/Ramp.Int4", Field("replayed", "true"));
  ASSERT_TRUE(first);
  EXPECT_GT(std::stol(JsonField(first->payload, "seq")), 1);
}

TEST_F(BridgeQueueTest, AStateDirectoryThatDoesNotExistStopsTheStartNamingIt) {
  CBridgeProcess bridge(ConfigText(s_gateway->ListenPort(), m_broker->Port(), "tn",
                                   Group("item = Ramp.Int4\n"),
                                   "state_dir = " + (m_stateDir / "missing").string() + "\n"));
  ASSERT_TRUE(bridge.Process().WaitForExit(10s));
  EXPECT_EQ(bridge.Process().ExitCode(), 1);
  EXPECT_NE(bridge.Log().find("cannot keep the queue: state_dir " +
                              (m_stateDir / "missing").string() + ": No such file or directory"),
            std::string::npos)
      << bridge.Log();
}

}  // namespace
