// The forwarding objects of CFaultyOpcServer and the record they share: one per simulator object
// handed out (server, group, connection point) and one per sink given to Advise. Each records
// the call, returns a scripted failure or forwards to the simulator object it holds.
//
// Error rule: COM results as in faulty_opc_server.h. Thread rule: any thread; the record is
// guarded by its mutex, which is never held while a simulator object or a sink is called.
// Ownership: each object holds one reference on the simulator object it wraps; a group holds its
// server, a connection point its group, a sink wrapper the caller's sink.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/faulty_opc_server.h"

class CFaultySink;

// The record of one group: what the calls made of it, and the sinks the simulator holds for it.
struct FaultyGroupData {
  RecordedGroup view;  // sinkCount and sink filled when a snapshot is taken
  std::vector<std::pair<CFaultySink*, IOPCDataCallback*>> sinks;  // wrapper, caller's sink
};

struct CFaultyOpcServer::State {
  struct FailureRule {
    HRESULT hr = E_FAIL;
    int skip = 0;
    int times = -1;
  };
  class CForwarder;

  mutable std::recursive_mutex mutex;
  std::map<OpcMethod, FailureRule> failures;
  std::map<std::pair<OpcMethod, std::u16string>, HRESULT> itemErrors;
  std::vector<IID> refused;
  bool factoryThrows = false;
  std::optional<DWORD> serverState;  // GetStatus reports this state instead of the simulator's
  std::vector<RecordedCall> calls;
  std::vector<std::shared_ptr<FaultyGroupData>> groups;
  std::set<const CForwarder*> live;

  // Applies a failure rule: true (and hr set) when this call must fail.
  bool Fails(OpcMethod method, HRESULT& hr);
  // The scripted error of itemId for method (S_OK: none).
  HRESULT ItemError(OpcMethod method, const std::u16string& itemId) const;
  bool Refuses(REFIID iid) const;
  // Stores the call with its result; returns the result.
  HRESULT Record(RecordedCall call, HRESULT result);
  // The item ID the group's record holds for a server item handle ("" when unknown).
  std::u16string ItemIdOf(const FaultyGroupData& group, OPCHANDLE serverItem) const;
  RecordedGroup Snapshot(const FaultyGroupData& group) const;
};

// Reference count and membership in the record's set of live objects.
class CFaultyOpcServer::State::CForwarder {
public:
  explicit CForwarder(std::shared_ptr<State> state);
  virtual ~CForwarder();
  CForwarder(const CForwarder&) = delete;
  CForwarder& operator=(const CForwarder&) = delete;

  long RefCount() const { return m_ref.load(); }

protected:
  ULONG DoAddRef() { return static_cast<ULONG>(++m_ref); }
  ULONG DoRelease();
  // A QueryInterface the record refuses: recorded, E_NOINTERFACE, *ppv null.
  HRESULT RefusedQuery(REFIID riid, void** ppv, OPCHANDLE serverGroup);

  const std::shared_ptr<State> m_state;

private:
  std::atomic<long> m_ref{1};  // the creator's reference
};

using CFaultyState = CFaultyOpcServer::State;

// The server object: IOPCServer over a simulator server object.
class CFaultyServer final : public IOPCServer, public CFaultyState::CForwarder {
public:
  // Takes over the caller's reference on inner; starts with one reference.
  CFaultyServer(std::shared_ptr<CFaultyState> state, IOPCServer* inner);

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override { return DoAddRef(); }
  ULONG Release() override { return DoRelease(); }

  HRESULT AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                   OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID,
                   OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate, REFIID riid,
                   LPUNKNOWN* ppUnk) override;
  HRESULT GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override;
  // Not wrapped (the gateway does not use it): E_NOTIMPL.
  HRESULT GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
  HRESULT GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
  HRESULT RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
  // Not wrapped (the gateway does not use it): E_NOTIMPL.
  HRESULT CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) override;

private:
  ~CFaultyServer() override;

  IOPCServer* const m_inner;
};

// Wraps the caller's sink for the simulator, so that the record knows which sinks it holds.
class CFaultySink final : public IOPCDataCallback {
public:
  // Adds a reference on sink and enters itself in the group's record; starts with one reference.
  CFaultySink(std::shared_ptr<CFaultyState> state, std::shared_ptr<FaultyGroupData> group,
              IOPCDataCallback* sink);

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override { return static_cast<ULONG>(++m_ref); }
  ULONG Release() override;

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

private:
  ~CFaultySink();

  std::atomic<long> m_ref{1};
  const std::shared_ptr<CFaultyState> m_state;
  const std::shared_ptr<FaultyGroupData> m_group;
  IOPCDataCallback* const m_sink;  // one reference
};

// Makes the group object for a simulator group (one reference on inner taken over).
IUnknown* NewFaultyGroup(std::shared_ptr<CFaultyState> state, IOPCServer* server,
                         std::shared_ptr<FaultyGroupData> data, IUnknown* inner);
