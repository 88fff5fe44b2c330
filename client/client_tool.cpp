#include "client/client_tool.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <limits>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "client/datagram_decoder.h"
#include "client/gateway_client.h"
#include "client/gateway_reply.h"
#include "client/group_definition_parser.h"
#include "client/request_builder.h"
#include "client/udp_receiver.h"

namespace {

constexpr char kProgram[] = "quarnix-client";
constexpr std::uint16_t kDefaultRequestPort = 8089;  // the gateway's /lp default
constexpr std::uint16_t kDefaultListenPort = 8088;   // the gateway's /rp default
constexpr double kDefaultTimeoutSeconds = 10;

// ---------------------------------------------------------------------------------------------
// Command table and help

struct CommandInfo {
  const char* name;
  const char* synopsis;
  const char* description;
};

const CommandInfo kCommands[] = {
    {"hbt", "hbt", "Heartbeat (HBT): a working gateway answers code 0 \"HBT OK!\"."},
    {"define",
     "define [--receive-port P] [--file F] [group NAME [A|N] [RATE] [item ID [A|N] [TYPE]]...]...",
     "Defines groups with their items (AD) and prints the index the gateway gave each group.\n"
     "  NAME, ID   group name and item ID (quote them in the shell when they hold blanks)\n"
     "  A|N        active or inactive (also active/inactive); default A\n"
     "  RATE       requested update rate in ms; default the gateway's (500)\n"
     "  TYPE       requested data type: a VARTYPE number or a name (VT_I2, I4, BOOL, UI4, ...);\n"
     "             default 0, the server's own type\n"
     "  --receive-port P  UDP port for this client's datagrams (default: the gateway's /rp)\n"
     "  --file F   read the same words from a file (blanks and line ends separate words,\n"
     "             \"double quotes\" keep blanks, # starts a comment); the file's groups come\n"
     "             before those on the command line"},
    {"remove", "remove GROUP...", "Removes groups by index (RM)."},
    {"activate", "activate STATE GROUP...",
     "Activates (STATE A) or deactivates (N) groups (AC). The gateway activates when STATE\n"
     "begins with A."},
    {"refresh", "refresh TRANSACTION GROUP...",
     "Asks for the current values of active groups (RF); they arrive as value-change\n"
     "datagrams (see listen) with the transaction number. Prints the cancel id."},
    {"query", "query NAME...", "Looks groups up by name (Q?) and prints their indices."},
    {"read", "read GROUP ITEM...",
     "Reads items of a group synchronously (SR) and prints value and quality of each."},
    {"aread", "aread GROUP TRANSACTION ITEM...",
     "Starts an asynchronous read (AR); prints the cancel id. The values arrive as read\n"
     "datagrams with the transaction id."},
    {"write", "write [--type TYPE] GROUP ITEM VALUE [ITEM VALUE]...",
     "Writes item values synchronously (SW).\n"
     "  VALUE      a decimal integer (-5, 300); anything else is refused before sending\n"
     "  --type T   the items' requested type (as in define: VT_I2, UI1, BOOL, ...): values\n"
     "             that do not fit it are refused too (BOOL: 0, 1 or -1)\n"
     "  --raw      sends the values unchecked, as typed (a text for a string item), and\n"
     "             prints the reply's exact bytes"},
    {"awrite", "awrite [--type TYPE] GROUP TRANSACTION ITEM VALUE [ITEM VALUE]...",
     "Starts an asynchronous write (AW); prints the cancel id. A write datagram with the\n"
     "transaction id reports the completion. VALUE, --type and --raw as for write."},
    {"exit", "exit", "Asks the gateway to close (Exit); its operator still confirms."},
    {"listen", "listen [--bind ADDRESS] [--port P] [--count N] [--timeout S] [--json]",
     "Receives the gateway's datagrams and prints one line for each as it arrives.\n"
     "  --bind      local address (default 0.0.0.0)\n"
     "  --port      UDP port (default 8088, the gateway's /rp; 0 picks a free one)\n"
     "  --count N   stop after N datagrams\n"
     "  --timeout S stop after S seconds (default: no limit)\n"
     "  --json      one JSON object per line\n"
     "Exit status: 0; 1 when a datagram was malformed or fewer than N came in time;\n"
     "2 when the port cannot be bound."},
};

const CommandInfo* FindCommand(const std::string& name) {
  for (const CommandInfo& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

void PrintOverview(std::ostream& out) {
  out << "Usage: " << kProgram << " [--host H] [--port P] [--timeout S] [--raw] COMMAND ...\n"
      << "Sends one request to a Quarnix gateway and prints its reply, or listens for its\n"
      << "datagrams.\n\nCommands:\n";
  for (const CommandInfo& command : kCommands) out << "  " << command.synopsis << "\n";
  out << "\nOptions:\n"
      << "  --host H     gateway host (default 127.0.0.1)\n"
      << "  --port P     gateway request port (default 8089)\n"
      << "  --timeout S  seconds for the whole request (default 10)\n"
      << "  --raw        print the reply's exact bytes (write, awrite: send values unchecked)\n"
      << "  --help       this text; after a command, that command's help\n"
      << "\nExit status: 0 reply code 0; 1 another reply code; 2 no well-formed reply\n"
      << "(unknown host, refused, unreachable, timeout, malformed); 64 bad command line.\n";
}

void PrintCommandHelp(std::ostream& out, const CommandInfo& command) {
  out << "Usage: " << kProgram << " [--host H] [--port P] [--timeout S] [--raw] "
      << command.synopsis << "\n"
      << command.description << "\n";
}

// ---------------------------------------------------------------------------------------------
// Command line

struct Options {
  std::string command;
  std::vector<std::string> positional;
  std::string host = "127.0.0.1";
  std::optional<std::uint16_t> port;
  std::optional<double> timeout;
  bool raw = false;
  bool json = false;
  bool help = false;
  std::optional<unsigned long> count;
  std::string bind = "0.0.0.0";
  std::uint16_t receivePort = 0;
  std::vector<std::string> files;
  std::optional<std::uint16_t> type;  // write, awrite: the items' requested VARTYPE
  std::vector<std::string> given;     // the option names used, to check they fit the command
};

class CUsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

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

std::uint16_t PortValue(const std::string& option, const std::string& text) {
  const auto value = WholeNumber(text, 0, 65535);
  if (!value) throw CUsageError(option + " wants a port number 0 to 65535, not \"" + text + "\"");
  return static_cast<std::uint16_t>(*value);
}

double SecondsValue(const std::string& option, const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end == nullptr || *end != '\0' || !std::isfinite(value) || value <= 0 ||
      value > 86400 * 7) {
    throw CUsageError(option + " wants a positive number of seconds, not \"" + text + "\"");
  }
  return value;
}

Options ParseOptions(const std::vector<std::string>& args) {
  Options options;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool isOption =
        !optionsEnded && (arg == "-h" || (arg.size() > 2 && arg.compare(0, 2, "--") == 0));
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (!isOption) {
      if (options.command.empty()) {
        options.command = arg;
      } else {
        options.positional.push_back(arg);
      }
      continue;
    }
    std::string name = arg;
    std::optional<std::string> value;
    const std::size_t equals = arg.find('=');
    if (equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    }
    if (name == "--help" || name == "-h") {
      options.help = true;
      continue;
    }
    options.given.push_back(name);
    if (name == "--raw" || name == "--json") {
      if (value) throw CUsageError(name + " takes no value");
      (name == "--raw" ? options.raw : options.json) = true;
      continue;
    }
    static const char* const kWithValue[] = {"--host", "--port", "--timeout",      "--count",
                                             "--bind", "--file", "--receive-port", "--type"};
    bool known = false;
    for (const char* candidate : kWithValue) known = known || name == candidate;
    if (!known) throw CUsageError("unknown option " + name);
    if (!value) {
      if (i + 1 >= args.size()) throw CUsageError(name + " wants a value");
      value = args[++i];
    }
    if (name == "--host") {
      if (value->empty()) throw CUsageError("--host wants a host name or address");
      options.host = *value;
    } else if (name == "--port") {
      options.port = PortValue(name, *value);
    } else if (name == "--timeout") {
      options.timeout = SecondsValue(name, *value);
    } else if (name == "--count") {
      const auto count = WholeNumber(*value, 1, std::numeric_limits<long long>::max() / 10);
      if (!count) throw CUsageError("--count wants a positive number, not \"" + *value + "\"");
      options.count = static_cast<unsigned long>(*count);
    } else if (name == "--bind") {
      options.bind = *value;
    } else if (name == "--file") {
      options.files.push_back(*value);
    } else if (name == "--type") {
      options.type = ParseDataType(*value);
      if (!options.type) {
        throw CUsageError("--type wants a VARTYPE number or a name like VT_I4, not \"" + *value +
                          "\"");
      }
    } else {
      options.receivePort = PortValue(name, *value);
    }
  }
  return options;
}

int GroupIndexArgument(const std::string& text) {
  const auto value = WholeNumber(text, INT32_MIN, INT32_MAX);
  if (!value) throw CUsageError("group index \"" + text + "\" is not a whole number");
  return static_cast<int>(*value);
}

std::vector<int> GroupIndexArguments(const std::vector<std::string>& texts, std::size_t from) {
  std::vector<int> groups;
  for (std::size_t i = from; i < texts.size(); ++i) groups.push_back(GroupIndexArgument(texts[i]));
  return groups;
}

std::uint16_t ItemIndexArgument(const std::string& text) {
  const auto value = WholeNumber(text, 0, 65535);
  if (!value) throw CUsageError("item index \"" + text + "\" is not a number 0 to 65535");
  return static_cast<std::uint16_t>(*value);
}

// Transaction ids are 32 bits; both the unsigned and the signed form are taken.
std::uint32_t TransactionArgument(const std::string& text) {
  const auto value = WholeNumber(text, INT32_MIN, UINT32_MAX);
  if (!value) throw CUsageError("transaction id \"" + text + "\" is not a 32-bit number");
  return static_cast<std::uint32_t>(*value);
}

void NeedArguments(const Options& options, std::size_t least, const char* what) {
  if (options.positional.size() < least) {
    throw CUsageError(options.command + " wants " + what + " (see " + kProgram + " " +
                      options.command + " --help)");
  }
}

void NoArguments(const Options& options) {
  if (!options.positional.empty()) {
    throw CUsageError(options.command + " takes no arguments, found \"" +
                      options.positional.front() + "\"");
  }
}

// The range of the integer types a write value is checked against; others take any integer
// (the server converts the decimal text itself).
struct IntegerRange {
  std::uint16_t type;
  const char* name;
  long double low;
  long double high;
};

constexpr IntegerRange kIntegerRanges[] = {
    {16, "VT_I1", -128, 127},
    {17, "VT_UI1", 0, 255},
    {2, "VT_I2", -32768, 32767},
    {18, "VT_UI2", 0, 65535},
    {3, "VT_I4", -2147483648.0L, 2147483647},
    {19, "VT_UI4", 0, 4294967295.0L},
    {20, "VT_I8", -9223372036854775808.0L, 9223372036854775807.0L},
    {21, "VT_UI8", 0, 18446744073709551615.0L},
    {11, "VT_BOOL", -1, 1},
};

// Refuses a value the gateway would not write as typed: it reads integers from the leading
// digits, so "12abc" would silently write 12 and "abc" 0.
void CheckWriteValue(const Options& options, std::uint16_t item, const std::string& value) {
  std::size_t at = value.size() > 1 && (value[0] == '-' || value[0] == '+') ? 1 : 0;
  bool decimal = at < value.size();
  long double number = 0;
  for (; decimal && at < value.size(); ++at) {
    decimal = value[at] >= '0' && value[at] <= '9';
    number = number * 10 + (value[at] - '0');
  }
  const std::string what = "value \"" + value + "\" for item " + std::to_string(item);
  if (!decimal) {
    throw CUsageError(what + " is not a decimal integer (--raw sends it as it is)");
  }
  if (value[0] == '-') number = -number;
  if (!options.type) return;
  for (const IntegerRange& range : kIntegerRanges) {
    if (range.type != *options.type || (number >= range.low && number <= range.high)) continue;
    std::ostringstream limits;
    limits << std::fixed << std::setprecision(0) << range.low << " to " << range.high;
    throw CUsageError(what + " does not fit " + range.name + " (" + limits.str() + ")");
  }
}

std::vector<ItemWrite> WriteArguments(const Options& options, std::size_t from) {
  if ((options.positional.size() - from) % 2 != 0 || options.positional.size() <= from) {
    throw CUsageError(options.command + " wants pairs of ITEM VALUE");
  }
  std::vector<ItemWrite> writes;
  for (std::size_t i = from; i + 1 < options.positional.size(); i += 2) {
    const std::uint16_t item = ItemIndexArgument(options.positional[i]);
    const std::string& value = options.positional[i + 1];
    if (!options.raw) CheckWriteValue(options, item, value);
    writes.push_back({item, value});
  }
  return writes;
}

std::vector<GroupDefinition> DefinitionArguments(const Options& options) {
  std::vector<std::string> words;
  std::string reason;
  for (const std::string& path : options.files) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw CUsageError("cannot read definition file \"" + path + "\"");
    std::ostringstream text;
    text << file.rdbuf();
    const auto fileWords = SplitDefinitionWords(text.str(), &reason);
    if (!fileWords) throw CUsageError(path + ": " + reason);
    words.insert(words.end(), fileWords->begin(), fileWords->end());
  }
  words.insert(words.end(), options.positional.begin(), options.positional.end());
  const auto groups = ParseGroupDefinitions(words, &reason);
  if (!groups) throw CUsageError("define: " + reason);
  return *groups;
}

