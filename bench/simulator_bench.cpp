// The simulator alone: 100,000 items changing every 100 ms in 100 active groups, reported to a
// counting sink on this thread. Item updates produced per second against the 1,000,000 that
// the ticks call for, and whether the reports keep pace (gaps between reports of a group).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "opc/opcda.h"
#include "platform/apartment.h"
#include "sim/simulator.h"

namespace {

constexpr int kGroups = 100;
constexpr int kItemsPerGroup = 1000;
constexpr DWORD kUpdateRate = 50;  // faster than the 100 ms tick, so that every change is reported
const auto kWindow = std::chrono::seconds(5);
constexpr double kExpectedPerSecond = kGroups * kItemsPerGroup * 10.0;

// Counts the items of every OnDataChange and the time between reports of each group.
class CCountingSink final : public IOPCDataCallback {
public:
  CCountingSink() : m_lastReport(kGroups) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOPCDataCallback) {
      *ppv = static_cast<IOPCDataCallback*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++m_refs; }
  ULONG Release() override {
    const ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }

  HRESULT OnDataChange(DWORD, OPCHANDLE hGroup, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE*,
                       VARIANT*, WORD*, FILETIME*, HRESULT*) override {
    const auto now = BenchClock::now();
    m_allItems += dwCount;
    if (!m_counting || hGroup >= static_cast<OPCHANDLE>(kGroups)) return S_OK;
    m_items += dwCount;
    ++m_reports;
    auto& last = m_lastReport[hGroup];
    if (last != BenchClock::time_point{}) m_gaps.push_back(ElapsedMs(last, now));
    last = now;
    return S_OK;
  }
  HRESULT OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                         FILETIME*, HRESULT*) override {
    return S_OK;
  }
  HRESULT OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
    return S_OK;
  }
  HRESULT OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

  void StartCounting() { m_counting = true; }
  void StopCounting() { m_counting = false; }
  std::uint64_t Items() const { return m_items; }
  std::uint64_t AllItems() const { return m_allItems; }
  std::uint64_t Reports() const { return m_reports; }
  const std::vector<double>& Gaps() const { return m_gaps; }

private:
  std::atomic<ULONG> m_refs{1};
  bool m_counting = false;
  std::uint64_t m_items = 0;
  std::uint64_t m_allItems = 0;
  std::uint64_t m_reports = 0;
  std::vector<BenchClock::time_point> m_lastReport;
  std::vector<double> m_gaps;
};

struct SimGroup {
  ComPtr<IOPCItemMgt> items;
  ComPtr<IOPCGroupStateMgt> state;
  ComPtr<IConnectionPoint> point;
  DWORD cookie = 0;
  OPCHANDLE hServer = 0;
};

// The ramp and random items of every type that changes on each tick.
const char16_t* const kChangingItems[] = {
    u"Ramp.Int1",  u"Ramp.Int2",  u"Ramp.Int4",  u"Ramp.UInt1",  u"Ramp.UInt2",
    u"Ramp.UInt4", u"Ramp.Real4", u"Ramp.Real8", u"Random.Int2", u"Random.Int4"};

bool AddGroup(IOPCServer& server, int index, CCountingSink* sink, SimGroup& group) {
  LONG timeBias = 0;
  FLOAT deadband = 0;
  DWORD revised = 0;
  const std::u16string name = u"simbench" +
                              std::u16string(1, static_cast<char16_t>(u'A' + index % 26)) +
                              std::u16string(1, static_cast<char16_t>(u'A' + index / 26));
  if (FAILED(server.AddGroup(name.c_str(), FALSE, kUpdateRate, static_cast<OPCHANDLE>(index),
                             &timeBias, &deadband, 0x409, &group.hServer, &revised, IID_IOPCItemMgt,
                             reinterpret_cast<LPUNKNOWN*>(group.items.Put())))) {
    return false;
  }
  static WCHAR emptyPath[] = u"";
  std::vector<OPCITEMDEF> defs(kItemsPerGroup);
  for (int i = 0; i < kItemsPerGroup; ++i) {
    OPCITEMDEF& def = defs[static_cast<std::size_t>(i)];
    def.szAccessPath = emptyPath;
    def.szItemID = const_cast<LPWSTR>(kChangingItems[i % std::size(kChangingItems)]);
    def.bActive = TRUE;
    def.hClient = static_cast<OPCHANDLE>(i);
    def.vtRequestedDataType = VT_EMPTY;
  }
  CoTaskPtr<OPCITEMRESULT> results;
  CoTaskPtr<HRESULT> errors;
  if (group.items->AddItems(kItemsPerGroup, defs.data(), results.Put(), errors.Put()) != S_OK) {
    return false;
  }
  if (group.items->QueryInterface(IID_IOPCGroupStateMgt, group.state.PutVoid()) != S_OK) {
    return false;
  }
  ComPtr<IConnectionPointContainer> container;
  if (group.items->QueryInterface(IID_IConnectionPointContainer, container.PutVoid()) != S_OK ||
      container->FindConnectionPoint(IID_IOPCDataCallback, group.point.Put()) != S_OK ||
      group.point->Advise(sink, &group.cookie) != S_OK) {
    return false;
  }
  return true;
}

}  // namespace

