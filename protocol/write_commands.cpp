// "SW" (synchronous write) and "AW" (asynchronous write).
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
    if (!MakeWriteValue(group.pItemDefs[item].vtRequestedDataType,
                        group.pItemResults[item].vtCanonicalDataType, tokens[k], values[k])) {
      reply =
          StringPrintf("Invalid value for item %d: %s", static_cast<int>(item), tokens[k].c_str());
      return false;
    }
  }
  return true;
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
bool WritesDisabled(std::string& reply) {
  if (!GatewayRequestSettings().readOnly) return false;
  reply = "Writes are disabled on this gateway";
  return true;
}

}  // namespace

int CRequestDispatcher::WriteSyncCommand(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                                         std::string& reply) {
  if (WritesDisabled(reply)) return 1;
  ItemRequest request;
  if (const Refusal refused = TakeItemRequest(connection, line, reply, IoKind::SyncWrite, request))
    return *refused;

  GroupRecord& group = *request.group;
  const std::size_t count = request.items.size();
  CWriteValues values(count);
  if (!MakeWriteValues(group, request.items, request.valueTokens, values, reply)) return 1;
  std::string logText;
  for (std::size_t k = 0; logValueWrites && k < count; ++k) {
    const std::string itemId = Narrow(group.pItemDefs[request.items[k]].szItemID);
    const std::string& token = request.valueTokens[k];
    logText =
        k == 0 ? StringPrintf(SystemText("%s 同步写入 %s").c_str(), itemId.c_str(), token.c_str())
               : StringPrintf(SystemText("%s\r\n\t\t    %s 同步写入 %s").c_str(), logText.c_str(),
                              itemId.c_str(), token.c_str());
  }

  CoTaskPtr<HRESULT> errors;
  const HRESULT hr = group.pSyncIO->Write(static_cast<DWORD>(count), request.handles.data(),
                                          values.Data(), errors.Put());
  if (hr == S_FALSE) {
    reply = FailedWriteEntries(m_connection.Server(), errors.Get(), count, true);
    // Shown whatever the switch says; with the switch off the log text is empty.
    m_view.LogToWindow(
        StringPrintf(SystemText("%s \r\n\t失败：%s").c_str(), logText.c_str(), reply.c_str()));
    return 1;
  }
  if (hr == RPC_E_CALL_CANCELED) return WriteOutcomeUnknown("IOPCSyncIO::Write", reply);
  if (hr < 0) {
    if (logValueWrites) {
      m_view.LogToWindow(logText);
      LogToFile(logText);
    }
    reply = "IOPCSyncIO::Write failed";
    return hr;
  }
  if (logValueWrites) {
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

int CRequestDispatcher::WriteAsyncCommand(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                                          std::string& reply) {
  if (WritesDisabled(reply)) return 1;
  ItemRequest request;
  if (const Refusal refused = TakeItemRequest(connection, line, reply, IoKind::AsyncWrite, request))
    return *refused;

  GroupRecord& group = *request.group;
  const std::size_t count = request.items.size();
  CWriteValues values(count);
  if (!MakeWriteValues(group, request.items, request.valueTokens, values, reply)) return 1;
  if (logValueWrites) {
    for (std::size_t k = 0; k < count; ++k) {
      const WORD item = request.items[k];
      m_view.LogToWindow(StringPrintf(SystemText("%s 异步写入新值 %s").c_str(),
                                      Narrow(group.pItemDefs[item].szItemID).c_str(),
                                      request.valueTokens[k].c_str()));
    }
  }

  DWORD cancelId = 0;
  CoTaskPtr<HRESULT> errors;
  const HRESULT hr =
      group.pAsyncIO2->Write(static_cast<DWORD>(count), request.handles.data(), values.Data(),
                             request.transactionId, &cancelId, errors.Put());
  if (hr == RPC_E_CALL_CANCELED) return WriteOutcomeUnknown("IOPCAsyncIO2::Write", reply);
  if (hr < 0) {
    reply = "IOPCAsyncIO2::Write failed";
    return hr;
  }
  if (hr == S_FALSE) reply = FailedWriteEntries(m_connection.Server(), errors.Get(), count, false);
  reply += StringPrintf("%u", static_cast<unsigned>(cancelId));
  return hr;
}
