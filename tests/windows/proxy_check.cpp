// quarnix-proxy-check: calls the OPC interfaces across a real apartment boundary, through the
// registered proxy/stub DLL (opcda_ps.dll) and the system's connection-point proxies, and checks
// that what arrives is what was sent; also reads the type library embedded in opcda_ps.dll.
//
// A tiny server object lives in the multithreaded apartment of a helper thread: IOPCServer
// (GetErrorString, GetStatus and GetGroupByName; the rest E_NOTIMPL) and one group with
// IOPCGroupStateMgt and a connection point for IOPCDataCallback. The main thread is a
// single-threaded apartment, as the gateway's UI thread is: it receives the server through
// CoMarshalInterThreadInterfaceInStream, so every call goes through the proxy and the stub, and
// its data-callback sink receives OnDataChange through its message loop.
//
// Exit code 0 when every check passes; otherwise 1, with one plain line per failed check on
// standard error. Run under wine after `wine regsvr32 opcda_ps.dll`.
// windows.h first: the COM headers after it rely on it.
#include <windows.h>

#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

#include "opc/opcda_ps_support.h"
#include "opcda_idl.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <thread>

namespace {

constexpr HRESULT kUnknownItemId = static_cast<HRESULT>(0xC0040007u);  // OPC_E_UNKNOWNITEMID
constexpr LCID kEnglish = 1033;
constexpr DWORD kCallbackWaitMs = 10000;

// Texts with characters outside Latin-1, so a wrong width or code page shows.
const wchar_t kErrorText[] = L"The item ID is not known to the server (\u672a\u77e5\u9879).";
const wchar_t kVendorInfo[] = L"Quarnix proxy check \u4e2d\u6587 \u00e9";
const wchar_t kGroupName[] = L"\u7ec4 group 7";
const wchar_t kCallbackText[] = L"value \u503c";
// The class opcda_ps.dll registers for its interfaces.
const CLSID kOurProxyClsid = PROXY_CLSID_IS;

int g_failures = 0;

void Check(bool ok, const char* what) {
  if (ok) {
    std::printf("ok: %s\n", what);
  } else {
    std::fprintf(stderr, "FAILED: %s\n", what);
    ++g_failures;
  }
  std::fflush(stdout);
}

void CheckHr(HRESULT hr, const char* what) {
  if (SUCCEEDED(hr)) {
    std::printf("ok: %s\n", what);
  } else {
    std::fprintf(stderr, "FAILED: %s (hr=%lx)\n", what, static_cast<unsigned long>(hr));
    ++g_failures;
  }
  std::fflush(stdout);
}

wchar_t* TaskCopy(const wchar_t* text) {
  const size_t bytes = (std::wcslen(text) + 1) * sizeof(wchar_t);
  auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
  if (copy) std::memcpy(copy, text, bytes);
  return copy;
}

bool SameText(const wchar_t* got, const wchar_t* want) {
  return got != nullptr && std::wcscmp(got, want) == 0;
}

FILETIME MakeFileTime(DWORD high, DWORD low) {
  FILETIME t;
  t.dwHighDateTime = high;
  t.dwLowDateTime = low;
  return t;
}

// Reference counting shared by the small objects below.
class CRefCounted {
public:
  virtual ~CRefCounted() = default;

protected:
  ULONG DoAddRef() { return ++m_refs; }
  ULONG DoRelease() {
    const ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }

private:
  std::atomic<ULONG> m_refs{1};
};

// --- Server side: lives in the helper thread's multithreaded apartment -------------------------

// The group's one connection point. Advise starts a thread that sends one OnDataChange to the
// sink, as a server's update thread would; Unadvise waits for it.
class CFakeConnectionPoint final : public IConnectionPoint, CRefCounted {
public:
  explicit CFakeConnectionPoint(IConnectionPointContainer* container) : m_container(container) {}
  ~CFakeConnectionPoint() override { JoinSender(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint)) {
      *ppv = static_cast<IConnectionPoint*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return DoAddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return DoRelease(); }

  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override {
    if (!pIID) return E_POINTER;
    *pIID = IID_IOPCDataCallback;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE
  GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override {
    if (!ppCPC) return E_POINTER;
    *ppCPC = m_container;
    m_container->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override {
    if (!pUnkSink || !pdwCookie) return E_POINTER;
    if (m_sink) return CONNECT_E_ADVISELIMIT;
    HRESULT hr = pUnkSink->QueryInterface(IID_IOPCDataCallback, reinterpret_cast<void**>(&m_sink));
    if (FAILED(hr)) return CONNECT_E_CANNOTCONNECT;
    *pdwCookie = 1;
    IOPCDataCallback* sink = m_sink;
    sink->AddRef();
    m_sender = std::thread([sink] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      OPCHANDLE handles[2] = {10, 11};
      VARIANT values[2];
      VariantInit(&values[0]);
      VariantInit(&values[1]);
      values[0].vt = VT_I4;
      values[0].lVal = 70000;
      values[1].vt = VT_BSTR;
      values[1].bstrVal = SysAllocString(kCallbackText);
      WORD qualities[2] = {0xC0, 0x40};
      FILETIME times[2] = {MakeFileTime(0x01D9ABCD, 0x12345678), MakeFileTime(1, 2)};
      HRESULT errors[2] = {S_OK, S_OK};
      sink->OnDataChange(0, 7, S_FALSE, S_OK, 2, handles, values, qualities, times, errors);
      VariantClear(&values[1]);
      sink->Release();
      CoUninitialize();
    });
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override {
    if (dwCookie != 1 || !m_sink) return CONNECT_E_NOCONNECTION;
    JoinSender();
    m_sink->Release();
    m_sink = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override {
    if (ppEnum) *ppEnum = nullptr;
    return E_NOTIMPL;
  }

private:
  void JoinSender() {
    if (m_sender.joinable()) m_sender.join();
  }

  IConnectionPointContainer* m_container;  // not owned: the container owns this object
  IOPCDataCallback* m_sink = nullptr;
  std::thread m_sender;
};

class CFakeGroup final : public IOPCGroupStateMgt, public IConnectionPointContainer, CRefCounted {
public:
  CFakeGroup() : m_point(new CFakeConnectionPoint(this)) {}
  ~CFakeGroup() override { m_point->Release(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCGroupStateMgt)) {
      *ppv = static_cast<IOPCGroupStateMgt*>(this);
    } else if (IsEqualIID(riid, IID_IConnectionPointContainer)) {
      *ppv = static_cast<IConnectionPointContainer*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return DoAddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return DoRelease(); }

  // IOPCGroupStateMgt
  HRESULT STDMETHODCALLTYPE GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName,
                                     LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                                     OPCHANDLE* phClientGroup, OPCHANDLE* phServerGroup) override {
    *pUpdateRate = 500;
    *pActive = FALSE;
    *ppName = TaskCopy(kGroupName);
    *pTimeBias = -60;
    *pPercentDeadband = 0.5f;
    *pLCID = kEnglish;
    *phClientGroup = 7;
    *phServerGroup = 0x1234;
    return *ppName ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE SetState(DWORD*, DWORD*, BOOL*, LONG*, FLOAT*, DWORD*,
                                     OPCHANDLE*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetName(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR, REFIID, LPUNKNOWN* ppUnk) override {
    if (ppUnk) *ppUnk = nullptr;
    return E_NOTIMPL;
  }

  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override {
    if (ppEnum) *ppEnum = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    if (!IsEqualIID(riid, IID_IOPCDataCallback)) return CONNECT_E_NOCONNECTION;
    *ppCP = m_point;
    m_point->AddRef();
    return S_OK;
  }

private:
  CFakeConnectionPoint* m_point;
};

class CFakeServer final : public IOPCServer, CRefCounted {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCServer)) {
      *ppv = static_cast<IOPCServer*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return DoAddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return DoRelease(); }

  HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR, BOOL, DWORD, OPCHANDLE, LONG*, FLOAT*, DWORD,
                                     OPCHANDLE*, DWORD*, REFIID, LPUNKNOWN* ppUnk) override {
    if (ppUnk) *ppUnk = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LCID dwLocale,
                                           LPWSTR* ppString) override {
    if (!ppString) return E_INVALIDARG;
    *ppString = nullptr;
    if (dwError != kUnknownItemId || dwLocale != kEnglish) return E_INVALIDARG;
    *ppString = TaskCopy(kErrorText);
    return *ppString ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override {
    if (!ppUnk) return E_INVALIDARG;
    *ppUnk = nullptr;
    if (!SameText(szName, kGroupName)) return E_INVALIDARG;
    auto* group = new CFakeGroup;
    HRESULT hr = group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    group->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** ppServerStatus) override {
    if (!ppServerStatus) return E_INVALIDARG;
    auto* status = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
    if (!status) return E_OUTOFMEMORY;
    std::memset(status, 0, sizeof *status);
    status->ftStartTime = MakeFileTime(0x01D90000, 0x11111111);
    status->ftCurrentTime = MakeFileTime(0x01D90001, 0x22222222);
    status->ftLastUpdateTime = MakeFileTime(0x01D90002, 0x33333333);
    status->dwServerState = OPC_STATUS_RUNNING;
    status->dwGroupCount = 3;
    status->dwBandWidth = 0xFFFFFFFF;
    status->wMajorVersion = 2;
    status->wMinorVersion = 5;
    status->wBuildNumber = 1234;
    status->szVendorInfo = TaskCopy(kVendorInfo);
    *ppServerStatus = status;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE, BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN* ppUnk) override {
    if (ppUnk) *ppUnk = nullptr;
    return E_NOTIMPL;
  }
};

// --- Client side: the main thread's single-threaded apartment ----------------------------------

struct ReceivedChange {
  bool arrived = false;
  bool onCallerThread = false;
  DWORD transid = 0;
  OPCHANDLE group = 0;
  HRESULT masterQuality = 0;
  DWORD count = 0;
  OPCHANDLE handles[2] = {};
  LONG intValue = 0;
  VARTYPE types[2] = {};
  bool textIntact = false;
  WORD qualities[2] = {};
  FILETIME firstTime = {};
};

class CSink final : public IOPCDataCallback, CRefCounted {
public:
  CSink(ReceivedChange* out, DWORD thread) : m_out(out), m_thread(thread) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCDataCallback)) {
      *ppv = static_cast<IOPCDataCallback*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return DoAddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return DoRelease(); }

  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                         HRESULT, DWORD dwCount, OPCHANDLE* phClientItems,
                                         VARIANT* pvValues, WORD* pwQualities,
                                         FILETIME* pftTimeStamps, HRESULT*) override {
    m_out->onCallerThread = GetCurrentThreadId() == m_thread;
    m_out->transid = dwTransid;
    m_out->group = hGroup;
    m_out->masterQuality = hrMasterquality;
    m_out->count = dwCount;
    if (dwCount == 2) {
      for (int i = 0; i < 2; ++i) {
        m_out->handles[i] = phClientItems[i];
        m_out->types[i] = pvValues[i].vt;
        m_out->qualities[i] = pwQualities[i];
      }
      m_out->intValue = pvValues[0].lVal;
      m_out->textIntact = pvValues[1].vt == VT_BSTR && SameText(pvValues[1].bstrVal, kCallbackText);
      m_out->firstTime = pftTimeStamps[0];
    }
    m_out->arrived = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*,
                                           VARIANT*, WORD*, FILETIME*, HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*,
                                            HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

private:
  ReceivedChange* m_out;
  DWORD m_thread;
};

// Runs the thread's message loop until done() or the deadline.
template <class Done>
bool PumpUntil(Done done, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (!done()) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return true;
}

void ReportProxyClass(REFIID iid, const char* name, bool mustBeOurs) {
  CLSID clsid;
  const HRESULT hr = CoGetPSClsid(iid, &clsid);
  char text[160];
  if (FAILED(hr)) {
    std::snprintf(text, sizeof text, "proxy/stub registered for %s", name);
    CheckHr(hr, text);
    return;
  }
  LPOLESTR clsidText = nullptr;
  StringFromCLSID(clsid, &clsidText);
  std::printf("info: %s is marshalled by %ls\n", name, clsidText ? clsidText : L"?");
  CoTaskMemFree(clsidText);
  if (mustBeOurs) {
    std::snprintf(text, sizeof text, "%s is marshalled by opcda_ps.dll", name);
    Check(IsEqualCLSID(clsid, kOurProxyClsid), text);
  }
}

void CheckServer(IOPCServer* server) {
  LPWSTR text = nullptr;
  HRESULT hr = server->GetErrorString(kUnknownItemId, kEnglish, &text);
  CheckHr(hr, "GetErrorString succeeds across the proxy");
  Check(text != nullptr, "GetErrorString returns a string, not NULL");
  Check(SameText(text, kErrorText), "GetErrorString text arrives intact");
  CoTaskMemFree(text);

  text = nullptr;
  hr = server->GetErrorString(0x12345678, kEnglish, &text);
  Check(hr == E_INVALIDARG && text == nullptr, "GetErrorString failure arrives as its HRESULT");

  OPCSERVERSTATUS* status = nullptr;
  hr = server->GetStatus(&status);
  CheckHr(hr, "GetStatus succeeds across the proxy");
  Check(status != nullptr, "GetStatus returns a structure");
  if (status) {
    Check(status->ftStartTime.dwHighDateTime == 0x01D90000 &&
              status->ftStartTime.dwLowDateTime == 0x11111111 &&
              status->ftLastUpdateTime.dwLowDateTime == 0x33333333,
          "GetStatus times arrive intact");
    Check(status->dwServerState == OPC_STATUS_RUNNING && status->dwGroupCount == 3 &&
              status->dwBandWidth == 0xFFFFFFFF && status->wMajorVersion == 2 &&
              status->wMinorVersion == 5 && status->wBuildNumber == 1234,
          "GetStatus numbers arrive intact");
    Check(SameText(status->szVendorInfo, kVendorInfo), "GetStatus vendor text arrives intact");
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
  }

  IUnknown* unknown = nullptr;
  OPCHANDLE groupHandle = 0;
  DWORD revisedRate = 0;
  hr = server->AddGroup(L"x", FALSE, 500, 0, nullptr, nullptr, kEnglish, &groupHandle, &revisedRate,
                        IID_IOPCItemMgt, &unknown);
  Check(hr == E_NOTIMPL && unknown == nullptr, "AddGroup failure arrives as its HRESULT");
}

void CheckGroupAndCallback(IOPCServer* server) {
  IOPCGroupStateMgt* group = nullptr;
  HRESULT hr = server->GetGroupByName(kGroupName, IID_IOPCGroupStateMgt,
                                      reinterpret_cast<IUnknown**>(&group));
  CheckHr(hr, "GetGroupByName returns the group across the proxy");
  if (FAILED(hr) || !group) return;

  DWORD rate = 0, lcid = 0;
  BOOL active = TRUE;
  LPWSTR name = nullptr;
  LONG bias = 0;
  FLOAT deadband = 0;
  OPCHANDLE client = 0, serverHandle = 0;
  hr = group->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &client, &serverHandle);
  CheckHr(hr, "GetState succeeds across the proxy");
  Check(SameText(name, kGroupName), "GetState group name arrives intact");
  Check(rate == 500 && active == FALSE && bias == -60 && deadband == 0.5f && lcid == kEnglish &&
            client == 7 && serverHandle == 0x1234,
        "GetState numbers arrive intact");
  CoTaskMemFree(name);