// Refuses options that the command would ignore, so that a mistyped command line never passes
// silently.
void CheckOptionsFit(const Options& options) {
  const bool listen = options.command == "listen";
  const bool define = options.command == "define";
  for (const std::string& name : options.given) {
    const bool listenOnly = name == "--json" || name == "--count" || name == "--bind";
    const bool requestOnly = name == "--raw" || name == "--host";
    const bool defineOnly = name == "--receive-port" || name == "--file";
    const bool writeOnly = name == "--type";
    const bool write = options.command == "write" || options.command == "awrite";
    if ((listenOnly && !listen) || (requestOnly && listen) || (defineOnly && !define) ||
        (writeOnly && !write)) {
      throw CUsageError(name + " does not apply to " + options.command);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Reply output

// Failure HRESULTs also in hexadecimal, as OPC documents them; -1 and -2 are the gateway's own.
std::string CodeText(std::int32_t code) {
  char text[48];
  if (code < -2) {
    std::snprintf(text, sizeof text, "code %d (0x%08X)", code, static_cast<unsigned>(code));
  } else {
    std::snprintf(text, sizeof text, "code %d", code);
  }
  return text;
}

// Code and text as they came: the first text line beside the code, the others indented.
void PrintGenericReply(std::ostream& out, const GatewayReply& reply) {
  const std::vector<std::string> lines = ReplyLines(reply.text);
  out << CodeText(reply.code);
  if (!lines.front().empty()) out << ": " << lines.front();
  out << "\n";
  for (std::size_t i = 1; i < lines.size(); ++i) out << "  " << lines[i] << "\n";
}

struct RequestContext {
  std::vector<std::string> groupNames;  // define
  std::vector<std::string> queryNames;  // query
  std::vector<std::uint16_t> items;     // read
};

void PrintReply(std::ostream& out, const std::string& command, const GatewayReply& reply,
                const RequestContext& context) {
  if (command == "define" && reply.code == 0) {
    const auto indices = ReplyIndices(reply.text);
    if (indices && indices->size() == context.groupNames.size()) {
      out << CodeText(reply.code) << "\n";
      for (std::size_t i = 0; i < indices->size(); ++i) {
        out << "  group " << context.groupNames[i] << ": index " << (*indices)[i] << "\n";
      }
      return;
    }
  }
  if (command == "query" && (reply.code == 0 || reply.code == -1)) {
    const auto indices = ReplyIndices(reply.text);
    if (indices && indices->size() == context.queryNames.size()) {
      out << CodeText(reply.code) << "\n";
      for (std::size_t i = 0; i < indices->size(); ++i) {
        out << "  " << context.queryNames[i] << ": ";
        if ((*indices)[i] < 0) {
          out << "not found\n";
        } else {
          out << "index " << (*indices)[i] << "\n";
        }
      }
      return;
    }
  }
  if (command == "read" && reply.code == 0) {
    const auto values = ReplySyncReadValues(reply.text);
    if (values && values->size() == context.items.size()) {
      out << CodeText(reply.code) << "\n";
      for (std::size_t i = 0; i < values->size(); ++i) {
        const SyncReadValue& value = (*values)[i];
        out << "  item " << context.items[i] << ": " << value.value << " quality " << value.quality
            << " (" << QualityName(value.quality) << ")\n";
      }
      return;
    }
  }
  if ((command == "aread" || command == "awrite" || command == "refresh") && reply.code == 0) {
    if (const auto id = ReplyCancelId(reply.text)) {
      out << CodeText(reply.code) << ": cancel id " << *id << "\n";
      return;
    }
  }
  PrintGenericReply(out, reply);
}

// ---------------------------------------------------------------------------------------------
// Datagram output

std::string Hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string Hex8(std::uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

// The bytes of a text with line ends and other control bytes made visible.
std::string Visible(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n";
    } else if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
      shown += escaped;
    } else {
      shown += c;
    }
  }
  return shown;
}

std::string JsonString(const std::string& text) {
  std::string json = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (c == '\r') {
      json += "\\r";
    } else if (c == '\n') {
      json += "\\n";
    } else if (c == '\t') {
      json += "\\t";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
      json += escaped;
    } else {
      json += c;
    }
  }
  return json + "\"";
}

