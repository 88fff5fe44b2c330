// The command-line client: one subcommand per request, and "listen" for the datagrams.
//
//   quarnix-client [--host H] [--port P] [--timeout S] [--raw] COMMAND ARGUMENTS...
//   quarnix-client listen [--bind A] [--port P] [--count N] [--timeout S] [--json]
//
// Request commands print the reply code and text readably (or, with --raw, the reply's exact
// bytes) and exit 0 for reply code 0, 1 for any other code, 2 when no well-formed reply came
// (unknown host, refused, unreachable, timeout, closed, malformed). "listen" prints one line
// (or one JSON object) per datagram and exits 0, or 1 when a datagram was malformed or fewer
// than --count came before --timeout, or 2 when its port cannot be bound. A bad command line
// exits 64. "--help" after a command describes it.
//
// The commands, their options and checks come from one table (client_commands.h) and are read
// with CLI11; --host, --port, --timeout and --raw may also stand before the command.
//
// Error rule: nothing throws; every failure is a one-line message on the error stream and an
// exit status. Thread rule: any thread; each call stands alone.
// Ownership: writes to the streams given; the hooks are borrowed for the call.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

constexpr int kExitReplyZero = 0;
constexpr int kExitReplyNonZero = 1;
constexpr int kExitNoReply = 2;
constexpr int kExitUsage = 64;

struct ClientToolHooks {
  // Called by "listen" once its socket is bound, with the bound port (useful with --port 0).
  std::function<void(std::uint16_t port)> onListening;
};

// Runs one command line (without the program name). Returns the exit status.
int RunClientTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                  const ClientToolHooks& hooks = {});