  IConnectionPointContainer* container = nullptr;
  hr = group->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  CheckHr(hr, "the group's IConnectionPointContainer crosses the apartment");
  IConnectionPoint* point = nullptr;
  if (container) {
    hr = container->FindConnectionPoint(IID_IOPCDataCallback, &point);
    CheckHr(hr, "FindConnectionPoint(IOPCDataCallback) crosses the apartment");
  }
  if (point) {
    ReceivedChange change;
    auto* sink = new CSink(&change, GetCurrentThreadId());
    DWORD cookie = 0;
    hr = point->Advise(sink, &cookie);
    CheckHr(hr, "Advise of the sink crosses the apartment");
    if (SUCCEEDED(hr)) {
      const bool arrived = PumpUntil([&] { return change.arrived; }, kCallbackWaitMs);
      Check(arrived, "OnDataChange reaches the sink through the message loop");
      if (arrived) {
        Check(change.onCallerThread, "OnDataChange runs on the thread that advised");
        Check(change.transid == 0 && change.group == 7 && change.masterQuality == S_FALSE &&
                  change.count == 2,
              "OnDataChange header arrives intact");
        Check(change.handles[0] == 10 && change.handles[1] == 11 && change.types[0] == VT_I4 &&
                  change.intValue == 70000 && change.types[1] == VT_BSTR && change.textIntact,
              "OnDataChange values arrive intact");
        Check(change.qualities[0] == 0xC0 && change.qualities[1] == 0x40 &&
                  change.firstTime.dwHighDateTime == 0x01D9ABCD &&
                  change.firstTime.dwLowDateTime == 0x12345678,
              "OnDataChange qualities and times arrive intact");
      }
      CheckHr(point->Unadvise(cookie), "Unadvise crosses the apartment");
    }
    sink->Release();
    point->Release();
  }
  if (container) container->Release();
  group->Release();
}

