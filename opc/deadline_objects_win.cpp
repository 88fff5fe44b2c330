// The real COM's creation: the server and its objects behind decorators whose every method runs
// on a call thread under the deadline.
#include <algorithm>
#include <array>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

#include "opc/deadline_objects.h"
#include "platform/com/call_thread_win.h"

namespace {

using Clock = std::chrono::steady_clock;

// The interfaces a decorator answers for, each held as the server's own pointer once asked for.
enum Face {
  kUnknown,
  kServer,
  kBrowse,
  kProperties,
  kItemMgt,
  kGroupState,
  kSyncIO,
  kAsyncIO2,
  kPointContainer,
  kPoint,
  kEnumString,
  kFaceCount
};

const IID* FaceIid(int face) {
  static const std::array<const IID*, kFaceCount> iids = {
      &IID_IUnknown,           &IID_IOPCServer,   &IID_IOPCBrowseServerAddressSpace,
      &IID_IOPCItemProperties, &IID_IOPCItemMgt,  &IID_IOPCGroupStateMgt,
      &IID_IOPCSyncIO,         &IID_IOPCAsyncIO2, &IID_IConnectionPointContainer,
      &IID_IConnectionPoint,   &IID_IEnumString};
  return iids[face];
}

int FaceOf(REFIID iid) {
  for (int face = 0; face < kFaceCount; ++face)
    if (IsEqualIID(iid, *FaceIid(face))) return face;
  return -1;
}

// The server's object: its interface pointers, shared by the decorator and its calls in flight.
// The last owner gives them back on a call thread, so no release ever holds the UI thread.
struct CRealObject {
  std::array<IUnknown*, kFaceCount> faces{};

  IUnknown* Any() const {
    for (IUnknown* face : faces)
      if (face != nullptr) return face;
    return nullptr;
  }
  ~CRealObject() {
    std::vector<IUnknown*> held;
    for (IUnknown* face : faces)
      if (face != nullptr) held.push_back(face);
    if (held.empty()) return;
    PostToCallThread([held] {
      for (IUnknown* face : held) face->Release();
    });
  }
};

// Runs work on a call thread under the deadline; false (with the call reported) when it passed.
bool RunUnderDeadline(CCallDeadline& deadline, const char* method, std::function<void()> work) {
  // At least 1 ms: a wait of 0 is no limit at all for the call threads' waits.
  const auto timeout = std::max(deadline.CallWait(), std::chrono::milliseconds(1));
  const auto start = Clock::now();
  if (RunOnCallThread(std::move(work), timeout) == CallThreadOutcome::kFinished) return true;
  deadline.NoteCancelled(method, start);
  return false;
}

// Runs call(out...) on a call thread with out-values held by the call itself, and copies them to
// the caller's out-pointers (those not null) when it finished in time.
template <class Fn, class... Out>
HRESULT Guarded(CCallDeadline& deadline, const char* method, Fn call, Out*... outs) {
  struct Record {
    HRESULT hr = E_FAIL;
    std::tuple<Out...> values{};
  };
  auto record = std::make_shared<Record>();
  const bool finished = RunUnderDeadline(deadline, method, [record, call]() mutable {
    record->hr = std::apply([&](Out&... value) { return call(&value...); }, record->values);
  });
  if (!finished) return RPC_E_CALL_CANCELED;
  std::apply([&](Out&... value) { ((outs != nullptr ? void(*outs = value) : void()), ...); },
             record->values);
  return record->hr;
}

class CDeadlineObject final : public IOPCServer,
                              public IOPCBrowseServerAddressSpace,
                              public IOPCItemProperties,
                              public IOPCItemMgt,
                              public IOPCGroupStateMgt,
                              public IOPCSyncIO,
                              public IOPCAsyncIO2,
                              public IConnectionPointContainer,
                              public IConnectionPoint,
                              public IEnumString {
public:
  CDeadlineObject(CCallDeadline& deadline, IUnknown* real, int face)
      : m_deadline(deadline), m_real(std::make_shared<CRealObject>()) {
    m_real->faces[face] = real;
  }

  // Decorates real, which the server handed out as iid (its reference is taken over). An
  // interface without a decorator is given back (on a call thread) and refused.
  static HRESULT Wrap(CCallDeadline& deadline, IUnknown* real, REFIID iid, void** out) {
    *out = nullptr;
    if (real == nullptr) return E_POINTER;
    const int face = FaceOf(iid);
    if (face < 0) {
      PostToCallThread([real] { real->Release(); });
      return E_NOINTERFACE;
    }
    auto* object = new CDeadlineObject(deadline, real, face);
    *out = object->FacePointer(face);
    return S_OK;
  }

  // --- IUnknown ---
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    const int face = FaceOf(iid);
    if (face < 0) return E_NOINTERFACE;
    if (face != kUnknown && m_real->faces[face] == nullptr) {
      IUnknown* real = nullptr;
      const HRESULT hr = Guarded(
          m_deadline, "QueryInterface",
          [any = m_real->Any(), iid = *FaceIid(face), keep = m_real](IUnknown** got) {
            return any->QueryInterface(iid, reinterpret_cast<void**>(got));
          },
          &real);
      if (FAILED(hr) || real == nullptr) return FAILED(hr) ? hr : E_NOINTERFACE;
      m_real->faces[face] = real;
    }
    *out = FacePointer(face);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }

