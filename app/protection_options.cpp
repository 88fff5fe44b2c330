#include "app/protection_options.h"

#include <algorithm>
#include <climits>
#include <string_view>

#include "app/command_line.h"
#include "opc/call_deadline.h"
#include "opc/server_loss.h"
#include "platform/codepage.h"
#include "platform/socket_api.h"
#include "platform/string_format.h"

namespace {

// Decimal digits only, 1 to INT_MAX.
bool ParseCount(const std::string& text, int& value) {
  if (text.empty() || text.size() > 10) return false;
  long long number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  if (number < 1 || number > INT_MAX) return false;
  value = static_cast<int>(number);
  return true;
}

void SetError(std::string& error, const char* option, const std::string& value,
              const char* expected) {
  RecordOptionError(error, option, value, expected);
}

constexpr const char* kCountExpected = "请给出 1 到 2147483647 之间的整数";

}  // namespace

void RecordOptionError(std::string& error, const char* option, const std::string& value,
                       const char* expected) {
  if (!error.empty()) return;
  error = StringPrintf(SystemText("选项 %s 的值“%s”无效：%s").c_str(), option, value.c_str(),
                       SystemText(expected).c_str());
}

bool TakeProtectionOption(const std::vector<std::string>& tokens, std::size_t& at,
                          ProtectionSettings& settings, RequestSettings& requests,
                          std::string& error) {
  const std::string& token = tokens[at];
  if (IsOption(token, "/readonly")) {
    requests.readOnly = true;
    return true;
  }
  const char* option = nullptr;
  for (const char* name : {"/bind", "/allow", "/writers", "/maxconn", "/maxgroups", "/maxitems",
                           "/calltimeout", "/statuscheck"}) {
    if (IsOption(token, name)) option = name;
  }
  if (option == nullptr) return false;
  // A missing value is a bad (empty) value: a restriction the operator asked for must not
  // silently fall away.
  const std::string value = at + 1 < tokens.size() ? tokens[++at] : std::string();
  const std::string_view name = option;
  int count = 0;
  if (name == "/bind") {
    std::uint32_t address = 0;
    if (CAllowList::ParseAddress(value, address)) {
      settings.bindAddress = address;
    } else {
      SetError(error, option, value, "请给出本机的一个 IPv4 地址，例如 /bind 192.168.1.10");
    }
  } else if (name == "/allow") {
    if (!settings.allowList.Parse(value)) {
      SetError(error, option, value,
               "请给出以逗号分隔、不含空格的 IPv4 地址或 CIDR 网段，例如 /allow "
               "10.1.2.0/24,10.1.3.7");
    }
  } else if (name == "/writers") {
    std::string bad;
    if (requests.writers.Parse(value, &bad)) {
      requests.writersText = value;
    } else {
      const std::string expected = StringPrintf(
          "“%s”不是 IPv4 地址或 CIDR 网段；请给出以逗号分隔、不含空格的地址或网段，例如 /writers "
          "10.1.2.5,10.1.2.16/30",
          bad.c_str());
      SetError(error, option, value, expected.c_str());
    }
  } else if (name == "/calltimeout") {
    if (ParseCount(value, count) && count >= kMinCallTimeoutSeconds &&
        count <= kMaxCallTimeoutSeconds)
      requests.callTimeoutSeconds = count;
    else
      SetError(
          error, option, value,
          StringPrintf("请给出 %d 到 %d 之间的秒数，例如 /calltimeout %d", kMinCallTimeoutSeconds,
                       kMaxCallTimeoutSeconds, kDefaultCallTimeoutSeconds)
              .c_str());
  } else if (name == "/statuscheck") {
    if (ParseCount(value, count) && count <= kMaxStatusCheckSeconds)
      requests.statusCheckSeconds = count;
    else
      SetError(error, option, value,
               StringPrintf("请给出 1 到 %d 之间的秒数，例如 /statuscheck %d",
                            kMaxStatusCheckSeconds, kDefaultStatusCheckSeconds)
                   .c_str());
  } else if (!ParseCount(value, count)) {
    SetError(error, option, value, kCountExpected);
  } else if (name == "/maxconn") {
    settings.maxConnections = count;
  } else if (name == "/maxgroups") {
    requests.maxGroups = static_cast<std::size_t>(count);
  } else {
    requests.maxItems = static_cast<std::size_t>(count);
  }
  return true;
}

bool CheckWritersWithinAllow(const ProtectionSettings& settings, const RequestSettings& requests,
                             std::string& error) {
  const std::string& text = requests.writersText;
  if (requests.writers.Empty() || settings.allowList.Covers(requests.writers)) return true;
  // Name the first entry that is not covered.
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string entry = text.substr(start, comma - start);
    CAllowList one;
    if (one.Parse(entry) && !settings.allowList.Covers(one)) {
      const std::string expected = StringPrintf(
          "“%s”不全在 /allow 列表中，列表外的地址无法连接网关；请把它加入 /allow，"
          "或从 /writers 中去掉",
          entry.c_str());
      SetError(error, "/writers", text, expected.c_str());
      return false;
    }
    start = comma + 1;
  }
  return true;  // not reached: entries that are each covered are covered together
}

bool CheckBindAddress(std::uint32_t hostOrderAddress, std::string& error) {
  if (hostOrderAddress == 0) return true;
  const SocketHandle probe = SocketCreate(kSockStream);
  if (probe == kNoSocket) return true;  // the real bind reports what is wrong
  SocketAddressIn address;
  address.address = HostToNet32(hostOrderAddress);
  const bool bound = SocketBind(probe, address);
  SocketClose(probe);
  if (bound) return true;
  const std::string text =
      StringPrintf("%u.%u.%u.%u", hostOrderAddress >> 24, (hostOrderAddress >> 16) & 255u,
                   (hostOrderAddress >> 8) & 255u, hostOrderAddress & 255u);
  SetError(error, "/bind", text, "本机没有这个地址，请给出本机一个网络接口的 IPv4 地址");
  return false;
}
