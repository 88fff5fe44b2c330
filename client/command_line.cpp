#include "client/command_line.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "client/group_definition_parser.h"

namespace {

constexpr double kLongestSeconds = 86400 * 7;

// A check that turns the accepted text into plain decimal digits for CLI11's conversion (which
// would read "010" as octal) and names the refused text otherwise.
CLI::Validator WholeNumberCheck(long long low, long long high, std::string what) {
  return CLI::Validator(
      [low, high, what](std::string& text) -> std::string {
        const auto value = WholeNumber(text, low, high);
        if (!value) return "\"" + text + "\" is not " + what;
        text = std::to_string(*value);
        return {};
      },
      "", "whole number");
}

CLI::Validator PortCheck() {
  return WholeNumberCheck(0, 65535, "a port number 0 to 65535");
}

CLI::Validator SecondsCheck() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (text.empty() || end == nullptr || *end != '\0' || !std::isfinite(value) || value <= 0 ||
            value > kLongestSeconds) {
          return "\"" + text + "\" is not a positive number of seconds";
        }
        return {};
      },
      "", "seconds");
}

// Transaction ids are 32 bits; both the unsigned and the signed form are taken.
CLI::Validator TransactionCheck() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        const auto value = WholeNumber(text, INT32_MIN, UINT32_MAX);
        if (!value) return "\"" + text + "\" is not a 32-bit number";
        text = std::to_string(static_cast<std::uint32_t>(*value));
        return {};
      },
      "", "transaction");
}

CLI::Validator DataTypeCheck() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        const auto type = ParseDataType(text);
        if (!type) return "\"" + text + "\" is not a VARTYPE number or a name like VT_I4";
        text = std::to_string(*type);
        return {};
      },
      "", "data type");
}

// The help layout: the usage line first, argument names without type words, "COMMAND" for
// the subcommand.
class CToolHelpFormat : public CLI::Formatter {
public:
  CToolHelpFormat() {
    column_width(20);
    label("SUBCOMMAND", "COMMAND");
    label("Positionals", "Arguments");
  }
  // The usage line first, as the tool has always begun its help.
  std::string make_help(const CLI::App* app, std::string name,
                        CLI::AppFormatMode mode) const override {
    if (mode == CLI::AppFormatMode::Sub) return make_expanded(app);
    return make_usage(app, name) + make_description(app) + make_positionals(app) +
           make_groups(app, mode) + make_subcommands(app, mode) + "\n" + make_footer(app);
  }
  std::string make_option_opts(const CLI::Option* option) const override {
    return option->get_positional() ? std::string() : CLI::Formatter::make_option_opts(option);
  }
};

}  // namespace

std::optional<long long> WholeNumber(const std::string& text, long long low, long long high) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  std::size_t at = text[0] == '-' || text[0] == '+' ? 1 : 0;
  if (at == text.size()) return std::nullopt;
  long long value = 0;
  for (; at < text.size(); ++at) {
    if (text[at] < '0' || text[at] > '9') return std::nullopt;
    value = value * 10 + (text[at] - '0');
  }
  if (text[0] == '-') value = -value;
  if (value < low || value > high) return std::nullopt;
  return value;
}

void UseToolHelpFormat(CLI::App& app) {
  app.formatter(std::make_shared<CToolHelpFormat>());
}

void AddRequestOptions(CLI::App& app, CommandLine& line) {
  app.add_option("--host", line.host, "gateway host (default 127.0.0.1)")
      ->option_text("H")
      ->check(CLI::Validator(
          [](const std::string& text) -> std::string {
            return text.empty() ? "wants a host name or address" : "";
          },
          "", "host"));
  app.add_option("--port", line.port, "gateway request port (default 8089)")
      ->option_text("P")
      ->transform(PortCheck());
  app.add_option("--timeout", line.timeout, "seconds for the whole request (default 10)")
      ->option_text("S")
      ->check(SecondsCheck());
  app.add_flag("--raw", line.raw,
               "print the reply's exact bytes (write, awrite: send values\nunchecked)");
}