  // --- IOPCServer ---
  STDMETHODIMP AddGroup(LPCWSTR name, BOOL active, DWORD rate, OPCHANDLE clientGroup,
                        LONG* timeBias, FLOAT* deadband, DWORD lcid, OPCHANDLE* serverGroup,
                        DWORD* revisedRate, REFIID iid, LPUNKNOWN* group) override {
    LONG bias = timeBias != nullptr ? *timeBias : 0;
    FLOAT band = deadband != nullptr ? *deadband : 0;
    const bool hasBias = timeBias != nullptr;
    const bool hasBand = deadband != nullptr;
    IUnknown* real = nullptr;
    const HRESULT hr = Guarded(
        m_deadline, "AddGroup",
        [s = Face<IOPCServer>(kServer), keep = m_real, name = std::wstring(name ? name : L""),
         active, rate, clientGroup, bias, band, hasBias, hasBand, lcid,
         iid = IID(iid)](OPCHANDLE* handle, DWORD* revised, IUnknown** got) mutable {
          return s->AddGroup(name.c_str(), active, rate, clientGroup, hasBias ? &bias : nullptr,
                             hasBand ? &band : nullptr, lcid, handle, revised, iid, got);
        },
        serverGroup, revisedRate, &real);
    return WrapResult(hr, real, iid, reinterpret_cast<void**>(group));
  }
  STDMETHODIMP GetErrorString(HRESULT error, LCID locale, LPWSTR* text) override {
    return Guarded(
        m_deadline, "GetErrorString",
        [s = Face<IOPCServer>(kServer), keep = m_real, error, locale](LPWSTR* got) {
          return s->GetErrorString(error, locale, got);
        },
        text);
  }
  STDMETHODIMP GetGroupByName(LPCWSTR name, REFIID iid, LPUNKNOWN* group) override {
    IUnknown* real = nullptr;
    const HRESULT hr = Guarded(
        m_deadline, "GetGroupByName",
        [s = Face<IOPCServer>(kServer), keep = m_real, name = std::wstring(name ? name : L""),
         iid = IID(iid)](IUnknown** got) { return s->GetGroupByName(name.c_str(), iid, got); },
        &real);
    return WrapResult(hr, real, iid, reinterpret_cast<void**>(group));
  }
  STDMETHODIMP GetStatus(OPCSERVERSTATUS** status) override {
    return Guarded(
        m_deadline, "GetStatus",
        [s = Face<IOPCServer>(kServer), keep = m_real](OPCSERVERSTATUS** got) {
          return s->GetStatus(got);
        },
        status);
  }
  STDMETHODIMP RemoveGroup(OPCHANDLE group, BOOL force) override {
    return Guarded(m_deadline, "RemoveGroup",
                   [s = Face<IOPCServer>(kServer), keep = m_real, group, force]() {
                     return s->RemoveGroup(group, force);
                   });
  }
  STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN* out) override {
    return NotUsed(reinterpret_cast<void**>(out));
  }

  // --- IOPCBrowseServerAddressSpace ---
  STDMETHODIMP QueryOrganization(OPCNAMESPACETYPE* type) override {
    return Guarded(
        m_deadline, "QueryOrganization",
        [b = Face<IOPCBrowseServerAddressSpace>(kBrowse), keep = m_real](OPCNAMESPACETYPE* got) {
          return b->QueryOrganization(got);
        },
        type);
  }
  STDMETHODIMP ChangeBrowsePosition(OPCBROWSEDIRECTION direction, LPCWSTR text) override {
    return Guarded(m_deadline, "ChangeBrowsePosition",
                   [b = Face<IOPCBrowseServerAddressSpace>(kBrowse), keep = m_real, direction,
                    text = std::wstring(text ? text : L""), hasText = text != nullptr]() {
                     return b->ChangeBrowsePosition(direction, hasText ? text.c_str() : nullptr);
                   });
  }
  STDMETHODIMP BrowseOPCItemIDs(OPCBROWSETYPE type, LPCWSTR filter, VARTYPE dataType, DWORD rights,
                                LPENUMSTRING* strings) override {
    IEnumString* real = nullptr;
    const HRESULT hr = Guarded(
        m_deadline, "BrowseOPCItemIDs",
        [b = Face<IOPCBrowseServerAddressSpace>(kBrowse), keep = m_real, type,
         filter = std::wstring(filter ? filter : L""), dataType, rights](IEnumString** got) {
          return b->BrowseOPCItemIDs(type, filter.c_str(), dataType, rights, got);
        },
        &real);
    return WrapResult(hr, real, IID_IEnumString, reinterpret_cast<void**>(strings));
  }
  STDMETHODIMP GetItemID(LPWSTR dataId, LPWSTR* itemId) override {
    return Guarded(
        m_deadline, "GetItemID",
        [b = Face<IOPCBrowseServerAddressSpace>(kBrowse), keep = m_real,
         dataId = std::wstring(dataId ? dataId : L"")](LPWSTR* got) mutable {
          return b->GetItemID(dataId.data(), got);
        },
        itemId);
  }
  STDMETHODIMP BrowseAccessPaths(LPCWSTR, LPENUMSTRING* strings) override {
    return NotUsed(reinterpret_cast<void**>(strings));
  }

  // --- IOPCItemProperties ---
  STDMETHODIMP QueryAvailableProperties(LPWSTR itemId, DWORD* count, DWORD** ids,
                                        LPWSTR** descriptions, VARTYPE** types) override {
    return Guarded(
        m_deadline, "QueryAvailableProperties",
        [p = Face<IOPCItemProperties>(kProperties), keep = m_real,
         itemId = std::wstring(itemId ? itemId : L"")](DWORD* c, DWORD** i, LPWSTR** d,
                                                       VARTYPE** t) mutable {
          return p->QueryAvailableProperties(itemId.data(), c, i, d, t);
        },
        count, ids, descriptions, types);
  }
  STDMETHODIMP GetItemProperties(LPWSTR itemId, DWORD count, DWORD* ids, VARIANT** values,
                                 HRESULT** errors) override {
    return Guarded(
        m_deadline, "GetItemProperties",
        [p = Face<IOPCItemProperties>(kProperties), keep = m_real,
         itemId = std::wstring(itemId ? itemId : L""), count,
         ids = Copy(ids, count)](VARIANT** v, HRESULT** e) mutable {
          return p->GetItemProperties(itemId.data(), count, ids.data(), v, e);
        },
        values, errors);
  }
  STDMETHODIMP LookupItemIDs(LPWSTR, DWORD, DWORD*, LPWSTR** ids, HRESULT** errors) override {
    if (errors != nullptr) *errors = nullptr;
    return NotUsed(reinterpret_cast<void**>(ids));
  }

  // --- IOPCItemMgt ---
  STDMETHODIMP AddItems(DWORD count, OPCITEMDEF* defs, OPCITEMRESULT** results,
                        HRESULT** errors) override {
    return Guarded(
        m_deadline, "AddItems",
        [m = Face<IOPCItemMgt>(kItemMgt), keep = m_real, count, defs](
            OPCITEMRESULT** r, HRESULT** e) { return m->AddItems(count, defs, r, e); },
        results, errors);
  }
  STDMETHODIMP ValidateItems(DWORD count, OPCITEMDEF* defs, BOOL blob, OPCITEMRESULT** results,
                             HRESULT** errors) override {
    return Guarded(
        m_deadline, "ValidateItems",
        [m = Face<IOPCItemMgt>(kItemMgt), keep = m_real, count, defs, blob](
            OPCITEMRESULT** r, HRESULT** e) { return m->ValidateItems(count, defs, blob, r, e); },
        results, errors);
  }
  STDMETHODIMP RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) override {
    return Guarded(
        m_deadline, "RemoveItems",
        [m = Face<IOPCItemMgt>(kItemMgt), keep = m_real, count, handles = Copy(handles, count)](
            HRESULT** e) mutable { return m->RemoveItems(count, handles.data(), e); },
        errors);
  }
  STDMETHODIMP SetActiveState(DWORD count, OPCHANDLE* handles, BOOL active,
                              HRESULT** errors) override {
    return Guarded(
        m_deadline, "SetActiveState",
        [m = Face<IOPCItemMgt>(kItemMgt), keep = m_real, count, handles = Copy(handles, count),
         active](HRESULT** e) mutable {
          return m->SetActiveState(count, handles.data(), active, e);
        },
        errors);
  }
  STDMETHODIMP SetClientHandles(DWORD count, OPCHANDLE* handles, OPCHANDLE* clients,
                                HRESULT** errors) override {
    return Guarded(
        m_deadline, "SetClientHandles",
        [m = Face<IOPCItemMgt>(kItemMgt), keep = m_real, count, handles = Copy(handles, count),
         clients = Copy(clients, count)](HRESULT** e) mutable {
          return m->SetClientHandles(count, handles.data(), clients.data(), e);
        },
        errors);
  }
  STDMETHODIMP SetDatatypes(DWORD count, OPCHANDLE* handles, VARTYPE* types,
                            HRESULT** errors) override {
    return Guarded(
        m_deadline, "SetDatatypes",
        [m = Face<IOPCItemMgt>(kItemMgt), keep = m_real, count, handles = Copy(handles, count),
         types = Copy(types, count)](HRESULT** e) mutable {
          return m->SetDatatypes(count, handles.data(), types.data(), e);
        },
        errors);
  }
  STDMETHODIMP CreateEnumerator(REFIID, LPUNKNOWN* out) override {
    return NotUsed(reinterpret_cast<void**>(out));
  }

  // --- IOPCGroupStateMgt ---
  STDMETHODIMP GetState(DWORD* rate, BOOL* active, LPWSTR* name, LONG* bias, FLOAT* band,
                        DWORD* lcid, OPCHANDLE* client, OPCHANDLE* server) override {
    return Guarded(
        m_deadline, "GetState",
        [g = Face<IOPCGroupStateMgt>(kGroupState), keep = m_real](
            DWORD* r, BOOL* a, LPWSTR* n, LONG* b, FLOAT* d, DWORD* l, OPCHANDLE* c, OPCHANDLE* s) {
          return g->GetState(r, a, n, b, d, l, c, s);
        },
        rate, active, name, bias, band, lcid, client, server);
  }
  STDMETHODIMP SetState(DWORD* rate, DWORD* revised, BOOL* active, LONG* bias, FLOAT* band,
                        DWORD* lcid, OPCHANDLE* client) override {
    return Guarded(
        m_deadline, "SetState",
        [g = Face<IOPCGroupStateMgt>(kGroupState), keep = m_real, rate = Optional(rate),
         active = Optional(active), bias = Optional(bias), band = Optional(band),
         lcid = Optional(lcid), client = Optional(client)](DWORD* r) mutable {
          return g->SetState(rate.Get(), r, active.Get(), bias.Get(), band.Get(), lcid.Get(),
                             client.Get());
        },
        revised);
  }
  STDMETHODIMP SetName(LPCWSTR name) override {
    return Guarded(m_deadline, "SetName",
                   [g = Face<IOPCGroupStateMgt>(kGroupState), keep = m_real,
                    name = std::wstring(name ? name : L"")]() { return g->SetName(name.c_str()); });
  }
  STDMETHODIMP CloneGroup(LPCWSTR, REFIID, LPUNKNOWN* out) override {
    return NotUsed(reinterpret_cast<void**>(out));
  }

  // --- IOPCSyncIO ---
  STDMETHODIMP Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles, OPCITEMSTATE** states,
                    HRESULT** errors) override {
    return Guarded(
        m_deadline, "Read",
        [io = Face<IOPCSyncIO>(kSyncIO), keep = m_real, source, count,
         handles = Copy(handles, count)](OPCITEMSTATE** s, HRESULT** e) mutable {
          return io->Read(source, count, handles.data(), s, e);
        },
        states, errors);
  }
  STDMETHODIMP Write(DWORD count, OPCHANDLE* handles, VARIANT* values, HRESULT** errors) override {
    return Guarded(
        m_deadline, "Write",
        [io = Face<IOPCSyncIO>(kSyncIO), keep = m_real, count, handles = Copy(handles, count),
         values](HRESULT** e) mutable { return io->Write(count, handles.data(), values, e); },
        errors);
  }

  // --- IOPCAsyncIO2 ---
  STDMETHODIMP Read(DWORD count, OPCHANDLE* handles, DWORD transaction, DWORD* cancelId,
                    HRESULT** errors) override {
    return Guarded(
        m_deadline, "Read",
        [io = Face<IOPCAsyncIO2>(kAsyncIO2), keep = m_real, count, handles = Copy(handles, count),
         transaction](DWORD* c, HRESULT** e) mutable {
          return io->Read(count, handles.data(), transaction, c, e);
        },
        cancelId, errors);
  }
  STDMETHODIMP Write(DWORD count, OPCHANDLE* handles, VARIANT* values, DWORD transaction,
                     DWORD* cancelId, HRESULT** errors) override {
    return Guarded(
        m_deadline, "Write",
        [io = Face<IOPCAsyncIO2>(kAsyncIO2), keep = m_real, count, handles = Copy(handles, count),
         values, transaction](DWORD* c, HRESULT** e) mutable {
          return io->Write(count, handles.data(), values, transaction, c, e);
        },
        cancelId, errors);
  }
  STDMETHODIMP Refresh2(OPCDATASOURCE source, DWORD transaction, DWORD* cancelId) override {
    return Guarded(
        m_deadline, "Refresh2",
        [io = Face<IOPCAsyncIO2>(kAsyncIO2), keep = m_real, source, transaction](DWORD* c) {
          return io->Refresh2(source, transaction, c);
        },
        cancelId);
  }
  STDMETHODIMP Cancel2(DWORD cancelId) override {
    return Guarded(m_deadline, "Cancel2",
                   [io = Face<IOPCAsyncIO2>(kAsyncIO2), keep = m_real, cancelId]() {
                     return io->Cancel2(cancelId);
                   });
  }
  STDMETHODIMP SetEnable(BOOL enable) override {
    return Guarded(m_deadline, "SetEnable",
                   [io = Face<IOPCAsyncIO2>(kAsyncIO2), keep = m_real, enable]() {
                     return io->SetEnable(enable);
                   });
  }
  STDMETHODIMP GetEnable(BOOL* enable) override {
    return Guarded(
        m_deadline, "GetEnable",
        [io = Face<IOPCAsyncIO2>(kAsyncIO2), keep = m_real](BOOL* e) { return io->GetEnable(e); },
        enable);
  }

  // --- IConnectionPointContainer ---
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override {
    return NotUsed(reinterpret_cast<void**>(out));
  }
  STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
    IConnectionPoint* real = nullptr;
    const HRESULT hr = Guarded(
        m_deadline, "FindConnectionPoint",
        [c = Face<IConnectionPointContainer>(kPointContainer), keep = m_real,
         iid = IID(iid)](IConnectionPoint** got) { return c->FindConnectionPoint(iid, got); },
        &real);
    return WrapResult(hr, real, IID_IConnectionPoint, reinterpret_cast<void**>(point));
  }

  // --- IConnectionPoint ---
  STDMETHODIMP GetConnectionInterface(IID* iid) override {
    return Guarded(
        m_deadline, "GetConnectionInterface",
        [p = Face<IConnectionPoint>(kPoint), keep = m_real](IID* got) {
          return p->GetConnectionInterface(got);
        },
        iid);
  }
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override {
    return NotUsed(reinterpret_cast<void**>(out));
  }
  // The sink lives on the advising thread: it crosses to the call thread marshalled, so that the
  // server's callbacks still reach it on its own thread.
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override {
    if (sink == nullptr) return E_POINTER;
    IStream* stream = nullptr;
    const HRESULT marshalled = CoMarshalInterThreadInterfaceInStream(IID_IUnknown, sink, &stream);
    if (FAILED(marshalled)) return marshalled;
    return Guarded(
        m_deadline, "Advise",
        [p = Face<IConnectionPoint>(kPoint), keep = m_real, stream](DWORD* got) {
          IUnknown* proxy = nullptr;
          HRESULT hr = CoGetInterfaceAndReleaseStream(stream, IID_IUnknown,
                                                      reinterpret_cast<void**>(&proxy));
          if (FAILED(hr)) return hr;
          hr = p->Advise(proxy, got);
          proxy->Release();
          return hr;
        },
        cookie);
  }
  STDMETHODIMP Unadvise(DWORD cookie) override {
    return Guarded(m_deadline, "Unadvise",
                   [p = Face<IConnectionPoint>(kPoint), keep = m_real, cookie]() {
                     return p->Unadvise(cookie);
                   });
  }
  STDMETHODIMP EnumConnections(IEnumConnections** out) override {
    return NotUsed(reinterpret_cast<void**>(out));
  }

  // --- IEnumString ---
  STDMETHODIMP Next(ULONG count, LPOLESTR* strings, ULONG* fetched) override {
    if (strings == nullptr) return E_POINTER;
    auto got = std::make_shared<std::vector<LPOLESTR>>(count, nullptr);
    ULONG gotCount = 0;
    const HRESULT hr = Guarded(
        m_deadline, "Next",
        [e = Face<IEnumString>(kEnumString), keep = m_real, count, got](ULONG* n) {
          return e->Next(count, got->data(), n);
        },
        &gotCount);
    if (FAILED(hr)) return hr;
    gotCount = std::min(gotCount, count);
    for (ULONG i = 0; i < gotCount; ++i) strings[i] = (*got)[i];
    if (fetched != nullptr) *fetched = gotCount;
    return hr;
  }
  STDMETHODIMP Skip(ULONG count) override {
    return Guarded(
        m_deadline, "Skip",
        [e = Face<IEnumString>(kEnumString), keep = m_real, count]() { return e->Skip(count); });
  }
  STDMETHODIMP Reset() override {
    return Guarded(m_deadline, "Reset",
                   [e = Face<IEnumString>(kEnumString), keep = m_real]() { return e->Reset(); });
  }
  STDMETHODIMP Clone(IEnumString** out) override { return NotUsed(reinterpret_cast<void**>(out)); }

