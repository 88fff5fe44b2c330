// quarnix-sim-check: uses quarnix-sim.exe as the gateway does, from a single-threaded apartment
// with a message loop, through real COM: activation by ProgID in a process of its own, a group
// with items, values arriving through OnDataChange marshalled into the message loop, a
// synchronous write and read, Refresh2, GetErrorString across the proxy, a sink that removes its
// group from inside a callback, no callback after RemoveGroup returns, and the server process
// ending once the last reference is released; and through the gateway's deadline decorators, a
// call into a hung server (Control.Hang) given up at the deadline while a fresh call thread still
// runs.
//
// Exit code 0 when every check passes; otherwise 1, with one plain line per failed check on
// standard error. Run under wine after `wine regsvr32 opcda_ps.dll` and
// `wine quarnix-sim.exe /RegServer`.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "opc/opcda.h"  // the Windows headers first

#include "opc/deadline_objects.h"
#include "platform/com/call_thread_win.h"

#include <tlhelp32.h>

namespace {

constexpr char kSimulatorClsid[] = "{6B1F4C3E-2A7D-4E58-9D31-0C5A8E7B2F64}";
constexpr LCID kEnglish = 1033;
constexpr DWORD kWaitMs = 10000;
constexpr DWORD kQuietMs = 500;       // how long no callback must follow RemoveGroup
constexpr DWORD kWatchdogMs = 60000;  // a hang is a failure, not a stuck test run
constexpr OPCHANDLE kClientGroup = 7;
constexpr OPCHANDLE kNestedClientGroup = 8;
constexpr DWORD kRefreshTransaction = 0x1234;
// A text with characters outside Latin-1, so a wrong width or code page shows.
const wchar_t kWrittenText[] = L"Gr\u00fc\u00dfe \u503c 1";

int g_failures = 0;

void Check(bool ok, const char* what) {
  if (ok) {
    std::printf("ok: %s\n", what);
  } else {
    std::fprintf(stderr, "FAILED: %s\n", what);
    ++g_failures;
  }
  std::fflush(stdout);
  std::fflush(stderr);
}

void CheckHr(HRESULT hr, HRESULT want, const char* what) {
  if (hr == want) {
    std::printf("ok: %s\n", what);
  } else {
    std::fprintf(stderr, "FAILED: %s (hr=%08lx, expected %08lx)\n", what,
                 static_cast<unsigned long>(hr), static_cast<unsigned long>(want));
    ++g_failures;
  }
  std::fflush(stdout);
  std::fflush(stderr);
}

// --- The data-callback sink
// -----------------------------------------------------------------------

struct Entry {
  OPCHANDLE handle = 0;
  VARTYPE vt = VT_EMPTY;
  std::wstring text;  // the value as text
  WORD quality = 0;
  HRESULT error = S_OK;
};

struct Call {
  DWORD transactionId = 0;
  OPCHANDLE group = 0;
  DWORD threadId = 0;
  std::vector<Entry> entries;
};

std::wstring TextOf(const VARIANT& value) {
  VARIANT text;
  VariantInit(&text);
  if (FAILED(VariantChangeType(&text, &value, 0, VT_BSTR))) return L"?";
  std::wstring result(text.bstrVal, SysStringLen(text.bstrVal));
  VariantClear(&text);
  return result;
}

// Records every OnDataChange; the other callbacks are counted. onDataChange runs inside the call.
class CCheckSink final : public IOPCDataCallback {
public:
  std::vector<Call> dataChanges;
  int otherCalls = 0;
  std::function<void()> onDataChange;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IOPCDataCallback))
      return E_NOINTERFACE;
    *ppv = static_cast<IOPCDataCallback*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD transactionId, OPCHANDLE group, HRESULT, HRESULT,
                                         DWORD count, OPCHANDLE* handles, VARIANT* values,
                                         WORD* qualities, FILETIME*, HRESULT* errors) override {
    Call call;
    call.transactionId = transactionId;
    call.group = group;
    call.threadId = GetCurrentThreadId();
    for (DWORD i = 0; i < count; ++i) {
      Entry entry;
      entry.handle = handles[i];
      entry.vt = values[i].vt;
      entry.text = TextOf(values[i]);
      entry.quality = qualities[i];
      entry.error = errors[i];
      call.entries.push_back(entry);
    }
    dataChanges.push_back(call);
    if (onDataChange) onDataChange();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*,
                                           VARIANT*, WORD*, FILETIME*, HRESULT*) override {
    ++otherCalls;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*,
                                            HRESULT*) override {
    ++otherCalls;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override {
    ++otherCalls;
    return S_OK;
  }

  // The value of a client handle in the latest data change that carried it; null if none did.
  const Entry* Latest(OPCHANDLE handle) const {
    for (auto call = dataChanges.rbegin(); call != dataChanges.rend(); ++call)
      for (const Entry& entry : call->entries)
        if (entry.handle == handle) return &entry;
    return nullptr;
  }

private:
  ~CCheckSink() = default;
  std::atomic<ULONG> m_refs{1};
};

