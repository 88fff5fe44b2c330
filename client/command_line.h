// The client tool's command line: the values its commands take, and the declarations of its
// options and arguments (with their checks) on a CLI11 command.
//
// Error rule: the declared checks refuse a value during CLI11's parse, which then throws its
// ParseError with one line naming the option or argument and the value; CUsageError is what
// the commands throw for what only they can check (a pair left open, a value for the type).
// Thread rule: any thread. Ownership: the declarations bind to a CommandLine, which must outlive
// the parse.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace CLI {
class App;
}

constexpr char kProgram[] = "quarnix-client";

// Everything one command line gives; each command reads its own part.
struct CommandLine {
  // Request commands (--port and --timeout also for listen).
  std::string host = "127.0.0.1";
  std::optional<std::uint16_t> port;
  std::optional<double> timeout;
  bool raw = false;
  // listen
  std::string bind = "0.0.0.0";
  std::optional<unsigned long> count;
  bool json = false;
  // status (also --json)
  double staleAfter = 60;
  // define (--typed: "TD"), read (--typed: "TR", --cache: from the server's cache)
  bool typed = false;
  bool cache = false;
  // define
  std::uint16_t receivePort = 0;
  std::vector<std::string> files;
  std::vector<std::string> words;
  // write, awrite
  std::optional<std::uint16_t> type;
  std::vector<std::string> pairs;  // ITEM VALUE ITEM VALUE ...
  // browse, properties
  std::string branch;
  std::string pattern;
  std::string continuation;
  int pageSize = 100;
  std::string kind = "all";
  std::string access = "*";
  bool all = false;
  unsigned long maxEntries = 10000;
  std::string itemId;
  std::vector<std::uint32_t> propertyIds;
  // The arguments of the other commands.
  int group = 0;
  std::uint32_t transaction = 0;
  std::string state;
  std::vector<int> groups;
  std::vector<std::uint16_t> items;
  std::vector<std::string> names;
};

class CUsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// A whole decimal number within [low, high]: an optional sign and digits, at most 12
// characters; nullopt for anything else.
std::optional<long long> WholeNumber(const std::string& text, long long low, long long high);

// Gives the tool's help layout to a command and to the commands added to it later.
void UseToolHelpFormat(CLI::App& app);

// --host, --port, --timeout, --raw: where a request goes and how the reply is shown.
void AddRequestOptions(CLI::App& app, CommandLine& line);
// --bind, --port, --count, --timeout, --json of listen.
void AddListenOptions(CLI::App& app, CommandLine& line);
// --json and --stale-after of status.
void AddStatusOptions(CLI::App& app, CommandLine& line);
// --receive-port, --file and the words of define.
void AddDefineArguments(CLI::App& app, CommandLine& line);
// --typed of define.
void AddTypedDefineOption(CLI::App& app, CommandLine& line);
// --typed and --cache of read.
void AddTypedReadOptions(CLI::App& app, CommandLine& line);
// --type of write and awrite.
void AddTypeOption(CLI::App& app, CommandLine& line);

// Positional arguments, in the order they are added.
void AddGroupArgument(CLI::App& app, CommandLine& line);        // GROUP
void AddGroupsArgument(CLI::App& app, CommandLine& line);       // GROUP...
void AddTransactionArgument(CLI::App& app, CommandLine& line);  // TRANSACTION
void AddItemsArgument(CLI::App& app, CommandLine& line);        // ITEM...
void AddStateArgument(CLI::App& app, CommandLine& line);        // STATE
void AddNamesArgument(CLI::App& app, CommandLine& line);        // NAME...
void AddPairsArgument(CLI::App& app, CommandLine& line);        // ITEM VALUE...
