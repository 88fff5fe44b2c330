// "ST": the gateway's health in list lines (health/status_text.h), and the figures behind it.
#include <chrono>
#include <cstring>
#include <utility>

#include "health/status_snapshots.h"
#include "health/status_text.h"
#include "net/gateway_counters.h"
#include "net/response.h"
#include "platform/codepage.h"
#include "platform/service_notify.h"
#include "protocol/list_reply.h"
#include "protocol/request_dispatcher.h"
#include "protocol/request_settings.h"
#include "res/strings.h"

namespace {

constexpr char kStatusCommand[] = "ST";

double SecondsSince(std::chrono::steady_clock::time_point then,
                    std::chrono::steady_clock::time_point now) {
  return std::chrono::duration<double>(now - then).count();
}

const char* ServerStateName(CServerConnection::State state) {
  switch (state) {
    case CServerConnection::State::kConnected:
      return "connected";
    case CServerConnection::State::kNotYetAsked:
      return "waiting_for_first_request";
    case CServerConnection::State::kConnecting:
      return "connecting";
    case CServerConnection::State::kLost:
      return "lost";
    case CServerConnection::State::kNotConnected:
      break;
  }
  return "not_connected";
}

std::string StatusReply(GatewayStatus status) {
  // Texts from the command line never split a line or a field.
  status.progId = ListField(status.progId);
  status.writers = ListField(status.writers);
  status.activeProgId = ListField(status.activeProgId);
  return ListReplyText("lines of status", StatusLines(status));
}

}  // namespace

int CRequestDispatcher::StatusCommand(CHttpBlockingSocket&, CRequestTokenizer&,
                                      std::string& reply) {
  GatewayStatus status;
  FillStatus(status);
  reply = StatusReply(std::move(status));
  return 0;
}

bool CRequestDispatcher::IsStatusRequestAnswerableHere(CHttpBlockingSocket& connection) {
  bool status = false;
  try {
    CRequestTokenizer line(connection.Request());
    line.ReadLine();
    const char* token = line.NextToken();
    status = token != nullptr && std::strcmp(token, kStatusCommand) == 0;
  } catch (...) {
    status = false;  // whatever the UI side makes of it, as before
  }
  return status && LatestGatewayStatus().has_value();
}

std::optional<double> CRequestDispatcher::AnswerStatusHere(CHttpBlockingSocket& connection) {
  const auto began = std::chrono::steady_clock::now();
  try {
    std::optional<GatewayStatus> latest = LatestGatewayStatus();
    if (!latest) return std::nullopt;
    Response(connection, 0, StatusReply(std::move(*latest)));
  } catch (...) {
    return std::nullopt;
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

void CRequestDispatcher::RecordStatusAnswered(double seconds) {
  m_uiThread.Check();
  m_requestFigures.Record(kStatusCommand, 0, seconds);
}

void CRequestDispatcher::FillStatus(GatewayStatus& status) const {
  m_uiThread.Check();
  const auto now = std::chrono::steady_clock::now();
  const GatewayCounters& counters = m_counters;
  status.version = kProductVersion;
  status.uptimeSeconds = SecondsSince(counters.startedAt, now);
  status.progId = WideToMultiByte(m_connection.ProgId());
  const CServerConnection::Figures& server = m_connection.Counts();
  status.serverConnected = m_connection.Server() != nullptr;
  const CServerConnection::State state = m_connection.CurrentState();
  status.serverState = ServerStateName(state);
  const bool outage = state == CServerConnection::State::kLost;
  if (status.serverConnected) {
    status.serverConnectedSince = server.connectedSince;
    status.serverConnectedSeconds = SecondsSince(server.connectedAt, now);
  }
  status.serverLosses = server.losses;
  status.serverReconnects = server.reconnects;
  status.lastLossCode = server.lastLossCode;
  status.backupConfigured = m_connection.Failover().Enabled();
  if (status.backupConfigured) {
    status.backupActive = m_connection.BackupActive();
    status.activeProgId = WideToMultiByte(m_connection.ActiveProgId());
    status.backupAvailable = m_connection.BackupAvailable();
    status.failovers = m_connection.Failovers();
  }
  status.groupEntries = m_registry.GroupCount();
  status.groupAges.reserve(status.groupEntries);
  for (std::size_t index = 0; index < status.groupEntries; ++index) {
    const GroupRecord* group = m_registry.GetGroup(index);
    if (group == nullptr) continue;
    status.items += group->wItemsDefined;
    if (outage && group->bActive && !group->ActiveAtServer() &&
        group->valuesSinceBeforeLoss != std::chrono::steady_clock::time_point{}) {
      // Active before the server was lost: nothing moves, so its age goes on growing.
      status.groupAges.push_back({index, SecondsSince(group->valuesSinceBeforeLoss, now)});
      continue;
    }
    if (group->hServerGroup == 0) continue;
    ++status.groupsRegistered;
    if (!group->bActive || !group->ActiveAtServer()) continue;
    ++status.groupsActive;
    status.groupAges.push_back({index, SecondsSince(group->valuesSince, now)});
  }
  status.requests = m_requestFigures;
  status.refusals = counters.Refusals();
  status.datagramsSent = counters.datagramsSent.load(std::memory_order_relaxed);
  status.datagramFailures = counters.datagramFailures.load(std::memory_order_relaxed);
  const RequestSettings& settings = m_settings;
  status.writers = settings.readOnly              ? "none"
                   : settings.writersText.empty() ? "any"
                                                  : settings.writersText;
  status.auditWritable = m_audit.Writable();  // no file I/O: the status is filled at every turn
  status.writes = m_writeCounts;
  status.serviceNotifyFailures = ServiceNotifyFailures();
}