struct ServerThread {
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE finish = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  IStream* stream = nullptr;
  HRESULT result = E_FAIL;
  IOPCServer* object = nullptr;  // for the identity check only; never called from the client
};

void RunServerThread(ServerThread* state) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  auto* server = new CFakeServer;
  state->object = server;
  state->result = CoMarshalInterThreadInterfaceInStream(IID_IOPCServer, server, &state->stream);
  server->Release();
  SetEvent(state->ready);
  WaitForSingleObject(state->finish, INFINITE);
  CoUninitialize();
}

}  // namespace

// The type library embedded in opcda_ps.dll (beside this program) describes the interfaces:
// IOPCServer with its six methods in the published order.
void CheckTypeLibrary() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  wchar_t* name = std::wcsrchr(path, L'\\');
  if (length == 0 || length >= MAX_PATH || name == nullptr) {
    Check(false, "the program knows its own folder");
    return;
  }
  std::wcscpy(name + 1, L"opcda_ps.dll");
  ITypeLib* library = nullptr;
  CheckHr(LoadTypeLibEx(path, REGKIND_NONE, &library), "opcda_ps.dll carries a type library");
  if (library == nullptr) return;
  TLIBATTR* libraryAttributes = nullptr;
  if (SUCCEEDED(library->GetLibAttr(&libraryAttributes))) {
    Check(IsEqualGUID(libraryAttributes->guid, LIBID_OPCDA), "the type library is OPCDA's");
    library->ReleaseTLibAttr(libraryAttributes);
  }
  ITypeInfo* info = nullptr;
  CheckHr(library->GetTypeInfoOfGuid(IID_IOPCServer, &info), "the type library has IOPCServer");
  if (info != nullptr) {
    const wchar_t* const kMethods[] = {L"AddGroup",  L"GetErrorString", L"GetGroupByName",
                                       L"GetStatus", L"RemoveGroup",    L"CreateGroupEnumerator"};
    TYPEATTR* attributes = nullptr;
    if (SUCCEEDED(info->GetTypeAttr(&attributes))) {
      Check(attributes->cFuncs == 6, "IOPCServer has six methods in the type library");
      info->ReleaseTypeAttr(attributes);
    }
    for (UINT index = 0; index < 6; ++index) {
      FUNCDESC* function = nullptr;
      if (FAILED(info->GetFuncDesc(index, &function))) continue;
      BSTR method = nullptr;
      UINT count = 0;
      info->GetNames(function->memid, &method, 1, &count);
      char text[120];
      std::snprintf(text, sizeof text, "IOPCServer method %u is %ls", index, kMethods[index]);
      Check(count == 1 && SameText(method, kMethods[index]), text);
      SysFreeString(method);
      info->ReleaseFuncDesc(function);
    }
    info->Release();
  }
  library->Release();
}