// --- Helpers
// ----------------------------------------------------------------------------------------

// Runs the message loop (incoming COM calls among the messages) until done() holds or the time
// is up. Returns done().
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (done()) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
  }
}

std::set<DWORD> ServerProcesses() {
  std::set<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
    if (_wcsicmp(entry.szExeFile, L"quarnix-sim.exe") == 0) ids.insert(entry.th32ProcessID);
  CloseHandle(snapshot);
  return ids;
}

struct Group {
  OPCHANDLE hServer = 0;
  ComPtr<IOPCItemMgt> items;
  ComPtr<IConnectionPoint> point;
  DWORD cookie = 0;
  std::vector<OPCHANDLE> handles;  // by client handle - 1
};

// An inactive group with the items (client handles 1, 2, ...), advised to sink, then activated:
// the steps and the order the gateway uses.
bool MakeGroup(IOPCServer* server, const wchar_t* name, OPCHANDLE clientGroup,
               const std::vector<const wchar_t*>& ids, IOPCDataCallback* sink, Group* group) {
  DWORD revisedRate = 0;
  LONG timeBias = 0;
  FLOAT deadband = 0;
  HRESULT hr = server->AddGroup(name, FALSE, 100, clientGroup, &timeBias, &deadband, kEnglish,
                                &group->hServer, &revisedRate, IID_IOPCItemMgt,
                                reinterpret_cast<LPUNKNOWN*>(group->items.Put()));
  CheckHr(hr, S_OK, "AddGroup");
  if (FAILED(hr)) return false;

  std::vector<std::wstring> idTexts(ids.begin(), ids.end());
  std::vector<OPCITEMDEF> defs(ids.size());
  wchar_t emptyPath[] = L"";
  for (std::size_t i = 0; i < ids.size(); ++i) {
    defs[i] = OPCITEMDEF{};
    defs[i].szAccessPath = emptyPath;
    defs[i].szItemID = idTexts[i].data();
    defs[i].bActive = TRUE;
    defs[i].hClient = static_cast<OPCHANDLE>(i + 1);
    defs[i].vtRequestedDataType = VT_EMPTY;
  }
  CoTaskPtr<OPCITEMRESULT> results;
  CoTaskPtr<HRESULT> errors;
  hr = group->items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), results.Put(),
                              errors.Put());
  CheckHr(hr, S_OK, "AddItems");
  if (FAILED(hr)) return false;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    Check(errors[i] == S_OK, "every item was added");
    group->handles.push_back(results[i].hServer);
  }

  ComPtr<IConnectionPointContainer> container;
  hr = group->items->QueryInterface(IID_IConnectionPointContainer, container.PutVoid());
  CheckHr(hr, S_OK, "the group offers IConnectionPointContainer");
  if (FAILED(hr)) return false;
  hr = container->FindConnectionPoint(IID_IOPCDataCallback, group->point.Put());
  CheckHr(hr, S_OK, "FindConnectionPoint(IOPCDataCallback)");
  if (FAILED(hr)) return false;
  hr = group->point->Advise(sink, &group->cookie);
  CheckHr(hr, S_OK, "Advise of the sink");
  if (FAILED(hr)) return false;

  ComPtr<IOPCGroupStateMgt> state;
  hr = group->items->QueryInterface(IID_IOPCGroupStateMgt, state.PutVoid());
  if (FAILED(hr)) return false;
  BOOL active = TRUE;
  DWORD rate = 0;
  hr = state->SetState(nullptr, &rate, &active, nullptr, nullptr, nullptr, nullptr);
  CheckHr(hr, S_OK, "SetState activates the group");
  return SUCCEEDED(hr);
}

