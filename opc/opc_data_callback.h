// The data-callback sink that the gateway advises on its OPC groups.
//
// The server calls it when subscribed values change and when an asynchronous refresh, read,
// write or cancel completes; each call becomes at once one or more datagrams to the client that
// defined the group (its dwNotifyHost and wNotifyPort), packed by item_value_packer, or for a
// group defined with "TD" the value changes and read completions by typed_value_packer (with
// the server's timestamps and whole quality words). The sink keeps no values and queues nothing.
//
// Error rule: COM results. The callbacks return S_OK when done and S_FALSE after a failure
// (missing group, bad arguments, any exception), which they log to the log file; nothing is sent
// for a failed call except the datagrams already sent before the failure.
// Thread rule: the callbacks run on the UI thread (the apartment that advised the sink); only
// the reference count is atomic. Ownership: created with a count of 0; every connection holds a
// reference; the last Release deletes it. The destinations and the sender are borrowed, not
// counted.
#pragma once

#include <atomic>
#include <cstdint>

#include "net/datagram_sender.h"
#include "opc/opcda.h"

// Where the datagrams of a group go: the client that defined it.
struct GroupDestination {
  std::uint32_t host = 0;  // host byte order
  WORD port = 0;           // 0: the default destination port
  bool typed = false;      // the group's value datagrams are the typed kinds
};

// The sink's one question about the group list.
class IGroupDestinations {
public:
  // The destination of the group with client handle hGroup; false for a missing group or a
  // placeholder.
  virtual bool FindDestination(OPCHANDLE hGroup, GroupDestination& destination) const = 0;
  // A value-change datagram of the group went out (for the status request's value age). The
  // list keeps that time in the record itself, so this is const like the lookup.
  virtual void NoteValuesSent(OPCHANDLE) const {}
  // An asynchronous write of the group completed (told before its datagram goes out): the
  // server's result for each item, by client handle (the item's index), for the audit trail.
  virtual void NoteWriteComplete(OPCHANDLE /*hGroup*/, DWORD /*transactionId*/, DWORD /*count*/,
                                 const OPCHANDLE* /*items*/, const HRESULT* /*errors*/) const {}

protected:
  ~IGroupDestinations() = default;
};

class COpcDataCallback final : public IOPCDataCallback {
public:
  COpcDataCallback(const IGroupDestinations& destinations, CDatagramSender& sender)
      : destinations(&destinations), sender(&sender) {}
  COpcDataCallback(const COpcDataCallback&) = delete;
  COpcDataCallback& operator=(const COpcDataCallback&) = delete;

  // IUnknown: IID_IUnknown and IID_IOPCDataCallback only.
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IOPCDataCallback.
  HRESULT OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                       HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                       VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                       HRESULT* pErrors) override;
  HRESULT OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                         HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                         VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                         HRESULT* pErrors) override;
  HRESULT OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr, DWORD dwCount,
                          OPCHANDLE* pClienthandles, HRESULT* pErrors) override;
  HRESULT OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) override;

  // Packs the call into datagrams of at most 121 entries and sends them in order to the group's
  // destination; for a typed group (kind given as kValueChangeKind or kReadCompleteKind) into
  // typed datagrams of at most 1,472 bytes, with the timestamps (null: 0). S_OK when all were
  // sent; E_INVALIDARG (nothing sent) when the group is missing or a placeholder or an array the
  // datagram needs is null. May throw std::bad_alloc.
  HRESULT NotifyNewItemValues(BYTE kind, DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                              HRESULT hrMastererror, DWORD dwCount, const OPCHANDLE* phClientItems,
                              const VARIANT* pvValues, const WORD* pwQualities,
                              const HRESULT* pErrors, const FILETIME* pftTimeStamps = nullptr);

  // From now on every callback returns S_OK at once and sends nothing: the server it was
  // advised on has been given up (it hangs, or it is gone) and may still call it.
  void Disconnect() { m_disconnected.store(true); }
  bool Disconnected() const { return m_disconnected.load(); }

  std::atomic<LONG> refCount{0};
  const IGroupDestinations* const destinations;
  CDatagramSender* const sender;

private:
  ~COpcDataCallback() = default;  // only Release deletes
  std::atomic<bool> m_disconnected{false};

  // The typed datagrams of one call, in order, to destination.
  void SendTypedValues(const GroupDestination& destination, BYTE kind, DWORD dwTransid,
                       OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                       DWORD dwCount, const OPCHANDLE* phClientItems, const VARIANT* pvValues,
                       const WORD* pwQualities, const FILETIME* pftTimeStamps,
                       const HRESULT* pErrors);

  // The one body of OnDataChange and OnReadComplete (kind kValueChangeKind or
  // kReadCompleteKind): nothing once disconnected; NotifyNewItemValues, a value change then
  // noted for the group's value age; a failure or exception logged with failureFormat (the
  // group handle and the last error code) and answered S_FALSE.
  HRESULT DeliverItemValues(BYTE kind, const char* failureFormat, DWORD dwTransid, OPCHANDLE hGroup,
                            HRESULT hrMasterquality, HRESULT hrMastererror, DWORD dwCount,
                            const OPCHANDLE* phClientItems, const VARIANT* pvValues,
                            const WORD* pwQualities, const FILETIME* pftTimeStamps,
                            const HRESULT* pErrors);

  // The datagram of a write or cancel completion to the group's destination.
  HRESULT SendCompletion(OPCHANDLE hGroup, const BYTE* data, std::size_t length);
};
