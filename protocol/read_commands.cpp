// "SR" (synchronous read) and "AR" (asynchronous read), and the request steps that the read and
// write commands share.
#include <string_view>

#include "protocol/handler_text.h"
#include "protocol/request_dispatcher.h"

namespace {

// Frees what IOPCSyncIO::Read returned, whatever its result.
class CReadResults {
public:
  explicit CReadResults(std::size_t count) : m_count(count) {}
  ~CReadResults() {
    if (m_states != nullptr)
      for (std::size_t k = 0; k < m_count; ++k) VariantClear(&m_states[k].vDataValue);
    CoTaskMemFree(m_states);
    CoTaskMemFree(m_errors);
  }
  CReadResults(const CReadResults&) = delete;
  CReadResults& operator=(const CReadResults&) = delete;

  OPCITEMSTATE* m_states = nullptr;
  HRESULT* m_errors = nullptr;

private:
  std::size_t m_count;
};

// The value text of a read result by the type of its VARIANT.
std::string ValueText(const VARIANT& value) {
  switch (value.vt) {
    case VT_I2:
      return StringPrintf("%d", static_cast<int>(value.iVal));
    case VT_I4:
      return StringPrintf("%d", static_cast<int>(value.lVal));
    case VT_BOOL:
      return value.boolVal != 0 ? "1" : "0";
    case VT_I1:
      return StringPrintf("%d", static_cast<int>(static_cast<signed char>(value.cVal)));
    case VT_UI1:
      return StringPrintf("%u", static_cast<unsigned>(value.bVal));
    case VT_UI2:
      return StringPrintf("%u", static_cast<unsigned>(value.uiVal));
    case VT_UI4:
      return StringPrintf("%u", static_cast<unsigned>(value.ulVal));
    default:
      return "0";
  }
}

// The "%d : %s" entries of the failed items of an S_FALSE result.
std::string FailedReadEntries(IOPCServer* server, const HRESULT* errors, std::size_t count) {
  std::string text;
  if (errors == nullptr) return text;
  for (std::size_t k = 0; k < count; ++k) {
    if (errors[k] != S_OK)
      text +=
          StringPrintf("%d : %s", static_cast<int>(k), ServerErrorText(server, errors[k]).c_str());
  }
  return text;
}

}  // namespace

CRequestDispatcher::Refusal CRequestDispatcher::TakeItemRequest(CRequestTokenizer& line,
                                                                std::string& reply, IoKind kind,
                                                                ItemRequest& request) {
  const bool sync =
      kind == IoKind::SyncRead || kind == IoKind::SyncWrite || kind == IoKind::TypedRead;
  const char* groupField = line.NextToken();
  GroupRecord* group = TakeGroup(groupField, reply);
  if (group == nullptr) return 1;
  if (const Refusal refused = OpenGroupIo(*group, groupField, sync, reply)) return refused;

  const char* countField = line.NextToken();
  if (countField == nullptr) {
    reply = "Missing item count";
    return 1;
  }
  const WORD count = static_cast<WORD>(CRequestTokenizer::ToInt(countField));
  if (count == 0) {
    reply = StringPrintf("Invalid item count: %s", countField);
    return 1;
  }
  if (kind == IoKind::TypedRead) {
    // "TR": an optional data source, C for the cache; the device when absent.
    const char* sourceField = line.NextToken();
    if (sourceField != nullptr && std::string_view(sourceField) != "C") {
      reply = StringPrintf(
          "Invalid data source: %s (C reads the cache; leave it out for the device)", sourceField);
      return 1;
    }
    request.fromCache = sourceField != nullptr;
  } else if (kind != IoKind::SyncWrite) {
    // "SR" reads the transaction id without using it; a request without one is malformed.
    const char* transactionField = line.NextToken();
    if (transactionField == nullptr) {
      reply = "Missing transaction id";
      return 1;
    }
    request.transactionId = static_cast<DWORD>(CRequestTokenizer::ToInt(transactionField));
  }
  request.group = group;
  return TakeItemLines(line, reply, kind, count, request);
}