void AddListenOptions(CLI::App& app, CommandLine& line) {
  app.add_option("--bind", line.bind, "local address (default 0.0.0.0)")->option_text("ADDRESS");
  app.add_option("--port", line.port,
                 "UDP port (default 8088, the gateway's /rp; 0 picks a\nfree one)")
      ->option_text("P")
      ->transform(PortCheck());
  app.add_option("--count", line.count, "stop after N datagrams")
      ->option_text("N")
      ->transform(
          WholeNumberCheck(1, std::numeric_limits<long long>::max() / 10, "a positive number"));
  app.add_option("--timeout", line.timeout, "stop after S seconds (default: no limit)")
      ->option_text("S")
      ->check(SecondsCheck());
  app.add_flag("--json", line.json, "one JSON object per line");
}

void AddStatusOptions(CLI::App& app, CommandLine& line) {
  app.add_flag("--json", line.json, "print one JSON object");
  app.add_option("--stale-after", line.staleAfter,
                 "values older than S seconds count as not moving\n(default 60)")
      ->option_text("S")
      ->check(SecondsCheck());
}

void AddDefineArguments(CLI::App& app, CommandLine& line) {
  app.add_option("--receive-port", line.receivePort,
                 "UDP port for this client's datagrams (default: the\ngateway's /rp)")
      ->option_text("P")
      ->transform(PortCheck());
  app.add_option("--file", line.files,
                 "read the same words from a file (blanks and line ends\n"
                 "separate words, \"double quotes\" keep blanks, # starts a\n"
                 "comment); the file's groups come before those on the\ncommand line")
      ->option_text("F")
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_option("WORDS", line.words, "group NAME [A|N] [RATE] [item ID [A|N] [TYPE]]...");
}

void AddTypedDefineOption(CLI::App& app, CommandLine& line) {
  app.add_flag("--typed", line.typed,
               "define with TD: the datagrams carry every type (reals,\n"
               "strings, 64-bit numbers, dates) with the server's\n"
               "timestamps (see listen)");
}

void AddTypedReadOptions(CLI::App& app, CommandLine& line) {
  app.add_flag("--typed", line.typed,
               "read with TR: each value with its type, quality, the\n"
               "server's timestamp and error (reals and strings too)");
  app.add_flag("--cache", line.cache,
               "with --typed: read the server's cache instead of the\ndevice");
}

void AddTypeOption(CLI::App& app, CommandLine& line) {
  app.add_option("--type", line.type,
                 "the items' type (as in define: VT_I2, UI1, BOOL, ...):\n"
                 "values that do not fit it are refused too (BOOL: 0, 1\n"
                 "or -1); R4, R8 and CY take decimal numbers (21.7),\n"
                 "BSTR any text")
      ->option_text("TYPE")
      ->transform(DataTypeCheck());
}

void AddGroupArgument(CLI::App& app, CommandLine& line) {
  app.add_option("GROUP", line.group, "group index")
      ->required()
      ->transform(WholeNumberCheck(INT32_MIN, INT32_MAX, "a whole number"));
}

void AddGroupsArgument(CLI::App& app, CommandLine& line) {
  app.add_option("GROUP", line.groups, "group indices")
      ->required()
      ->transform(WholeNumberCheck(INT32_MIN, INT32_MAX, "a whole number"));
}

void AddTransactionArgument(CLI::App& app, CommandLine& line) {
  app.add_option("TRANSACTION", line.transaction, "transaction id (32 bits)")
      ->required()
      ->transform(TransactionCheck());
}

void AddItemsArgument(CLI::App& app, CommandLine& line) {
  app.add_option("ITEM", line.items, "item indices (0 to 65535)")
      ->required()
      ->transform(WholeNumberCheck(0, 65535, "a number 0 to 65535"));
}

void AddStateArgument(CLI::App& app, CommandLine& line) {
  app.add_option("STATE", line.state, "A activates, N deactivates")->required();
}

void AddNamesArgument(CLI::App& app, CommandLine& line) {
  app.add_option("NAME", line.names, "group names")->required();
}

void AddPairsArgument(CLI::App& app, CommandLine& line) {
  app.add_option("ITEM_VALUE", line.pairs,
                 "pairs of an item index and its value, a decimal integer\n"
                 "(-5, 300; with --type R8 a number such as 21.7, with\n"
                 "--type BSTR a text); other values are refused before\n"
                 "sending (--raw sends them as typed)")
      ->required();
}
