// "TR": the synchronous read of "SR" answered with types, as a list of one line per item in
// request order: item index, VARTYPE, quality word, ISO 8601 timestamp, item error and value
// text (UTF-8). An item that failed (at the read, or when it was added) has its error and an
// empty value, and does not fail the others.
#include "platform/string_format.h"
#include "protocol/list_reply.h"
#include "protocol/request_dispatcher.h"
#include "protocol/typed_value_text.h"

namespace {

// Frees what IOPCSyncIO::Read returned, whatever its result.
class CTypedReadResults {
public:
  explicit CTypedReadResults(std::size_t count) : m_count(count) {}
  ~CTypedReadResults() {
    if (m_states != nullptr)
      for (std::size_t k = 0; k < m_count; ++k) VariantClear(&m_states[k].vDataValue);
    CoTaskMemFree(m_states);
    CoTaskMemFree(m_errors);
  }
  CTypedReadResults(const CTypedReadResults&) = delete;
  CTypedReadResults& operator=(const CTypedReadResults&) = delete;

  OPCITEMSTATE* m_states = nullptr;
  HRESULT* m_errors = nullptr;

private:
  std::size_t m_count;
};

std::string ItemLine(WORD item, VARTYPE type, WORD quality, const std::string& timestamp,
                     HRESULT error, const std::string& value) {
  return StringPrintf("%u\t%u\t%u\t", static_cast<unsigned>(item), static_cast<unsigned>(type),
                      static_cast<unsigned>(quality)) +
         timestamp + StringPrintf("\t%d\t", static_cast<int>(error)) + value;
}

}  // namespace

int CRequestDispatcher::ReadTypedCommand(CHttpBlockingSocket&, CRequestTokenizer& line,
                                         std::string& reply) {
  ItemRequest request;
  if (const Refusal refused = TakeItemRequest(line, reply, IoKind::TypedRead, request))
    return *refused;
  const GroupRecord& group = *request.group;

  // Only the items the server added are read; the others keep their place in the list.
  std::vector<OPCHANDLE> handles;
  for (std::size_t k = 0; k < request.items.size(); ++k)
    if (group.AddError(request.items[k]) == S_OK) handles.push_back(request.handles[k]);
  const auto count = static_cast<DWORD>(handles.size());
  CTypedReadResults results(count);
  if (count > 0) {
    const HRESULT hr =
        request.group->pSyncIO->Read(request.fromCache ? OPC_DS_CACHE : OPC_DS_DEVICE, count,
                                     handles.data(), &results.m_states, &results.m_errors);
    if (hr < 0) {
      reply = StringPrintf("IOPCSyncIO::Read failed : %x", static_cast<unsigned>(hr));
      return hr;
    }
  }

  std::vector<std::string> lines;
  lines.reserve(request.items.size());
  DWORD read = 0;
  for (const WORD item : request.items) {
    const HRESULT added = group.AddError(item);
    if (added != S_OK) {
      lines.push_back(
          ItemLine(item, VT_EMPTY, OPC_QUALITY_BAD, std::string(), added, std::string()));
      continue;
    }
    const DWORD k = read++;
    const HRESULT error = results.m_errors != nullptr ? results.m_errors[k] : S_OK;
    if (results.m_states == nullptr) {
      lines.push_back(ItemLine(item, VT_EMPTY, OPC_QUALITY_BAD, std::string(),
                               FAILED(error) ? error : E_FAIL, std::string()));
      continue;
    }
    const OPCITEMSTATE& state = results.m_states[k];
    lines.push_back(ItemLine(item, state.vDataValue.vt, state.wQuality,
                             TimestampText(state.ftTimeStamp), error,
                             FAILED(error) ? std::string() : TypedValueText(state.vDataValue)));
  }
  reply = ListReplyText("values", lines);
  return 0;
}
