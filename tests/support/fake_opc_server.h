// A scripted OPC DA 2.0 server for tests, reached through the COM subset like a real one.
//
// CFakeOpcServer is the test's handle on the fake: it hands out server objects (IOPCServer),
// registers itself under a ProgID so that CoCreateInstance finds it, and keeps the state that
// every object it handed out shares: the groups with their items, the values it serves, the
// failures it was told to produce and a record of every call with its arguments. Each group
// object offers IOPCItemMgt, IOPCGroupStateMgt, IOPCSyncIO, IOPCAsyncIO2 and
// IConnectionPointContainer (with one connection point for IOPCDataCallback).
//
// Typical use:
//   CFakeOpcServer fake;                                // registers "Quarnix.FakeServer"
//   fake.SetItemValue(u"Tag.A", CFakeVariant::I2(300)); // what reads return
//   fake.SetFailure("AddItems", E_FAIL);                // every AddItems fails from now on
//   fake.SetItemError("AddItems", u"Tag.B", OPC_E_UNKNOWNITEMID);
//   ... run the gateway code ...
//   EXPECT_EQ(fake.CountOf("RemoveGroup"), 1);
//   const OPCHANDLE g = fake.GroupByName(u"g")->serverHandle;
//   fake.FireDataChange(g, 0, S_OK, S_OK, {{0, CFakeVariant::I2(5)}});
//   EXPECT_TRUE(fake.AllReleased());                    // every reference came back
//
// Server behaviour worth knowing: AddItems accepts every item ID unless told otherwise; groups
// are added with the active flag given and become active through SetState; Refresh2 of an
// inactive group fails with E_FAIL; after RemoveGroup the group's item and I/O calls fail with
// E_FAIL (its connection point still works) and its queued callbacks are dropped; a group object
// that goes away releases the sinks still advised on it. Server group handles start at 101,
// server item handles at 1001, cancel ids at 5001.
//
// Error rule: the COM methods return HRESULTs as a server would (out arrays from CoTaskMemAlloc,
// out pointers null on failure); the test-side methods never fail. Thread rule: the state is
// locked, so the test may inspect it from any thread; sink callbacks are made without the lock,
// directly (Fire...) or, with SetAsyncCompletion, queued to the apartment of the thread that
// advised the sink. Ownership: COM objects live by their reference counts and share the state
// with this handle, so an object that outlives the handle stays safe to call.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "opc/opcda.h"
#include "tests/support/test_variant.h"

using CFakeVariant = CTestVariant;

// An item definition as AddItems received it.
struct FakeItemDef {
  std::u16string accessPath;
  std::u16string itemId;
  BOOL active = FALSE;
  OPCHANDLE clientHandle = 0;
  DWORD blobSize = 0;
  VARTYPE requestedType = VT_EMPTY;
};

// One call on any of the fake's objects. Only the fields that the method has are filled.
struct FakeCall {
  std::string method;                // "AddGroup", "AddItems", "SetState", "SyncRead", ... (below)
  OPCHANDLE serverGroup = 0;         // the group the call was made on (0 for server calls)
  HRESULT result = S_OK;             // what the fake returned
  std::u16string name;               // AddGroup: group name
  BOOL active = FALSE;               // AddGroup: bActive; SetState: *pActive when given
  bool activeGiven = false;          // SetState: pActive was not null
  DWORD updateRate = 0;              // AddGroup: requested rate; SetState: *pRequestedUpdateRate
  bool updateRateGiven = false;      // SetState: pRequestedUpdateRate was not null
  OPCHANDLE clientHandle = 0;        // AddGroup: hClientGroup
  LONG timeBias = 0;                 // AddGroup: *pTimeBias (0 when null)
  FLOAT percentDeadband = 0.0f;      // AddGroup: *pPercentDeadband (0 when null)
  DWORD locale = 0;                  // AddGroup, GetErrorString
  IID iid{};                         // AddGroup, QueryInterface, FindConnectionPoint: the IID asked
  std::vector<FakeItemDef> items;    // AddItems: the definitions
  std::vector<OPCHANDLE> handles;    // RemoveItems, SyncRead, SyncWrite, AsyncRead, AsyncWrite
  std::vector<CFakeVariant> values;  // SyncWrite, AsyncWrite
  DWORD count = 0;                   // the dwCount argument of item calls
  DWORD transactionId = 0;           // AsyncRead, AsyncWrite, Refresh2
  DWORD cancelId = 0;                // Cancel2: the id given; async calls: the id returned
  DWORD source = 0;                  // SyncRead, Refresh2: OPCDATASOURCE
  BOOL force = FALSE;                // RemoveGroup
  HRESULT error = S_OK;              // GetErrorString: the code asked about
  DWORD cookie = 0;                  // Advise: the cookie given; Unadvise: the cookie asked
};
// Method names recorded: server "CreateInstance", "AddGroup", "GetErrorString", "RemoveGroup";
// group "AddItems", "RemoveItems", "SetState", "SyncRead", "SyncWrite", "AsyncRead",
// "AsyncWrite", "Refresh2", "Cancel2", "FindConnectionPoint", "Advise", "Unadvise";
// "QueryInterface" on any object (only the refused ones and the group's, to keep logs short).

// A value as a callback carries it.
struct FakeItemUpdate {
  OPCHANDLE clientHandle = 0;
  CFakeVariant value;
  WORD quality = OPC_QUALITY_GOOD;
  HRESULT error = S_OK;
};

