#include "health/status_text.h"

#include "platform/string_format.h"

namespace {

std::string Seconds(double seconds) {
  return StringPrintf("%.3f", seconds);
}

std::string Line(const char* key, const std::string& value) {
  return std::string(key) + '\t' + value;
}

std::string Count(unsigned long long value) {
  return std::to_string(value);
}

}  // namespace

std::vector<std::string> StatusLines(const GatewayStatus& s) {
  const double largest = s.LargestValueAge();
  std::vector<std::string> lines = {
      Line("version", s.version),
      Line("uptime_seconds", Seconds(s.uptimeSeconds)),
      Line("server_progid", s.progId),
      Line("server_connected", s.serverConnected ? "1" : "0"),
      Line("server_state", s.serverState),
      Line("server_connected_since", std::to_string(s.serverConnectedSince)),
      Line("server_connected_seconds", Seconds(s.serverConnectedSeconds)),
      Line("server_losses", Count(s.serverLosses)),
      Line("server_reconnects", Count(s.serverReconnects)),
      Line("server_last_loss_code", StringPrintf("0x%08X", static_cast<unsigned>(s.lastLossCode))),
      Line("group_entries", Count(s.groupEntries)),
      Line("groups_registered", Count(s.groupsRegistered)),
      Line("groups_active", Count(s.groupsActive)),
      Line("items", Count(s.items)),
      Line("requests_served", Count(s.requests.Answered())),
      Line("requests_refused", Count(s.refusals.Total())),
      Line("datagrams_sent", Count(s.datagramsSent)),
      Line("datagram_send_failures", Count(s.datagramFailures)),
      Line("writers", s.writers),
      Line("audit_writable", s.auditWritable ? "1" : "0"),
  };
  if (s.backupConfigured) {
    lines.push_back(Line("server_active", s.backupActive ? "backup" : "primary"));
    lines.push_back(Line("server_active_progid", s.activeProgId));
    lines.push_back(Line("server_backup_available", s.backupAvailable ? "1" : "0"));
    lines.push_back(Line("server_failovers", Count(s.failovers)));
  }
  lines.push_back(Line("value_age_max_seconds", largest < 0 ? std::string("-") : Seconds(largest)));
  for (const GroupValueAge& age : s.groupAges) {
    lines.push_back("group_value_age_seconds\t" + std::to_string(age.index) + '\t' +
                    Seconds(age.seconds));
  }
  return lines;
}