private:
  ~CDeadlineObject() = default;

  // A value behind an optional in-pointer, held by the call.
  template <class T>
  struct OptionalIn {
    T value{};
    bool present = false;
    T* Get() { return present ? &value : nullptr; }
  };
  template <class T>
  static OptionalIn<T> Optional(const T* in) {
    return in != nullptr ? OptionalIn<T>{*in, true} : OptionalIn<T>{};
  }
  // An in-array held by the call.
  template <class T>
  static std::vector<T> Copy(const T* in, DWORD count) {
    return in != nullptr ? std::vector<T>(in, in + count) : std::vector<T>();
  }

  // The server's pointer for face (asked for through QueryInterface before any of its methods
  // can be called, so it is set).
  template <class T>
  T* Face(int face) const {
    return static_cast<T*>(m_real->faces[face]);
  }
  void* FacePointer(int face) {
    switch (face) {
      case kServer:
        return static_cast<IOPCServer*>(this);
      case kBrowse:
        return static_cast<IOPCBrowseServerAddressSpace*>(this);
      case kProperties:
        return static_cast<IOPCItemProperties*>(this);
      case kItemMgt:
        return static_cast<IOPCItemMgt*>(this);
      case kGroupState:
        return static_cast<IOPCGroupStateMgt*>(this);
      case kSyncIO:
        return static_cast<IOPCSyncIO*>(this);
      case kAsyncIO2:
        return static_cast<IOPCAsyncIO2*>(this);
      case kPointContainer:
        return static_cast<IConnectionPointContainer*>(this);
      case kPoint:
        return static_cast<IConnectionPoint*>(this);
      case kEnumString:
        return static_cast<IEnumString*>(this);
      default:
        return static_cast<IUnknown*>(static_cast<IOPCServer*>(this));
    }
  }
  HRESULT WrapResult(HRESULT hr, IUnknown* real, REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (FAILED(hr) || real == nullptr) return hr;
    const HRESULT wrapped = Wrap(m_deadline, real, iid, out);
    return FAILED(wrapped) ? wrapped : hr;
  }
  // The methods the gateway never calls.
  static HRESULT NotUsed(void** out) {
    if (out != nullptr) *out = nullptr;
    return E_NOTIMPL;
  }

  CCallDeadline& m_deadline;
  std::shared_ptr<CRealObject> m_real;
  ULONG m_refs = 1;
};

}  // namespace

