// What the bridge's end-to-end tests start: a child process with its output in a file, a
// mosquitto broker of their own on a free 127.0.0.1 port (generated configuration in a temporary
// directory, never a system service), the bridge with a written configuration, and a subscriber
// that collects messages and waits for one that fits.
//
// Error rule: nothing throws; Started()/Ready() tell whether a start worked, waits return nullopt
// (or false) at their deadline. Thread rule: the subscriber's callbacks run on libmosquitto's
// thread and hand messages over under a lock; everything else on the test's thread.
// Ownership: each object owns its child process (killed and reaped by the destructor) or its
// client, and its temporary directory.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct mosquitto;

class CChildProcess {
public:
  // Starts argv[0] with the arguments in workDir; standard output and error go to outputFile.
  CChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& workDir,
                const std::filesystem::path& outputFile);
  ~CChildProcess();
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  bool Started() const { return m_pid > 0; }
  int Pid() const { return m_pid; }
  void Signal(int signal);
  bool WaitForExit(std::chrono::milliseconds timeout);
  int ExitCode() const { return m_exitCode; }  // -1 after a signal
  std::string Output() const;

private:
  int m_pid = -1;
  bool m_exited = false;
  int m_exitCode = -1;
  std::filesystem::path m_outputFile;
};

// Waits until a TCP connection to 127.0.0.1:port is accepted.
bool WaitForListener(std::uint16_t port, std::chrono::milliseconds timeout);

// Waits until the condition holds; false at the deadline.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

class CMosquittoBroker {
public:
  // extraConfig: further lines for mosquitto.conf (such as "allow_anonymous false").
  explicit CMosquittoBroker(const std::string& extraConfig = "allow_anonymous true");
  ~CMosquittoBroker();

  bool Start();  // on the same port as before, once one was chosen
  void Stop();
  bool Ready() const { return m_process != nullptr; }
  std::uint16_t Port() const { return m_port; }

private:
  std::filesystem::path m_dir;
  std::string m_extraConfig;
  std::uint16_t m_port = 0;
  std::unique_ptr<CChildProcess> m_process;
};

struct ReceivedMessage {
  std::string topic;
  std::string payload;
  bool retained = false;
};

class CMqttSubscriber {
public:
  // Connects to the broker and subscribes to the pattern (again after each reconnect). With a
  // client ID the session is kept (clean session off): a broker with persistence holds the
  // messages that come while this subscriber is away, even across its own restart.
  CMqttSubscriber(std::uint16_t port, std::string pattern, const std::string& clientId = "");
  ~CMqttSubscriber();

  bool Connected() const;
  // The first message from index `from` on whose topic is `topic` and that fits; nullopt at
  // the deadline.
  std::optional<ReceivedMessage> WaitFor(
      const std::string& topic, const std::function<bool(const ReceivedMessage&)>& fits,
      std::chrono::milliseconds timeout = std::chrono::seconds(20), std::size_t from = 0);
  std::size_t Count() const;
  std::vector<ReceivedMessage> Messages() const;
  bool Publish(const std::string& topic, const std::string& payload);

private:
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnMessage(mosquitto*, void* self, const struct mosquitto_message* message);

  mosquitto* m_client = nullptr;
  std::string m_pattern;
  mutable std::mutex m_mutex;
  std::condition_variable m_arrived;
  std::vector<ReceivedMessage> m_messages;
  bool m_connected = false;
};

// A running quarnix-mqtt with the configuration text given, in a temporary directory.
class CBridgeProcess {
public:
  explicit CBridgeProcess(const std::string& configText);
  ~CBridgeProcess();
  CChildProcess& Process() { return *m_process; }
  std::string Log() const { return m_process->Output(); }
  // Waits until the log holds the text.
  bool WaitForLog(const std::string& text,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
  std::filesystem::path m_dir;
  std::unique_ptr<CChildProcess> m_process;
};

// Certificates made with the openssl command in a directory of their own (readable by all, for
// a broker that drops root): a CA (ca.pem), a broker certificate signed by it for 127.0.0.1 and
// localhost (server.pem, server.key), one for another name only (elsewhere.pem, elsewhere.key),
// and a client certificate (client.pem, client.key; client-locked.key is that key protected
// by a password).
class CTestCertificates {
public:
  CTestCertificates();
  ~CTestCertificates();
  bool Made() const { return m_made; }
  std::string Path(const std::string& name) const { return (m_dir / name).string(); }
  // mosquitto.conf lines for a TLS listener with the broker certificate given by its stem.
  std::string ListenerLines(const std::string& stem, bool requireClientCertificate) const;

private:
  bool Run(const std::string& commandLine);
  std::filesystem::path m_dir;
  bool m_made = false;
};

// A UDP port on 127.0.0.1 that was free a moment ago.
std::uint16_t FreeUdpPort();

// The text of a JSON field ("value":42 gives "42") of a flat payload, or empty.
std::string JsonField(const std::string& payload, const std::string& name);
