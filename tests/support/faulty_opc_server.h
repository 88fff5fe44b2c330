// A recording, fault-injecting decorator over the built-in simulator, reached through the COM
// subset like any OPC server. Server behaviour is the simulator's own; this layer only watches.
//
// CFaultyOpcServer registers a ProgID whose factory makes a simulator server object and wraps it
// and every object it hands out (the group with its interfaces, the connection point, the sink
// given to Advise) in thin forwarding objects. Each forwarded call is recorded with its arguments
// and result; a call chosen with SetFailure returns the chosen code instead of reaching the
// simulator; SetItemError alters one item's result of a call that did reach it; RefuseInterface
// makes QueryInterface refuse an interface. Fire... inject callbacks the simulator would not make
// on demand (a chosen master error, a chosen transaction id) into the sinks advised on a group.
//
// Typical use:
//   using enum OpcMethod;                                    // kAddItems, kRemoveGroup ...
//   CFaultyOpcServer server;                                 // registers "Quarnix.FaultyServer"
//   CFaultyOpcServer::WriteItem(u"Memory.Int2.a", CTestVariant::I2(300));  // through the sim
//   server.SetFailure(kAddItems, E_FAIL);                    // every AddItems fails from now on
//   ... run the gateway code ...
//   EXPECT_EQ(server.CountOf(kRemoveGroup), 1);
//   EXPECT_TRUE(server.AllReleased());                       // every reference came back
//
// The simulator keeps one state per process: Memory items keep their values across tests of a
// process, so tests write what they read. Its callbacks reach the apartment of the thread that
// advised; a test drains it with CApartment::RunUntil.
//
// Error rule: the COM methods return what the simulator returns unless scripted; the test-side
// methods never fail. Thread rule: the record is locked, so the test may inspect it from any
// thread. Ownership: forwarding objects live by their reference counts, each holding one
// reference on the simulator object it wraps, and share the record with this handle.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "opc/opcda.h"
#include "tests/support/test_variant.h"

// The methods the decorator records, by name (a misspelt name does not compile).
enum class OpcMethod {
  // server
  kCreateInstance,
  kAddGroup,
  kGetErrorString,
  kGetStatus,
  kRemoveGroup,
  // group
  kAddItems,
  kRemoveItems,
  kSetState,
  kSyncRead,
  kSyncWrite,
  kAsyncRead,
  kAsyncWrite,
  kRefresh2,
  kCancel2,
  kFindConnectionPoint,
  kAdvise,
  kUnadvise,
  // the group's, and refused ones on any object
  kQueryInterface,
};
// The method's name without the k ("AddGroup"), for test messages.
const char* MethodName(OpcMethod method);

// An item definition as AddItems received it.
struct RecordedItemDef {
  std::u16string accessPath;
  std::u16string itemId;
  BOOL active = FALSE;
  OPCHANDLE clientHandle = 0;
  DWORD blobSize = 0;
  VARTYPE requestedType = VT_EMPTY;
};

// One call on any of the decorator's objects. Only the fields that the method has are filled.
struct RecordedCall {
  OpcMethod method = OpcMethod::kQueryInterface;
  OPCHANDLE serverGroup = 0;           // the group the call was made on (0 for server calls)
  HRESULT result = S_OK;               // what the caller got
  std::u16string name;                 // AddGroup: group name
  BOOL active = FALSE;                 // AddGroup: bActive; SetState: *pActive when given
  bool activeGiven = false;            // SetState: pActive was not null
  DWORD updateRate = 0;                // AddGroup: requested rate; SetState: *pRequestedUpdateRate
  bool updateRateGiven = false;        // SetState: pRequestedUpdateRate was not null
  OPCHANDLE clientHandle = 0;          // AddGroup: hClientGroup
  LONG timeBias = 0;                   // AddGroup: *pTimeBias (0 when null)
  FLOAT percentDeadband = 0.0f;        // AddGroup: *pPercentDeadband (0 when null)
  DWORD locale = 0;                    // AddGroup, GetErrorString
  IID iid{};                           // AddGroup, QueryInterface, FindConnectionPoint: IID asked
  std::vector<RecordedItemDef> items;  // AddItems: the definitions
  std::vector<OPCHANDLE> handles;      // RemoveItems, SyncRead, SyncWrite, AsyncRead, AsyncWrite
  std::vector<CTestVariant> values;    // SyncWrite, AsyncWrite
  DWORD count = 0;                     // the dwCount argument of item calls
  DWORD transactionId = 0;             // AsyncRead, AsyncWrite, Refresh2
  DWORD cancelId = 0;                  // Cancel2: the id given; async calls: the id returned
  DWORD source = 0;                    // SyncRead, Refresh2: OPCDATASOURCE
  BOOL force = FALSE;                  // RemoveGroup
  HRESULT error = S_OK;                // GetErrorString: the code asked about
  DWORD cookie = 0;                    // Advise: the cookie given; Unadvise: the cookie asked
};
// A value as an injected callback carries it.
struct InjectedItem {
  OPCHANDLE clientHandle = 0;
  CTestVariant value;
  WORD quality = OPC_QUALITY_GOOD;
  HRESULT error = S_OK;
};