namespace {

// A creation on a call thread; one that passed its deadline goes on, and the next try of the
// same class waits for it instead of starting another (a hung server would otherwise gather one
// creation per try, each becoming a server object nobody releases once the hang ends).
struct CCreation {
  CLSID clsid{};
  std::wstring host;  // empty: this PC
  HRESULT hr = E_FAIL;
  IUnknown* server = nullptr;
  std::shared_ptr<void> done;  // an event, set when hr and server are final
  Clock::time_point started = Clock::now();
};
thread_local std::shared_ptr<CCreation> t_pendingCreation;

// How long a later try waits for a creation that already passed its deadline: the caller (a
// request, a reconnect try) is answered with the failure soon, and the creation goes on.
constexpr std::chrono::milliseconds kPendingCreationWait{1000};

// The server on this PC (a local server), or on host through DCOM.
HRESULT CreateLocalOrRemote(const CLSID& clsid, const std::wstring& host, IUnknown** server) {
  if (host.empty())
    return CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                            reinterpret_cast<void**>(server));
  COSERVERINFO info{};
  info.pwszName = const_cast<LPWSTR>(host.c_str());
  MULTI_QI query{&IID_IOPCServer, nullptr, S_OK};
  const HRESULT hr = CoCreateInstanceEx(clsid, nullptr, CLSCTX_REMOTE_SERVER | CLSCTX_LOCAL_SERVER,
                                        &info, 1, &query);
  if (FAILED(hr)) return hr;
  if (FAILED(query.hr)) return query.hr;
  *server = query.pItf;
  return S_OK;
}

