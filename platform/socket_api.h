// The thin layer between the socket classes and the operating system's IPv4 sockets: POSIX
// sockets on Linux (socket_api.cpp), Winsock 2 on Windows (socket_api_win.cpp).
//
// Plain functions over a SocketHandle, each one system call (or one short sequence) with the
// system's own error code left for SocketLastError(). Waits take whole seconds as the socket
// classes need; the receive-with-deadline helpers take milliseconds for callers that keep an
// overall deadline. SocketAddressIn has the byte layout of the system's IPv4 address record, so
// it passes to the calls unchanged.
//
// Error rule: nothing throws; failures return kNoSocket, false or a negative count, and
// SocketLastError() then holds the system's code (errno, or WSAGetLastError, which on Windows is
// the thread's last error of any system call). kErrorInterrupted is the code of a blocking call
// that was interrupted (EINTR, WSAEINTR).
// Thread rule: any thread; SocketClose from one thread wakes another blocked in SocketAccept or a
// wait on the same handle. Ownership: the caller owns each handle and closes it once.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

// A descriptor on Linux; a SOCKET (pointer-sized, INVALID_SOCKET when none) on Windows. Compare
// with kNoSocket only: a valid Windows handle may be any other value.
#if defined(_WIN32)
using SocketHandle = std::uintptr_t;
constexpr SocketHandle kNoSocket = ~std::uintptr_t{0};
#else
using SocketHandle = int;
constexpr SocketHandle kNoSocket = -1;
#endif

constexpr int kAfInet = 2;
constexpr int kSockStream = 1;
constexpr int kSockDgram = 2;

// Code of a blocking call that was interrupted (the platform's EINTR).
extern const int kErrorInterrupted;
// Code of a bind to an address that is in use.
extern const int kErrorAddressInUse;
// The largest listening backlog the system takes (SOMAXCONN).
extern const int kListenBacklogMax;

// An IPv4 endpoint laid out as the system's 16-byte IPv4 socket address.
struct SocketAddressIn {
  std::uint16_t family = kAfInet;
  std::uint16_t port = 0;     // network byte order
  std::uint32_t address = 0;  // network byte order
  std::uint8_t zero[8] = {};
};
static_assert(sizeof(SocketAddressIn) == 16);

// Byte-order conversions between host and network order.
inline std::uint16_t HostToNet16(std::uint16_t value) {
  if constexpr (std::endian::native == std::endian::big) return value;
  return static_cast<std::uint16_t>((value >> 8) | (value << 8));
}
inline std::uint32_t HostToNet32(std::uint32_t value) {
  if constexpr (std::endian::native == std::endian::big) return value;
  return (value >> 24) | ((value >> 8) & 0x0000FF00u) | ((value << 8) & 0x00FF0000u) |
         (value << 24);
}
inline std::uint16_t NetToHost16(std::uint16_t value) {
  return HostToNet16(value);
}
inline std::uint32_t NetToHost32(std::uint32_t value) {
  return HostToNet32(value);
}

// Dotted-address conversion with the classic rules ("a.b.c.d", "a.b.c", "a.b", "a", parts in
// decimal, octal or hex). Network order; 0xFFFFFFFF for a text that is no address.
std::uint32_t InetAddr(const char* text);

// Prepares the process for sockets: on Linux a peer that closes must not kill the process with
// a signal; on Windows the socket library is started (version 2.2). False when that fails.
bool SocketStartup();

// The calling thread's last error code (0 when nothing failed). SetSocketLastError sets it.
int SocketLastError();
void SetSocketLastError(int code);

// A new IPv4 socket of kSockStream or kSockDgram, not inherited by child processes. Stream
// sockets allow an immediate re-bind of a port whose old connections are still winding down, as
// a restarted server needs; two listeners on one port are still refused (on Windows the port is
// bound exclusively, so no other socket can take it over either).
SocketHandle SocketCreate(int type);
bool SocketBind(SocketHandle socket, const SocketAddressIn& address);
bool SocketListen(SocketHandle socket, int backlog);
// Blocks until a connection arrives; kNoSocket on failure (kErrorInterrupted or another code).
SocketHandle SocketAccept(SocketHandle socket, SocketAddressIn& peer);
// Blocks until connected (used by tests and client tools; the gateway never connects). A signal
// that interrupts the wait does not end it: the connect is finished and its result returned.
bool SocketConnect(SocketHandle socket, const SocketAddressIn& address);

// Waits for readiness: >0 ready (or failed: the transfer then reports it), 0 timed out, <0 the
// wait itself failed. Whole seconds; a negative count waits without limit.
int SocketWaitReadable(SocketHandle socket, int seconds);
int SocketWaitWritable(SocketHandle socket, int seconds);
// The same in milliseconds.
int SocketWaitReadableMs(SocketHandle socket, int milliseconds);

// One transfer call with flags 0 (sending never raises a signal). Counts, or -1 on failure.
int SocketSend(SocketHandle socket, const void* data, int length);
int SocketReceive(SocketHandle socket, void* buffer, int capacity);
int SocketSendTo(SocketHandle socket, const void* data, int length, const SocketAddressIn& to);
// The same two without waiting for room in the socket's buffer: -1 with SocketSendWouldBlock()
// true when the buffer is full and the caller should wait for writability first.
int SocketTrySend(SocketHandle socket, const void* data, int length);
int SocketTrySendTo(SocketHandle socket, const void* data, int length, const SocketAddressIn& to);
bool SocketSendWouldBlock();
int SocketReceiveFrom(SocketHandle socket, void* buffer, int capacity, SocketAddressIn& from);

bool SocketGetPeerName(SocketHandle socket, SocketAddressIn& peer);
bool SocketGetSockName(SocketHandle socket, SocketAddressIn& local);
bool SocketSetBroadcast(SocketHandle socket, bool on);
bool SocketGetBroadcast(SocketHandle socket);
// Bytes received and not yet read, or -1.
int SocketReadableBytes(SocketHandle socket);
bool SocketSetReceiveBuffer(SocketHandle socket, int bytes);

// Shuts both directions down without closing the handle: a thread waiting on the socket wakes
// and finds it closed. Failures are ignored; the last error code is left unchanged.
void SocketShutdown(SocketHandle socket);
// Shuts both directions down (which wakes a thread blocked in accept or a wait on it), then
// closes the handle. Failures are ignored; the system's last error code is left unchanged.
void SocketClose(SocketHandle socket);