void CheckServerObject(IOPCServer* server) {
  CoTaskPtr<OPCSERVERSTATUS> status;
  HRESULT hr = server->GetStatus(status.Put());
  CheckHr(hr, S_OK, "GetStatus");
  if (SUCCEEDED(hr)) {
    Check(status.Get()->dwServerState == OPC_STATUS_RUNNING, "the server reports running");
    const wchar_t* vendor = status.Get()->szVendorInfo;
    Check(vendor != nullptr && std::wcscmp(vendor, L"Quarnix simulation server") == 0,
          "GetStatus carries the vendor text across the proxy");
    CoTaskMemFree(status.Get()->szVendorInfo);
  }
  CoTaskPtr<wchar_t> text;
  hr = server->GetErrorString(OPC_E_UNKNOWNITEMID, kEnglish, text.Put());
  CheckHr(hr, S_OK, "GetErrorString(OPC_E_UNKNOWNITEMID)");
  Check(text.Get() != nullptr && text.Get()[0] != L'\0',
        "GetErrorString's text arrives across the proxy");
}

void CheckValues(IOPCServer* server, CCheckSink* sink) {
  const DWORD self = GetCurrentThreadId();
  Group group;
  if (!MakeGroup(server, L"check", kClientGroup,
                 {L"Static.Int4", L"Ramp.Int4", L"Memory.String.check"}, sink, &group))
    return;

  // The first report carries every item; later ones the ramp as it moves.
  const bool first = PumpUntil([&] { return sink->Latest(1) != nullptr; }, kWaitMs);
  Check(first, "OnDataChange arrives through the message loop");
  if (!first) return;
  const Call& call = sink->dataChanges.front();
  Check(call.threadId == self, "callbacks run on the thread that advised");
  Check(call.transactionId == 0 && call.group == kClientGroup,
        "a subscription report has transaction 0 and the client's group handle");
  Check(sink->Latest(1)->vt == VT_I4 && sink->Latest(1)->text == L"70000",
        "Static.Int4 arrives as VT_I4 70000");
  Check(sink->Latest(1)->quality == OPC_QUALITY_GOOD, "with good quality");
  const Entry* ramp = sink->Latest(2);
  const std::wstring firstRamp = ramp != nullptr ? ramp->text : L"";
  Check(PumpUntil(
            [&] {
              const Entry* now = sink->Latest(2);
              return now != nullptr && now->text != firstRamp;
            },
            kWaitMs),
        "Ramp.Int4 changes arrive in later reports");

  // Write and read back synchronously; the subscription reports the new value.
  ComPtr<IOPCSyncIO> sync;
  HRESULT hr = group.items->QueryInterface(IID_IOPCSyncIO, sync.PutVoid());
  CheckHr(hr, S_OK, "the group offers IOPCSyncIO");
  if (SUCCEEDED(hr)) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(kWrittenText);
    OPCHANDLE handle = group.handles[2];
    CoTaskPtr<HRESULT> errors;
    hr = sync->Write(1, &handle, &value, errors.Put());
    CheckHr(hr, S_OK, "SyncIO Write of Memory.String");
    if (SUCCEEDED(hr)) CheckHr(errors[0], S_OK, "the item was written");
    VariantClear(&value);

    CoTaskPtr<OPCITEMSTATE> states;
    CoTaskPtr<HRESULT> readErrors;
    hr = sync->Read(OPC_DS_DEVICE, 1, &handle, states.Put(), readErrors.Put());
    CheckHr(hr, S_OK, "SyncIO Read of Memory.String");
    if (SUCCEEDED(hr)) {
      const VARIANT& read = states[0].vDataValue;
      Check(read.vt == VT_BSTR && read.bstrVal != nullptr &&
                std::wcscmp(read.bstrVal, kWrittenText) == 0,
            "the written text reads back unchanged");
      Check(states[0].hClient == 3, "the read carries the item's client handle");
      VariantClear(&states[0].vDataValue);
    }
    Check(PumpUntil(
              [&] {
                const Entry* now = sink->Latest(3);
                return now != nullptr && now->text == kWrittenText;
              },
              kWaitMs),
          "the written value arrives through OnDataChange");
  }

  // Refresh2: every active item, with the caller's transaction id.
  ComPtr<IOPCAsyncIO2> async;
  hr = group.items->QueryInterface(IID_IOPCAsyncIO2, async.PutVoid());
  CheckHr(hr, S_OK, "the group offers IOPCAsyncIO2");
  if (SUCCEEDED(hr)) {
    DWORD cancelId = 0;
    hr = async->Refresh2(OPC_DS_CACHE, kRefreshTransaction, &cancelId);
    CheckHr(hr, S_OK, "Refresh2");
    const Call* refresh = nullptr;
    PumpUntil(
        [&] {
          for (const Call& c : sink->dataChanges)
            if (c.transactionId == kRefreshTransaction) refresh = &c;
          return refresh != nullptr;
        },
        kWaitMs);
    Check(refresh != nullptr && refresh->entries.size() == 3,
          "Refresh2 reports all three items with the caller's transaction id");
  }

  // After RemoveGroup returns, nothing more of the group arrives.
  hr = server->RemoveGroup(group.hServer, TRUE);
  CheckHr(hr, S_OK, "RemoveGroup");
  const std::size_t seen = sink->dataChanges.size();
  PumpUntil([] { return false; }, kQuietMs);
  Check(sink->dataChanges.size() == seen, "no callback arrives after RemoveGroup returned");
  Check(sink->otherCalls == 0, "no other callback arrived");
}