int main() {
  PrintTitle(
      "Simulator alone: 100,000 items (100 groups of 1000) changing every 100 ms "
      "(target: 1,000,000 item updates per second, reports every 100 ms)");
  const HRESULT initialized = CoInitialize(nullptr);
  if (initialized != S_OK && initialized != S_FALSE) return 1;
  RegisterSimulator();
  const std::shared_ptr<CApartment> apartment = CApartment::ForCurrentThread();
  CLSID clsid{};
  ComPtr<IOPCServer> server;
  if (CLSIDFromProgID(kSimulatorProgId, &clsid) != S_OK ||
      CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.PutVoid()) !=
          S_OK) {
    std::fprintf(stderr, "cannot create the simulator\n");
    return 1;
  }
  auto* sink = new CCountingSink;
  std::vector<SimGroup> groups(kGroups);
  const auto setupStart = BenchClock::now();
  for (int g = 0; g < kGroups; ++g) {
    if (!AddGroup(*server.Get(), g, sink, groups[static_cast<std::size_t>(g)])) {
      std::fprintf(stderr, "cannot add group %d\n", g);
      return 1;
    }
  }
  BOOL active = TRUE;
  for (auto& group : groups)
    group.state->SetState(nullptr, nullptr, &active, nullptr, nullptr, nullptr, nullptr);
  const double setupMs = ElapsedMs(setupStart, BenchClock::now());

  // Warm-up: every item's first report and a few ticks; then the counted window.
  apartment->RunUntil([&] { return sink->AllItems() >= 3ull * kGroups * kItemsPerGroup; },
                      std::chrono::seconds(30));
  sink->StartCounting();
  const auto start = BenchClock::now();
  const std::clock_t cpuStart = std::clock();
  apartment->RunUntil([] { return false; }, kWindow);
  const std::clock_t cpuEnd = std::clock();
  sink->StopCounting();
  const double seconds = std::chrono::duration<double>(BenchClock::now() - start).count();
  const double cpuShare = static_cast<double>(cpuEnd - cpuStart) / CLOCKS_PER_SEC / seconds;

  const double perSecond = static_cast<double>(sink->Items()) / seconds;
  const LatencyFigures gaps = Summarize(sink->Gaps());
  PrintComparison("item updates per second", perSecond, kExpectedPerSecond, "items/s", "simulator",
                  "expected");
  PrintComparison("reports per group per second",
                  static_cast<double>(sink->Reports()) / seconds / kGroups, 10.0, "reports",
                  "simulator", "expected");
  PrintLine("%-44s p50 %7.2f ms  p99 %7.2f ms  max %7.2f ms (100 ms when keeping pace)",
            "time between reports of a group", gaps.p50Ms, gaps.p99Ms, gaps.maxMs);
  PrintLine("%-44s %.0f%% of one core (worker and this counting thread)", "CPU time used",
            cpuShare * 100.0);
  PrintLine("%-44s %.0f ms", "setup of 100 groups of 1000 items", setupMs);

  BOOL inactive = FALSE;
  for (auto& group : groups) {
    group.state->SetState(nullptr, nullptr, &inactive, nullptr, nullptr, nullptr, nullptr);
    group.point->Unadvise(group.cookie);
    group.point.Reset();
    group.state.Reset();
    group.items.Reset();
    server->RemoveGroup(group.hServer, TRUE);
  }
  server.Reset();
  apartment->RunPending();
  sink->Release();
  CoUninitialize();
  return 0;
}
