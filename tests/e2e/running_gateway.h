// A gateway child process with the built-in simulator, started and ready for requests.
//
// The gateway runs in background mode (/s) with /progId Quarnix.Simulator on a free listening
// port of 127.0.0.1, its default datagram destination (/rp) aimed at an announcement receiver of
// its own, in a private working directory (its log file goes there). Construction returns once
// the startup datagram has arrived; a port taken by someone else between probe and bind is
// retried on another port. Exchange sends one request and returns the reply bytes.
//
// Error rule: nothing throws; Ready() tells whether the gateway came up, and Exchange reports
// failures in its result. Thread rule: Exchange from any thread (each call opens its own
// connection); everything else on the owning thread. Ownership: the object owns the child
// process and its working directory; the destructor stops the child (SIGTERM, then SIGKILL when
// it does not end) and removes the directory.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/gateway_client.h"
#include "client/request_builder.h"
#include "client/udp_receiver.h"
#include "tests/e2e/gateway_process.h"

class CRunningGateway {
public:
  // Starts the gateway; extraOptions follow the standard ones on its command line.
  explicit CRunningGateway(const std::vector<std::string>& extraOptions = {},
                           std::chrono::milliseconds startTimeout = std::chrono::seconds(60));
  ~CRunningGateway();
  CRunningGateway(const CRunningGateway&) = delete;
  CRunningGateway& operator=(const CRunningGateway&) = delete;

  // True once the startup datagram arrived from a running child.
  bool Ready() const { return m_ready; }
  std::uint16_t ListenPort() const { return m_listenPort; }
  // The receiver behind /rp: announcements and datagrams of groups defined without a port.
  CUdpReceiver& Announcements() { return m_announcements; }
  std::uint16_t AnnouncementPort() const { return m_announcements.Port(); }
  CGatewayProcess& Process() { return *m_process; }
  const std::filesystem::path& WorkDirectory() const { return m_workDir; }
  // The content of the gateway's log file so far.
  std::string LogFile() const;

  // One request on a fresh connection; the reply, or why none came.
  ExchangeResult Exchange(std::string_view request,
                          std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
  // The raw bytes received for a request (empty when the gateway closed without a reply).
  std::string RawExchange(std::string_view request,
                          std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

  // Sends SIGTERM and waits for the exit. True when the child ended in time.
  bool Stop(std::chrono::milliseconds timeout = std::chrono::seconds(60));

private:
  std::filesystem::path m_workDir;
  CUdpReceiver m_announcements;
  std::unique_ptr<CGatewayProcess> m_process;
  std::uint16_t m_listenPort = 0;
  bool m_ready = false;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
std::uint16_t FreeLoopbackPort();

// A name no other test of this run uses: prefix, the process id and a counter.
std::string UniqueGroupName(const std::string& prefix);

// A group of items named name, active or not, with an update rate of 50 ms.
GroupDefinition Group(const std::string& name, bool active, std::vector<ItemDefinition> items);
