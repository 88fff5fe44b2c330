#include "platform/socket_api.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>

static_assert(sizeof(SocketAddressIn) == sizeof(sockaddr_in));
static_assert(offsetof(SocketAddressIn, family) == offsetof(sockaddr_in, sin_family));
static_assert(offsetof(SocketAddressIn, port) == offsetof(sockaddr_in, sin_port));
static_assert(offsetof(SocketAddressIn, address) == offsetof(sockaddr_in, sin_addr));
static_assert(offsetof(SocketAddressIn, zero) == offsetof(sockaddr_in, sin_zero));
static_assert(kAfInet == AF_INET);
static_assert(kSockStream == SOCK_STREAM);
static_assert(kSockDgram == SOCK_DGRAM);

const int kErrorInterrupted = EINTR;
const int kErrorAddressInUse = EADDRINUSE;
const int kListenBacklogMax = SOMAXCONN;

namespace {

const sockaddr* AsSockaddr(const SocketAddressIn& address) {
  return reinterpret_cast<const sockaddr*>(&address);
}
sockaddr* AsSockaddr(SocketAddressIn& address) {
  return reinterpret_cast<sockaddr*>(&address);
}

int WaitFor(SocketHandle socket, short events, int milliseconds) {
  // A closed handle fails at once (the transfer then reports it) instead of waiting it out.
  if (socket < 0) {
    errno = EBADF;
    return -1;
  }
  pollfd entry{socket, events, 0};
  return ::poll(&entry, 1, milliseconds < 0 ? -1 : milliseconds);
}

int SecondsToMs(int seconds) {
  if (seconds < 0) return -1;
  if (seconds > INT_MAX / 1000) return INT_MAX;
  return seconds * 1000;
}

int ClampLength(int length) {
  return length < 0 ? 0 : length;
}

}  // namespace

std::uint32_t InetAddr(const char* text) {
  if (text == nullptr) return INADDR_NONE;
  return ::inet_addr(text);
}

bool SocketStartup() {
  // A send on a connection that the peer has reset must fail with an error code, not end the
  // process. Sends also pass MSG_NOSIGNAL; this covers every other path.
  ::signal(SIGPIPE, SIG_IGN);
  return true;
}

int SocketLastError() {
  return errno;
}
void SetSocketLastError(int code) {
  errno = code;
}

SocketHandle SocketCreate(int type) {
  const int handle = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (handle < 0) return kNoSocket;
  if (type == SOCK_STREAM) {
    const int saved = errno;
    int on = 1;
    ::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    errno = saved;
  }
  return handle;
}

bool SocketBind(SocketHandle socket, const SocketAddressIn& address) {
  return ::bind(socket, AsSockaddr(address), sizeof(SocketAddressIn)) == 0;
}

bool SocketListen(SocketHandle socket, int backlog) {
  return ::listen(socket, backlog) == 0;
}

SocketHandle SocketAccept(SocketHandle socket, SocketAddressIn& peer) {
  socklen_t length = sizeof(SocketAddressIn);
  const int handle = ::accept4(socket, AsSockaddr(peer), &length, SOCK_CLOEXEC);
  return handle < 0 ? kNoSocket : handle;
}

bool SocketConnect(SocketHandle socket, const SocketAddressIn& address) {
  if (::connect(socket, AsSockaddr(address), sizeof(SocketAddressIn)) == 0) return true;
  if (errno != EINTR) return false;
  // A signal interrupted the wait, not the connect, which goes on: wait for it to end (a second
  // connect would fail with EALREADY) and take its result.
  pollfd entry{socket, POLLOUT, 0};
  int ready = 0;
  do {
    ready = ::poll(&entry, 1, -1);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return false;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
  if (error == 0) return true;
  errno = error;
  return false;
}

int SocketWaitReadable(SocketHandle socket, int seconds) {
  return WaitFor(socket, POLLIN, SecondsToMs(seconds));
}

int SocketWaitWritable(SocketHandle socket, int seconds) {
  return WaitFor(socket, POLLOUT, SecondsToMs(seconds));
}

int SocketWaitReadableMs(SocketHandle socket, int milliseconds) {
  return WaitFor(socket, POLLIN, milliseconds);
}

int SocketSend(SocketHandle socket, const void* data, int length) {
  return static_cast<int>(::send(socket, data, ClampLength(length), MSG_NOSIGNAL));
}

int SocketReceive(SocketHandle socket, void* buffer, int capacity) {
  return static_cast<int>(::recv(socket, buffer, ClampLength(capacity), 0));
}

int SocketSendTo(SocketHandle socket, const void* data, int length, const SocketAddressIn& to) {
  return static_cast<int>(::sendto(socket, data, ClampLength(length), MSG_NOSIGNAL, AsSockaddr(to),
                                   sizeof(SocketAddressIn)));
}

int SocketTrySend(SocketHandle socket, const void* data, int length) {
  return static_cast<int>(::send(socket, data, ClampLength(length), MSG_NOSIGNAL | MSG_DONTWAIT));
}

int SocketTrySendTo(SocketHandle socket, const void* data, int length, const SocketAddressIn& to) {
  return static_cast<int>(::sendto(socket, data, ClampLength(length), MSG_NOSIGNAL | MSG_DONTWAIT,
                                   AsSockaddr(to), sizeof(SocketAddressIn)));
}

bool SocketSendWouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK;
}

int SocketReceiveFrom(SocketHandle socket, void* buffer, int capacity, SocketAddressIn& from) {
  socklen_t length = sizeof(SocketAddressIn);
  return static_cast<int>(
      ::recvfrom(socket, buffer, ClampLength(capacity), 0, AsSockaddr(from), &length));
}

bool SocketGetPeerName(SocketHandle socket, SocketAddressIn& peer) {
  socklen_t length = sizeof(SocketAddressIn);
  return ::getpeername(socket, AsSockaddr(peer), &length) == 0;
}

bool SocketGetSockName(SocketHandle socket, SocketAddressIn& local) {
  socklen_t length = sizeof(SocketAddressIn);
  return ::getsockname(socket, AsSockaddr(local), &length) == 0;
}

bool SocketSetBroadcast(SocketHandle socket, bool on) {
  int value = on ? 1 : 0;
  return ::setsockopt(socket, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) == 0;
}

bool SocketGetBroadcast(SocketHandle socket) {
  int value = 0;
  socklen_t length = sizeof value;
  return ::getsockopt(socket, SOL_SOCKET, SO_BROADCAST, &value, &length) == 0 && value != 0;
}

int SocketReadableBytes(SocketHandle socket) {
  int count = 0;
  return ::ioctl(socket, FIONREAD, &count) == 0 ? count : -1;
}

bool SocketSetReceiveBuffer(SocketHandle socket, int bytes) {
  return ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

void SocketShutdown(SocketHandle socket) {
  if (socket == kNoSocket) return;
  const int saved = errno;
  ::shutdown(socket, SHUT_RDWR);
  errno = saved;
}

void SocketClose(SocketHandle socket) {
  if (socket == kNoSocket) return;
  const int saved = errno;
  ::shutdown(socket, SHUT_RDWR);
  ::close(socket);
  errno = saved;
}