std::string ValueText(const ItemEntry& entry) {
  if (entry.length == 0) return "-";
  std::string text = std::to_string(entry.value);
  if (entry.SignedValue() < 0) text += "(" + std::to_string(entry.SignedValue()) + ")";
  return text;
}

std::string DatagramLine(const Datagram& datagram) {
  std::string line = DatagramKindName(datagram.kind);
  switch (datagram.kind) {
    case DatagramKind::kValueChange:
    case DatagramKind::kReadComplete:
      line += " trans=" + std::to_string(datagram.transactionId) +
              " group=" + std::to_string(datagram.group) +
              " entries=" + std::to_string(datagram.count) +
              " master-error=" + Hex32(datagram.masterError) +
              " master-quality=" + Hex8(datagram.masterQuality);
      for (const ItemEntry& entry : datagram.items) {
        line += " | " + std::to_string(entry.handle) + ":" + ValueText(entry);
        if (entry.quality) line += " q=" + std::to_string(*entry.quality);
        if (entry.error) line += " err=" + Hex32(*entry.error);
      }
      break;
    case DatagramKind::kWriteComplete:
      line += " trans=" + std::to_string(datagram.transactionId) +
              " group=" + std::to_string(datagram.group) +
              " items=" + std::to_string(datagram.count) +
              " master-error=" + Hex32(datagram.masterError);
      break;
    case DatagramKind::kCancelComplete:
      line += " trans=" + std::to_string(datagram.transactionId) +
              " group=" + std::to_string(datagram.group);
      break;
    case DatagramKind::kStartup:
    case DatagramKind::kExit:
      line += " \"" + Visible(datagram.text) + "\"";
      break;
  }
  return line;
}

