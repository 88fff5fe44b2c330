#include "protocol/request_dispatcher.h"

#include <cstring>
#include <utility>

#include "core/activity_log.h"
#include "health/status_snapshots.h"
#include "net/response.h"
#include "platform/codepage.h"
#include "platform/socket_api.h"
#include "protocol/handler_text.h"
#include "protocol/request_settings.h"

namespace {

// The framings of the command table's rows.
constexpr CommandFraming kFirstLineOnly{};
constexpr CommandFraming kList{FurtherLines::kList, 0, false};
// A count in field 3 (after the group index); absent, nothing more is read.
constexpr CommandFraming kItemLines{FurtherLines::kCountedList, 3, false};
// An optional count: absent, the lines run to an empty line.
constexpr CommandFraming CountedOrToEmptyLine(int countField) {
  return {FurtherLines::kCountedList, countField, true};
}
constexpr CommandFraming kGroupDefinitions{FurtherLines::kGroupDefinitions, 2, true};
constexpr CommandFraming FixedLines(int count) {
  return {FurtherLines::kFixedLines, count, false};
}

// The server connection's times from /calltimeout and /statuscheck.
ConnectionTimes TimesOf(const RequestSettings& settings) {
  return {std::chrono::seconds(settings.callTimeoutSeconds),
          std::chrono::seconds(settings.statusCheckSeconds)};
}

const CommandFraming* FramingOf(std::string_view command) {
  const CRequestDispatcher::CommandRow* row = CRequestDispatcher::FindCommand(command);
  return row != nullptr ? &row->framing : nullptr;
}

}  // namespace

std::span<const CRequestDispatcher::CommandRow> CRequestDispatcher::CommandTable() {
  using D = CRequestDispatcher;
  static constexpr CommandRow kCommandTable[] = {
      // name, framing, handler, needs the server, writes
      {"SW", kItemLines, &D::WriteSyncCommand, true, true},
      {"HBT", kFirstLineOnly, &D::Heartbeat, true, false},
      {"Q?", kList, &D::QueryGroupIndexes, true, false},
      {"AD", kGroupDefinitions, &D::DefineGroups, true, false},
      {"RF", kList, &D::RefreshGroups, true, false},
      {"AW", kItemLines, &D::WriteAsyncCommand, true, true},
      {"SR", kItemLines, &D::ReadSyncCommand, true, false},
      {"AR", kItemLines, &D::ReadAsyncCommand, true, false},
      {"AC", CountedOrToEmptyLine(3), &D::SetGroupsActive, true, false},
      {"RM", CountedOrToEmptyLine(2), &D::RemoveGroups, true, false},
      {"Exit", kFirstLineOnly, &D::ExitRequest, true, false},
      {"BR", FixedLines(3), &D::BrowseCommand, true, false},
      {"IP", FixedLines(2), &D::PropertiesCommand, true, false},
      {"ST", kFirstLineOnly, &D::StatusCommand, false, false},
      {"TD", kGroupDefinitions, &D::DefineTypedGroups, true, false},
      {"TR", kItemLines, &D::ReadTypedCommand, true, false},
  };
  return kCommandTable;
}

const CRequestDispatcher::CommandRow* CRequestDispatcher::FindCommand(std::string_view command) {
  for (const CommandRow& row : CommandTable())
    if (command == row.name) return &row;
  return nullptr;
}

bool CRequestDispatcher::ReadRequest(CHttpBlockingSocket& connection) {
  return ReadWholeRequest(connection, &FramingOf);
}

CRequestDispatcher::CRequestDispatcher(IFrameView& view, WideString progId,
                                       const DispatcherInputs& inputs)
    : m_view(view),
      m_settings(inputs.requests),
      m_counters(inputs.counters),
      m_log(inputs.logSwitches),
      m_connection(view, std::move(progId), TimesOf(inputs.requests), inputs.requests.failover),
      m_registry(view, m_connection, inputs.sender, inputs.logSwitches) {
  m_registry.SetWriteCompletion([this](OPCHANDLE group, DWORD transactionId, DWORD count,
                                       const OPCHANDLE* items, const HRESULT* errors) {
    AuditWriteCompletion(group, transactionId, count, items, errors);
  });
}

CRequestDispatcher::~CRequestDispatcher() {
  m_registry.SetWriteCompletion(nullptr);
}

int CRequestDispatcher::OnRequest(CHttpBlockingSocket& connection) {
  m_uiThread.Check();
  const auto began = std::chrono::steady_clock::now();
  // Framed by the listener; a connection handed over without it is framed here, once.
  if (!connection.Request().Framed()) ReadRequest(connection);
  CRequestTokenizer line(connection.Request());
  if (!ReadFirstLine(line)) return 1;
  const char* token = line.NextToken();
  const std::string command = token != nullptr ? token : "";
  const CommandRow* row = FindCommand(command);

  std::string reply;
  int code = 1;
  m_closeRequested = false;
  // The exception path reports the last error of this request, not a stale one.
  SetSocketLastError(0);
  if (!RunCommand(connection, line, command, row, reply, code)) {
    // No server could be created: the client and the operator are told why.
    Response(connection, code, reply);
    RecordRequest(row, code, began);
    m_view.LogToWindow(reply);
    m_connection.SettleServerState();
    PublishStatus();
    return 1;
  }
  // A server found lost on the way is given up after the reply, which still carries the failing
  // code and text; a call cancelled at the deadline is judged (slow or hung) after it too, so the
  // client does not wait for the status check.
  Response(connection, code, reply);
  RecordRequest(row, code, began);
  m_connection.NoteServerResult(code);
  m_connection.SettleServerState();
  PublishStatus();
  if (m_closeRequested) {
    // Queued, so the close confirmation runs after this reply has gone out.
    m_closeRequested = false;
    m_view.PostCloseRequest();
  }
  return 0;
}

