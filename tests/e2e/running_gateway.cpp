#include "tests/e2e/running_gateway.h"

#include <atomic>
#include <csignal>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/socket_api.h"

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr int kStartAttempts = 3;
const std::string kStartupText = "Startup Quarnix\r\n";

}  // namespace

std::uint16_t FreeLoopbackPort() {
  const SocketHandle probe = SocketCreate(kSockStream);
  SocketAddressIn address;
  address.address = HostToNet32(kLoopback);
  std::uint16_t port = 0;
  if (SocketBind(probe, address) && SocketGetSockName(probe, address)) {
    port = NetToHost16(address.port);
  }
  SocketClose(probe);
  return port;
}

std::string UniqueGroupName(const std::string& prefix) {
  static const unsigned tag = std::random_device{}() % 100000;
  static std::atomic<unsigned> counter{0};
  return prefix + "_" + std::to_string(tag) + "_" + std::to_string(++counter);
}

GroupDefinition Group(const std::string& name, bool active, std::vector<ItemDefinition> items) {
  GroupDefinition group;
  group.name = name;
  group.active = active;
  group.updateRate = 50;
  group.items = std::move(items);
  return group;
}

CRunningGateway::CRunningGateway(const std::vector<std::string>& extraOptions,
                                 std::chrono::milliseconds startTimeout) {
  m_workDir = CGatewayProcess::MakeWorkDirectory();
  std::string reason;
  if (!m_announcements.Open("127.0.0.1", 0, &reason)) return;

  const auto deadline = std::chrono::steady_clock::now() + startTimeout;
  for (int attempt = 0; attempt < kStartAttempts && !m_ready; ++attempt) {
    m_listenPort = FreeLoopbackPort();
    std::vector<std::string> options{"/s",
                                     "/progId",
                                     "Quarnix.Simulator",
                                     "/lp",
                                     std::to_string(m_listenPort),
                                     "/rh",
                                     "127.0.0.1",
                                     "/rp",
                                     std::to_string(m_announcements.Port())};
    options.insert(options.end(), extraOptions.begin(), extraOptions.end());
    m_process.reset();  // a failed attempt's child has ended; reap it before the next
    m_process = std::make_unique<CGatewayProcess>(options, m_workDir);
    if (!m_process->Started()) return;
    // Wait for the startup datagram; a child that ends first lost its port to someone else.
    while (std::chrono::steady_clock::now() < deadline) {
      const auto datagram = m_announcements.Receive(std::chrono::milliseconds(100));
      if (datagram && datagram->bytes == kStartupText) {
        m_ready = true;
        break;
      }
      if (m_process->WaitForExit(std::chrono::milliseconds(0))) break;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
  }
}

CRunningGateway::~CRunningGateway() {
  if (m_process && m_process->Started() && !m_process->Exited()) Stop(std::chrono::seconds(30));
  m_process.reset();
  m_announcements.Close();
  std::error_code ignored;
  std::filesystem::remove_all(m_workDir, ignored);
}

std::string CRunningGateway::LogFile() const {
  std::ifstream file(m_workDir / "RV_Morvantel.log", std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

ExchangeResult CRunningGateway::Exchange(std::string_view request,
                                         std::chrono::milliseconds timeout) const {
  return CGatewayClient("127.0.0.1", m_listenPort, timeout).Exchange(request);
}

std::string CRunningGateway::RawExchange(std::string_view request,
                                         std::chrono::milliseconds timeout) const {
  return Exchange(request, timeout).raw;
}

bool CRunningGateway::Stop(std::chrono::milliseconds timeout) {
  if (!m_process || !m_process->Started()) return false;
  m_process->Signal(SIGTERM);
  return m_process->WaitForExit(timeout);
}
