// The bridge's configuration file: what a complete file gives, and how each fault is named.
#include "mqtt/bridge_config.h"

#include <gtest/gtest.h>

namespace {

const char kMinimal[] =
    "[gateway]\nhost = gw\n[broker]\nhost = mq\n[bridge]\nprefix = plant/one\n"
    "[group g]\nitem = Ramp.Int4\n";

TEST(BridgeConfigTest, ReadsEveryKeyWithDefaultsForTheOptionalOnes) {
  std::string error;
  const auto minimal = ParseBridgeConfig(kMinimal, "b.conf", &error);
  ASSERT_TRUE(minimal) << error;
  EXPECT_EQ(minimal->gatewayPort, 8089);
  EXPECT_EQ(minimal->udpPort, 8088);
  EXPECT_EQ(minimal->brokerPort, 1883);
  EXPECT_EQ(minimal->qos, 0);
  EXPECT_FALSE(minimal->writes);
  EXPECT_EQ(minimal->groups[0].rateMs, 1000);
  EXPECT_EQ(minimal->stateDir, "");  // no queue on disk
  EXPECT_EQ(minimal->maxQueueMb, 1024);
  EXPECT_EQ(minimal->maxQueueAgeS, 7 * 24 * 3600);
  EXPECT_FALSE(minimal->queueDropNew);
  EXPECT_EQ(minimal->replayRate, 1000);
  EXPECT_EQ(minimal->metricsPort, 0);  // no metrics served
  ASSERT_EQ(minimal->brokers.size(), 1u);
  EXPECT_EQ(minimal->brokers[0].host, "mq");
  EXPECT_EQ(minimal->brokers[0].port, 1883);
  EXPECT_FALSE(minimal->tlsInsecure);
  EXPECT_EQ(minimal->tlsMinVersion, "tlsv1.2");

  const auto full = ParseBridgeConfig(
      "# comment\n; another\n[gateway]\n  host = 10.1.2.5  \nport = 9000\nudp_port = 9001\n"
      "udp_bind = 10.1.2.20\nrequest_timeout = 3\ncheck_interval = 4\nrefresh_interval = 60\n"
      "[broker]\nhost = mq-a, 10.1.2.7:1884 ,[fd00::7]:8884,[fd00::8]\nport = 8883\n"
      "client_id = line4\nusername = u\npassword = p#ss\n"
      "tls = true\nca_file = /etc/ca.pem\ncert_file = /etc/me.pem\nkey_file = /etc/me.key\n"
      "tls_insecure = true\ntls_min_version = 1.3\nkeepalive = 30\n"
      "[bridge]\nprefix = site\nqos = 1\nwrites = true\nstate_dir = /var/lib/q\n"
      "max_queue_mb = 0.25\nmax_queue_age = 3600\nqueue_full = drop_new\nreplay_rate = 50\n"
      "metrics_port = 9101\nmetrics_bind = 127.0.0.1\n"
      "[group fast lane]\nrate = 100\ndeadband = 2.5\nitem = Ramp.Int4\n"
      "item = Ramp.UInt2, VT_UI2\nitem = A,B, 11\n[group slow]\nitem = Ramp.Int4\n",
      "b.conf", &error);
  ASSERT_TRUE(full) << error;
  EXPECT_EQ(full->gatewayHost, "10.1.2.5");
  EXPECT_EQ(full->udpBind, "10.1.2.20");
  EXPECT_EQ(full->refreshIntervalS, 60);
  EXPECT_EQ(full->password, "p#ss");  // a '#' inside a value belongs to it
  EXPECT_TRUE(full->tls);
  EXPECT_EQ(full->certFile, "/etc/me.pem");
  EXPECT_EQ(full->keyFile, "/etc/me.key");
  EXPECT_TRUE(full->tlsInsecure);
  EXPECT_EQ(full->tlsMinVersion, "tlsv1.3");
  // Tried in this order; an entry without a port takes [broker] port, given after it.
  ASSERT_EQ(full->brokers.size(), 4u);
  EXPECT_EQ(full->brokers[0].host, "mq-a");
  EXPECT_EQ(full->brokers[0].port, 8883);
  EXPECT_EQ(full->brokers[1].host, "10.1.2.7");
  EXPECT_EQ(full->brokers[1].port, 1884);
  EXPECT_EQ(full->brokers[2].host, "fd00::7");
  EXPECT_EQ(full->brokers[2].port, 8884);
  EXPECT_EQ(full->brokers[3].host, "fd00::8");
  EXPECT_EQ(full->brokers[3].port, 8883);
  EXPECT_EQ(BrokerListText(*full), "mq-a:8883, 10.1.2.7:1884, [fd00::7]:8884, [fd00::8]:8883");
  EXPECT_EQ(full->metricsPort, 9101);
  EXPECT_EQ(full->metricsBind, "127.0.0.1");
  EXPECT_EQ(full->qos, 1);
  EXPECT_EQ(full->stateDir, "/var/lib/q");
  EXPECT_EQ(full->maxQueueMb, 0.25);
  EXPECT_EQ(full->maxQueueAgeS, 3600);
  EXPECT_TRUE(full->queueDropNew);
  EXPECT_EQ(full->replayRate, 50);
  ASSERT_EQ(full->groups.size(), 2u);
  EXPECT_EQ(full->groups[0].name, "fast lane");
  EXPECT_EQ(full->groups[0].deadband, 2.5);
  ASSERT_EQ(full->groups[0].items.size(), 3u);
  EXPECT_EQ(full->groups[0].items[1].dataType, 18);
  EXPECT_EQ(full->groups[0].items[2].itemId, "A,B");  // the last comma separates the type
  EXPECT_EQ(full->groups[0].items[2].dataType, 11);
}

TEST(BridgeConfigTest, TheExampleConfigurationIsAccepted) {
  std::string error;
  const auto example =
      LoadBridgeConfig(QUARNIX_SOURCE_DIR "/dist/quarnix-mqtt.example.conf", &error);
  ASSERT_TRUE(example) << error;
  EXPECT_FALSE(example->tls);
  EXPECT_EQ(example->brokers.size(), 1u);
}

TEST(BridgeConfigTest, EachFaultNamesFileLineAndKey) {
  const std::string head = "[gateway]\nhost = gw\n[broker]\nhost = mq\n[bridge]\nprefix = p\n";
  const std::string tls = "[gateway]\nhost = gw\n[broker]\nhost = mq\ntls = true\nca_file = a\n";
  const std::string tail = "[bridge]\nprefix = p\n[group g]\nitem = X\n";
  const auto hosts = [&](const std::string& list) {
    return "[gateway]\nhost = gw\n[broker]\nhost = " + list + "\n" + tail;
  };
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {head + "colour = red\n[group g]\nitem = X\n", "b.conf:7: unknown key 'colour' in [bridge]"},
      {"[gateway]\nport = 1\n[broker]\nhost = mq\n[bridge]\nprefix = p\n[group g]\nitem = X\n",
       "b.conf:1: [gateway] lacks the required key 'host'"},
      {"[gateway]\nhost = gw\n[bridge]\nprefix = p\n[group g]\nitem = X\n",
       "b.conf:6: section [broker] with its key 'host' is missing"},
      {head + "[group g]\nrate = 100\n[group h]\nitem = X\n", "b.conf:7: group 'g' has no items"},
      {head + "[group g]\nitem = X\n", ""},  // the reference: this one is fine
      {head + "[group g]\nitem = X, VT_NOPE\n", "b.conf:8: key 'item' in [group g]: \"VT_NOPE\""},
      {head + "[group g]\nitem = X\nitem = X\n", "b.conf:9: item 'X' is in [group g] twice"},
      {head + "[group g]\nitem = X\n[group g]\nitem = Y\n", "b.conf:9: group 'g' is defined twice"},
      {head + "[group g]\nitem = " + std::string(95, 'x') + "\n", "b.conf:7: group 'g': "},
      {head + "qos = 3\n[group g]\nitem = X\n", "b.conf:7: key 'qos' in [bridge]: \"3\""},
      {head + "writes = maybe\n[group g]\nitem = X\n", "b.conf:7: key 'writes' in [bridge]"},
      {head + "queue_full = drop_some\n[group g]\nitem = X\n",
       "b.conf:7: key 'queue_full' in [bridge]: \"drop_some\" is neither drop_old nor drop_new"},
      {head + "max_queue_mb = 0\n[group g]\nitem = X\n",
       "b.conf:7: key 'max_queue_mb' in [bridge]: \"0\" is not a number of megabytes"},
      {"[gateway]\nhost = gw\n[broker]\nhost = mq\n[bridge]\nprefix = a/#\n",
       "b.conf:6: key 'prefix' in [bridge]"},
      {"[gateway]\nhost = gw\nhost = gw2\n", "b.conf:3: key 'host' in [gateway] is given twice"},
      {"host = gw\n", "b.conf:1: key 'host' stands before any [section]"},
      {"[gateway]\nhost\n", "b.conf:2: expected \"key = value\""},
      {"[gateways]\n", "b.conf:1: unknown section [gateways]"},
      {head, "b.conf:6: no [group NAME] section"},
      {"[gateway]\nhost = gw\n[broker]\nhost = mq\ntls = true\n[bridge]\nprefix = p\n[group g]\n"
       "item = X\n",
       "b.conf:3: [broker] has tls = true but no 'ca_file'"},
      {tls + "cert_file = c.pem\n" + tail, "b.conf:3: [broker] needs both 'cert_file' and "},
      {tls + "tls_min_version = 1.1\n" + tail,
       "b.conf:7: key 'tls_min_version' in [broker]: \"1.1\" is neither 1.2 nor 1.3"},
      {"[gateway]\nhost = gw\n[broker]\nhost = mq\nkey_file = k\ncert_file = c\n" + tail,
       "b.conf:3: [broker] has 'cert_file' but not tls = true"},
      {hosts("a, b:0"), "b.conf:4: key 'host' in [broker]: \"b:0\" has no port from 1 to 65535"},
      {hosts("a,,b"), "b.conf:4: key 'host' in [broker]: an entry in the list is empty"},
      {hosts("a,"), "b.conf:4: key 'host' in [broker]: an entry in the list is empty"},
      {hosts("fd00::7"),
       "b.conf:4: key 'host' in [broker]: \"fd00::7\": write an IPv6 address "
       "in brackets"},
      {hosts("[fd00::7:1883"), "b.conf:4: key 'host' in [broker]: \"[fd00::7:1883\" is not"},
      {head + "metrics_port = 0\n[group g]\nitem = X\n", "b.conf:7: key 'metrics_port' in"},
      {head + "metrics_bind = any\n[group g]\nitem = X\n",
       "b.conf:7: key 'metrics_bind' in [bridge]: \"any\" is not an IPv4 address"},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto config = ParseBridgeConfig(c.text, "b.conf", &error);
    if (c.message.empty()) {
      EXPECT_TRUE(config) << error;
      continue;
    }
    EXPECT_FALSE(config) << c.text;
    EXPECT_EQ(error.rfind(c.message, 0), 0u) << "got: " << error << "\nwanted: " << c.message;
  }
  std::string error;
  EXPECT_FALSE(LoadBridgeConfig("/nonexistent/bridge.conf", &error));
  EXPECT_EQ(error.rfind("/nonexistent/bridge.conf: cannot read it: ", 0), 0u) << error;
}

}  // namespace
