#include "client/client_tool.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <ostream>

#include "client/client_commands.h"
#include "client/command_line.h"
#include "client/gateway_client.h"

namespace {

constexpr std::uint16_t kDefaultRequestPort = 8089;  // the gateway's /lp default
constexpr double kDefaultTimeoutSeconds = 10;

constexpr char kOverview[] =
    "Sends one request to a Quarnix gateway and prints its reply, or listens for its\n"
    "datagrams.";

CLI::App* AddCommand(CLI::App& tool, const char* name, const char* summary) {
  CLI::App* command = tool.add_subcommand(name, summary);
  command->group("Commands");
  command->set_help_flag("-h,--help", "this text");
  return command;
}

// The tool's commands, options and help on one CLI11 command.
void DeclareTool(CLI::App& tool, CommandLine& line) {
  UseToolHelpFormat(tool);
  tool.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  tool.set_help_flag("-h,--help", "this text; after a command, that command's help");
  tool.footer(kToolExitStatus);
  tool.require_subcommand(1);
  AddRequestOptions(tool, line);
  for (const RequestCommand& request : RequestCommands()) {
    CLI::App* command = AddCommand(tool, request.name, request.summary);
    if (!request.withoutRequestOptions) AddRequestOptions(*command, line);
    request.declare(*command, line);
    if (request.details != nullptr) {
      command->footer(std::string(request.details) + "\n\n" + kToolExitStatus);
    } else if (request.exitStatusHelp != nullptr) {
      command->footer(request.exitStatusHelp);
    }
  }
}

const RequestCommand* FindRequest(const std::string& name) {
  for (const RequestCommand& request : RequestCommands()) {
    if (name == request.name) return &request;
  }
  return nullptr;
}

// The one line for a command line CLI11 refused. Unexpected arguments are named here, in the
// order they were given (CLI11 lists them last first).
std::string ParseFailure(const CLI::App& tool, const CLI::ParseError& error) {
  const std::vector<std::string> rest = tool.remaining(true);
  if (tool.get_subcommands().empty()) {
    return rest.empty() ? "no command given" : "unknown command \"" + rest.front() + "\"";
  }
  if (dynamic_cast<const CLI::ExtrasError*>(&error) == nullptr || rest.empty()) {
    return error.what();
  }
  std::string text = rest.size() > 1 ? "The following arguments were not expected:"
                                     : "The following argument was not expected:";
  for (const std::string& arg : rest) text += " " + arg;
  return text;
}

int RunRequest(const RequestCommand& command, const CommandLine& line, std::ostream& out,
               std::ostream& err) {
  RequestContext context;
  std::string request;
  try {
    request = command.build(line, context);
  } catch (const std::invalid_argument& refused) {
    throw CUsageError(std::string(command.name) + ": " + refused.what());
  }
  const double seconds = line.timeout.value_or(kDefaultTimeoutSeconds);
  const CGatewayClient client(line.host, line.port.value_or(kDefaultRequestPort),
                              std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
  const ExchangeResult result = client.Exchange(request);
  if (line.raw) out << result.raw << std::flush;
  if (!result.Ok()) {
    err << kProgram << ": " << result.message << "\n";
    return kExitNoReply;
  }
  if (!line.raw) command.print(out, result.reply, context);
  if (command.exitStatus != nullptr) return command.exitStatus(result.reply, context);
  return result.reply.code == 0 ? kExitReplyZero : kExitReplyNonZero;
}

// Runs the chosen command; the request options before one without them ("listen") are refused,
// as after it.
int RunCommand(const CLI::App& tool, const CommandLine& line, std::ostream& out, std::ostream& err,
               const ClientToolHooks& hooks) {
  const RequestCommand& command = *FindRequest(tool.get_subcommands().front()->get_name());
  if (command.withoutRequestOptions) {
    for (const char* requestOnly : {"--host", "--raw"}) {
      if (tool.count(requestOnly) > 0) {
        throw CUsageError(std::string(requestOnly) + " does not apply to " + command.name);
      }
    }
  }
  if (command.run != nullptr) return command.run(line, out, err, hooks);
  return RunRequest(command, line, out, err);
}

}  // namespace

int RunClientTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                  const ClientToolHooks& hooks) {
  CLI::App tool(kOverview, kProgram);
  CommandLine line;
  std::string failure;
  try {
    DeclareTool(tool, line);
    std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them so
    tool.parse(reversed);
    return RunCommand(tool, line, out, err, hooks);
  } catch (const CLI::CallForHelp& help) {
    return tool.exit(help, out, err);
  } catch (const CLI::ParseError& refused) {
    failure = ParseFailure(tool, refused);
  } catch (const CUsageError& usage) {
    failure = usage.what();
  }
  err << kProgram << ": " << failure << " (" << kProgram << " --help lists the commands)\n";
  return kExitUsage;
}
