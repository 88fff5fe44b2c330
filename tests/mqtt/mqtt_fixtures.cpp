#include "tests/mqtt/mqtt_fixtures.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "client/udp_receiver.h"
#include "tests/e2e/gateway_process.h"
#include "tests/e2e/running_gateway.h"

CChildProcess::CChildProcess(const std::vector<std::string>& argv,
                             const std::filesystem::path& workDir,
                             const std::filesystem::path& outputFile)
    : m_outputFile(outputFile) {
  std::vector<std::string> arguments = argv;
  std::vector<char*> pointers;
  for (auto& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  const std::string directory = workDir.string();
  const int output = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (output < 0) return;
  const int pid = ::fork();
  if (pid == 0) {
    ::dup2(output, 1);
    ::dup2(output, 2);
    if (::chdir(directory.c_str()) != 0) ::_exit(126);
    ::execvp(pointers[0], pointers.data());
    ::_exit(127);
  }
  ::close(output);
  m_pid = pid;
}

CChildProcess::~CChildProcess() {
  if (m_pid > 0 && !m_exited) {
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
  }
}

void CChildProcess::Signal(int signal) {
  if (m_pid > 0 && !m_exited) ::kill(m_pid, signal);
}

bool CChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  return m_pid > 0 && WaitUntil(
                          [this] {
                            if (m_exited) return true;
                            int status = 0;
                            if (::waitpid(m_pid, &status, WNOHANG) != m_pid) return false;
                            m_exited = true;
                            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                            return true;
                          },
                          timeout);
}

std::string CChildProcess::Output() const {
  std::ifstream file(m_outputFile, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool WaitForListener(std::uint16_t port, std::chrono::milliseconds timeout) {
  return WaitUntil(
      [port] {
        const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool accepted =
            ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(socket);
        return accepted;
      },
      timeout);
}

std::uint16_t FreeUdpPort() {
  CUdpReceiver probe;
  std::string reason;
  return probe.Open("127.0.0.1", 0, &reason) ? probe.Port() : 0;
}

CMosquittoBroker::CMosquittoBroker(const std::string& extraConfig)
    : m_dir(CGatewayProcess::MakeWorkDirectory()), m_extraConfig(extraConfig) {
  // A port taken between probe and bind is tried again on another.
  for (int attempt = 0; attempt < 3 && !m_process; ++attempt) {
    m_port = FreeLoopbackPort();
    Start();
  }
}

CMosquittoBroker::~CMosquittoBroker() {
  Stop();
  std::error_code ignored;
  std::filesystem::remove_all(m_dir, ignored);
}

bool CMosquittoBroker::Start() {
  Stop();
  const auto config = m_dir / "mosquitto.conf";
  std::ofstream(config) << "listener " << m_port << " 127.0.0.1\npersistence false\n"
                        << m_extraConfig << "\n";
  m_process = std::make_unique<CChildProcess>(
      std::vector<std::string>{"mosquitto", "-c", config.string()}, m_dir, m_dir / "broker.log");
  if (!m_process->Started() || !WaitForListener(m_port, std::chrono::seconds(10))) {
    m_process.reset();
    return false;
  }
  return true;
}

void CMosquittoBroker::Stop() {
  if (!m_process) return;
  m_process->Signal(SIGTERM);
  m_process->WaitForExit(std::chrono::seconds(10));
  m_process.reset();
}

CMqttSubscriber::CMqttSubscriber(std::uint16_t port, std::string pattern,
                                 const std::string& clientId)
    : m_pattern(std::move(pattern)) {
  mosquitto_lib_init();
  m_client = mosquitto_new(clientId.empty() ? nullptr : clientId.c_str(), clientId.empty(), this);
  mosquitto_connect_callback_set(m_client, &CMqttSubscriber::OnConnect);
  mosquitto_message_callback_set(m_client, &CMqttSubscriber::OnMessage);
  mosquitto_reconnect_delay_set(m_client, 1, 1, false);
  mosquitto_connect(m_client, "127.0.0.1", port, 10);
  mosquitto_loop_start(m_client);
  WaitUntil([this] { return Connected(); }, std::chrono::seconds(10));
}

CMqttSubscriber::~CMqttSubscriber() {
  // The loop thread ends by itself after the disconnect; cancelling it could cut it off inside
  // a message's handling and leak that message.
  mosquitto_disconnect(m_client);
  mosquitto_loop_stop(m_client, false);
  mosquitto_destroy(m_client);
}

void CMqttSubscriber::OnConnect(mosquitto* client, void* self, int rc) {
  auto& subscriber = *static_cast<CMqttSubscriber*>(self);
  if (rc != 0) return;
  mosquitto_subscribe(client, nullptr, subscriber.m_pattern.c_str(), 1);
  std::lock_guard lock(subscriber.m_mutex);
  subscriber.m_connected = true;
}

void CMqttSubscriber::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto& subscriber = *static_cast<CMqttSubscriber*>(self);
  ReceivedMessage received{message->topic,
                           std::string(static_cast<const char*>(message->payload),
                                       static_cast<std::size_t>(message->payloadlen)),
                           message->retain};
  std::lock_guard lock(subscriber.m_mutex);
  subscriber.m_messages.push_back(std::move(received));
  subscriber.m_arrived.notify_all();
}

bool CMqttSubscriber::Connected() const {
  std::lock_guard lock(m_mutex);
  return m_connected;
}

std::vector<ReceivedMessage> CMqttSubscriber::Messages() const {
  std::lock_guard lock(m_mutex);
  return m_messages;
}

std::size_t CMqttSubscriber::Count() const {
  std::lock_guard lock(m_mutex);
  return m_messages.size();
}

std::optional<ReceivedMessage> CMqttSubscriber::WaitFor(
    const std::string& topic, const std::function<bool(const ReceivedMessage&)>& fits,
    std::chrono::milliseconds timeout, std::size_t from) {
  std::unique_lock lock(m_mutex);
  std::optional<ReceivedMessage> found;
  m_arrived.wait_for(lock, timeout, [&] {
    for (std::size_t k = from; k < m_messages.size(); ++k) {
      if (m_messages[k].topic == topic && fits(m_messages[k])) {
        found = m_messages[k];
        return true;
      }
    }
    return false;
  });
  return found;
}

bool CMqttSubscriber::Publish(const std::string& topic, const std::string& payload) {
  return mosquitto_publish(m_client, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                           payload.data(), 1, false) == MOSQ_ERR_SUCCESS;
}

CBridgeProcess::CBridgeProcess(const std::string& configText)
    : m_dir(CGatewayProcess::MakeWorkDirectory()) {
  std::ofstream(m_dir / "bridge.conf") << configText;
  m_process = std::make_unique<CChildProcess>(
      std::vector<std::string>{QUARNIX_MQTT_EXECUTABLE, (m_dir / "bridge.conf").string()}, m_dir,
      m_dir / "bridge.log");
}

CBridgeProcess::~CBridgeProcess() {
  m_process->Signal(SIGTERM);
  m_process->WaitForExit(std::chrono::seconds(10));
  m_process.reset();
  std::error_code ignored;
  std::filesystem::remove_all(m_dir, ignored);
}

bool CBridgeProcess::WaitForLog(const std::string& text, std::chrono::milliseconds timeout) {
  return WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeout);
}

