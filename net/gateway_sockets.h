// The gateway's two long-lived sockets and its network settings.
//
// The application object derives from this class (so theApp.socketNotify, theApp.remoteHost
// and the rest keep their names) and hands the sockets to their users when it makes them: the
// listening socket to the listener chain, the UDP socket to the datagram sender.
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
  CGatewaySockets() = default;
  CGatewaySockets(const CGatewaySockets&) = delete;
  CGatewaySockets& operator=(const CGatewaySockets&) = delete;

  std::uint16_t listenPort = 8089;
  std::uint16_t remotePort = 8088;
  std::uint32_t remoteHost = 0x7F000001;  // host byte order
  CBlockingSocket socketNotify;
  CHttpBlockingSocket socketListen;
};
