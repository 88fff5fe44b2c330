// "SW" (synchronous write) and "AW" (asynchronous write), who may make them (/readonly,
// /writers) and their audit trail.
#include <algorithm>
#include <memory>

#include "core/activity_log.h"
#include "platform/codepage.h"
#include "protocol/handler_text.h"
#include "protocol/request_dispatcher.h"
#include "protocol/request_settings.h"

namespace {

// The VARIANTs of one write request; cleared when the request is done.
class CWriteValues {
public:
  explicit CWriteValues(std::size_t count) : m_values(count) {
    for (VARIANT& value : m_values) VariantInit(&value);
  }
  ~CWriteValues() {
    for (VARIANT& value : m_values) VariantClear(&value);
  }
  CWriteValues(const CWriteValues&) = delete;
  CWriteValues& operator=(const CWriteValues&) = delete;
  VARIANT* Data() { return m_values.data(); }
  VARIANT& operator[](std::size_t k) { return m_values[k]; }

private:
  std::vector<VARIANT> m_values;
};

// Whether a value text is one whole number: blanks, a sign, at least one digit, then nothing
// but blanks (the blanks that the conversion skips). "abc", "12abc" and "4 2" are not.
bool IsWholeNumber(const std::string& text) {
  const auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  std::size_t at = 0;
  while (at < text.size() && blank(text[at])) ++at;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
  const std::size_t digits = at;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
  if (at == digits) return false;
  while (at < text.size() && blank(text[at])) ++at;
  return at == text.size();
}

// The integer and Boolean types: their value text must be one whole number.
bool IsWholeNumberType(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
    case VT_BOOL:
      return true;
    default:
      return false;
  }
}

// Makes the value written to an item of type vt from its decimal text. The narrow integer types
// take the low bits of the number; every other type converts the text as the COM conversion does
// (VT_EMPTY stands for the item's canonical type). False when the text does not convert. An
// integer or Boolean item refuses a text that is not one whole number (blanks and a sign
// allowed): a client's garbage must not become a 0 or a cut number written to the plant.
bool MakeWriteValue(VARTYPE vt, VARTYPE canonical, const std::string& text, VARIANT& value) {
  if (vt == VT_EMPTY) vt = canonical;
  if (IsWholeNumberType(vt) && !IsWholeNumber(text)) return false;
  const std::int32_t number = CRequestTokenizer::ToInt(text.c_str());
  VariantClear(&value);
  switch (vt) {
    case VT_I2:
    case VT_BOOL:
    case VT_UI2:
      value.vt = vt;
      value.uiVal = static_cast<USHORT>(number & 0xFFFF);
      return true;
    case VT_I4:
      value.vt = VT_I4;
      value.lVal = number;
      return true;
    case VT_I1:
    case VT_UI1:
      value.vt = vt;
      value.bVal = static_cast<BYTE>(number & 0xFF);
      return true;
    case VT_EMPTY:
      return false;  // no type to convert to
    default:
      break;
  }
  VARIANT source;
  VariantInit(&source);
  const WideString wide = MultiByteToWide(text);
  source.vt = VT_BSTR;
  source.bstrVal = SysAllocString(wide.c_str());
  const HRESULT hr = VariantChangeType(&value, &source, 0, vt);
  VariantClear(&source);
  if (FAILED(hr) || value.vt != vt) {
    VariantClear(&value);
    return false;
  }
  return true;
}

// Converts the value token of every line to its item's type. False at the first value that
// does not convert, with the refusal in reply; nothing is sent to the server then.
bool MakeWriteValues(const GroupRecord& group, const std::vector<WORD>& items,
                     const std::vector<std::string>& tokens, CWriteValues& values,
                     std::string& reply) {
  for (std::size_t k = 0; k < items.size(); ++k) {
    const WORD item = items[k];
    if (!MakeWriteValue(group.RequestedType(item), group.CanonicalType(item), tokens[k],
                        values[k])) {
      reply =
          StringPrintf("Invalid value for item %d: %s", static_cast<int>(item), tokens[k].c_str());
      return false;
    }
  }
  return true;
}

