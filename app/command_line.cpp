#include "app/command_line.h"

#include <cctype>
#include <climits>

#include "app/health_services.h"
#include "app/protection_options.h"
#include "platform/codepage.h"
#include "platform/socket_api.h"

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

int ParseDecimal(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }
  long long value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    value = value * 10 + (text[at] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

void ParseCommandLine(std::string_view commandLine, CommandLineOptions& options) {
  const std::vector<std::string> tokens = SplitCommandLine(commandLine);
  for (std::size_t i = 1; i < tokens.size(); ++i) {
    const std::string& token = tokens[i];
    const bool hasValue = i + 1 < tokens.size();
    if (IsOption(token, "/rh")) {
      if (hasValue) options.remoteHost = NetToHost32(InetAddr(tokens[++i].c_str()));
    } else if (IsOption(token, "/rp")) {
      if (hasValue) options.remotePort = static_cast<std::uint16_t>(ParseDecimal(tokens[++i]));
    } else if (IsOption(token, "/lp")) {
      if (hasValue) options.listenPort = static_cast<std::uint16_t>(ParseDecimal(tokens[++i]));
    } else if (IsOption(token, "/?")) {
      options.showUsage = true;
      return;
    } else if (IsOption(token, "/s")) {
      options.backgroundMode = true;
    } else if (IsOption(token, "/progId")) {
      options.progId = hasValue ? MultiByteToWide(tokens[++i]) : WideString();
    } else if (IsOption(token, "/metrics")) {
      ParseMetricsPort(hasValue ? tokens[++i] : std::string(), options.metricsPort,
                       options.optionError);
    } else if (TakeProtectionOption(tokens, i, options.protection, options.requests,
                                    options.optionError)) {
      // applied, or its error recorded
    }
  }
}

CommandLineOptions ParseCommandLine(std::string_view commandLine) {
  CommandLineOptions options;
  ParseCommandLine(commandLine, options);
  return options;
}