std::string DatagramJson(const Datagram& datagram, const std::string& from) {
  std::string json =
      "{\"kind\":" + JsonString(DatagramKindName(datagram.kind)) + ",\"from\":" + JsonString(from);
  switch (datagram.kind) {
    case DatagramKind::kValueChange:
    case DatagramKind::kReadComplete:
      json += ",\"trans\":" + std::to_string(datagram.transactionId) +
              ",\"group\":" + std::to_string(datagram.group) +
              ",\"masterError\":" + std::to_string(datagram.masterError) +
              ",\"masterQuality\":" + std::to_string(datagram.masterQuality) + ",\"items\":[";
      for (std::size_t i = 0; i < datagram.items.size(); ++i) {
        const ItemEntry& entry = datagram.items[i];
        if (i > 0) json += ",";
        json += "{\"handle\":" + std::to_string(entry.handle) +
                ",\"length\":" + std::to_string(entry.length);
        if (entry.length > 0) {
          json += ",\"value\":" + std::to_string(entry.value) +
                  ",\"signed\":" + std::to_string(entry.SignedValue());
        }
        if (entry.quality) json += ",\"quality\":" + std::to_string(*entry.quality);
        if (entry.error) json += ",\"error\":" + std::to_string(*entry.error);
        json += "}";
      }
      json += "]";
      break;
    case DatagramKind::kWriteComplete:
      json += ",\"trans\":" + std::to_string(datagram.transactionId) +
              ",\"group\":" + std::to_string(datagram.group) +
              ",\"count\":" + std::to_string(datagram.count) +
              ",\"masterError\":" + std::to_string(datagram.masterError);
      break;
    case DatagramKind::kCancelComplete:
      json += ",\"trans\":" + std::to_string(datagram.transactionId) +
              ",\"group\":" + std::to_string(datagram.group);
      break;
    case DatagramKind::kStartup:
    case DatagramKind::kExit:
      json += ",\"text\":" + JsonString(datagram.text);
      break;
  }
  return json + "}";
}

