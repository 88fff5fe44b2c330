// The commands of the client tool, in one table: each entry names its command, says what it
// does, declares its arguments and options, builds its request and prints its reply; the few
// that are not one request and its reply (browse's pages, properties, listen) run themselves.
//
// Error rule: a builder throws CUsageError for arguments it cannot send as meant, and
// std::invalid_argument where the request builders refuse a text; printers do not throw.
// Thread rule: any thread. Ownership: the table is static; builders and printers work on the
// values given.
#pragma once

#include <iosfwd>
#include <span>
#include <string>
#include <vector>

#include "client/client_tool.h"
#include "client/command_line.h"
#include "client/gateway_reply.h"
#include "client/reply_printer.h"

struct RequestCommand {
  const char* name;
  const char* summary;  // in the command list and atop the command's help
  const char* details;  // after the command's options in its help; may be null
  void (*declare)(CLI::App& app, CommandLine& line);
  std::string (*build)(const CommandLine& line, RequestContext& context);
  void (*print)(std::ostream& out, const GatewayReply& reply, const RequestContext& context);
  // The exit status for a well-formed reply; null: 0 for reply code 0, else 1.
  int (*exitStatus)(const GatewayReply& reply, const RequestContext& context);
  // The help's footer when details is null (details are followed by the tool's exit status);
  // null: none.
  const char* exitStatusHelp = nullptr;
  // listen: the request options (--host, --port, --timeout, --raw) are not declared, and those
  // given before the command are refused.
  bool withoutRequestOptions = false;
  // Runs a command that is not one request and its reply, in place of build and print: the
  // exit status. Null for the others.
  int (*run)(const CommandLine& line, std::ostream& out, std::ostream& err,
             const ClientToolHooks& hooks) = nullptr;
};

// The tool's exit status, in the help of the tool and of its request commands.
extern const char kToolExitStatus[];

// hbt, define, remove, activate, refresh, query, read, aread, write, awrite, exit, status,
// browse, properties, listen.
std::span<const RequestCommand> RequestCommands();
