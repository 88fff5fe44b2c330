// The gateway's OPC server, created so that every call on it and on the objects it hands out
// comes under the call deadline (opc/call_deadline.h).
//
// With the COM subset the deadline's watchdog covers the UI thread's calls on the server's objects
// by itself; the creation runs on a thread of its own. With the real COM (the Windows build) the
// server is created on a call thread (platform/com/call_thread_win.h) and handed out behind a
// decorator: each method of the server,
// of its groups, connection points, browse and property interfaces and string enumerators runs
// on a call thread while the UI thread waits at most deadline.Timeout(); past it the method
// returns RPC_E_CALL_CANCELED and the call is reported with CCallDeadline::NoteCancelled, while
// its call thread stays in it until the server answers. Out-values are held per call, so a late
// reply writes nowhere the caller can see; what it returns is not used. Objects the server hands
// out are decorated too; a decorator's last Release releases the server's object on a call
// thread without waiting. A sink passed to Advise still receives its callbacks on the thread
// that advised. On both, a creation that passed its deadline goes on on its thread: the next
// creation of the same class on this thread waits for that one (at most 1 s, or the deadline when
// shorter) and takes its result, so a hung server never gathers more than one creation and holds
// a request or a reconnect try for 1 s only once a creation is known to hang. A timeout of 0
// (benchmarks) creates the server plainly, without decorators.
//
// Error rule: COM's (HRESULTs); a creation that passed its deadline fails with
// RPC_E_CALL_CANCELED. Thread rule: the thread that owns deadline, in COM; the decorators are
// used on it only. Ownership: *server carries one reference; deadline must outlive the objects.
#pragma once

#include <chrono>
#include <optional>

#include "opc/call_deadline.h"
#include "opc/opcda.h"
#include "platform/wide_string.h"

// A creation started without waiting that is still under way, within its deadline (the value of
// E_PENDING).
inline constexpr HRESULT kCreationPending = static_cast<HRESULT>(0x8000000Au);

// waitLimit, when given, bounds the caller's wait below all of that (0: do not wait at all; a
// creation started so is never finished on return, even when it was quick): a
// creation not finished by then stays pending and the call returns kCreationPending while the
// creation is younger than its deadline, RPC_E_CALL_CANCELED (noted on deadline) once it is older.
// So a creation started by the recovery holds nobody, and the next call takes its result.
// host names another PC for the creation (DCOM, Windows only; empty: this PC).
HRESULT CreateServerUnderDeadline(const CLSID& clsid, CCallDeadline& deadline, IOPCServer** server,
                                  std::optional<std::chrono::milliseconds> waitLimit = {},
                                  const WideString& host = {});

// After the server and its objects were released: waits at most deadline.Timeout() until the
// releases handed to call threads have been made, so that a server taken down is told before the
// process ends (nothing to wait for with the COM subset).
void SettleServerReleases(CCallDeadline& deadline);

// Ends the calling thread's creation that passed its deadline, if any: with the COM subset it is
// cancelled and waited for (so that no creation outlives the connection that started it); with
// the real COM one still under way is left to its call thread. A server it created is released.
void EndPendingCreation();