int RunListen(const Options& options, std::ostream& out, std::ostream& err,
              const ClientToolHooks& hooks) {
  if (!options.positional.empty()) {
    throw CUsageError("listen takes no arguments, found \"" + options.positional.front() + "\"");
  }
  CUdpReceiver receiver;
  std::string reason;
  if (!receiver.Open(options.bind, options.port.value_or(kDefaultListenPort), &reason)) {
    err << kProgram << ": " << reason << "\n";
    return kExitNoReply;
  }
  err << "listening on " << options.bind << ":" << receiver.Port() << "\n" << std::flush;
  if (hooks.onListening) hooks.onListening(receiver.Port());

  using Clock = std::chrono::steady_clock;
  const std::optional<Clock::time_point> deadline =
      options.timeout
          ? std::optional(Clock::now() + std::chrono::milliseconds(
                                             static_cast<long long>(*options.timeout * 1000)))
          : std::nullopt;
  unsigned long received = 0;
  unsigned long malformed = 0;
  while (!options.count || received < *options.count) {
    auto wait = std::chrono::milliseconds(1000);
    if (deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
      if (left.count() <= 0) break;
      wait = std::min(wait, left);
    }
    const auto datagram = receiver.Receive(wait);
    if (!datagram) {
      if (receiver.Failed()) {
        err << kProgram << ": receiving datagrams failed\n";
        return kExitNoReply;
      }
      continue;
    }
    ++received;
    const DecodeResult decoded = DecodeDatagram(datagram->bytes);
    if (!decoded.ok) {
      ++malformed;
      if (options.json) {
        out << "{\"kind\":\"malformed\",\"from\":" << JsonString(datagram->from)
            << ",\"size\":" << datagram->bytes.size()
            << ",\"reason\":" << JsonString(decoded.reason) << "}\n";
      } else {
        out << "malformed from " << datagram->from << ": " << decoded.reason << "\n";
      }
    } else if (options.json) {
      out << DatagramJson(decoded.datagram, datagram->from) << "\n";
    } else {
      out << DatagramLine(decoded.datagram) << "\n";
    }
    out.flush();
  }
  if (options.count && received < *options.count) {
    err << kProgram << ": " << received << " of " << *options.count << " datagrams came within "
        << *options.timeout << " s\n";
    return kExitReplyNonZero;
  }
  if (malformed > 0) {
    err << kProgram << ": " << malformed << " malformed datagram" << (malformed == 1 ? "" : "s")
        << "\n";
    return kExitReplyNonZero;
  }
  return kExitReplyZero;
}

