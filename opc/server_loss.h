// What tells the gateway that its OPC server is gone, and how often it tries to get it back.
//
// A server is lost when a call on it, or on one of its objects, returns one of the codes that
// mean the server process or the connection to it has gone. Such a server is given up without
// further calls to it, and a new one is created with the back-off below.
//
// Error rule: pure functions, nothing fails. Thread rule: any thread.
#pragma once

#include <chrono>

#include "opc/opcda.h"

// The codes of a server process that died or a connection to it that broke.
inline constexpr HRESULT kRpcDisconnected = static_cast<HRESULT>(0x80010108u);
inline constexpr HRESULT kRpcServerDied = static_cast<HRESULT>(0x80010007u);
inline constexpr HRESULT kRpcServerDiedDne = static_cast<HRESULT>(0x80010012u);
inline constexpr HRESULT kRpcServerUnavailable = static_cast<HRESULT>(0x800706BAu);
inline constexpr HRESULT kRpcCallFailed = static_cast<HRESULT>(0x800706BEu);
inline constexpr HRESULT kRpcCallFailedDne = static_cast<HRESULT>(0x800706BFu);
inline constexpr HRESULT kObjectNotConnected = static_cast<HRESULT>(0x800401FDu);

// Whether code says that the server process or the connection to it is gone.
bool IsServerLostCode(HRESULT code);

// The wait before reconnect try number attempt (0 = the first after the loss): 1, 2, 4, 8 and
// 16 seconds, then every 30 seconds.
std::chrono::milliseconds ReconnectDelay(unsigned attempt);

// How often the UI thread asks a connected server for its status: /statuscheck seconds, 1 to
// 600, 10 by default, given to the server connection when it is made (ConnectionTimes).
inline constexpr int kDefaultStatusCheckSeconds = 10;
inline constexpr int kMaxStatusCheckSeconds = 600;

// A creation that failed with a lost-server code is tried once more after this pause: the
// previous server process may still have been ending and have taken the activation.
inline constexpr std::chrono::milliseconds kCreateRetryPause{500};

// After a call was cancelled at its deadline, GetStatus gets this long to show that the server
// is slow but alive (never more than the call deadline itself). Short, so that a request that
// met a hang is answered within about the deadline.
inline constexpr std::chrono::milliseconds kStatusCheckTimeout{500};

// Keeps a reference given up on a hung server for the rest of the process, never released (a
// release could block on the hung process): the objects stay reachable, not leaked unseen.
void AbandonServerObject(IUnknown* object);

// After a creation was cancelled at its deadline, requests do not try one again for this long:
// they are answered with that failure at once instead of each holding the UI thread for another
// deadline. The reconnect timer's tries go on as usual.
inline constexpr std::chrono::milliseconds kHungCreationRest{1000};

// While a creation goes on on its thread, the recovery looks at it this often (without waiting),
// so the server is back soon after the hang ends even when no request comes.
inline constexpr std::chrono::milliseconds kCreationPoll{200};