// Each item's outcome in the audit: okay for those the server took, "failed: " and its error
// text for the others.
std::vector<std::string> ItemOutcomes(IOPCServer* server, const HRESULT* errors, std::size_t count,
                                      const char* okay) {
  std::vector<std::string> outcomes(count, okay);
  for (std::size_t k = 0; errors != nullptr && k < count; ++k) {
    if (errors[k] != S_OK) outcomes[k] = "failed: " + ServerErrorText(server, errors[k]);
  }
  return outcomes;
}

// The error texts of the failed items of an S_FALSE write; "SW" puts "%d: " before each.
std::string FailedWriteEntries(IOPCServer* server, const HRESULT* errors, std::size_t count,
                               bool withPosition) {
  std::string text;
  if (errors == nullptr) return text;
  for (std::size_t k = 0; k < count; ++k) {
    if (errors[k] == S_OK) continue;
    if (withPosition) text += StringPrintf("%d: ", static_cast<int>(k));
    text += ServerErrorText(server, errors[k]);
    text += '\t';
  }
  return text;
}

// /readonly: writes are refused before anything is read or called.
bool WritesDisabled(const RequestSettings& settings, std::string& reply) {
  if (!settings.readOnly) return false;
  reply = "Writes are disabled on this gateway";
  return true;
}

}  // namespace

int CRequestDispatcher::WriteSyncCommand(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                                         std::string& reply) {
  return AuditedWrite(connection, line, reply, IoKind::SyncWrite);
}

int CRequestDispatcher::WriteAsyncCommand(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                                          std::string& reply) {
  return AuditedWrite(connection, line, reply, IoKind::AsyncWrite);
}

bool CRequestDispatcher::TakeWriteValue(CRequestTokenizer& line, WORD item, std::string& reply,
                                        ItemRequest& request) {
  const char* valueField = line.NextToken();
  if (valueField == nullptr) {
    reply = StringPrintf("Missing value for item %d", static_cast<int>(item));
    return false;
  }
  request.valueTokens.emplace_back(valueField);
  return true;
}

int CRequestDispatcher::WriteSync(ItemRequest& request, VARIANT* values, std::string& reply,
                                  WriteProgress& progress) {
  const GroupRecord& group = *request.group;
  const std::size_t count = request.items.size();
  std::string logText;
  for (std::size_t k = 0; m_log.logValueWrites && k < count; ++k) {
    const std::string itemId = Narrow(group.ItemId(request.items[k]));
    const std::string& token = request.valueTokens[k];
    logText =
        k == 0 ? StringPrintf(SystemText("%s 同步写入 %s").c_str(), itemId.c_str(), token.c_str())
               : StringPrintf(SystemText("%s\r\n\t\t    %s 同步写入 %s").c_str(), logText.c_str(),
                              itemId.c_str(), token.c_str());
  }

  CoTaskPtr<HRESULT> errors;
  const HRESULT hr =
      group.pSyncIO->Write(static_cast<DWORD>(count), request.handles.data(), values, errors.Put());
  progress.result = hr == S_OK ? "written" : "failed";
  if (hr == S_FALSE)
    progress.outcomes = ItemOutcomes(m_connection.Server(), errors.Get(), count, "written");
  if (hr == RPC_E_CALL_CANCELED) progress.result = "unknown";
  if (hr == S_FALSE) {
    reply = FailedWriteEntries(m_connection.Server(), errors.Get(), count, true);
    // Shown whatever the switch says; with the switch off the log text is empty.
    m_view.LogToWindow(
        StringPrintf(SystemText("%s \r\n\t失败：%s").c_str(), logText.c_str(), reply.c_str()));
    return 1;
  }
  if (hr == RPC_E_CALL_CANCELED) return WriteOutcomeUnknown("IOPCSyncIO::Write", reply);
  if (hr < 0) {
    // The call failed as a whole: its code, without asking a server that may be gone.
    progress.outcomes.assign(count, StringPrintf("failed: IOPCSyncIO::Write returned 0x%08X",
                                                 static_cast<unsigned>(hr)));
    if (m_log.logValueWrites) {
      m_view.LogToWindow(logText);
      LogToFile(logText);
    }
    reply = "IOPCSyncIO::Write failed";
    return hr;
  }
  if (m_log.logValueWrites) {
    m_view.LogToWindow(logText);
    LogToFile(logText);
  }
  return hr;
}