// ---------------------------------------------------------------------------------------------
// Requests

std::string BuildRequest(const Options& options, RequestContext& context) {
  const std::vector<std::string>& args = options.positional;
  const std::string& command = options.command;
  if (command == "hbt") {
    NoArguments(options);
    return HeartbeatRequest();
  }
  if (command == "exit") {
    NoArguments(options);
    return ExitRequest();
  }
  if (command == "define") {
    const std::vector<GroupDefinition> groups = DefinitionArguments(options);
    for (const GroupDefinition& group : groups) context.groupNames.push_back(group.name);
    return DefineGroupsRequest(groups, options.receivePort);
  }
  if (command == "remove") {
    NeedArguments(options, 1, "at least one group index");
    return RemoveGroupsRequest(GroupIndexArguments(args, 0));
  }
  if (command == "activate") {
    NeedArguments(options, 2, "a state (A or N) and at least one group index");
    return SetGroupsStateRequest(args[0], GroupIndexArguments(args, 1));
  }
  if (command == "refresh") {
    NeedArguments(options, 2, "a transaction number and at least one group index");
    return RefreshGroupsRequest(TransactionArgument(args[0]), GroupIndexArguments(args, 1));
  }
  if (command == "query") {
    NeedArguments(options, 1, "at least one group name");
    context.queryNames = args;
    return QueryGroupIndexesRequest(args);
  }
  if (command == "read" || command == "aread") {
    const bool async = command == "aread";
    NeedArguments(options, async ? 3 : 2,
                  async ? "a group index, a transaction id and at least one item index"
                        : "a group index and at least one item index");
    const int group = GroupIndexArgument(args[0]);
    const std::uint32_t transaction = async ? TransactionArgument(args[1]) : 0;
    for (std::size_t i = async ? 2 : 1; i < args.size(); ++i) {
      context.items.push_back(ItemIndexArgument(args[i]));
    }
    return async ? ReadAsyncRequest(group, context.items, transaction)
                 : ReadSyncRequest(group, context.items);
  }
  if (command == "write") {
    NeedArguments(options, 3, "a group index and pairs of ITEM VALUE");
    return WriteSyncRequest(GroupIndexArgument(args[0]), WriteArguments(options, 1));
  }
  // awrite
  NeedArguments(options, 4, "a group index, a transaction id and pairs of ITEM VALUE");
  return WriteAsyncRequest(GroupIndexArgument(args[0]), WriteArguments(options, 2),
                           TransactionArgument(args[1]));
}

