#include "opc/opc_data_callback.h"

#include <string>

#include "core/activity_log.h"
#include "net/datagram_sender.h"
#include "opc/item_value_packer.h"
#include "opc/typed_value_packer.h"
#include "platform/codepage.h"
#include "platform/socket_api.h"
#include "platform/string_format.h"

namespace {

// The failure line of a callback: the defined text with the group handle (where it has one) and
// the thread's last error code.
void LogCallbackFailure(const char* format, OPCHANDLE hGroup) {
  const int lastError = SocketLastError();
  LogToFile(StringPrintf(SystemText(format).c_str(), static_cast<int>(hGroup),
                         static_cast<unsigned>(lastError)));
}

void LogSendFailure(const char* format) {
  const int lastError = SocketLastError();
  LogToFile(StringPrintf(SystemText(format).c_str(), static_cast<unsigned>(lastError)));
}

}  // namespace

HRESULT COpcDataCallback::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IOPCDataCallback) {
    *ppv = static_cast<IOPCDataCallback*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

ULONG COpcDataCallback::AddRef() {
  return static_cast<ULONG>(++refCount);
}

ULONG COpcDataCallback::Release() {
  const LONG left = --refCount;
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT COpcDataCallback::OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                       HRESULT hrMastererror, DWORD dwCount,
                                       OPCHANDLE* phClientItems, VARIANT* pvValues,
                                       WORD* pwQualities, FILETIME* pftTimeStamps,
                                       HRESULT* pErrors) {
  return DeliverItemValues(
      kValueChangeKind,
      "OnDataChange调用NotifyNewItemValues(,,%d,)时，程序抛出了异常。错误代码：%x", dwTransid,
      hGroup, hrMasterquality, hrMastererror, dwCount, phClientItems, pvValues, pwQualities,
      pftTimeStamps, pErrors);
}

HRESULT COpcDataCallback::OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                         HRESULT hrMastererror, DWORD dwCount,
                                         OPCHANDLE* phClientItems, VARIANT* pvValues,
                                         WORD* pwQualities, FILETIME* pftTimeStamps,
                                         HRESULT* pErrors) {
  return DeliverItemValues(
      kReadCompleteKind,
      "OnReadComplete调用NotifyNewItemValues(,,%d,)时，程序抛出了异常。错误代码：%x", dwTransid,
      hGroup, hrMasterquality, hrMastererror, dwCount, phClientItems, pvValues, pwQualities,
      pftTimeStamps, pErrors);
}

HRESULT COpcDataCallback::DeliverItemValues(BYTE kind, const char* failureFormat, DWORD dwTransid,
                                            OPCHANDLE hGroup, HRESULT hrMasterquality,
                                            HRESULT hrMastererror, DWORD dwCount,
                                            const OPCHANDLE* phClientItems, const VARIANT* pvValues,
                                            const WORD* pwQualities, const FILETIME* pftTimeStamps,
                                            const HRESULT* pErrors) {
  if (Disconnected()) return S_OK;
  try {
    if (NotifyNewItemValues(kind, dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount,
                            phClientItems, pvValues, pwQualities, pErrors, pftTimeStamps) == S_OK) {
      // Only value changes count for the group's value age.
      if (kind == kValueChangeKind) destinations->NoteValuesSent(hGroup);
      return S_OK;
    }
  } catch (...) {
  }
  LogCallbackFailure(failureFormat, hGroup);
  return S_FALSE;
}

HRESULT COpcDataCallback::OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr,
                                          DWORD dwCount, OPCHANDLE* phClientItems,
                                          HRESULT* pErrors) {
  if (Disconnected()) return S_OK;
  try {
    destinations->NoteWriteComplete(hGroup, dwTransid, dwCount, phClientItems, pErrors);
  } catch (...) {
    // The client's datagram goes out all the same.
  }
  BYTE datagram[kWriteCompleteBytes];
  const std::size_t length = PackWriteComplete(dwTransid, hGroup, hrMastererr, dwCount, datagram);
  try {
    if (SendCompletion(hGroup, datagram, length) == S_OK) return S_OK;
  } catch (...) {
  }
  LogSendFailure("OnWriteComplete调用SendDatagram(,,,)时，程序抛出了异常。错误代码：%x");
  return S_FALSE;
}

HRESULT COpcDataCallback::OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) {
  if (Disconnected()) return S_OK;
  BYTE datagram[kCancelCompleteBytes];
  const std::size_t length = PackCancelComplete(dwTransid, hGroup, datagram);
  try {
    if (SendCompletion(hGroup, datagram, length) == S_OK) return S_OK;
  } catch (...) {
  }
  LogSendFailure("OnCancelComplete调用SendDatagram(,,,)时，程序抛出了异常。错误代码：%x");
  return S_FALSE;
}

