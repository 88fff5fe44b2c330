// The cost of the call deadline: IOPCSyncIO::Read of 10 items, the call an "SR" makes, on the
// simulator in this process through the gateway's server connection, with the deadline's
// watchdog running (/calltimeout 10) and without it (the baseline), in alternating rounds of the
// same run. The target is a ratio of at least 0.95.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "opc/server_connection.h"
#include "sim/simulator.h"
#include "tests/support/silent_frame_view.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kItems = 10;
constexpr auto kRound = std::chrono::milliseconds(1000);

// Reads per second during one round; 0 when the group could not be set up.
double ReadsPerSecond(std::chrono::milliseconds timeout) {
  CSilentFrameView view;
  ConnectionTimes times;
  times.callTimeout = timeout;
  CServerConnection connection(view, kSimulatorProgId, times);
  std::string text;
  if (connection.Connect(text) != S_OK) return 0;
  IOPCServer* server = connection.Server();
  OPCHANDLE group = 0;
  DWORD revised = 0;
  ComPtr<IOPCItemMgt> items;
  WCHAR name[] = OLESTR("deadline-bench");
  if (server->AddGroup(name, TRUE, 1000, 0, nullptr, nullptr, 0x409, &group, &revised,
                       IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(items.Put())) != S_OK)
    return 0;
  WCHAR itemId[] = OLESTR("Ramp.Int4");
  WCHAR path[] = OLESTR("");
  std::vector<OPCITEMDEF> defs(kItems, OPCITEMDEF{path, itemId, TRUE, 0, 0, nullptr, VT_EMPTY, 0});
  OPCITEMRESULT* results = nullptr;
  HRESULT* errors = nullptr;
  items->AddItems(kItems, defs.data(), &results, &errors);
  std::vector<OPCHANDLE> handles;
  for (int i = 0; i < kItems; ++i) handles.push_back(results[i].hServer);
  CoTaskMemFree(results);
  CoTaskMemFree(errors);
  ComPtr<IOPCSyncIO> io;
  items->QueryInterface(IID_IOPCSyncIO, io.PutVoid());

  long reads = 0;
  const auto start = Clock::now();
  while (Clock::now() - start < kRound) {
    OPCITEMSTATE* states = nullptr;
    HRESULT* readErrors = nullptr;
    io->Read(OPC_DS_DEVICE, kItems, handles.data(), &states, &readErrors);
    for (int i = 0; i < kItems && states != nullptr; ++i) VariantClear(&states[i].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(readErrors);
    ++reads;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  io.Reset();
  items.Reset();
  server->RemoveGroup(group, TRUE);
  connection.Release();
  return reads / seconds;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main() {
  RegisterSimulator();
  std::vector<double> with;
  std::vector<double> without;
  for (int round = 0; round < 5; ++round) {
    without.push_back(ReadsPerSecond(std::chrono::milliseconds(0)));
    with.push_back(ReadsPerSecond(std::chrono::seconds(10)));
  }
  const double on = Median(with);
  const double off = Median(without);
  std::printf("call deadline: IOPCSyncIO::Read of %d items (SR), median of 5 rounds of 1 s\n",
              kItems);
  std::printf("  with the deadline (10 s): %.0f reads/s\n", on);
  std::printf("  without it (baseline):    %.0f reads/s\n", off);
  std::printf("  ratio: %.3f (target >= 0.95)\n", off > 0 ? on / off : 0.0);
  return 0;
}