// What the fake knows of one item of a group.
struct FakeItemView {
  FakeItemDef def;
  OPCHANDLE serverHandle = 0;
};

// A snapshot of one group.
struct FakeGroupView {
  OPCHANDLE serverHandle = 0;
  OPCHANDLE clientHandle = 0;
  std::u16string name;
  BOOL active = FALSE;
  DWORD requestedUpdateRate = 0;
  DWORD revisedUpdateRate = 0;
  bool removed = false;              // RemoveGroup was called on it
  std::vector<FakeItemView> items;   // items added and not removed, in order of adding
  std::size_t sinkCount = 0;         // advised sinks
  IOPCDataCallback* sink = nullptr;  // the first advised sink (not counted; valid while advised)
};

class CFakeOpcServer {
public:
  static constexpr char16_t kProgId[] = u"Quarnix.FakeServer";
  static constexpr OPCHANDLE kFirstServerGroupHandle = 101;
  static constexpr OPCHANDLE kFirstServerItemHandle = 1001;
  static constexpr DWORD kFirstCancelId = 5001;

  // Registers the fake under progId (empty: none) in the COM subset's class registry.
  explicit CFakeOpcServer(std::u16string progId = kProgId);
  // Unregisters the ProgID. Objects still referenced keep working.
  ~CFakeOpcServer();
  CFakeOpcServer(const CFakeOpcServer&) = delete;
  CFakeOpcServer& operator=(const CFakeOpcServer&) = delete;

  // A new server object with one reference for the caller (as CoCreateInstance would give).
  IOPCServer* CreateServer();
  // The class id registered for the ProgID (unique per instance).
  const CLSID& Clsid() const { return m_clsid; }

  // --- Scripting failures ---
  // Makes calls of method return hr: the first `skip` calls from now on still succeed, then
  // `times` calls fail (-1: all). method as in FakeCall; "CreateInstance" fails the factory.
  // A later rule for the same method replaces the earlier one.
  void SetFailure(const std::string& method, HRESULT hr, int skip = 0, int times = -1);
  void ClearFailure(const std::string& method);
  // A per-item error for "AddItems", "SyncRead", "SyncWrite", "AsyncRead" or "AsyncWrite",
  // by item ID: the item fails with hr and the call returns S_FALSE.
  void SetItemError(const std::string& method, const std::u16string& itemId, HRESULT hr);
  // Every object of the fake answers QueryInterface for iid with E_NOINTERFACE.
  void RefuseInterface(REFIID iid);
  // The factory throws std::runtime_error instead of creating a server.
  void SetFactoryThrows(bool on);
  // The revised update rate AddGroup and SetState report (0: the requested rate).
  void SetRevisedUpdateRate(DWORD rate);
  // The text GetErrorString gives for hr (others get "Fake error 0x%08x").
  void SetErrorString(HRESULT hr, const std::u16string& text);
  // Refresh2, async Read and Write, and Cancel2 queue their callbacks (OnDataChange,
  // OnReadComplete, OnWriteComplete, OnCancelComplete) to the apartment of the thread that
  // advised the sink, as a real server's calls reach a single-threaded apartment. Off: no
  // callback is made unless the test fires one.
  void SetAsyncCompletion(bool on);

  // --- Served values ---
  // The value and quality reads return for itemId (default: VT_EMPTY, good). Writes change it.
  void SetItemValue(const std::u16string& itemId, const CFakeVariant& value,
                    WORD quality = OPC_QUALITY_GOOD);
  CFakeVariant ItemValue(const std::u16string& itemId) const;

  // --- Inspection ---
  std::vector<FakeCall> Calls() const;
  std::vector<FakeCall> CallsOf(const std::string& method) const;
  int CountOf(const std::string& method) const;
  void ClearCalls();
  // Groups ever added (removed ones too, marked), in order of adding.
  std::vector<FakeGroupView> Groups() const;
  std::optional<FakeGroupView> GroupByHandle(OPCHANDLE serverHandle) const;
  // The newest group of that name (removed ones included).
  std::optional<FakeGroupView> GroupByName(const std::u16string& name) const;
  // Groups not removed.
  std::size_t ActiveGroupCount() const;

  // --- Callbacks ---
  // Calls the advised sinks of the group (by server handle) directly, with the group's client
  // handle as hGroup. CONNECT_E_NOCONNECTION when no sink is advised; else the last result.
  HRESULT FireDataChange(OPCHANDLE serverGroup, DWORD transid, HRESULT masterQuality,
                         HRESULT masterError, const std::vector<FakeItemUpdate>& items);
  HRESULT FireReadComplete(OPCHANDLE serverGroup, DWORD transid, HRESULT masterQuality,
                           HRESULT masterError, const std::vector<FakeItemUpdate>& items);
  HRESULT FireWriteComplete(OPCHANDLE serverGroup, DWORD transid, HRESULT masterError,
                            const std::vector<std::pair<OPCHANDLE, HRESULT>>& items);
  HRESULT FireCancelComplete(OPCHANDLE serverGroup, DWORD transid);

  // --- Leak check ---
  // COM objects of the fake that are still alive (servers, groups, connection points).
  std::size_t LiveObjectCount() const;
  // Sum of their reference counts.
  long OutstandingReferences() const;
  // No object alive: every reference handed out has been released.
  bool AllReleased() const { return LiveObjectCount() == 0; }
  // References the fake holds on advised sinks.
  std::size_t HeldSinkCount() const;

  struct State;

private:
  std::shared_ptr<State> m_state;
  std::u16string m_progId;
  CLSID m_clsid{};
};
