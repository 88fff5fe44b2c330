// The client tool's "listen": receives the gateway's datagrams and prints one line (or one JSON
// object) for each as it arrives, until --count datagrams came or --timeout passed.
//
// Error rule: nothing throws; the result is the tool's exit status: 0, 1 when a datagram was
// malformed or fewer than --count came in time, 2 when the port cannot be bound or receiving
// fails (with one line on the error stream).
// Thread rule: the calling thread; each call stands alone.
// Ownership: writes to the streams given; the hook is borrowed for the call.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>

#include "client/command_line.h"

// onListening, when set, is called once the socket is bound, with the bound port.
int RunListen(const CommandLine& line, std::ostream& out, std::ostream& err,
              const std::function<void(std::uint16_t port)>& onListening);