int main() {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) {
    std::fprintf(stderr, "FAILED: CoInitializeEx (hr=%lx)\n", static_cast<unsigned long>(hr));
    return 1;
  }

  ReportProxyClass(IID_IOPCServer, "IOPCServer", true);
  ReportProxyClass(IID_IOPCGroupStateMgt, "IOPCGroupStateMgt", true);
  ReportProxyClass(IID_IOPCSyncIO, "IOPCSyncIO", true);
  ReportProxyClass(IID_IOPCItemMgt, "IOPCItemMgt", true);
  ReportProxyClass(IID_IEnumOPCItemAttributes, "IEnumOPCItemAttributes", true);
  ReportProxyClass(IID_IOPCDataCallback, "IOPCDataCallback", true);
  ReportProxyClass(IID_IOPCAsyncIO2, "IOPCAsyncIO2", true);
  ReportProxyClass(IID_IConnectionPointContainer, "IConnectionPointContainer", false);
  ReportProxyClass(IID_IConnectionPoint, "IConnectionPoint", false);
  ReportProxyClass(IID_IEnumConnectionPoints, "IEnumConnectionPoints", false);
  ReportProxyClass(IID_IEnumConnections, "IEnumConnections", false);
  CheckTypeLibrary();

  ServerThread state;
  std::thread thread(RunServerThread, &state);
  WaitForSingleObject(state.ready, INFINITE);
  CheckHr(state.result, "the server marshals into a stream");

  IOPCServer* server = nullptr;
  if (SUCCEEDED(state.result)) {
    hr = CoGetInterfaceAndReleaseStream(state.stream, IID_IOPCServer,
                                        reinterpret_cast<void**>(&server));
    CheckHr(hr, "the client unmarshals the server");
  }
  if (server) {
    Check(server != state.object, "the client holds a proxy, not the object");
    CheckServer(server);
    CheckGroupAndCallback(server);
    server->Release();
  }

  SetEvent(state.finish);
  thread.join();
  CloseHandle(state.ready);
  CloseHandle(state.finish);
  CoUninitialize();

  if (g_failures != 0) {
    std::fprintf(stderr, "%d check(s) failed\n", g_failures);
    return 1;
  }
  std::printf("all checks passed\n");
  return 0;
}