int CRequestDispatcher::WriteOutcomeUnknown(const char* method, std::string& reply) {
  // Cancelled at the deadline: the server may still apply the write when it answers again, so
  // neither the client nor the log may call it failed.
  reply = StringPrintf(
      "%s cancelled after the call deadline: the server may still apply the "
      "write (outcome unknown)",
      method);
  const std::string text = StringPrintf(
      SystemText("%s 超过调用时限被取消：OpcServer恢复后仍可能执行这次写入，结果未知").c_str(),
      method);
  m_view.LogToWindow(text);
  LogToFile(text);
  return RPC_E_CALL_CANCELED;
}

int CRequestDispatcher::WriteAsync(ItemRequest& request, VARIANT* values, std::string& reply,
                                   WriteProgress& progress) {
  GroupRecord& group = *request.group;
  const std::size_t count = request.items.size();
  if (m_log.logValueWrites) {
    for (std::size_t k = 0; k < count; ++k) {
      const WORD item = request.items[k];
      m_view.LogToWindow(StringPrintf(SystemText("%s 异步写入新值 %s").c_str(),
                                      Narrow(group.ItemId(item)).c_str(),
                                      request.valueTokens[k].c_str()));
    }
  }

  DWORD cancelId = 0;
  CoTaskPtr<HRESULT> errors;
  const HRESULT hr = group.pAsyncIO2->Write(static_cast<DWORD>(count), request.handles.data(),
                                            values, request.transactionId, &cancelId, errors.Put());
  if (hr == RPC_E_CALL_CANCELED) {
    progress.result = "unknown";
    return WriteOutcomeUnknown("IOPCAsyncIO2::Write", reply);
  }
  if (hr < 0) {
    progress.result = "failed";
    progress.outcomes.assign(count, StringPrintf("failed: IOPCAsyncIO2::Write returned 0x%08X",
                                                 static_cast<unsigned>(hr)));
    reply = "IOPCAsyncIO2::Write failed";
    return hr;
  }
  // The server took the write; its result per item comes with the write-complete datagram.
  progress.result = hr == S_OK ? "accepted" : "failed";
  progress.transactionId = request.transactionId;
  progress.group = &group;
  progress.outcomes = ItemOutcomes(m_connection.Server(), errors.Get(), count, "accepted");
  if (hr == S_FALSE) reply = FailedWriteEntries(m_connection.Server(), errors.Get(), count, false);
  reply += StringPrintf("%u", static_cast<unsigned>(cancelId));
  return hr;
}

// --- Who may write, and the audit trail ---

bool CRequestDispatcher::MayWrite(std::uint32_t clientAddress, std::string& reply) const {
  if (m_settings.writers.Allows(clientAddress)) return true;
  reply =
      StringPrintf("Writes are not allowed from %u.%u.%u.%u (/writers)", clientAddress >> 24,
                   (clientAddress >> 16) & 255u, (clientAddress >> 8) & 255u, clientAddress & 255u);
  return false;
}

bool CRequestDispatcher::AuditReady(std::string& reply) {
  const bool ready = m_audit.Ready();
  NoteAuditState();
  if (ready) return true;
  reply = StringPrintf(
      "Writes are refused: the audit trail %s cannot be written in the gateway's working "
      "directory",
      m_audit.FileName().c_str());
  return false;
}

