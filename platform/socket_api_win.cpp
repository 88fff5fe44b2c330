#include "platform/socket_api.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>  // includes windows.h after the socket declarations

#include <climits>
#include <cstddef>

static_assert(sizeof(SocketHandle) == sizeof(SOCKET));
static_assert(kNoSocket == INVALID_SOCKET);
static_assert(sizeof(SocketAddressIn) == sizeof(sockaddr_in));
static_assert(offsetof(SocketAddressIn, family) == offsetof(sockaddr_in, sin_family));
static_assert(offsetof(SocketAddressIn, port) == offsetof(sockaddr_in, sin_port));
static_assert(offsetof(SocketAddressIn, address) == offsetof(sockaddr_in, sin_addr));
static_assert(offsetof(SocketAddressIn, zero) == offsetof(sockaddr_in, sin_zero));
static_assert(kAfInet == AF_INET);
static_assert(kSockStream == SOCK_STREAM);
static_assert(kSockDgram == SOCK_DGRAM);

const int kErrorInterrupted = WSAEINTR;
const int kErrorAddressInUse = WSAEADDRINUSE;
const int kListenBacklogMax = SOMAXCONN;

namespace {

const sockaddr* AsSockaddr(const SocketAddressIn& address) {
  return reinterpret_cast<const sockaddr*>(&address);
}
sockaddr* AsSockaddr(SocketAddressIn& address) {
  return reinterpret_cast<sockaddr*>(&address);
}

// Keeps the thread's last error across calls whose own failure does not matter.
class CKeepLastError {
public:
  CKeepLastError() : m_saved(::WSAGetLastError()) {}
  ~CKeepLastError() { ::WSASetLastError(m_saved); }
  CKeepLastError(const CKeepLastError&) = delete;
  CKeepLastError& operator=(const CKeepLastError&) = delete;

private:
  int m_saved;
};

// A handle that child processes must not inherit (the close-on-exec of Linux).
void MakeNotInheritable(SOCKET handle) {
  CKeepLastError keep;
  ::SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0);
}

// select on the one socket: readable (or accept-ready, or closed by the peer) or writable.
int WaitFor(SocketHandle socket, bool forWriting, int milliseconds) {
  // A closed handle fails at once (the transfer then reports it) instead of waiting it out.
  if (socket == kNoSocket) {
    ::WSASetLastError(WSAENOTSOCK);
    return -1;
  }
  fd_set set;
  FD_ZERO(&set);
  FD_SET(static_cast<SOCKET>(socket), &set);
  timeval limit{};
  timeval* wait = nullptr;
  if (milliseconds >= 0) {
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    wait = &limit;
  }
  // The first argument is ignored by Winsock.
  const int result = forWriting ? ::select(0, nullptr, &set, nullptr, wait)
                                : ::select(0, &set, nullptr, nullptr, wait);
  return result == SOCKET_ERROR ? -1 : result;
}

int SecondsToMs(int seconds) {
  if (seconds < 0) return -1;
  if (seconds > INT_MAX / 1000) return INT_MAX;
  return seconds * 1000;
}

int ClampLength(int length) {
  return length < 0 ? 0 : length;
}

int Result(int count) {
  return count == SOCKET_ERROR ? -1 : count;
}

// Runs one transfer with the socket switched to non-blocking mode for the call alone: Winsock
// has no per-call flag for it. The error code of the transfer is what the caller sees.
template <typename Transfer>
int WithoutWaiting(SocketHandle socket, Transfer transfer) {
  u_long on = 1;
  if (::ioctlsocket(static_cast<SOCKET>(socket), FIONBIO, &on) == SOCKET_ERROR) return -1;
  const int count = Result(transfer());
  CKeepLastError keep;
  u_long off = 0;
  ::ioctlsocket(static_cast<SOCKET>(socket), FIONBIO, &off);
  return count;
}

}  // namespace

std::uint32_t InetAddr(const char* text) {
  if (text == nullptr) return INADDR_NONE;
  return ::inet_addr(text);
}

bool SocketStartup() {
  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
    ::WSACleanup();
    return false;
  }
  return true;
}

int SocketLastError() {
  return ::WSAGetLastError();
}
void SetSocketLastError(int code) {
  ::WSASetLastError(code);
}

SocketHandle SocketCreate(int type) {
  const SOCKET handle = ::socket(AF_INET, type, 0);
  if (handle == INVALID_SOCKET) return kNoSocket;
  MakeNotInheritable(handle);
  if (type == SOCK_STREAM) {
    // Without it a later socket that sets SO_REUSEADDR could take the port over from us.
    CKeepLastError keep;
    BOOL on = TRUE;
    ::setsockopt(handle, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                 sizeof on);
  }
  return handle;
}

bool SocketBind(SocketHandle socket, const SocketAddressIn& address) {
  return ::bind(static_cast<SOCKET>(socket), AsSockaddr(address), sizeof(SocketAddressIn)) == 0;
}

