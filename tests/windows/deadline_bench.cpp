// quarnix-deadline-bench: the cost of the call deadline in the Windows build, under wine. The
// call an "SR" makes (IOPCSyncIO::Read of 10 items) on quarnix-sim.exe, once through the deadline
// decorators (each call on a call thread, the caller waiting with a 10 s deadline) and once on
// the plain proxy (deadline 0, the benchmarks' switch), in alternating rounds of the same run.
// Prints the medians and their ratio; checks nothing. Run by hand after the registrations that
// scripts/test-windows makes: wine quarnix-deadline-bench.exe
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "opc/opcda.h"  // the Windows headers first

#include "opc/deadline_objects.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr DWORD kItems = 10;
constexpr auto kRound = std::chrono::milliseconds(1000);

// Reads per second during one round; 0 when the group could not be set up.
double ReadsPerSecond(const CLSID& clsid, std::chrono::milliseconds timeout) {
  CCallDeadline deadline(timeout);
  ComPtr<IOPCServer> server;
  if (CreateServerUnderDeadline(clsid, deadline, server.Put()) != S_OK) return 0;
  OPCHANDLE group = 0;
  DWORD rate = 0;
  ComPtr<IOPCItemMgt> items;
  if (server->AddGroup(L"bench", TRUE, 1000, 1, nullptr, nullptr, 1033, &group, &rate,
                       IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(items.Put())) != S_OK)
    return 0;
  wchar_t id[] = L"Ramp.Int4";
  wchar_t path[] = L"";
  std::vector<OPCITEMDEF> defs(kItems, OPCITEMDEF{path, id, TRUE, 0, 0, nullptr, VT_EMPTY, 0});
  CoTaskPtr<OPCITEMRESULT> results;
  CoTaskPtr<HRESULT> errors;
  if (items->AddItems(kItems, defs.data(), results.Put(), errors.Put()) != S_OK) return 0;
  std::vector<OPCHANDLE> handles;
  for (DWORD i = 0; i < kItems; ++i) handles.push_back(results[i].hServer);
  ComPtr<IOPCSyncIO> io;
  if (items->QueryInterface(IID_IOPCSyncIO, io.PutVoid()) != S_OK) return 0;

  long reads = 0;
  const auto start = Clock::now();
  while (Clock::now() - start < kRound) {
    CoTaskPtr<OPCITEMSTATE> states;
    CoTaskPtr<HRESULT> readErrors;
    io->Read(OPC_DS_DEVICE, kItems, handles.data(), states.Put(), readErrors.Put());
    for (DWORD i = 0; i < kItems && states.Get() != nullptr; ++i)
      VariantClear(&states[i].vDataValue);
    ++reads;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  server->RemoveGroup(group, TRUE);
  return reads / seconds;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main() {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  CLSID clsid{};
  if (FAILED(CLSIDFromProgID(L"Quarnix.Simulator", &clsid))) {
    std::printf("Quarnix.Simulator is not registered: run quarnix-sim.exe /RegServer first\n");
    return 1;
  }
  // One reference held throughout keeps the server process running between the rounds.
  ComPtr<IOPCServer> keeper;
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                              keeper.PutVoid()))) {
    std::printf("quarnix-sim.exe could not be started\n");
    return 1;
  }
  std::vector<double> with;
  std::vector<double> without;
  for (int round = 0; round < 5; ++round) {
    without.push_back(ReadsPerSecond(clsid, std::chrono::milliseconds(0)));
    with.push_back(ReadsPerSecond(clsid, std::chrono::seconds(10)));
  }
  const double on = Median(with);
  const double off = Median(without);
  std::printf("call deadline under wine: IOPCSyncIO::Read of %lu items on quarnix-sim.exe (SR)\n",
              static_cast<unsigned long>(kItems));
  std::printf("  through call threads (10 s deadline): %.0f reads/s\n", on);
  std::printf("  on the plain proxy (baseline):        %.0f reads/s\n", off);
  std::printf("  ratio: %.3f\n", off > 0 ? on / off : 0.0);
  keeper.Reset();
  CoUninitialize();
  return 0;
}