HRESULT CreateOnCallThread(const CLSID& clsid, const std::wstring& host, CCallDeadline& deadline,
                           IUnknown** real, std::optional<std::chrono::milliseconds> waitLimit) {
  const auto timeout = deadline.Timeout();
  // At least 1 ms: a wait of 0 is no limit at all for the call threads' waits.
  const auto limited = [&](std::chrono::milliseconds wait) {
    return waitLimit ? std::max(std::min(wait, *waitLimit), std::chrono::milliseconds(1)) : wait;
  };
  const auto start = Clock::now();
  std::shared_ptr<CCreation> creation = std::exchange(t_pendingCreation, nullptr);
  bool finished = false;
  if (creation && IsEqualCLSID(creation->clsid, clsid) && creation->host == host) {
    finished = WaitForCallThreadEvent(creation->done.get(),
                                      limited(std::min(timeout, kPendingCreationWait)));
  } else {
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    creation = std::make_shared<CCreation>();
    creation->clsid = clsid;
    creation->host = host;
    creation->done = std::shared_ptr<void>(event, [](HANDLE h) { CloseHandle(h); });
    const CallThreadOutcome outcome = RunOnCallThread(
        [creation] {
          creation->hr = CreateLocalOrRemote(creation->clsid, creation->host, &creation->server);
          SetEvent(creation->done.get());
        },
        limited(timeout));
    // Started without waiting: the result is the next try's, whenever the creation is done.
    finished = outcome == CallThreadOutcome::kFinished && !(waitLimit && waitLimit->count() == 0);
    if (outcome == CallThreadOutcome::kNoThread) creation.reset();
  }
  if (!finished) {
    t_pendingCreation = creation;
    if (!waitLimit || !creation) {
      deadline.NoteCancelled("CoCreateInstance", start);
      return RPC_E_CALL_CANCELED;
    }
    if (Clock::now() - creation->started < timeout) return kCreationPending;
    deadline.NoteCancelled("CoCreateInstance", creation->started);
    return RPC_E_CALL_CANCELED;
  }
  *real = creation->server;
  return creation->hr;
}

}  // namespace