void CheckRemovalFromInsideACallback(IOPCServer* server) {
  auto* sink = new CCheckSink;
  Group group;
  HRESULT removal = S_FALSE;
  bool removed = false;
  sink->onDataChange = [&] {
    if (removed) return;
    removed = true;
    removal = server->RemoveGroup(group.hServer, TRUE);
  };
  if (MakeGroup(server, L"nested", kNestedClientGroup, {L"Ramp.Int4"}, sink, &group)) {
    Check(PumpUntil([&] { return removed; }, kWaitMs), "the nested group's first report arrives");
    CheckHr(removal, S_OK, "a sink removes its group from inside OnDataChange");
  }
  sink->onDataChange = nullptr;
  group.point.Reset();
  group.items.Reset();
  sink->Release();
}

void CheckConnectionsAreSeparate(IOPCServer* first, const std::set<DWORD>& processes) {
  ComPtr<IOPCServer> second;
  CLSID clsid{};
  CLSIDFromProgID(L"Quarnix.Simulator", &clsid);
  const HRESULT hr =
      CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, second.PutVoid());
  CheckHr(hr, S_OK, "a second connection");
  if (FAILED(hr)) return;
  Check(ServerProcesses() == processes, "the second connection is served by the same process");
  ComPtr<IOPCItemMgt> items;
  OPCHANDLE hServer = 0;
  DWORD revisedRate = 0;
  CheckHr(first->AddGroup(L"first only", FALSE, 1000, 1, nullptr, nullptr, kEnglish, &hServer,
                          &revisedRate, IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(items.Put())),
          S_OK, "AddGroup on the first connection");
  CoTaskPtr<OPCSERVERSTATUS> status;
  if (SUCCEEDED(second->GetStatus(status.Put()))) {
    Check(status.Get()->dwGroupCount == 0, "the second connection does not see the first's group");
    CoTaskMemFree(status.Get()->szVendorInfo);
  }
  items.Reset();
  first->RemoveGroup(hServer, TRUE);
}