CRequestDispatcher::Refusal CRequestDispatcher::TakeItemLines(CRequestTokenizer& line,
                                                              std::string& reply, IoKind kind,
                                                              WORD count, ItemRequest& request) {
  const bool read = kind == IoKind::SyncRead || kind == IoKind::AsyncRead;
  const GroupRecord& group = *request.group;
  // Only the items that went to AddItems have results (and server handles).
  const WORD itemLimit = group.ItemsAtServer();
  request.handles.reserve(count);
  request.items.reserve(count);
  line.ReadLine();
  while (!line.IsEmptyLine()) {
    const char* itemField = line.NextToken();
    const WORD item = static_cast<WORD>(CRequestTokenizer::ToInt(itemField));
    if (itemField == nullptr || item >= itemLimit) {
      reply = StringPrintf("Invalid item index: %s", FieldText(itemField));
      return 1;
    }
    // "TR" answers an item the server did not add with its error, not with a refusal.
    const bool taken = kind == IoKind::TypedRead ? true
                       : read                    ? ReadableItem(group, item, kind, reply)
                                                 : TakeWriteValue(line, item, reply, request);
    if (!taken) return 1;  // the remaining lines stay unread
    request.items.push_back(item);
    request.handles.push_back(group.ServerItem(item));
    if (request.items.size() == count) break;
    line.ReadLine();
  }
  if (request.items.empty()) {
    reply = "No item lines";
    return 1;
  }
  return std::nullopt;
}

bool CRequestDispatcher::ReadableItem(const GroupRecord& group, WORD item, IoKind kind,
                                      std::string& reply) {
  const HRESULT error = group.AddError(item);
  if (error == S_OK) return true;
  // The item has no server handle.
  reply = kind == IoKind::SyncRead
              ? StringPrintf("OPC Item %d is not available : %x", static_cast<int>(item),
                             static_cast<unsigned>(error))
              : StringPrintf("OPC Item %d is not available : %ld", static_cast<int>(item),
                             static_cast<long>(error));
  return false;
}

int CRequestDispatcher::ReadSyncCommand(CHttpBlockingSocket&, CRequestTokenizer& line,
                                        std::string& reply) {
  ItemRequest request;
  if (const Refusal refused = TakeItemRequest(line, reply, IoKind::SyncRead, request))
    return *refused;

  const auto count = static_cast<DWORD>(request.handles.size());
  CReadResults results(count);
  const HRESULT hr = request.group->pSyncIO->Read(OPC_DS_DEVICE, count, request.handles.data(),
                                                  &results.m_states, &results.m_errors);
  if (hr == S_FALSE) {
    reply = FailedReadEntries(m_connection.Server(), results.m_errors, count);
    return 1;
  }
  if (hr < 0) {
    reply = StringPrintf("IOPCSyncIO::Read failed : %x", static_cast<unsigned>(hr));
    return hr;
  }
  if (hr == S_OK && results.m_states != nullptr) {
    for (DWORD k = 0; k < count; ++k) {
      const OPCITEMSTATE& state = results.m_states[k];
      reply += "\r\n";
      reply += ValueText(state.vDataValue);
      reply += StringPrintf("\t%u", static_cast<unsigned>(state.wQuality));
    }
  }
  return hr;
}

int CRequestDispatcher::ReadAsyncCommand(CHttpBlockingSocket&, CRequestTokenizer& line,
                                         std::string& reply) {
  ItemRequest request;
  if (const Refusal refused = TakeItemRequest(line, reply, IoKind::AsyncRead, request))
    return *refused;

  const auto count = static_cast<DWORD>(request.handles.size());
  DWORD cancelId = 0;
  CoTaskPtr<HRESULT> errors;
  const HRESULT hr = request.group->pAsyncIO2->Read(count, request.handles.data(),
                                                    request.transactionId, &cancelId, errors.Put());
  if (hr < 0) {
    reply = StringPrintf("IOPCAsyncIO2::Read failed : %x", static_cast<unsigned>(hr));
    return hr;
  }
  if (hr == S_FALSE) reply = FailedReadEntries(m_connection.Server(), errors.Get(), count);
  reply += StringPrintf("%u", static_cast<unsigned>(cancelId));
  return hr;
}
