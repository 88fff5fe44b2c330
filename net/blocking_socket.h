// Blocking IPv4 sockets with bounded waits: the one way this program touches the network.
//
// CSocketAddress is an IPv4 endpoint; CBlockingSocket owns one socket handle and offers
// operations that wait at most a given number of whole seconds; every failure is thrown as a
// CBlockingSocketException naming the operation, with the system's error code.
//
// Error rule: throws CBlockingSocketException by value (catch by const reference), except
// Accept interrupted by the close of the listening socket (returns false), Close (never fails)
// and SendDatagram on a socket without handle (returns 0).
// Thread rule: one thread at a time per object, by hand-over; Close of a listening socket may
// come from another thread and wakes the thread blocked in Accept.
// Ownership: the destructor never closes; the owner calls Close.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/socket_api.h"

class CSocketAddress {
public:
  CSocketAddress();  // AF_INET, port 0, address 0 (any local address)
  CSocketAddress(std::uint32_t hostOrderAddress, std::uint16_t hostOrderPort);

  std::uint32_t HostOrderAddress() const;
  std::uint16_t HostOrderPort() const;
  // "a.b.c.d" in a newly allocated 16-byte array; the caller owns it.
  std::unique_ptr<char[]> GetDottedAddress() const;

  SocketAddressIn m_addr;  // laid out as the system's sockaddr_in
};

class CBlockingSocketException {
public:
  // Reads the thread's last socket error code into m_nErrorCode.
  explicit CBlockingSocketException(const char* operation);
  CBlockingSocketException(const char* operation, int errorCode);

  // "error %s %ud" when the code is non-zero, else "Error %s"; cut to capacity - 1 and always
  // NUL-terminated. Returns true.
  bool GetErrorMessage(char* buffer, unsigned capacity, unsigned* helpContext = nullptr) const;
  // The same message, whole.
  std::string Message() const;

  int m_nErrorCode;
  std::string m_strOperation;
};

class CBlockingSocket {
public:
  CBlockingSocket() = default;
  ~CBlockingSocket() = default;  // never closes
  CBlockingSocket(const CBlockingSocket&) = delete;
  CBlockingSocket& operator=(const CBlockingSocket&) = delete;

  void Create(int type);                  // SOCK_STREAM or SOCK_DGRAM; throws "Create"
  void Bind(const CSocketAddress& addr);  // throws "Bind"
  void Listen();  // the system's largest backlog (SOMAXCONN); throws "Listen"
  // Blocks until a connection arrives. False when interrupted (also by Close of this socket
  // from another thread); throws "Accept" on any other failure.
  bool Accept(CBlockingSocket& connection, CSocketAddress& peer);
  int Send(const char* data, int length, int seconds);     // "Send timeout", "Send"
  int SendAll(const char* data, int length, int seconds);  // at least one Send
  int Receive(char* buffer, int capacity, int seconds);    // "Receive timeout", "Receive"
  // 0 at once when the socket has no handle; "Send timeout", "SendDatagram".
  int SendDatagram(const char* data, int length, const CSocketAddress& to, int seconds);
  void GetPeerName(CSocketAddress& peer);  // throws "GetPeerName"
  void Close();                            // idempotent, never throws

  // kNoSocket when the object holds no socket. Atomic because Close may come from another
  // thread while a listener is blocked in Accept on the same object.
  std::atomic<SocketHandle> m_socket{kNoSocket};
};
