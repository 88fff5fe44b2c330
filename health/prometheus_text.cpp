#include "health/prometheus_text.h"

#include "platform/string_format.h"

namespace {

constexpr const char* kResultNames[CRequestFigures::kResultCount] = {"success", "refused",
                                                                     "failed"};

std::string Integer(long long value) {
  return std::to_string(value);
}

void Server(CPrometheusText& out, const GatewayStatus& s) {
  out.Family("quarnix_server_connected", "gauge",
             "1 while the gateway holds a connection to its OPC server, else 0.");
  out.Sample("quarnix_server_connected", "progid=\"" + PrometheusLabelValue(s.progId) + "\"",
             s.serverConnected ? "1" : "0");
  out.Gauge("quarnix_server_awaiting_first_request",
            "1 while the OPC server is not connected only because no request has asked for it "
            "yet (started without /connect); nothing is lost. Else 0.",
            s.AwaitingFirstRequest() ? "1" : "0");
  out.Gauge("quarnix_server_connected_seconds",
            "Seconds since the OPC server connection was made; 0 while not connected.",
            PrometheusNumber(s.serverConnectedSeconds));
  out.Counter("quarnix_server_losses_total", "OPC server connections found lost.", s.serverLosses);
  out.Counter("quarnix_server_reconnects_total", "OPC server connections made again after a loss.",
              s.serverReconnects);
  out.Gauge("quarnix_server_last_loss_code",
            "HRESULT of the last loss as an unsigned number; 0 before any.",
            Integer(static_cast<std::uint32_t>(s.lastLossCode)));
  if (!s.backupConfigured) return;
  out.Family("quarnix_server_active", "gauge",
             "1 for the OPC server that serves (primary or backup, /backup), 0 for the other.");
  out.Sample("quarnix_server_active", "server=\"primary\"", s.backupActive ? "0" : "1");
  out.Sample("quarnix_server_active", "server=\"backup\"", s.backupActive ? "1" : "0");
  out.Gauge("quarnix_server_backup_available",
            "1 while the backup OPC server serves or answers its checks as running, else 0.",
            s.backupAvailable ? "1" : "0");
  out.Counter("quarnix_server_failovers_total", "Switches from the primary to the backup server.",
              s.failovers);
}

void Groups(CPrometheusText& out, const GatewayStatus& s) {
  out.Gauge("quarnix_group_entries", "Entries of the group list, placeholders included.",
            Integer(static_cast<long long>(s.groupEntries)));
  out.Gauge("quarnix_groups_registered", "Groups registered with the OPC server.",
            Integer(static_cast<long long>(s.groupsRegistered)));
  out.Gauge("quarnix_groups_active", "Groups registered and active.",
            Integer(static_cast<long long>(s.groupsActive)));
  out.Gauge("quarnix_items", "Items of all groups.", Integer(static_cast<long long>(s.items)));
  const double largest = s.LargestValueAge();
  out.Gauge("quarnix_value_age_max_seconds",
            "Largest time since an active group's last value change; 0 when none is active.",
            PrometheusNumber(largest < 0 ? 0 : largest));
  out.Family("quarnix_group_value_age_seconds", "gauge",
             "Seconds since the active group's last value-change datagram (or its activation).");
  for (const GroupValueAge& age : s.groupAges)
    out.Sample("quarnix_group_value_age_seconds", "group=\"" + std::to_string(age.index) + "\"",
               PrometheusNumber(age.seconds));
}

void Writes(CPrometheusText& out, const GatewayStatus& s) {
  out.Family(
      "quarnix_writers_info", "gauge",
      "Always 1; the label names who may write: any, none (/readonly) or the /writers list.");
  out.Sample("quarnix_writers_info", "writers=\"" + PrometheusLabelValue(s.writers) + "\"", "1");
  out.Gauge("quarnix_audit_writable",
            "1 while the audit trail of writes can be written; 0: writes are refused.",
            s.auditWritable ? "1" : "0");
  out.Family("quarnix_writes_total", "counter",
             "Write requests (SW, AW, RM of another client's group) by result.");
  for (std::size_t k = 0; k < WriteCounts::kResultCount; ++k)
    out.Sample("quarnix_writes_total",
               std::string("result=\"") + WriteCounts::kResultNames[k] + "\"",
               std::to_string(s.writes.byResult[k]));
  out.Family("quarnix_writes_refused_total", "counter",
             "Write requests refused before any server call, by reason.");
  for (std::size_t k = 0; k < WriteCounts::kReasonCount; ++k)
    out.Sample("quarnix_writes_refused_total",
               std::string("reason=\"") + WriteCounts::kReasonNames[k] + "\"",
               std::to_string(s.writes.refusedBy[k]));
}

void Requests(CPrometheusText& out, const GatewayStatus& s) {
  out.Family("quarnix_requests_total", "counter", "Requests answered, by command and result.");
  for (const CRequestFigures::CommandCounts& entry : s.requests.ByCommand()) {
    for (int result = 0; result < CRequestFigures::kResultCount; ++result) {
      out.Sample("quarnix_requests_total",
                 "command=\"" + PrometheusLabelValue(entry.command) + "\",result=\"" +
                     kResultNames[result] + "\"",
                 std::to_string(entry.counts[static_cast<std::size_t>(result)]));
    }
  }
  out.Family("quarnix_request_duration_seconds", "histogram",
             "Time the UI thread spent on a request, reply included.");
  unsigned long long cumulative = 0;
  const auto& buckets = s.requests.Buckets();
  for (std::size_t i = 0; i < buckets.size(); ++i) {
    cumulative += buckets[i];
    const std::string bound = i < CRequestFigures::kBucketBounds.size()
                                  ? StringPrintf("%g", CRequestFigures::kBucketBounds[i])
                                  : std::string("+Inf");
    out.Sample("quarnix_request_duration_seconds_bucket", "le=\"" + bound + "\"",
               std::to_string(cumulative));
  }
  out.Sample("quarnix_request_duration_seconds_sum", "",
             PrometheusNumber(s.requests.SecondsTotal()));
  out.Sample("quarnix_request_duration_seconds_count", "", std::to_string(cumulative));
  out.Family("quarnix_connections_refused_total", "counter",
             "Request connections closed unserved, by reason.");
  out.Sample("quarnix_connections_refused_total", "reason=\"not_allowed\"",
             std::to_string(s.refusals.notAllowed));
  out.Sample("quarnix_connections_refused_total", "reason=\"too_many\"",
             std::to_string(s.refusals.tooMany));
  out.Sample("quarnix_connections_refused_total", "reason=\"no_room\"",
             std::to_string(s.refusals.noRoom));
  Writes(out, s);
  out.Counter("quarnix_datagrams_sent_total", "Datagrams sent.", s.datagramsSent);
  out.Counter("quarnix_datagram_send_failures_total", "Datagrams that could not be sent.",
              s.datagramFailures);
  out.Counter(
      "quarnix_service_notify_failures_total",
      "Notifications to the service manager dropped because they could not be sent at once.",
      s.serviceNotifyFailures);
}

void Process(CPrometheusText& out, const ProcessFigures& p) {
  if (p.residentBytes >= 0)
    out.Gauge("quarnix_process_resident_memory_bytes", "Resident memory of the gateway process.",
              Integer(p.residentBytes));
  if (p.openFiles >= 0)
    out.Gauge("quarnix_process_open_fds", "Open descriptors (handles on Windows).",
              Integer(p.openFiles));
  if (p.maxFiles >= 0)
    out.Gauge("quarnix_process_max_fds", "The open-file limit.", Integer(p.maxFiles));
}

}  // namespace

