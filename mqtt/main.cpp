// quarnix-mqtt FILE: publishes the gateway's value changes to an MQTT broker, as FILE says.
// Exit status: 0 after SIGTERM or Ctrl-C, 1 for a configuration (or UDP port, or broker
// setting) that cannot be used, 64 for a bad command line.
#include <mosquitto.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>

#include "mqtt/bridge.h"
#include "mqtt/bridge_config.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) {
  g_stop = 1;
}

// "YYYY-MM-DD HH:MM:SS text" on standard error (the journal under systemd).
void Log(const std::string& line) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(stderr, "%s %s\n", stamp, line.c_str());
  std::fflush(stderr);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string usage =
      "usage: quarnix-mqtt FILE\n"
      "Publishes the values of the gateway groups that FILE defines to an MQTT broker.\n"
      "FILE is described in the commented example quarnix-mqtt.example.conf.\n";
  if (argc != 2 || std::string(argv[1]).rfind("-", 0) == 0) {
    const bool help =
        argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h");
    (help ? std::cout : std::cerr) << usage;
    return help ? 0 : 64;
  }
  std::string error;
  auto config = LoadBridgeConfig(argv[1], &error);
  if (!config) {
    std::cerr << "quarnix-mqtt: " << error << "\n";
    return 1;
  }
  std::signal(SIGTERM, OnStopSignal);
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGPIPE, SIG_IGN);
  mosquitto_lib_init();
  int status = 0;
  {
    CBridge bridge(std::move(*config), Log);
    status = bridge.Run(g_stop);
  }
  mosquitto_lib_cleanup();
  return status;
}
