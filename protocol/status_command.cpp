// "ST": the gateway's health in list lines (net/status_text.h), and the figures behind it.
#include <chrono>
#include <cstring>
#include <utility>

#include "net/gateway_counters.h"
#include "net/response.h"
#include "net/status_snapshots.h"
#include "net/status_text.h"
#include "platform/codepage.h"
#include "platform/service_notify.h"
#include "protocol/list_reply.h"
#include "protocol/request_dispatcher.h"
#include "res/strings.h"

namespace {

constexpr char kStatusCommand[] = "ST";

double SecondsSince(std::chrono::steady_clock::time_point then,
                    std::chrono::steady_clock::time_point now) {
  return std::chrono::duration<double>(now - then).count();
}

std::string StatusReply(GatewayStatus status) {
  // Texts from the command line never split a line or a field.
  status.progId = ListField(status.progId);
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
    CRequestTokenizer line;
    line.ReadLine(connection);
    const char* token = line.NextToken();
    status = token != nullptr && std::strcmp(token, kStatusCommand) == 0;
  } catch (...) {
    status = false;  // whatever the UI side makes of it, as before
  }
  connection.Rewind();
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
  const GatewayCounters& counters = Counters();
  status.version = kProductVersion;
  status.uptimeSeconds = SecondsSince(counters.startedAt, now);
  status.progId = WideToMultiByte(m_connection.ProgId());
  const CServerConnection::Figures& server = m_connection.Counts();
  status.serverConnected = m_connection.Server() != nullptr;
  if (status.serverConnected) {
    status.serverConnectedSince = server.connectedSince;
    status.serverConnectedSeconds = SecondsSince(server.connectedAt, now);
  }
  status.serverLosses = server.losses;
  status.serverReconnects = server.reconnects;
  status.lastLossCode = server.lastLossCode;
  status.groupEntries = m_registry.GroupCount();
  status.groupAges.reserve(status.groupEntries);
  for (std::size_t index = 0; index < status.groupEntries; ++index) {
    const GroupRecord* group = m_registry.GetGroup(index);
    if (group == nullptr) continue;
    status.items += group->wItemsDefined;
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
  status.serviceNotifyFailures = ServiceNotifyFailures();
}