bool SocketListen(SocketHandle socket, int backlog) {
  return ::listen(static_cast<SOCKET>(socket), backlog) == 0;
}

SocketHandle SocketAccept(SocketHandle socket, SocketAddressIn& peer) {
  int length = sizeof(SocketAddressIn);
  const SOCKET handle = ::accept(static_cast<SOCKET>(socket), AsSockaddr(peer), &length);
  if (handle == INVALID_SOCKET) return kNoSocket;
  MakeNotInheritable(handle);
  return handle;
}

bool SocketConnect(SocketHandle socket, const SocketAddressIn& address) {
  return ::connect(static_cast<SOCKET>(socket), AsSockaddr(address), sizeof(SocketAddressIn)) == 0;
}

int SocketWaitReadable(SocketHandle socket, int seconds) {
  return WaitFor(socket, false, SecondsToMs(seconds));
}

int SocketWaitWritable(SocketHandle socket, int seconds) {
  return WaitFor(socket, true, SecondsToMs(seconds));
}

int SocketWaitReadableMs(SocketHandle socket, int milliseconds) {
  return WaitFor(socket, false, milliseconds);
}

int SocketSend(SocketHandle socket, const void* data, int length) {
  return Result(
      ::send(static_cast<SOCKET>(socket), static_cast<const char*>(data), ClampLength(length), 0));
}

int SocketReceive(SocketHandle socket, void* buffer, int capacity) {
  return Result(
      ::recv(static_cast<SOCKET>(socket), static_cast<char*>(buffer), ClampLength(capacity), 0));
}

int SocketSendTo(SocketHandle socket, const void* data, int length, const SocketAddressIn& to) {
  return Result(::sendto(static_cast<SOCKET>(socket), static_cast<const char*>(data),
                         ClampLength(length), 0, AsSockaddr(to), sizeof(SocketAddressIn)));
}

int SocketTrySend(SocketHandle socket, const void* data, int length) {
  return WithoutWaiting(socket, [&] {
    return ::send(static_cast<SOCKET>(socket), static_cast<const char*>(data), ClampLength(length),
                  0);
  });
}

int SocketTrySendTo(SocketHandle socket, const void* data, int length, const SocketAddressIn& to) {
  return WithoutWaiting(socket, [&] {
    return ::sendto(static_cast<SOCKET>(socket), static_cast<const char*>(data),
                    ClampLength(length), 0, AsSockaddr(to), sizeof(SocketAddressIn));
  });
}

bool SocketSendWouldBlock() {
  return ::WSAGetLastError() == WSAEWOULDBLOCK;
}

int SocketReceiveFrom(SocketHandle socket, void* buffer, int capacity, SocketAddressIn& from) {
  int length = sizeof(SocketAddressIn);
  return Result(::recvfrom(static_cast<SOCKET>(socket), static_cast<char*>(buffer),
                           ClampLength(capacity), 0, AsSockaddr(from), &length));
}

bool SocketGetPeerName(SocketHandle socket, SocketAddressIn& peer) {
  int length = sizeof(SocketAddressIn);
  return ::getpeername(static_cast<SOCKET>(socket), AsSockaddr(peer), &length) == 0;
}

bool SocketGetSockName(SocketHandle socket, SocketAddressIn& local) {
  int length = sizeof(SocketAddressIn);
  return ::getsockname(static_cast<SOCKET>(socket), AsSockaddr(local), &length) == 0;
}

bool SocketSetBroadcast(SocketHandle socket, bool on) {
  BOOL value = on ? TRUE : FALSE;
  return ::setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_BROADCAST,
                      reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

bool SocketGetBroadcast(SocketHandle socket) {
  BOOL value = FALSE;
  int length = sizeof value;
  return ::getsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_BROADCAST,
                      reinterpret_cast<char*>(&value), &length) == 0 &&
         value != FALSE;
}

int SocketReadableBytes(SocketHandle socket) {
  u_long count = 0;
  if (::ioctlsocket(static_cast<SOCKET>(socket), FIONREAD, &count) != 0) return -1;
  return count > static_cast<u_long>(INT_MAX) ? INT_MAX : static_cast<int>(count);
}

bool SocketSetReceiveBuffer(SocketHandle socket, int bytes) {
  return ::setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_RCVBUF,
                      reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}

void SocketShutdown(SocketHandle socket) {
  if (socket == kNoSocket) return;
  CKeepLastError keep;
  ::shutdown(static_cast<SOCKET>(socket), SD_BOTH);
}

void SocketClose(SocketHandle socket) {
  if (socket == kNoSocket) return;
  CKeepLastError keep;
  // closesocket alone also ends a blocking accept or select on the handle in another thread.
  ::shutdown(static_cast<SOCKET>(socket), SD_BOTH);
  ::closesocket(static_cast<SOCKET>(socket));
}