std::uint32_t CRequestDispatcher::ClientOf(CHttpBlockingSocket& connection, std::string* text) {
  try {
    CSocketAddress peer;
    connection.GetPeerName(peer);
    if (text != nullptr) {
      const std::unique_ptr<char[]> dotted = peer.GetDottedAddress();
      *text = StringPrintf("%s:%u", dotted.get(), static_cast<unsigned>(peer.HostOrderPort()));
    }
    return peer.HostOrderAddress();
  } catch (...) {
    return 0;  // no peer to name
  }
}

AuditEntry CRequestDispatcher::DescribeWrite(CHttpBlockingSocket& connection) const {
  AuditEntry entry;
  try {
    ClientOf(connection, &entry.client);
    CRequestTokenizer line(connection.Request());
    line.ReadLine();
    const char* command = line.NextToken();
    entry.command = command != nullptr ? command : "";
    const char* groupField = line.NextToken();
    if (groupField == nullptr) return entry;
    entry.groupIndex = groupField;
    const std::int32_t index = CRequestTokenizer::ToInt(groupField);
    const GroupRecord* group =
        index >= 0 && static_cast<std::size_t>(index) < m_registry.GroupCount()
            ? m_registry.GetGroup(static_cast<std::size_t>(index))
            : nullptr;
    if (group != nullptr && group->szName != nullptr) entry.groupName = group->szName;
    const char* countField = line.NextToken();
    const WORD count =
        countField != nullptr ? static_cast<WORD>(CRequestTokenizer::ToInt(countField)) : WORD{0};
    if (count == 0) return entry;
    line.ReadLine();
    while (!line.IsEmptyLine()) {
      AuditedItem item;
      const char* itemField = line.NextToken();
      const char* valueField = line.NextToken();
      item.index = itemField != nullptr ? itemField : "";
      item.value = valueField != nullptr ? valueField : "";
      const WORD at = static_cast<WORD>(CRequestTokenizer::ToInt(itemField));
      if (group != nullptr && itemField != nullptr && group->ItemId(at) != nullptr)
        item.itemId = group->ItemId(at);
      entry.items.push_back(std::move(item));
      if (entry.items.size() == count) break;
      line.ReadLine();
    }
  } catch (...) {
    // A line too long, or the end of what was received: the lines so far.
  }
  return entry;
}

int CRequestDispatcher::Write(CHttpBlockingSocket&, CRequestTokenizer& line, std::string& reply,
                              IoKind kind, WriteProgress& progress) {
  if (WritesDisabled(m_settings, reply)) {
    progress.reason = WriteCounts::kReadOnly;
    return 1;
  }
  ItemRequest request;
  if (const Refusal refused = TakeItemRequest(line, reply, kind, request)) return *refused;
  CWriteValues values(request.items.size());
  if (!MakeWriteValues(*request.group, request.items, request.valueTokens, values, reply)) return 1;
  if (!AuditReady(reply)) {
    progress.reason = WriteCounts::kAuditUnavailable;
    return 1;
  }
  return kind == IoKind::SyncWrite ? WriteSync(request, values.Data(), reply, progress)
                                   : WriteAsync(request, values.Data(), reply, progress);
}

