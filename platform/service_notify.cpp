#include "platform/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<std::uint64_t> g_failures{0};

bool Dropped() {
  g_failures.fetch_add(1, std::memory_order_relaxed);
  return false;
}

}  // namespace

std::uint64_t ServiceNotifyFailures() {
  return g_failures.load(std::memory_order_relaxed);
}

bool ServiceNotify(const std::string& state) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || path[0] == '\0') return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t length = std::strlen(path);
  if (length >= sizeof address.sun_path || (path[0] != '/' && path[0] != '@')) return Dropped();
  std::memcpy(address.sun_path, path, length);
  if (path[0] == '@') address.sun_path[0] = '\0';  // an abstract socket name
  const auto addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  const int savedError = errno;
  const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (socket < 0) {
    errno = savedError;
    return Dropped();
  }
  // A full queue (the manager is not reading) fails at once with EAGAIN instead of waiting.
  const ssize_t sent = ::sendto(socket, state.data(), state.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr*>(&address), addressLength);
  ::close(socket);
  errno = savedError;
  if (sent != static_cast<ssize_t>(state.size())) return Dropped();
  return true;
}

std::chrono::milliseconds ServiceWatchdogInterval() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  if (usec == nullptr) return std::chrono::milliseconds(0);
  const char* pid = std::getenv("WATCHDOG_PID");
  if (pid != nullptr && std::strtol(pid, nullptr, 10) != static_cast<long>(::getpid())) {
    return std::chrono::milliseconds(0);
  }
  char* end = nullptr;
  const unsigned long long micros = std::strtoull(usec, &end, 10);
  if (end == usec || *end != '\0' || micros == 0) return std::chrono::milliseconds(0);
  // Half the period, at least 1 ms.
  const auto half = static_cast<long long>(micros / 2000);
  return std::chrono::milliseconds(half > 0 ? half : 1);
}
