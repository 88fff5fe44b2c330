#include "mqtt/bridge_config.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

#include "client/command_line.h"
#include "client/group_definition_parser.h"
#include "client/request_builder.h"

namespace {

using Setter = std::function<bool(BridgeConfig&, const std::string& value, std::string& why)>;

struct KeySpec {
  const char* section;
  const char* key;
  bool required;
  Setter set;
};

Setter Text(std::string BridgeConfig::*field, bool mayBeEmpty = true) {
  return [field, mayBeEmpty](BridgeConfig& config, const std::string& value, std::string& why) {
    if (!mayBeEmpty && value.empty()) {
      why = "must not be empty";
      return false;
    }
    config.*field = value;
    return true;
  };
}

template <typename T>
Setter Number(T BridgeConfig::*field, long long low, long long high) {
  return [field, low, high](BridgeConfig& config, const std::string& value, std::string& why) {
    const auto number = WholeNumber(value, low, high);
    if (!number) {
      why = "\"" + value + "\" is not a whole number from " + std::to_string(low) + " to " +
            std::to_string(high);
      return false;
    }
    config.*field = static_cast<T>(*number);
    return true;
  };
}

std::optional<bool> Flag(const std::string& value) {
  if (value == "true" || value == "yes" || value == "on") return true;
  if (value == "false" || value == "no" || value == "off") return false;
  return std::nullopt;
}

Setter Boolean(bool BridgeConfig::*field) {
  return [field](BridgeConfig& config, const std::string& value, std::string& why) {
    const auto flag = Flag(value);
    if (!flag) {
      why = "\"" + value + "\" is not true or false";
      return false;
    }
    config.*field = *flag;
    return true;
  };
}

bool SetPrefix(BridgeConfig& config, const std::string& value, std::string& why) {
  // The prefix stands before every topic: no wildcards, no empty level at either end.
  if (value.empty() || value.find_first_of("+#") != std::string::npos || value.front() == '/' ||
      value.back() == '/' || value.front() == '$') {
    why = "\"" + value + "\" is not a topic prefix (no '+', '#', no leading '$', no '/' at an end)";
    return false;
  }
  config.prefix = value;
  return true;
}

bool SetQueueMb(BridgeConfig& config, const std::string& value, std::string& why) {
  char* end = nullptr;
  errno = 0;
  const double megabytes = std::strtod(value.c_str(), &end);
  if (value.empty() || *end != '\0' || errno != 0 || !(megabytes >= 0.01) || megabytes > 1048576) {
    why = "\"" + value + "\" is not a number of megabytes from 0.01 to 1048576";
    return false;
  }
  config.maxQueueMb = megabytes;
  return true;
}

bool SetQueueFull(BridgeConfig& config, const std::string& value, std::string& why) {
  if (value != "drop_old" && value != "drop_new") {
    why = "\"" + value + "\" is neither drop_old nor drop_new";
    return false;
  }
  config.queueDropNew = value == "drop_new";
  return true;
}

// A dotted IPv4 address to listen on.
Setter SetAddress(std::string BridgeConfig::*field) {
  return [field](BridgeConfig& config, const std::string& value, std::string& why) {
    in_addr address{};
    if (::inet_pton(AF_INET, value.c_str(), &address) != 1) {
      why = "\"" + value + "\" is not an IPv4 address such as 127.0.0.1 or 0.0.0.0";
      return false;
    }
    config.*field = value;
    return true;
  };
}

bool SetTlsMinVersion(BridgeConfig& config, const std::string& value, std::string& why) {
  if (value == "1.2" || value == "tlsv1.2") {
    config.tlsMinVersion = "tlsv1.2";
  } else if (value == "1.3" || value == "tlsv1.3") {
    config.tlsMinVersion = "tlsv1.3";
  } else {
    why = "\"" + value + "\" is neither 1.2 nor 1.3";
    return false;
  }
  return true;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// One entry of the broker list: HOST, HOST:PORT or [IPV6]:PORT.
std::optional<BrokerAddress> ParseBroker(const std::string& text, std::uint16_t defaultPort,
                                         std::string& why) {
  BrokerAddress address{text, defaultPort};
  std::string portText;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string::npos || (close + 1 < text.size() && text[close + 1] != ':')) {
      why = "\"" + text + "\" is not [ADDRESS] or [ADDRESS]:PORT";
      return std::nullopt;
    }
    address.host = text.substr(1, close - 1);
    if (close + 1 < text.size()) portText = text.substr(close + 2);
  } else if (const auto colon = text.find(':'); colon != std::string::npos) {
    if (text.find(':', colon + 1) != std::string::npos) {
      why = "\"" + text + "\": write an IPv6 address in brackets, [ADDRESS]:PORT";
      return std::nullopt;
    }
    address.host = text.substr(0, colon);
    portText = text.substr(colon + 1);
    if (portText.empty()) portText = "none";
  }
  if (address.host.empty()) {
    why = "an entry in the list is empty";
    return std::nullopt;
  }
  if (!portText.empty()) {
    const auto port = WholeNumber(portText, 1, 65535);
    if (!port) {
      why = "\"" + text + "\" has no port from 1 to 65535 after ':'";
      return std::nullopt;
    }
    address.port = static_cast<std::uint16_t>(*port);
  }
  return address;
}

