// The service manager's readiness and watchdog protocol: on Linux, the datagrams that systemd
// reads from the socket named in NOTIFY_SOCKET ("READY=1", "STOPPING=1", "WATCHDOG=1",
// "STATUS=..."); on Windows nothing (the service control manager has its own protocol).
//
// Started without NOTIFY_SOCKET (by hand, by a unit of Type=simple) every call does nothing.
// The socket path may be a file path or an abstract name (a leading '@').
//
// Every send is non-blocking: a manager that stopped reading (its socket's queue full), a socket
// removed or never bound never holds the caller. A message that cannot be sent at once is dropped
// and counted (ServiceNotifyFailures), never tried again.
//
// Error rule: nothing throws; ServiceNotify returns false when no message was sent (no socket
// named, or the send failed). Thread rule: any thread; each call opens and closes its own
// socket, and the failure count is atomic. Ownership: none.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// Sends state (one or more "NAME=value" lines) to the service manager. False when none listens.
bool ServiceNotify(const std::string& state);

// Messages dropped since the start because a named socket could not take them at once.
std::uint64_t ServiceNotifyFailures();

// How often the service manager wants "WATCHDOG=1": half of WATCHDOG_USEC (a keep-alive every
// half period, as systemd advises). Zero when no watchdog is asked for, or it is meant for
// another process (WATCHDOG_PID names a different process id).
std::chrono::milliseconds ServiceWatchdogInterval();