HRESULT COpcDataCallback::SendCompletion(OPCHANDLE hGroup, const BYTE* data, std::size_t length) {
  GroupDestination destination;
  if (!destinations->FindDestination(hGroup, destination)) return E_INVALIDARG;
  sender->SendTo({data, length}, sender->GroupDestination(destination.host, destination.port));
  return S_OK;
}

HRESULT COpcDataCallback::NotifyNewItemValues(BYTE kind, DWORD dwTransid, OPCHANDLE hGroup,
                                              HRESULT hrMasterquality, HRESULT hrMastererror,
                                              DWORD dwCount, const OPCHANDLE* phClientItems,
                                              const VARIANT* pvValues, const WORD* pwQualities,
                                              const HRESULT* pErrors,
                                              const FILETIME* pftTimeStamps) {
  GroupDestination destination;
  if (!destinations->FindDestination(hGroup, destination)) return E_INVALIDARG;
  // A server that announces entries without the arrays that hold them is refused, not read.
  if (dwCount > 0 && (!phClientItems || !pvValues || (hrMasterquality != 0 && !pwQualities) ||
                      (hrMastererror != 0 && !pErrors)))
    return E_INVALIDARG;
  if (destination.typed) {
    SendTypedValues(destination,
                    kind == kReadCompleteKind ? kTypedReadCompleteKind : kTypedValueChangeKind,
                    dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount, phClientItems,
                    pvValues, pwQualities, pftTimeStamps, pErrors);
    return S_OK;
  }

  const ItemValueCall call{kind,    dwTransid,     hGroup,   hrMasterquality, hrMastererror,
                           dwCount, phClientItems, pvValues, pwQualities,     pErrors};
  const DWORD packets = ItemDatagramCount(dwCount);
  BYTE buffer[kMaxItemDatagramBytes];
  std::string summary;
  DWORD start = 0;
  for (DWORD d = 1; d <= packets; ++d) {
    const DWORD end = d == packets ? dwCount : kItemsPerDatagram * d;
    const DWORD entries = end - start;
    if (sender->LogsValueChanges()) {
      if (packets > 1 && d == 1) {
        summary = StringPrintf(
            SystemText(" 本报文变量数 %d [%d,%d) 变量总数 %d 报文个数 %d 错误码 %x 信号质量 %x")
                .c_str(),
            static_cast<int>(entries), static_cast<int>(start), static_cast<int>(end),
            static_cast<int>(dwCount), static_cast<int>(packets),
            static_cast<unsigned>(hrMastererror), static_cast<unsigned>(hrMasterquality));
      } else if (packets > 1) {
        summary = StringPrintf(SystemText(" 本报文变量数 %d [%d,%d) 变量总数 %d").c_str(),
                               static_cast<int>(entries), static_cast<int>(start),
                               static_cast<int>(end), static_cast<int>(dwCount));
      } else if (dwCount > 5) {
        summary = StringPrintf(SystemText(" 变量数 %d 错误码 %x 信号质量 %x").c_str(),
                               static_cast<int>(dwCount), static_cast<unsigned>(hrMastererror),
                               static_cast<unsigned>(hrMasterquality));
      } else {
        summary.clear();
      }
    }
    const std::size_t size = PackItemDatagram(call, start, end, buffer);
    sender->SendTo({buffer, size}, sender->GroupDestination(destination.host, destination.port),
                   summary);
    start = end;
  }
  return S_OK;
}

void COpcDataCallback::SendTypedValues(const GroupDestination& destination, BYTE kind,
                                       DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                       HRESULT hrMastererror, DWORD dwCount,
                                       const OPCHANDLE* phClientItems, const VARIANT* pvValues,
                                       const WORD* pwQualities, const FILETIME* pftTimeStamps,
                                       const HRESULT* pErrors) {
  const TypedValueCall call{kind,          dwTransid,     hGroup,        hrMasterquality,
                            hrMastererror, dwCount,       phClientItems, pvValues,
                            pwQualities,   pftTimeStamps, pErrors};
  BYTE buffer[kTypedDatagramMaxBytes];
  DWORD start = 0;
  do {
    DWORD next = start;
    const std::size_t size = PackTypedDatagram(call, start, next, buffer);
    sender->SendTo({buffer, size}, sender->GroupDestination(destination.host, destination.port),
                   "");
    start = next;
  } while (start < dwCount);
}