// During the hang: a creation cancelled at its deadline goes on; the next try waits for it at
// most 1 s (not its 10 s deadline) and after the hang a try takes its result.
void CheckPendingCreation(const CLSID& clsid, CCallDeadline& deadline) {
  ComPtr<IOPCServer> server;
  {
    const CCallDeadline::ScopedTimeout brief(deadline, std::chrono::milliseconds(300));
    CheckHr(CreateServerUnderDeadline(clsid, deadline, server.Put()), RPC_E_CALL_CANCELED,
            "a creation during the hang is cancelled");
  }
  const CCallDeadline::ScopedTimeout patient(deadline, std::chrono::milliseconds(10000));
  const ULONGLONG start = GetTickCount64();
  CheckHr(CreateServerUnderDeadline(clsid, deadline, server.Put()), RPC_E_CALL_CANCELED,
          "the next try waits for the creation under way");
  Check(GetTickCount64() - start < 2000, "and gives up after 1 s, not at its 10 s deadline");
  HRESULT hr = RPC_E_CALL_CANCELED;
  for (int attempt = 0; attempt < 10 && hr == RPC_E_CALL_CANCELED; ++attempt)
    hr = CreateServerUnderDeadline(clsid, deadline, server.Put());
  CheckHr(hr, S_OK, "a try after the hang takes the creation's result");
  deadline.TakeCancelled();
}

// The server hangs for 5 s: a call under a 1 s deadline comes back cancelled after about 1 s
// and is reported, another call thread is free meanwhile; a creation that passed its deadline is
// waited for at most 1 s by the next try, which takes its result after the hang; and the server
// answers after the hang.
void CheckHungCallIsGivenUp(const CLSID& clsid) {
  // A new server process takes a moment under wine: the deadline is short only for the hang.
  CCallDeadline deadline(std::chrono::milliseconds(10000));
  ComPtr<IOPCServer> server;
  HRESULT hr = CreateServerUnderDeadline(clsid, deadline, server.Put());
  CheckHr(hr, S_OK, "creation under the deadline");
  if (FAILED(hr)) return;
  OPCHANDLE group = 0;
  DWORD rate = 0;
  ComPtr<IOPCSyncIO> io;
  hr = server->AddGroup(L"hang", TRUE, 1000, 1, nullptr, nullptr, kEnglish, &group, &rate,
                        IID_IOPCSyncIO, reinterpret_cast<LPUNKNOWN*>(io.Put()));
  CheckHr(hr, S_OK, "AddGroup through the decorator");
  ComPtr<IOPCItemMgt> items;
  if (SUCCEEDED(hr)) hr = io->QueryInterface(IID_IOPCItemMgt, items.PutVoid());
  CheckHr(hr, S_OK, "QueryInterface through the decorator");
  if (FAILED(hr)) return;
  wchar_t id[] = L"Control.Hang";
  wchar_t path[] = L"";
  OPCITEMDEF def{path, id, TRUE, 1, 0, nullptr, VT_EMPTY, 0};
  CoTaskPtr<OPCITEMRESULT> results;
  CoTaskPtr<HRESULT> errors;
  hr = items->AddItems(1, &def, results.Put(), errors.Put());
  CheckHr(hr, S_OK, "AddItems(Control.Hang)");
  if (FAILED(hr)) return;
  VARIANT seconds;
  VariantInit(&seconds);
  seconds.vt = VT_I4;
  seconds.lVal = 5;
  CoTaskPtr<HRESULT> writeErrors;
  CheckHr(io->Write(1, &results[0].hServer, &seconds, writeErrors.Put()), S_OK,
          "Control.Hang = 5 is answered");

  deadline.SetTimeout(std::chrono::milliseconds(1000));
  const ULONGLONG start = GetTickCount64();
  CoTaskPtr<OPCSERVERSTATUS> status;
  CheckHr(server->GetStatus(status.Put()), RPC_E_CALL_CANCELED,
          "a call into the hung server is cancelled");
  const ULONGLONG waited = GetTickCount64() - start;
  Check(waited >= 900 && waited < 2000, "the cancelled call returned at its 1 s deadline");
  const std::optional<CancelledCall> cancelled = deadline.TakeCancelled();
  Check(cancelled && cancelled->method == "GetStatus", "the cancelled call is reported");
  Check(RunOnCallThread([] {}, std::chrono::milliseconds(1000)) == CallThreadOutcome::kFinished,
        "a fresh call thread runs while one is held by the hung call");
  CheckPendingCreation(clsid, deadline);
  {
    const CCallDeadline::ScopedTimeout patient(deadline, std::chrono::milliseconds(10000));
    CoTaskPtr<OPCSERVERSTATUS> after;
    CheckHr(server->GetStatus(after.Put()), S_OK, "the server answers after the hang");
    if (after.Get() != nullptr) CoTaskMemFree(after[0].szVendorInfo);
    CheckHr(server->RemoveGroup(group, TRUE), S_OK, "RemoveGroup through the decorator");
  }
}

