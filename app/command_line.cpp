#include "app/command_line.h"

#include <algorithm>
#include <cctype>

#include "app/protection_options.h"
#include "app/work_directory.h"
#include "platform/codepage.h"
#include "platform/socket_api.h"
#include "platform/string_format.h"
#include "res/gateway_options.h"

bool IsOption(const std::string& token, std::string_view option) {
  if (token.size() != option.size()) return false;
  for (std::size_t i = 0; i < token.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(token[i])) !=
        std::tolower(static_cast<unsigned char>(option[i]))) {
      return false;
    }
  }
  return true;
}

std::vector<std::string> SplitCommandLine(std::string_view commandLine) {
  std::vector<std::string> tokens;
  std::size_t at = 0;
  while (at < commandLine.size()) {
    while (at < commandLine.size() && commandLine[at] == ' ') ++at;
    if (at >= commandLine.size()) break;
    const std::size_t end = commandLine.find(' ', at);
    const std::size_t stop = end == std::string_view::npos ? commandLine.size() : end;
    tokens.emplace_back(commandLine.substr(at, stop - at));
    at = stop;
  }
  return tokens;
}

std::string JoinArguments(int argc, const char* const* argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    if (argv[i] == nullptr) break;
    if (i > 0) line += ' ';
    line += argv[i];
  }
  return line;
}

namespace {

// A port number: decimal digits only, from low to 65535.
bool ParsePort(const std::string& text, int low, std::uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  int number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  if (number < low || number > 65535) return false;
  port = static_cast<std::uint16_t>(number);
  return true;
}

// /lp, /rp and /metrics: a missing or bad value is an error, as with the protection options, so
// that the gateway never listens or sends where its operator does not know.
struct PortOption {
  const char* name;
  int low;
  const char* expected;  // UTF-8
};
constexpr PortOption kRemotePort{
    "/rp", 0, "请给出 0 到 65535 之间的十进制端口号（0 不发送启动和停止数据报），例如 /rp 8088"};
constexpr PortOption kListenPort{"/lp", 1, "请给出 1 到 65535 之间的十进制端口号，例如 /lp 8089"};
constexpr PortOption kMetricsPort{"/metrics", 1,
                                  "请给出 1 到 65535 之间的端口号，例如 /metrics 9464"};

void TakePort(const std::vector<std::string>& tokens, std::size_t& at, std::uint16_t& port,
              std::string& error, const PortOption& option) {
  const std::string value = at + 1 < tokens.size() ? tokens[++at] : std::string();
  if (!ParsePort(value, option.low, port)) {
    RecordOptionError(error, option.name, value, option.expected);
  }
}

bool IsTableOption(const std::string& token) {
  for (const GatewayOption& option : GatewayOptions())
    if (IsOption(token, option.name)) return true;
  return false;
}

char Lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// The optimal string alignment distance (insertions, deletions, substitutions and swaps of two
// neighbours, each 1), letter case ignored.
std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = Lower(a[i - 1]) == Lower(b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && Lower(a[i - 1]) == Lower(b[j - 2]) &&
          Lower(a[i - 2]) == Lower(b[j - 1]))
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// A number of seconds from 0 to most: decimal digits only.
bool ParseSeconds(const std::string& text, int most, int& seconds) {
  if (text.empty() || text.size() > 6) return false;
  int number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  if (number > most) return false;
  seconds = number;
  return true;
}

void TakeSeconds(const std::vector<std::string>& tokens, std::size_t& at, const char* name,
                 int most, int& seconds, std::string& error) {
  const std::string value = at + 1 < tokens.size() ? tokens[++at] : std::string();
  if (!ParseSeconds(value, most, seconds)) {
    RecordOptionError(error, name, value,
                      StringPrintf("请给出 0 到 %d 之间的秒数，例如 %s %d", most, name,
                                   IsOption(name, "/failover") ? kDefaultFailoverSeconds
                                                               : kDefaultFailbackSeconds)
                          .c_str());
  }
}

// ProgIDs are looked up without regard to letter case.
bool SameProgId(const WideString& a, const WideString& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](WideChar c) {
      return c >= 'A' && c <= 'Z' ? static_cast<WideChar>(c - 'A' + 'a') : c;
    };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The backup's settings that no single option can judge: /backup must name another server, and
// /backuphost needs DCOM, which only the Windows build has.
void CheckBackup(const CommandLineOptions& options, bool hostGiven, std::string& error) {
  if (!error.empty()) return;
  const FailoverSettings& failover = options.failover;
  if (failover.Enabled() && SameProgId(failover.backupProgId, options.progId)) {
    error = StringPrintf(
        SystemText(
            "备用OPC服务器 /backup %s 与主服务器 /progId 相同：请给出另一台OPC服务器的ProgID")
            .c_str(),
        WideToMultiByte(failover.backupProgId).c_str());
    return;
  }
#ifndef _WIN32
  if (hostGiven) {
    error = SystemText(
        "选项 /backuphost 仅限Windows版（通过DCOM在另一台计算机上创建备用服务器）；"
        "本Linux版只能在本机创建备用服务器，请去掉 /backuphost");
    return;
  }
#else
  (void)hostGiven;
#endif
  if (!failover.backupHost.empty() && !failover.Enabled())
    error = SystemText("选项 /backuphost 需要与 /backup 一起给出");
}

bool IsUsageOption(const std::string& token) {
  return IsOption(token, "/?") || IsOption(token, "--help") || IsOption(token, "-h");
}

}  // namespace