// What the record knows of one item of a group.
struct RecordedItem {
  RecordedItemDef def;
  OPCHANDLE serverHandle = 0;  // as the simulator returned it
};

// A snapshot of one group as the calls made it.
struct RecordedGroup {
  OPCHANDLE serverHandle = 0;
  OPCHANDLE clientHandle = 0;
  std::u16string name;
  BOOL active = FALSE;
  DWORD requestedUpdateRate = 0;
  DWORD revisedUpdateRate = 0;
  bool removed = false;              // RemoveGroup reached the simulator
  std::vector<RecordedItem> items;   // items added and not removed, in order of adding
  std::size_t sinkCount = 0;         // sinks the simulator holds for the group
  IOPCDataCallback* sink = nullptr;  // the first of them, as the caller gave it (not counted)
};

class CFaultyOpcServer {
public:
  static constexpr char16_t kProgId[] = u"Quarnix.FaultyServer";

  // Registers the decorator under progId in the COM subset's class registry.
  explicit CFaultyOpcServer(std::u16string progId = kProgId);
  // Unregisters the ProgID. Objects still referenced keep working.
  ~CFaultyOpcServer();
  CFaultyOpcServer(const CFaultyOpcServer&) = delete;
  CFaultyOpcServer& operator=(const CFaultyOpcServer&) = delete;

  // Writes value to a writable simulator item on a connection of its own (not recorded);
  // the simulator's result for the item.
  static HRESULT WriteItem(const std::u16string& itemId, const CTestVariant& value);

  // --- Scripting failures ---
  // Makes calls of method return hr without reaching the simulator: the first `skip` calls from
  // now on still pass, then `times` calls fail (-1: all). OpcMethod::kCreateInstance fails the
  // factory. A later rule for the same method replaces the earlier one.
  void SetFailure(OpcMethod method, HRESULT hr, int skip = 0, int times = -1);
  void ClearFailure(OpcMethod method);
  // An item error for OpcMethod::kAddItems, OpcMethod::kSyncRead, OpcMethod::kSyncWrite,
  // OpcMethod::kAsyncRead or OpcMethod::kAsyncWrite, by item ID: after the simulator answered, the
  // item's result becomes hr and an S_OK call S_FALSE.
  void SetItemError(OpcMethod method, const std::u16string& itemId, HRESULT hr);
  // QueryInterface for iid on any of the decorator's objects gives E_NOINTERFACE.
  void RefuseInterface(REFIID iid);
  // The factory throws std::runtime_error instead of creating a server.
  void SetFactoryThrows(bool on);
  // GetStatus answers with this server state (OPC_STATUS_FAILED ...); nullopt: the simulator's.
  void SetServerState(std::optional<DWORD> state);

  // --- Inspection ---
  std::vector<RecordedCall> Calls() const;
  std::vector<RecordedCall> CallsOf(OpcMethod method) const;
  int CountOf(OpcMethod method) const;
  void ClearCalls();
  // Groups ever added (removed ones too, marked), in order of adding.
  std::vector<RecordedGroup> Groups() const;
  // The newest group of that name (removed ones included).
  std::optional<RecordedGroup> GroupByName(const std::u16string& name) const;
  // Groups not removed.
  std::size_t ActiveGroupCount() const;

  // --- Injected callbacks ---
  // Calls the sinks advised on the group (by server handle) directly on this thread, with the
  // group's client handle. CONNECT_E_NOCONNECTION when none is advised; else the last result.
  HRESULT FireDataChange(OPCHANDLE serverGroup, DWORD transid, HRESULT masterQuality,
                         HRESULT masterError, const std::vector<InjectedItem>& items);
  HRESULT FireCancelComplete(OPCHANDLE serverGroup, DWORD transid);

  // --- Leak check ---
  // Forwarding objects still alive (servers, groups, connection points).
  std::size_t LiveObjectCount() const;
  // Sum of their reference counts.
  long OutstandingReferences() const;
  // No object alive: every reference handed out has been released.
  bool AllReleased() const { return LiveObjectCount() == 0; }
  // Sinks the simulator still holds.
  std::size_t HeldSinkCount() const;

  struct State;

private:
  std::shared_ptr<State> m_state;
  std::u16string m_progId;
};