// Ends the program when a check hangs (a deadlock across the processes, a lost callback).
void StartWatchdog() {
  std::thread([] {
    Sleep(kWatchdogMs);
    std::fprintf(stderr, "FAILED: the checks did not finish within %lu s\n",
                 static_cast<unsigned long>(kWatchdogMs / 1000));
    std::fflush(stderr);
    ExitProcess(1);
  }).detach();
}

}  // namespace

int main() {
  StartWatchdog();
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  CheckHr(hr, S_OK, "CoInitializeEx(COINIT_APARTMENTTHREADED)");
  if (FAILED(hr)) return 1;

  const std::set<DWORD> before = ServerProcesses();
  CLSID clsid{};
  hr = CLSIDFromProgID(L"Quarnix.Simulator", &clsid);
  CheckHr(hr, S_OK, "CLSIDFromProgID(Quarnix.Simulator)");
  Check(GuidToString(clsid) == kSimulatorClsid, "the ProgID names the simulator's class id");

  HANDLE serverProcess = nullptr;
  {
    ComPtr<IOPCServer> server;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.PutVoid());
    CheckHr(hr, S_OK, "CoCreateInstance(CLSCTX_LOCAL_SERVER)");
    if (SUCCEEDED(hr)) {
      const std::set<DWORD> after = ServerProcesses();
      std::vector<DWORD> started;
      for (DWORD id : after)
        if (before.count(id) == 0) started.push_back(id);
      if (started.size() == 1)
        serverProcess = OpenProcess(SYNCHRONIZE, FALSE, started[0]);
      else
        std::printf("note: the server was already running; its exit is not checked\n");

      CheckServerObject(server.Get());
      auto* sink = new CCheckSink;
      CheckValues(server.Get(), sink);
      CheckRemovalFromInsideACallback(server.Get());
      CheckConnectionsAreSeparate(server.Get(), after);
      sink->Release();
    }
  }

  if (serverProcess != nullptr) {
    const DWORD result = WaitForSingleObject(serverProcess, kWaitMs);
    Check(result == WAIT_OBJECT_0, "the server process ends after the last release");
    CloseHandle(serverProcess);
  }
  CheckHungCallIsGivenUp(clsid);
  CoUninitialize();
  if (g_failures == 0) std::printf("quarnix-sim-check: all checks passed\n");
  return g_failures == 0 ? 0 : 1;
}
