#include "client/client_commands.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <sstream>

#include "client/browse_command.h"
#include "client/group_definition_parser.h"
#include "client/listen_command.h"
#include "client/request_builder.h"
#include "client/status_report.h"
#include "client/typed_value.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Argument checks only a command can make

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
// digits, so "12abc" would silently write 12 and "abc" 0; and it reads a value for an item of
// 32 bits or less as a 32-bit number and keeps its low bits, so without --type a value beyond 32
// bits is refused too.
void CheckWriteValue(const CommandLine& line, std::uint16_t item, const std::string& value) {
  const std::string what = "value \"" + value + "\" for item " + std::to_string(item);
  if (line.type && *line.type == kVarTypeBstr) return;  // any text
  if (line.type &&
      (*line.type == kVarTypeR4 || *line.type == kVarTypeR8 || *line.type == kVarTypeCy)) {
    char* end = nullptr;
    const double real = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !std::isfinite(real) ||
        value.find_first_not_of("0123456789+-.eE") != std::string::npos) {
      throw CUsageError(what + " is not a finite decimal number (--raw sends it as it is)");
    }
    return;
  }
  std::size_t at = value.size() > 1 && (value[0] == '-' || value[0] == '+') ? 1 : 0;
  bool decimal = at < value.size();
  long double number = 0;
  for (; decimal && at < value.size(); ++at) {
    decimal = value[at] >= '0' && value[at] <= '9';
    number = number * 10 + (value[at] - '0');
  }
  if (!decimal) {
    throw CUsageError(what + " is not a decimal integer (--raw sends it as it is)");
  }
  if (value[0] == '-') number = -number;
  if (!line.type) {
    if (number >= -2147483648.0L && number <= 2147483647.0L) return;
    throw CUsageError(what +
                      " is outside -2147483648 to 2147483647, the range the tool sends without "
                      "--type; give --type for an item of type VT_UI4, VT_I8 or VT_UI8. For an "
                      "item of a smaller type (VT_I1, VT_UI1, VT_I2, VT_UI2, VT_BOOL) the gateway "
                      "writes only the low bits of a value (300 becomes 44 in VT_UI1)");
  }
  for (const IntegerRange& range : kIntegerRanges) {
    if (range.type != *line.type || (number >= range.low && number <= range.high)) continue;
    std::ostringstream limits;
    limits << std::fixed << std::setprecision(0) << range.low << " to " << range.high;
    throw CUsageError(what + " does not fit " + range.name + " (" + limits.str() + ")");
  }
}

std::vector<ItemWrite> WriteValues(const CommandLine& line, const char* command) {
  if (line.pairs.size() % 2 != 0) {
    throw CUsageError(std::string(command) + " wants pairs of ITEM VALUE");
  }
  std::vector<ItemWrite> writes;
  for (std::size_t i = 0; i + 1 < line.pairs.size(); i += 2) {
    const std::string& index = line.pairs[i];
    const auto item = WholeNumber(index, 0, 65535);
    if (!item) throw CUsageError("item index \"" + index + "\" is not a number 0 to 65535");
    const std::string& value = line.pairs[i + 1];
    if (!line.raw) CheckWriteValue(line, static_cast<std::uint16_t>(*item), value);
    writes.push_back({static_cast<std::uint16_t>(*item), value});
  }
  return writes;
}

std::vector<GroupDefinition> DefinitionArguments(const CommandLine& line) {
  std::vector<std::string> words;
  std::string reason;
  for (const std::string& path : line.files) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw CUsageError("cannot read definition file \"" + path + "\"");
    std::ostringstream text;
    text << file.rdbuf();
    const auto fileWords = SplitDefinitionWords(text.str(), &reason);
    if (!fileWords) throw CUsageError(path + ": " + reason);
    words.insert(words.end(), fileWords->begin(), fileWords->end());
  }
  words.insert(words.end(), line.words.begin(), line.words.end());
  const auto groups = ParseGroupDefinitions(words, &reason);
  if (!groups) throw CUsageError("define: " + reason);
  return *groups;
}

// ---------------------------------------------------------------------------------------------
// Declarations and requests

void DeclareNothing(CLI::App&, CommandLine&) {}

void DeclareDefine(CLI::App& app, CommandLine& line) {
  AddTypedDefineOption(app, line);
  AddDefineArguments(app, line);
}

void DeclareGroups(CLI::App& app, CommandLine& line) {
  AddGroupsArgument(app, line);
}

void DeclareQuery(CLI::App& app, CommandLine& line) {
  AddNamesArgument(app, line);
}

