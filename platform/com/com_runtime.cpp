// Per-thread initialisation with its apartment, and the class registry behind CLSIDFromProgID
// and CoCreateInstance.
#include <atomic>
#include <map>
#include <mutex>

#include "platform/apartment.h"
#include "platform/com/builtin_servers.h"
#include "platform/com/com.h"

// What other threads need to know of a thread's COM apartment. The generation changes with each
// first CoInitialize, so a reference taken before a CoUninitialize never reaches the next one.
struct ComThreadState {
  std::shared_ptr<CApartment> apartment;
  std::atomic<std::uint64_t> generation{0};
  std::atomic<bool> initialised{false};
};

namespace {

struct ThreadCom {
  unsigned count = 0;
  std::shared_ptr<ComThreadState> state;
  // A thread that ends inside COM leaves it: nothing can be delivered to it any more.
  ~ThreadCom() {
    if (state) state->initialised.store(false);
  }
};

ThreadCom& ThisThread() {
  thread_local ThreadCom com;
  return com;
}

std::atomic<std::uint64_t> g_nextGeneration{1};

struct ClassEntry {
  std::u16string progId;
  CLSID clsid;
  ComClassFactoryFn factory;
};

// ProgIDs are registry key names and compare without regard to ASCII case.
std::u16string FoldCase(const std::u16string& text) {
  std::u16string folded = text;
  for (auto& c : folded)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return folded;
}

struct ClassRegistry {
  std::mutex mutex;
  std::map<std::u16string, ClassEntry> byProgId;  // keyed by the folded ProgID
};

ClassRegistry& Registry() {
  static ClassRegistry* registry = new ClassRegistry;  // lives until the process ends
  return *registry;
}

}  // namespace

HRESULT CoInitialize(void* /*reserved*/) {
  ThreadCom& com = ThisThread();
  if (com.count++ > 0) return S_FALSE;
  if (!com.state) {
    com.state = std::make_shared<ComThreadState>();
    com.state->apartment = CApartment::ForCurrentThread();
  }
  if (com.state->apartment->IsClosed()) com.state->apartment->Reopen();
  com.state->generation.store(g_nextGeneration.fetch_add(1));
  com.state->initialised.store(true);
  return S_OK;
}

void CoUninitialize() {
  ThreadCom& com = ThisThread();
  if (com.count == 0) return;
  if (--com.count == 0) com.state->initialised.store(false);
}

ComApartmentRef ComApartmentRef::Current() {
  ComApartmentRef ref;
  ThreadCom& com = ThisThread();
  if (com.count == 0) return ref;
  ref.m_state = com.state;
  ref.m_generation = com.state->generation.load();
  return ref;
}

bool ComApartmentRef::IsAlive() const {
  return m_state && m_state->initialised.load() && m_state->generation.load() == m_generation;
}

bool ComApartmentRef::IsCurrentThread() const {
  return m_state && m_state->apartment->OwnerThread() == std::this_thread::get_id();
}

bool ComApartmentRef::Post(std::function<void()> call) const {
  if (!IsAlive()) return false;
  // Checked again when it runs: the thread may have left COM in between.
  return m_state->apartment->Post(
      [state = m_state, generation = m_generation, call = std::move(call)] {
        if (state->initialised.load() && state->generation.load() == generation) call();
      });
}

void CoRegisterProgId(const std::u16string& progId, REFCLSID clsid, ComClassFactoryFn factory) {
  ClassRegistry& registry = Registry();
  std::lock_guard lock(registry.mutex);
  registry.byProgId[FoldCase(progId)] = ClassEntry{progId, clsid, std::move(factory)};
}

void CoUnregisterProgId(const std::u16string& progId) {
  ClassRegistry& registry = Registry();
  std::lock_guard lock(registry.mutex);
  registry.byProgId.erase(FoldCase(progId));
}

HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid) {
  if (clsid == nullptr) return E_INVALIDARG;
  if (progId == nullptr || progId[0] == u'\0') return CO_E_CLASSSTRING;
  ClassRegistry& registry = Registry();
  std::lock_guard lock(registry.mutex);
  const auto it = registry.byProgId.find(FoldCase(progId));
  if (it == registry.byProgId.end()) return CO_E_CLASSSTRING;
  *clsid = it->second.clsid;
  return S_OK;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  if (ThisThread().count == 0) return CO_E_NOTINITIALIZED;
  if ((context & CLSCTX_ALL) == 0) return E_INVALIDARG;
  ComClassFactoryFn factory;
  {
    ClassRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    for (const auto& [key, entry] : registry.byProgId) {
      if (entry.clsid == clsid) {
        factory = entry.factory;
        break;
      }
    }
  }
  if (!factory) return REGDB_E_CLASSNOTREG;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  // The factory runs outside the registry lock: it may register or look up classes itself.
  const HRESULT hr = factory(riid, ppv);
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}

GUID ComLogicalThreadId() {
  // Without remote calls every chain of calls stays on its thread: a number per thread will do.
  static std::atomic<std::uint64_t> nextThread{1};
  thread_local const std::uint64_t thread = nextThread.fetch_add(1);
  GUID id{};
  id.Data1 = static_cast<std::uint32_t>(thread);
  id.Data2 = static_cast<std::uint16_t>(thread >> 32);
  id.Data3 = static_cast<std::uint16_t>(thread >> 48);
  return id;
}

bool ComServesBuiltInServersOnly() {
  return true;
}
