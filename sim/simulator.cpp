#include "sim/simulator.h"

#include "sim/sim_core.h"
#include "sim/sim_server.h"

const CLSID CLSID_QuarnixSimulator = {
    0x6B1F4C3E, 0x2A7D, 0x4E58, {0x9D, 0x31, 0x0C, 0x5A, 0x8E, 0x7B, 0x2F, 0x64}};

const CLSID CLSID_QuarnixSimulatorFlat = {
    0x6B1F4C3E, 0x2A7D, 0x4E58, {0x9D, 0x31, 0x0C, 0x5A, 0x8E, 0x7B, 0x2F, 0x65}};

const CLSID CLSID_QuarnixSimulator2 = {
    0x6B1F4C3E, 0x2A7D, 0x4E58, {0x9D, 0x31, 0x0C, 0x5A, 0x8E, 0x7B, 0x2F, 0x66}};

HRESULT CreateSimulator2Object(REFIID riid, void** ppv) {
  return CSimServer::Create(riid, ppv, false, 2);
}

HRESULT CreateSimulatorObject(REFIID riid, void** ppv) {
  return CSimServer::Create(riid, ppv);
}

HRESULT CreateSimulatorFlatObject(REFIID riid, void** ppv) {
  return CSimServer::Create(riid, ppv, true);
}

void SetSimulatorObjectHook(SimulatorObjectHook hook) {
  CSimServer::SetLifetimeHook(hook);
}

void SimulatorHang(std::chrono::milliseconds duration) {
  CSimCore::Instance().SetHang(duration);
}

void SimulatorHold(bool held) {
  CSimCore::Instance().SetHeld(held);
}

bool SimulatorWorkerRunning() {
  return CSimCore::Instance().IsWorkerRunning();
}

void SetSimulatorCrashHook(SimulatorCrashHook hook) {
  CSimCore::Instance().SetCrashHook(hook);
}