void DeclareActivate(CLI::App& app, CommandLine& line) {
  AddStateArgument(app, line);
  AddGroupsArgument(app, line);
}

void DeclareRefresh(CLI::App& app, CommandLine& line) {
  AddTransactionArgument(app, line);
  AddGroupsArgument(app, line);
}

void DeclareRead(CLI::App& app, CommandLine& line) {
  AddTypedReadOptions(app, line);
  AddGroupArgument(app, line);
  AddItemsArgument(app, line);
}

void DeclareAsyncRead(CLI::App& app, CommandLine& line) {
  AddGroupArgument(app, line);
  AddTransactionArgument(app, line);
  AddItemsArgument(app, line);
}

void DeclareWrite(CLI::App& app, CommandLine& line) {
  AddTypeOption(app, line);
  AddGroupArgument(app, line);
  AddPairsArgument(app, line);
}

void DeclareAsyncWrite(CLI::App& app, CommandLine& line) {
  AddTypeOption(app, line);
  AddGroupArgument(app, line);
  AddTransactionArgument(app, line);
  AddPairsArgument(app, line);
}

std::string BuildHeartbeat(const CommandLine&, RequestContext&) {
  return HeartbeatRequest();
}

std::string BuildExit(const CommandLine&, RequestContext&) {
  return ExitRequest();
}

void DeclareStatus(CLI::App& app, CommandLine& line) {
  AddStatusOptions(app, line);
}

std::string BuildStatus(const CommandLine& line, RequestContext& context) {
  context.json = line.json;
  context.staleAfter = line.staleAfter;
  return StatusRequest();
}

void PrintStatus(std::ostream& out, const GatewayReply& reply, const RequestContext& context) {
  const auto report = reply.code == 0 ? ReadStatusReport(reply.text) : std::nullopt;
  if (!report) {
    PrintGenericReply(out, reply, context);
  } else if (context.json) {
    PrintStatusJson(out, *report, context.staleAfter);
  } else {
    out << "code 0\n";
    PrintStatusReport(out, *report, context.staleAfter);
  }
}

int StatusExit(const GatewayReply& reply, const RequestContext& context) {
  const auto report = reply.code == 0 ? ReadStatusReport(reply.text) : std::nullopt;
  return report && report->Healthy(context.staleAfter) ? 0 : 1;
}

std::string BuildDefine(const CommandLine& line, RequestContext& context) {
  const std::vector<GroupDefinition> groups = DefinitionArguments(line);
  for (const GroupDefinition& group : groups) context.names.push_back(group.name);
  return line.typed ? DefineTypedGroupsRequest(groups, line.receivePort)
                    : DefineGroupsRequest(groups, line.receivePort);
}

std::string BuildRemove(const CommandLine& line, RequestContext&) {
  return RemoveGroupsRequest(line.groups);
}

std::string BuildActivate(const CommandLine& line, RequestContext&) {
  return SetGroupsStateRequest(line.state, line.groups);
}

std::string BuildRefresh(const CommandLine& line, RequestContext&) {
  return RefreshGroupsRequest(line.transaction, line.groups);
}

std::string BuildQuery(const CommandLine& line, RequestContext& context) {
  context.names = line.names;
  return QueryGroupIndexesRequest(line.names);
}

std::string BuildRead(const CommandLine& line, RequestContext& context) {
  context.items = line.items;
  context.typed = line.typed;
  if (line.cache && !line.typed) {
    throw CUsageError("read: --cache needs --typed (only TR reads from the server's cache)");
  }
  return line.typed ? ReadTypedRequest(line.group, line.items, line.cache)
                    : ReadSyncRequest(line.group, line.items);
}

std::string BuildAsyncRead(const CommandLine& line, RequestContext&) {
  return ReadAsyncRequest(line.group, line.items, line.transaction);
}

std::string BuildWrite(const CommandLine& line, RequestContext&) {
  return WriteSyncRequest(line.group, WriteValues(line, "write"));
}

std::string BuildAsyncWrite(const CommandLine& line, RequestContext&) {
  return WriteAsyncRequest(line.group, WriteValues(line, "awrite"), line.transaction);
}

constexpr char kDefineWords[] =
    "WORDS:\n"
    "  NAME, ID   group name and item ID (quote them in the shell when they hold blanks)\n"
    "  A|N        active or inactive (also active/inactive); default A\n"
    "  RATE       requested update rate in ms; default the gateway's (500)\n"
    "  TYPE       requested data type: a VARTYPE number or a name (VT_I2, I4, BOOL, UI4, ...);\n"
    "             default 0, the server's own type";

