// A real TCP connection on 127.0.0.1 for tests: the accepted side is a CHttpBlockingSocket, as
// a listener hands it to the request dispatcher; the client side is driven by the test.
//
// Typical use: send the request bytes, run the code under test on Server(), CloseServer() as
// the listener would, then ReadAll() what the client received.
//
// Error rule: the constructor throws std::runtime_error when the connection cannot be made;
// the client operations report failure through their results. Thread rule: one thread at a
// time per side. Ownership: both sockets belong to this object and are closed by its
// destructor (the socket classes themselves never close on destruction).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/http_blocking_socket.h"

class CLoopbackConnection {
public:
  CLoopbackConnection();
  ~CLoopbackConnection();
  CLoopbackConnection(const CLoopbackConnection&) = delete;
  CLoopbackConnection& operator=(const CLoopbackConnection&) = delete;

  // The accepted connection, as the UI thread borrows it.
  CHttpBlockingSocket& Server() { return m_server; }

  // Writes all bytes from the client side. False when the send failed.
  bool Send(std::string_view bytes);
  // Closes the client side: the server then reads the end of the stream.
  void CloseClient();
  // Closes the server side, as the listener does after the reply.
  void CloseServer();
  // What the client received until the server side closed, or until the timeout passed.
  std::string ReadAll(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // What the client received until it ends with suffix, the server side closed, or the timeout
  // passed; for replies read while the server side stays open.
  std::string ReadUntil(std::string_view suffix,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // The client's local port (the server side's peer port).
  std::uint16_t ClientPort() const { return m_clientPort; }

private:
  CHttpBlockingSocket m_server;
  SocketHandle m_client = kNoSocket;
  std::uint16_t m_clientPort = 0;
};