int RunRequest(const Options& options, std::ostream& out, std::ostream& err) {
  RequestContext context;
  std::string request;
  try {
    request = BuildRequest(options, context);
  } catch (const std::invalid_argument& refused) {
    throw CUsageError(options.command + ": " + refused.what());
  }
  const double seconds = options.timeout.value_or(kDefaultTimeoutSeconds);
  const CGatewayClient client(options.host, options.port.value_or(kDefaultRequestPort),
                              std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
  const ExchangeResult result = client.Exchange(request);
  if (options.raw) out << result.raw << std::flush;
  if (!result.Ok()) {
    err << kProgram << ": " << result.message << "\n";
    return kExitNoReply;
  }
  if (!options.raw) PrintReply(out, options.command, result.reply, context);
  return result.reply.code == 0 ? kExitReplyZero : kExitReplyNonZero;
}

}  // namespace

int RunClientTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                  const ClientToolHooks& hooks) {
  try {
    const Options options = ParseOptions(args);
    if (options.command.empty()) {
      if (options.help) {
        PrintOverview(out);
        return kExitReplyZero;
      }
      throw CUsageError("no command given");
    }
    const CommandInfo* command = FindCommand(options.command);
    if (command == nullptr) throw CUsageError("unknown command \"" + options.command + "\"");
    if (options.help) {
      PrintCommandHelp(out, *command);
      return kExitReplyZero;
    }
    CheckOptionsFit(options);
    if (options.command == "listen") return RunListen(options, out, err, hooks);
    return RunRequest(options, out, err);
  } catch (const CUsageError& usage) {
    err << kProgram << ": " << usage.what() << " (" << kProgram << " --help lists the commands)\n";
    return kExitUsage;
  }
}