HRESULT CreateServerUnderDeadline(const CLSID& clsid, CCallDeadline& deadline, IOPCServer** server,
                                  std::optional<std::chrono::milliseconds> waitLimit,
                                  const WideString& host) {
  *server = nullptr;
  const std::wstring hostName(host.begin(), host.end());
  if (deadline.Timeout().count() <= 0) {
    IUnknown* created = nullptr;
    const HRESULT hr = CreateLocalOrRemote(clsid, hostName, &created);
    *server = static_cast<IOPCServer*>(created);
    return hr;
  }
  // The calling thread's apartment is kept for the rest of the process: a hung server given up
  // (with the apartment's last CoUninitialize) may still have a callback under way into it, and
  // that callback would wait for the ended apartment without limit, holding the server's callback
  // thread, so that no callback of a later server object in that process would arrive.
  static thread_local const bool kept = SUCCEEDED(CoInitialize(nullptr));
  (void)kept;
  IUnknown* real = nullptr;
  const HRESULT hr = CreateOnCallThread(clsid, hostName, deadline, &real, waitLimit);
  if (FAILED(hr) || real == nullptr) return FAILED(hr) ? hr : E_FAIL;
  const HRESULT wrapped =
      CDeadlineObject::Wrap(deadline, real, IID_IOPCServer, reinterpret_cast<void**>(server));
  return FAILED(wrapped) ? wrapped : hr;
}

void EndPendingCreation() {
  const std::shared_ptr<CCreation> creation = std::exchange(t_pendingCreation, nullptr);
  if (!creation || WaitForSingleObject(creation->done.get(), 0) != WAIT_OBJECT_0) return;
  if (IUnknown* server = creation->server) PostToCallThread([server] { server->Release(); });
}

void SettleServerReleases(CCallDeadline& deadline) {
  if (deadline.Timeout().count() > 0) WaitForPostedWork(deadline.Timeout());
}
