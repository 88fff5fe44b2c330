// The bridge's configuration file: an INI-style text with the sections [gateway], [broker],
// [bridge] and one [group NAME] per group.
//
//   # a comment (only whole lines; '#' or ';' first)
//   [gateway]
//   host = 127.0.0.1
//   [group fast]
//   rate = 100
//   item = Ramp.Int4
//   item = Ramp.UInt2, VT_UI2
//
// Keys and section names are case-sensitive and written in lower case; values are trimmed of
// surrounding blanks. "item" is the only key that may repeat; it takes an item ID and, after the
// last comma, an optional requested type (a VARTYPE number or a name such as VT_UI2). The
// required keys are [gateway] host, [broker] host and [bridge] prefix; every group needs an item.
// [broker] host may list several brokers, comma-separated, each as HOST or HOST:PORT ([ADDR]:PORT
// for an IPv6 address); an entry without a port takes [broker] port.
//
// Error rule: nothing throws; ParseBridgeConfig returns nullopt and one message
// "FILE:LINE: what is wrong" naming the key or section at fault.
// Thread rule: any thread. Ownership: values returned.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct BridgeItem {
  std::string itemId;
  std::uint16_t dataType = 0;  // requested VARTYPE; 0: the server's own
};

struct BridgeGroup {
  std::string name;
  std::int32_t rateMs = 1000;
  double deadband = 0;  // absolute, applied by the bridge; 0 publishes every change
  std::vector<BridgeItem> items;
  int line = 0;  // of the section header, for messages
};

struct BrokerAddress {
  std::string host;
  std::uint16_t port = 1883;
};

struct BridgeConfig {
  // [gateway]
  std::string gatewayHost;
  std::uint16_t gatewayPort = 8089;
  std::string udpBind = "0.0.0.0";
  std::uint16_t udpPort = 8088;
  int requestTimeoutS = 5;
  int checkIntervalS = 10;
  int refreshIntervalS = 0;  // 0: no periodic refresh
  // [broker]
  std::string brokerHost;              // as written; the list is in brokers
  std::uint16_t brokerPort = 1883;     // for entries without their own port
  std::vector<BrokerAddress> brokers;  // in the order they are tried, at least one
  std::string clientId = "quarnix-mqtt";
  std::string username;
  std::string password;
  bool tls = false;
  std::string caFile;
  std::string certFile;      // the bridge's own certificate and key (PEM), for brokers that ask
  std::string keyFile;       // for one; both or neither, the key not encrypted
  bool tlsInsecure = false;  // true: the broker's host name is not checked
  std::string tlsMinVersion = "tlsv1.2";  // tlsv1.2 or tlsv1.3
  int keepAliveS = 60;
  // [bridge]
  std::string prefix;
  int qos = 0;
  bool writes = false;
  std::string stateDir;  // empty: no queue on disk (only the latest value of each item waits)
  double maxQueueMb = 1024;
  std::int64_t maxQueueAgeS = 7 * 24 * 3600;
  bool queueDropNew = false;      // queue_full = drop_new; default drop_old
  int replayRate = 1000;          // queued messages a second at most
  std::uint16_t metricsPort = 0;  // the Prometheus metrics over HTTP; 0: not served
  std::string metricsBind = "0.0.0.0";
  // [group NAME] sections, in file order.
  std::vector<BridgeGroup> groups;
};

// "host:port, host:port" of the brokers, for log lines.
std::string BrokerListText(const BridgeConfig& config);

// Reads the text of the file named fileName (the name is only used in messages).
std::optional<BridgeConfig> ParseBridgeConfig(const std::string& text, const std::string& fileName,
                                              std::string* error);

// Reads the file; a file that cannot be read gives "FILE: cannot read it: reason".
std::optional<BridgeConfig> LoadBridgeConfig(const std::string& fileName, std::string* error);