void ParseCommandLine(std::string_view commandLine, CommandLineOptions& options) {
  const std::vector<std::string> tokens = SplitCommandLine(commandLine);
  bool backupHostGiven = false;
  for (std::size_t i = 1; i < tokens.size(); ++i) {
    const std::string& token = tokens[i];
    const bool hasValue = i + 1 < tokens.size();
    if (IsOption(token, "/rh")) {
      if (hasValue) options.remoteHost = NetToHost32(InetAddr(tokens[++i].c_str()));
    } else if (IsOption(token, "/rp")) {
      TakePort(tokens, i, options.remotePort, options.optionError, kRemotePort);
    } else if (IsOption(token, "/lp")) {
      TakePort(tokens, i, options.listenPort, options.optionError, kListenPort);
    } else if (IsUsageOption(token)) {
      options.showUsage = true;
      return;
    } else if (IsOption(token, "/s")) {
      options.backgroundMode = true;
    } else if (IsOption(token, "/progId")) {
      options.progId = hasValue ? MultiByteToWide(tokens[++i]) : WideString();
    } else if (IsOption(token, "/metrics")) {
      TakePort(tokens, i, options.metricsPort, options.optionError, kMetricsPort);
    } else if (IsOption(token, "/workdir")) {
      options.workDir = hasValue ? tokens[++i] : std::string();
    } else if (IsOption(token, "/connect")) {
      options.connectAtStart = true;
    } else if (IsOption(token, "/backup")) {
      const std::string value = hasValue ? tokens[++i] : std::string();
      if (value.empty())
        RecordOptionError(options.optionError, "/backup", value,
                          "请给出备用OPC服务器的ProgID，例如 /backup Quarnix.Simulator.2");
      options.failover.backupProgId = MultiByteToWide(value);
    } else if (IsOption(token, "/backuphost")) {
      const std::string value = hasValue ? tokens[++i] : std::string();
      if (value.empty())
        RecordOptionError(options.optionError, "/backuphost", value,
                          "请给出备用OPC服务器所在计算机的名称或IP地址");
      options.failover.backupHost = MultiByteToWide(value);
      backupHostGiven = true;
    } else if (IsOption(token, "/failover")) {
      TakeSeconds(tokens, i, "/failover", kMaxFailoverSeconds, options.failover.failoverSeconds,
                  options.optionError);
      options.failoverGiven = true;
    } else if (IsOption(token, "/failback")) {
      TakeSeconds(tokens, i, "/failback", kMaxFailbackSeconds, options.failover.failbackSeconds,
                  options.optionError);
      options.failbackGiven = true;
    } else if (TakeProtectionOption(tokens, i, options.protection, options.requests,
                                    options.optionError)) {
      // Applied, or its error recorded; the start record shows the list as given.
      if (IsOption(token, "/allow") && hasValue) options.allowText = tokens[i];
    } else if (!IsTableOption(token)) {
      options.unknownOptions.push_back(token);
    }
  }
  CheckWritersWithinAllow(options.protection, options.requests, options.optionError);
  CheckBackup(options, backupHostGiven, options.optionError);
}

std::string UnknownOptionText(const std::string& word) {
  const GatewayOption* closest = nullptr;
  std::size_t best = 0;
  for (const GatewayOption& option : GatewayOptions()) {
    const std::string_view name = option.name;
    const std::size_t distance = EditDistance(word, name);
    const std::size_t allowed = name.size() <= 3 ? 1 : 2;
    if (distance > allowed || (closest != nullptr && distance >= best)) continue;
    closest = &option;
    best = distance;
  }
  std::string text = "ignored unknown option " + word;
  if (closest != nullptr) text += std::string(" (did you mean ") + closest->name + "?)";
  return text;
}

CommandLineOptions ParseCommandLine(std::string_view commandLine) {
  CommandLineOptions options;
  ParseCommandLine(commandLine, options);
  return options;
}

std::string StartOptionsError(std::string_view commandLine) {
  const CommandLineOptions options = ParseCommandLine(commandLine);
  if (!options.optionError.empty()) return options.optionError;
  std::string error;
  if (options.workDir && !CheckWorkDirectory(*options.workDir, error)) return error;
  // Without the socket library the start itself reports that; the address cannot be checked.
  if (SocketStartup()) CheckBindAddress(options.protection.bindAddress, error);
  return error;
}