void CRequestDispatcher::PublishStatus() const {
  GatewayStatus status;
  FillStatus(status);
  PublishGatewayStatus(std::move(status));
}

bool CRequestDispatcher::ReadFirstLine(CRequestTokenizer& line) {
  try {
    line.ReadLine();
  } catch (const CBlockingSocketException& e) {
    // Time-out, closed connection: nobody to answer; the operator sees why.
    m_view.ShowErrorMessage(e.Message());
    return false;
  } catch (...) {
    return false;  // nothing was read that could be answered
  }
  // Too short to hold a command before its line end.
  return line.LineLength() - 2 >= 1;
}

bool CRequestDispatcher::RunCommand(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                                    const std::string& command, const CommandRow* row,
                                    std::string& reply, int& code) {
  try {
    if (row != nullptr && row->writes && !m_settings.readOnly &&
        !MayWrite(ClientOf(connection, nullptr), reply)) {
      // Recorded like every write request; nothing is called.
      AuditEntry entry = DescribeWrite(connection);
      entry.result = "refused";
      entry.reason = reply;
      for (AuditedItem& item : entry.items) item.outcome = "refused";
      RecordWrite(entry, WriteCounts::kNotWriter);
      code = 1;
      return true;
    }
    // An unknown command connects the server too, as every command did before its lookup.
    if ((row == nullptr || row->needsServer) && !ConnectServer(command, reply, code)) return false;
    if (row != nullptr) {
      code = (this->*row->handler)(connection, line, reply);
    } else {
      reply = StringPrintf("Unknown command: %s", command.c_str());
      code = 1;
    }
  } catch (const CRequestLineTooLong& tooLong) {
    // Refused like any malformed request; the handler's guards have undone what it began.
    code = 1;
    m_closeRequested = false;
    reply = StringPrintf("Line too long: %s", tooLong.Start().c_str());
  } catch (...) {
    // The handler's work so far stands; the client learns that the request failed.
    const int lastError = SocketLastError();
    code = lastError != 0 ? lastError : E_FAIL;
    m_closeRequested = false;
    reply = StringPrintf(SystemText("%s 请求时，程序抛出了异常。错误代码：%x").c_str(),
                         command.c_str(), static_cast<unsigned>(code));
    m_view.LogToWindow(reply);
    LogToFile(reply);
  }
  return true;
}

bool CRequestDispatcher::ConnectServer(const std::string& command, std::string& reply, int& code) {
  if (m_connection.Server() != nullptr) return true;
  m_view.LogToWindow(
      StringPrintf(SystemText("处理请求 %s 前尝试创建OpcServer").c_str(), command.c_str()));
  std::string error;
  const HRESULT hr = m_connection.ConnectForRequest(error);
  if (hr == S_OK) return true;
  code = hr;
  reply = StringPrintf(SystemText("创建OpcServer错误：%s").c_str(), error.c_str());
  return false;
}

int CRequestDispatcher::Heartbeat(CHttpBlockingSocket&, CRequestTokenizer&, std::string& reply) {
  reply = "HBT OK!";
  return 0;
}

int CRequestDispatcher::ExitRequest(CHttpBlockingSocket&, CRequestTokenizer&, std::string& reply) {
  reply.clear();
  m_closeRequested = true;
  return 0;
}

std::optional<std::size_t> CRequestDispatcher::TakeGroupIndex(const char* field,
                                                              std::string& reply) const {
  const std::int32_t index = CRequestTokenizer::ToInt(field);
  if (field == nullptr || index < 0 || static_cast<std::size_t>(index) >= m_registry.GroupCount()) {
    reply = StringPrintf("Invalid group index: %s", FieldText(field));
    return std::nullopt;
  }
  return static_cast<std::size_t>(index);
}

GroupRecord* CRequestDispatcher::TakeGroup(const char* field, std::string& reply) {
  const std::optional<std::size_t> index = TakeGroupIndex(field, reply);
  if (!index) return nullptr;
  GroupRecord* group = m_registry.GetGroup(*index);
  if (group == nullptr) reply = StringPrintf("Group %d was removed", static_cast<int>(*index));
  return group;
}

CRequestDispatcher::Refusal CRequestDispatcher::OpenGroupIo(GroupRecord& group, const char* field,
                                                            bool sync, std::string& reply) {
  const HRESULT hr = sync ? group.ObtainSyncIO() : group.ObtainAsyncIO2();
  if (hr == S_OK) return std::nullopt;
  if (hr == S_FALSE) {
    reply =
        StringPrintf("Group %d is not registered with the server", CRequestTokenizer::ToInt(field));
    return 1;
  }
  reply = sync ? "Cannot open IOPCSyncIO" : "Cannot open IOPCAsyncIO2";
  return hr;
}

CRequestDispatcher::Refusal CRequestDispatcher::TakeGroupCount(CRequestTokenizer& line, WORD& count,
                                                               std::string& reply) {
  const char* countField = line.NextToken();
  count = 65535;
  if (countField == nullptr) return std::nullopt;
  count = static_cast<WORD>(CRequestTokenizer::ToInt(countField));
  if (count != 0) return std::nullopt;
  reply = StringPrintf("Invalid group count: %s", countField);
  return 1;
}

void CRequestDispatcher::RecordRequest(const CommandRow* row, int code,
                                       std::chrono::steady_clock::time_point began) {
  const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - began;
  m_requestFigures.Record(row != nullptr ? row->name : "other", code, spent.count());
}