const std::vector<KeySpec>& KeySpecs() {
  static const std::vector<KeySpec> specs = {
      {"gateway", "host", true, Text(&BridgeConfig::gatewayHost, false)},
      {"gateway", "port", false, Number(&BridgeConfig::gatewayPort, 1, 65535)},
      {"gateway", "udp_bind", false, Text(&BridgeConfig::udpBind, false)},
      {"gateway", "udp_port", false, Number(&BridgeConfig::udpPort, 1, 65535)},
      {"gateway", "request_timeout", false, Number(&BridgeConfig::requestTimeoutS, 1, 600)},
      {"gateway", "check_interval", false, Number(&BridgeConfig::checkIntervalS, 1, 3600)},
      {"gateway", "refresh_interval", false, Number(&BridgeConfig::refreshIntervalS, 0, 86400)},
      {"broker", "host", true, Text(&BridgeConfig::brokerHost, false)},
      {"broker", "port", false, Number(&BridgeConfig::brokerPort, 1, 65535)},
      {"broker", "client_id", false, Text(&BridgeConfig::clientId, false)},
      {"broker", "username", false, Text(&BridgeConfig::username)},
      {"broker", "password", false, Text(&BridgeConfig::password)},
      {"broker", "tls", false, Boolean(&BridgeConfig::tls)},
      {"broker", "ca_file", false, Text(&BridgeConfig::caFile)},
      {"broker", "cert_file", false, Text(&BridgeConfig::certFile)},
      {"broker", "key_file", false, Text(&BridgeConfig::keyFile)},
      {"broker", "tls_insecure", false, Boolean(&BridgeConfig::tlsInsecure)},
      {"broker", "tls_min_version", false, SetTlsMinVersion},
      {"broker", "keepalive", false, Number(&BridgeConfig::keepAliveS, 5, 65535)},
      {"bridge", "prefix", true, SetPrefix},
      {"bridge", "qos", false, Number(&BridgeConfig::qos, 0, 2)},
      {"bridge", "writes", false, Boolean(&BridgeConfig::writes)},
      {"bridge", "state_dir", false, Text(&BridgeConfig::stateDir)},
      {"bridge", "max_queue_mb", false, SetQueueMb},
      {"bridge", "max_queue_age", false,
       Number(&BridgeConfig::maxQueueAgeS, 1, 10LL * 366 * 24 * 3600)},
      {"bridge", "queue_full", false, SetQueueFull},
      {"bridge", "replay_rate", false, Number(&BridgeConfig::replayRate, 1, 1000000)},
      {"bridge", "metrics_port", false, Number(&BridgeConfig::metricsPort, 1, 65535)},
      {"bridge", "metrics_bind", false, SetAddress(&BridgeConfig::metricsBind)},
  };
  return specs;
}

class CConfigReader {
public:
  CConfigReader(std::string fileName) : m_file(std::move(fileName)) {}
  bool Read(const std::string& text);
  BridgeConfig& Config() { return m_config; }
  const std::string& Error() const { return m_error; }

private:
  bool Fail(int line, const std::string& what) {
    m_error = m_file + ":" + std::to_string(line) + ": " + what;
    return false;
  }
  bool TakeLine(int line, const std::string& text);
  bool TakeSection(int line, const std::string& header);
  bool TakeGroupKey(int line, const std::string& key, const std::string& value);
  bool TakeItem(int line, const std::string& value);
  bool CheckGroup(const BridgeGroup& group);
  bool CheckComplete();