const RequestCommand kRequestCommands[] = {
    {"hbt", "Heartbeat (HBT): a working gateway answers code 0\n\"HBT OK!\".", nullptr,
     DeclareNothing, BuildHeartbeat, PrintGenericReply, nullptr},
    {"define",
     "Defines groups with their items (AD, or TD with --typed)\n"
     "and prints the index the gateway gave each group.",
     kDefineWords, DeclareDefine, BuildDefine, PrintDefineReply, nullptr},
    {"remove", "Removes groups by index (RM).", nullptr, DeclareGroups, BuildRemove,
     PrintGenericReply, nullptr},
    {"activate",
     "Activates (STATE A) or deactivates (N) groups (AC). The\n"
     "gateway activates when STATE begins with A.",
     nullptr, DeclareActivate, BuildActivate, PrintGenericReply, nullptr},
    {"refresh",
     "Asks for the current values of active groups (RF); they\n"
     "arrive as value-change datagrams (see listen) with the\n"
     "transaction number. Prints the cancel id.",
     nullptr, DeclareRefresh, BuildRefresh, PrintCancelIdReply, nullptr},
    {"query", "Looks groups up by name (Q?) and prints their indices.", nullptr, DeclareQuery,
     BuildQuery, PrintQueryReply, nullptr},
    {"read",
     "Reads items of a group synchronously (SR) and prints value\n"
     "and quality of each; --typed (TR) adds type, timestamp and\n"
     "error, and reads reals and strings.",
     nullptr, DeclareRead, BuildRead, PrintReadReply, nullptr},
    {"aread",
     "Starts an asynchronous read (AR); prints the cancel id. The\n"
     "values arrive as read datagrams with the transaction id.",
     nullptr, DeclareAsyncRead, BuildAsyncRead, PrintCancelIdReply, nullptr},
    {"write", "Writes item values synchronously (SW).", nullptr, DeclareWrite, BuildWrite,
     PrintGenericReply, nullptr},
    {"awrite",
     "Starts an asynchronous write (AW); prints the cancel id. A\n"
     "write datagram with the transaction id reports the\n"
     "completion.",
     nullptr, DeclareAsyncWrite, BuildAsyncWrite, PrintAsyncWriteReply, nullptr},
    {"exit", "Asks the gateway to close (Exit); its operator still\nconfirms.", nullptr,
     DeclareNothing, BuildExit, PrintGenericReply, nullptr},
    {"status",
     "Asks for the gateway's health (ST): server connection,\n"
     "groups, traffic and how long ago each active group's\n"
     "values last changed. Exits 0 when the server is connected\n"
     "and no active group's values are older than --stale-after,\n"
     "else 1.",
     nullptr, DeclareStatus, BuildStatus, PrintStatus, StatusExit},
    {"browse",
     "Lists a branch of the OPC server's address space (BR), a\n"
     "page at a time: its branches and its items with their IDs.",
     nullptr, AddBrowseArguments, nullptr, nullptr, nullptr, kToolExitStatus, false,
     [](const CommandLine& line, std::ostream& out, std::ostream& err, const ClientToolHooks&) {
       return RunBrowse(line, out, err);
     }},
    {"properties",
     "Reads the properties of an item (IP): id, description, type\nand value of each.", nullptr,
     AddPropertiesArguments, nullptr, nullptr, nullptr, kToolExitStatus, false,
     [](const CommandLine& line, std::ostream& out, std::ostream& err, const ClientToolHooks&) {
       return RunProperties(line, out, err);
     }},
    {"listen",
     "Receives the gateway's datagrams and prints one line for\n"
     "each as it arrives; typed ones (groups of define --typed)\n"
     "with each value's type, quality and server timestamp.",
     nullptr, AddListenOptions, nullptr, nullptr, nullptr,
     "Exit status: 0; 1 when a datagram was malformed or fewer than N came in time;\n"
     "2 when the port cannot be bound.",
     true,
     [](const CommandLine& line, std::ostream& out, std::ostream& err,
        const ClientToolHooks& hooks) { return RunListen(line, out, err, hooks.onListening); }},
};

}  // namespace

const char kToolExitStatus[] =
    "Exit status: 0 reply code 0; 1 another reply code; 2 no well-formed reply\n"
    "(unknown host, refused, unreachable, timeout, malformed); 64 bad command line.";

std::span<const RequestCommand> RequestCommands() {
  return kRequestCommands;
}
