// The gateway's two long-lived sockets and its network settings, shared process-wide.
//
// The application object derives from this class (so theApp.socketNotify, theApp.remoteHost
// and the rest keep their names); lower layers such as the datagram sender reach the one
// instance through GatewaySockets(). Constructing an instance makes it the current one.
//
// Error rule: none here. Thread rule: settings written during start-up and shutdown on the UI
// thread; socketListen used by the one listener thread in Accept; socketNotify by the UI thread.
// Ownership: the sockets are closed by their owner (shutdown), never by the destructor.
#pragma once

#include <cstdint>

#include "net/blocking_socket.h"
#include "net/http_blocking_socket.h"

class CGatewaySockets {
public:
  CGatewaySockets();
  ~CGatewaySockets();
  CGatewaySockets(const CGatewaySockets&) = delete;
  CGatewaySockets& operator=(const CGatewaySockets&) = delete;

  std::uint16_t listenPort = 8089;
  std::uint16_t remotePort = 8088;
  std::uint32_t remoteHost = 0x7F000001;  // host byte order
  CBlockingSocket socketNotify;
  CHttpBlockingSocket socketListen;
};

// The current instance; null when none exists.
CGatewaySockets* GatewaySockets();