  std::string m_file;
  std::string m_error;
  BridgeConfig m_config;
  std::string m_section;  // "gateway", "broker", "bridge", "group" or empty before the first
  std::map<std::string, int> m_sectionLines;
  std::set<std::string> m_seen;  // "section.key", for keys given twice and required keys
  int m_lastLine = 0;
  int m_hostLine = 0;  // of [broker] host
};

bool CConfigReader::Read(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    if (!TakeLine(number, Trim(line))) return false;
  }
  m_lastLine = number;
  return CheckComplete();
}

bool CConfigReader::TakeLine(int line, const std::string& text) {
  if (text.empty() || text[0] == '#' || text[0] == ';') return true;
  if (text[0] == '[') return TakeSection(line, text);
  const auto equals = text.find('=');
  if (equals == std::string::npos) {
    return Fail(line, "expected \"key = value\" or a [section], found \"" + text + "\"");
  }
  const std::string key = Trim(text.substr(0, equals));
  const std::string value = Trim(text.substr(equals + 1));
  if (m_section.empty()) return Fail(line, "key '" + key + "' stands before any [section]");
  if (m_section == "group") return TakeGroupKey(line, key, value);
  for (const KeySpec& rule : KeySpecs()) {
    if (m_section != rule.section || key != rule.key) continue;
    if (!m_seen.insert(m_section + "." + key).second) {
      return Fail(line, "key '" + key + "' in [" + m_section + "] is given twice");
    }
    if (m_section == "broker" && key == "host") m_hostLine = line;
    std::string why;
    if (!rule.set(m_config, value, why)) {
      return Fail(line, "key '" + key + "' in [" + m_section + "]: " + why);
    }
    return true;
  }
  return Fail(line, "unknown key '" + key + "' in [" + m_section + "]");
}

bool CConfigReader::TakeSection(int line, const std::string& header) {
  if (header.back() != ']') return Fail(line, "section header without ']': " + header);
  const std::string inside = Trim(header.substr(1, header.size() - 2));
  if (!m_config.groups.empty() && m_section == "group" && !CheckGroup(m_config.groups.back())) {
    return false;
  }
  if (inside.rfind("group", 0) == 0 && inside.size() > 5 &&
      (inside[5] == ' ' || inside[5] == '\t')) {
    const std::string name = Trim(inside.substr(5));
    for (const BridgeGroup& group : m_config.groups) {
      if (group.name == name) return Fail(line, "group '" + name + "' is defined twice");
    }
    m_config.groups.push_back(BridgeGroup{name, 1000, 0, {}, line});
    m_section = "group";
    m_seen.erase("group.rate");
    m_seen.erase("group.deadband");
    return true;
  }
  if (inside != "gateway" && inside != "broker" && inside != "bridge") {
    return Fail(line, "unknown section [" + inside +
                          "] (known: [gateway], [broker], [bridge], [group NAME])");
  }
  if (m_sectionLines.count(inside) != 0)
    return Fail(line, "section [" + inside + "] is given twice");
  m_sectionLines[inside] = line;
  m_section = inside;
  return true;
}

bool CConfigReader::TakeGroupKey(int line, const std::string& key, const std::string& value) {
  BridgeGroup& group = m_config.groups.back();
  const std::string where = "key '" + key + "' in [group " + group.name + "]";
  if (key == "item") return TakeItem(line, value);
  if (key != "rate" && key != "deadband") return Fail(line, "unknown " + where);
  if (!m_seen.insert("group." + key).second) return Fail(line, where + " is given twice");
  if (key == "rate") {
    const auto rate = WholeNumber(value, 0, INT32_MAX);
    if (!rate) return Fail(line, where + ": \"" + value + "\" is not a number of milliseconds");
    group.rateMs = static_cast<std::int32_t>(*rate);
    return true;
  }
  char* end = nullptr;
  errno = 0;
  const double deadband = std::strtod(value.c_str(), &end);
  if (value.empty() || *end != '\0' || errno != 0 || !std::isfinite(deadband) || deadband < 0) {
    return Fail(line, where + ": \"" + value + "\" is not a number 0 or above");
  }
  group.deadband = deadband;
  return true;
}