void CPrometheusText::Family(const char* name, const char* type, const char* help) {
  m_text += "# HELP ";
  m_text += name;
  m_text += ' ';
  m_text += help;
  m_text += "\n# TYPE ";
  m_text += name;
  m_text += ' ';
  m_text += type;
  m_text += '\n';
}

void CPrometheusText::Sample(const char* name, const std::string& labels,
                             const std::string& value) {
  m_text += name;
  if (!labels.empty()) m_text += '{' + labels + '}';
  m_text += ' ';
  m_text += value;
  m_text += '\n';
}

void CPrometheusText::Gauge(const char* name, const char* help, const std::string& value) {
  Family(name, "gauge", help);
  Sample(name, "", value);
}

void CPrometheusText::Counter(const char* name, const char* help, unsigned long long value) {
  Family(name, "counter", help);
  Sample(name, "", std::to_string(value));
}

std::string PrometheusNumber(double value) {
  return StringPrintf("%.6f", value);
}

std::string PrometheusLabelValue(const std::string& value) {
  std::string escaped;
  for (const char c : value) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '"') {
      escaped += "\\\"";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string PrometheusText(const GatewayStatus& status, const ProcessFigures& process) {
  CPrometheusText out;
  out.Family("quarnix_build_info", "gauge", "Always 1; the version is the label.");
  out.Sample("quarnix_build_info", "version=\"" + PrometheusLabelValue(status.version) + "\"", "1");
  out.Gauge("quarnix_uptime_seconds", "Seconds since the gateway started.",
            PrometheusNumber(status.uptimeSeconds));
  out.Gauge("quarnix_status_copy_seconds",
            "Time the UI thread took to copy the figures of this scrape.",
            PrometheusNumber(status.copySeconds));
  Server(out, status);
  Groups(out, status);
  Requests(out, status);
  Process(out, process);
  return std::move(out.Text());
}