int CRequestDispatcher::AuditedWrite(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                                     std::string& reply, IoKind kind) {
  WriteProgress progress;
  int code = 1;
  const auto record = [&](const char* result, const std::string& reason) {
    AuditEntry entry = DescribeWrite(connection);
    entry.result = result;
    if (entry.result != "written" && entry.result != "accepted") entry.reason = reason;
    for (std::size_t k = 0; k < entry.items.size(); ++k) {
      entry.items[k].outcome = k < progress.outcomes.size() ? progress.outcomes[k]
                               : entry.result == "written"  ? "written"
                               : entry.result == "unknown"  ? "unknown"
                               : entry.result == "refused"  ? "refused"
                                                            : "not sent";
    }
    RecordWrite(entry, progress.reason);
    if (progress.group == nullptr) return;
    // The completion's line names who sent what.
    if (m_pendingWrites.size() >= kMostPendingWrites) m_pendingWrites.pop_front();
    m_pendingWrites.push_back(
        {static_cast<OPCHANDLE>(CRequestTokenizer::ToInt(entry.groupIndex.c_str())),
         progress.transactionId, std::move(entry)});
  };
  try {
    code = Write(connection, line, reply, kind, progress);
  } catch (const CRequestLineTooLong& tooLong) {
    record("refused", StringPrintf("Line too long: %s", tooLong.Start().c_str()));
    throw;
  } catch (...) {
    record(progress.result, "the gateway failed while it handled the request");
    throw;
  }
  record(progress.result, reply);
  return code;
}

void CRequestDispatcher::RecordWrite(const AuditEntry& entry, WriteCounts::Reason reason) {
  m_writeCounts.Count(entry.result, reason);
  WriteAuditLine(entry);
}

void CRequestDispatcher::AuditWriteCompletion(OPCHANDLE hGroup, DWORD transactionId, DWORD count,
                                              const OPCHANDLE* items, const HRESULT* errors) {
  m_uiThread.Check();
  AuditEntry entry;
  const auto pending =
      std::find_if(m_pendingWrites.begin(), m_pendingWrites.end(), [&](const PendingWrite& write) {
        return write.group == hGroup && write.transactionId == transactionId;
      });
  if (pending != m_pendingWrites.end()) {
    entry = std::move(pending->entry);
    m_pendingWrites.erase(pending);
  } else {
    entry.groupIndex = std::to_string(hGroup);  // sent before a restart, or long ago
  }
  const GroupRecord* group = m_registry.GetGroup(hGroup);
  if (group != nullptr && group->szName != nullptr) entry.groupName = group->szName;
  const std::vector<AuditedItem> sent = std::move(entry.items);
  entry.items.clear();
  entry.command = "AW-complete";
  entry.result = "written";
  entry.reason.clear();
  for (DWORD k = 0; items != nullptr && k < count; ++k) {
    AuditedItem& item = entry.items.emplace_back();
    item.index = std::to_string(items[k]);
    for (const AuditedItem& request : sent) {
      if (request.index == item.index) item = request;
    }
    const WORD at = static_cast<WORD>(items[k]);
    if (group != nullptr && items[k] == at && group->ItemId(at) != nullptr)
      item.itemId = group->ItemId(at);
    const HRESULT error = errors != nullptr ? errors[k] : S_OK;
    item.outcome =
        error == S_OK ? "written" : "failed: " + ServerErrorText(m_connection.Server(), error);
    if (error != S_OK) entry.result = "failed";
  }
  if (entry.result != "written") entry.reason = "the server did not write every item";
  WriteAuditLine(entry);
}

void CRequestDispatcher::WriteAuditLine(const AuditEntry& entry) {
  if (!m_audit.Record(entry)) {
    // Not on the audit trail: the log file keeps the line.
    LogToFile(SystemText("未能记入审计文件的写入请求：") +
              CWriteAudit::Line(entry, std::chrono::system_clock::now()));
  }
  NoteAuditState();
}

void CRequestDispatcher::NoteAuditState() {
  if (m_audit.Writable() == !m_auditLost) return;
  m_auditLost = !m_audit.Writable();
  const std::string text =
      m_auditLost
          ? StringPrintf(SystemText("审计文件 %s 无法写入（工作目录不可写或磁盘已满）；在它恢复可"
                                    "写之前，网关拒绝所有写入请求，读取照常")
                             .c_str(),
                         m_audit.FileName().c_str())
          : StringPrintf(SystemText("审计文件 %s 又可以写入了，写入请求恢复正常处理").c_str(),
                         m_audit.FileName().c_str());
  m_view.LogToWindow(text);
  LogToFile(text);
}