std::string JsonField(const std::string& payload, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  const auto at = payload.find(key);
  if (at == std::string::npos) return {};
  const auto start = at + key.size();
  const auto end = payload.find_first_of(",}", start);
  return payload.substr(start, end - start);
}

CTestCertificates::CTestCertificates() : m_dir(CGatewayProcess::MakeWorkDirectory()) {
  std::filesystem::permissions(m_dir, std::filesystem::perms::all);
  const auto extensions = [this](const std::string& name, const std::string& text) {
    std::ofstream(m_dir / name) << text << "\n";
  };
  extensions("server.ext", "subjectAltName=IP:127.0.0.1,DNS:localhost");
  extensions("elsewhere.ext", "subjectAltName=DNS:broker.elsewhere.example");
  extensions("client.ext", "extendedKeyUsage=clientAuth");
  const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  m_made = Run("openssl req -x509" + key + " -keyout ca.key -out ca.pem -days 2 -subj /CN=TestCA");
  for (const char* stem : {"server", "elsewhere", "client"}) {
    const std::string name = stem;
    m_made = m_made &&
             Run("openssl req" + key + " -keyout " + name + ".key -out " + name +
                 ".csr -subj /CN=" + name) &&
             Run("openssl x509 -req -in " + name + ".csr -CA ca.pem -CAkey ca.key " +
                 "-CAcreateserial -days 2 -out " + name + ".pem -extfile " + name + ".ext");
  }
  m_made = m_made && Run("openssl pkey -in client.key -aes256 -passout pass:secret -out "
                         "client-locked.key");
  for (const auto& entry : std::filesystem::directory_iterator(m_dir)) {
    std::filesystem::permissions(
        entry.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                          std::filesystem::perms::group_read | std::filesystem::perms::others_read);
  }
}

CTestCertificates::~CTestCertificates() {
  std::error_code ignored;
  std::filesystem::remove_all(m_dir, ignored);
}

bool CTestCertificates::Run(const std::string& commandLine) {
  std::vector<std::string> argv;
  std::istringstream words(commandLine);
  for (std::string word; words >> word;) argv.push_back(word);
  CChildProcess openssl(argv, m_dir, m_dir / "openssl.log");
  return openssl.WaitForExit(std::chrono::seconds(30)) && openssl.ExitCode() == 0;
}

std::string CTestCertificates::ListenerLines(const std::string& stem,
                                             bool requireClientCertificate) const {
  return "cafile " + Path("ca.pem") + "\ncertfile " + Path(stem + ".pem") + "\nkeyfile " +
         Path(stem + ".key") + "\nrequire_certificate " +
         (requireClientCertificate ? "true" : "false") + "\n";
}
