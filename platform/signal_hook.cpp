#include "platform/signal_hook.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

const int CSignalHook::kTerminate = SIGTERM;
const int CSignalHook::kInterrupt = SIGINT;
const char CSignalHook::kStopRequestNames[] = "SIGTERM或SIGINT";

CSignalHook::~CSignalHook() {
  Stop();
}

bool CSignalHook::Start(std::function<void(int)> handler) {
  Stop();
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
  m_signalFd = ::signalfd(-1, &set, SFD_CLOEXEC);
  m_stopFd = ::eventfd(0, EFD_CLOEXEC);
  if (m_signalFd < 0 || m_stopFd < 0) {
    if (m_signalFd >= 0) ::close(m_signalFd);
    if (m_stopFd >= 0) ::close(m_stopFd);
    m_signalFd = m_stopFd = -1;
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return false;
  }
  m_handler = std::move(handler);
  m_thread = std::thread([this] {
    pollfd fds[2] = {{m_signalFd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
    for (;;) {
      fds[0].revents = fds[1].revents = 0;
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      if (fds[0].revents != 0) {
        signalfd_siginfo info;
        if (::read(m_signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
          if (m_handler) m_handler(static_cast<int>(info.ssi_signo));
        }
      }
    }
  });
  return true;
}

void CSignalHook::Stop() {
  if (m_thread.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(m_stopFd, &one, sizeof one);
    m_thread.join();
  }
  if (m_signalFd >= 0) ::close(m_signalFd);
  if (m_stopFd >= 0) ::close(m_stopFd);
  m_signalFd = m_stopFd = -1;
  m_handler = nullptr;
}
