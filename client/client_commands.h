// The request commands of the client tool, in one table: each entry names its command, says
// what it does, declares its arguments and options, builds its request and prints its reply.
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
};

// hbt, define, remove, activate, refresh, query, read, aread, write, awrite, exit, status.
std::span<const RequestCommand> RequestCommands();
