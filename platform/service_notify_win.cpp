#include "platform/service_notify.h"

// The Windows service reports to the service control manager itself (winui/); systemd's
// notification socket does not exist there.
bool ServiceNotify(const std::string&) {
  return false;
}

std::uint64_t ServiceNotifyFailures() {
  return 0;
}

std::chrono::milliseconds ServiceWatchdogInterval() {
  return std::chrono::milliseconds(0);
}