bool CConfigReader::TakeItem(int line, const std::string& value) {
  BridgeGroup& group = m_config.groups.back();
  BridgeItem item{value, 0};
  const auto comma = value.rfind(',');
  if (comma != std::string::npos) {
    const std::string typeText = Trim(value.substr(comma + 1));
    const auto type = ParseDataType(typeText);
    if (!type) {
      return Fail(line, "key 'item' in [group " + group.name + "]: \"" + typeText +
                            "\" after the last comma is not a data type (VT_I4, VT_UI2, 3, ...)");
    }
    item = BridgeItem{Trim(value.substr(0, comma)), *type};
  }
  if (item.itemId.empty()) return Fail(line, "key 'item' in [group " + group.name + "] is empty");
  for (const BridgeItem& other : group.items) {
    if (other.itemId == item.itemId) {
      return Fail(line, "item '" + item.itemId + "' is in [group " + group.name + "] twice");
    }
  }
  group.items.push_back(item);
  return true;
}

bool CConfigReader::CheckGroup(const BridgeGroup& group) {
  if (group.items.empty()) return Fail(group.line, "group '" + group.name + "' has no items");
  // What the gateway could not read whole (long lines, names with control characters) is
  // refused here, where the line can be named.
  GroupDefinition definition{group.name, true, group.rateMs, {}};
  for (const BridgeItem& item : group.items) {
    definition.items.push_back(ItemDefinition{item.itemId, true, item.dataType});
  }
  try {
    (void)DefineGroupsRequest({definition});
  } catch (const std::invalid_argument& refused) {
    return Fail(group.line, "group '" + group.name + "': " + refused.what());
  }
  return true;
}

bool CConfigReader::CheckComplete() {
  if (m_section == "group" && !CheckGroup(m_config.groups.back())) return false;
  for (const KeySpec& rule : KeySpecs()) {
    if (!rule.required || m_seen.count(std::string(rule.section) + "." + rule.key) != 0) continue;
    const auto header = m_sectionLines.find(rule.section);
    if (header == m_sectionLines.end()) {
      return Fail(m_lastLine, std::string("section [") + rule.section + "] with its key '" +
                                  rule.key + "' is missing");
    }
    return Fail(header->second,
                std::string("[") + rule.section + "] lacks the required key '" + rule.key + "'");
  }
  const int brokerLine = m_sectionLines["broker"];
  if (m_config.tls && m_config.caFile.empty()) {
    return Fail(brokerLine, "[broker] has tls = true but no 'ca_file'");
  }
  if (m_config.certFile.empty() != m_config.keyFile.empty()) {
    return Fail(brokerLine, "[broker] needs both 'cert_file' and 'key_file', or neither");
  }
  // A certificate meant for the broker would otherwise go unused without a word.
  if (!m_config.tls && (!m_config.certFile.empty() || m_config.tlsInsecure)) {
    return Fail(brokerLine, std::string("[broker] has '") +
                                (m_config.certFile.empty() ? "tls_insecure" : "cert_file") +
                                "' but not tls = true");
  }
  std::istringstream list(m_config.brokerHost);
  std::string entry;
  while (std::getline(list, entry, ',')) {
    std::string why;
    const auto address = ParseBroker(Trim(entry), m_config.brokerPort, why);
    if (!address) return Fail(m_hostLine, "key 'host' in [broker]: " + why);
    m_config.brokers.push_back(*address);
  }
  if (m_config.brokers.empty() || m_config.brokerHost.back() == ',') {
    return Fail(m_hostLine, "key 'host' in [broker]: an entry in the list is empty");
  }
  if (m_config.groups.empty())
    return Fail(m_lastLine, "no [group NAME] section: nothing to publish");
  return true;
}

}  // namespace

std::optional<BridgeConfig> ParseBridgeConfig(const std::string& text, const std::string& fileName,
                                              std::string* error) {
  CConfigReader reader(fileName);
  if (!reader.Read(text)) {
    if (error != nullptr) *error = reader.Error();
    return std::nullopt;
  }
  return std::move(reader.Config());
}

std::string BrokerListText(const BridgeConfig& config) {
  std::string text;
  for (const BrokerAddress& broker : config.brokers) {
    if (!text.empty()) text += ", ";
    text += (broker.host.find(':') != std::string::npos ? "[" + broker.host + "]" : broker.host) +
            ":" + std::to_string(broker.port);
  }
  return text;
}

std::optional<BridgeConfig> LoadBridgeConfig(const std::string& fileName, std::string* error) {
  std::ifstream file(fileName, std::ios::binary);
  if (!file) {
    if (error != nullptr) *error = fileName + ": cannot read it: " + std::strerror(errno);
    return std::nullopt;
  }
  std::ostringstream text;
  text << file.rdbuf();
  return ParseBridgeConfig(text.str(), fileName, error);
}
