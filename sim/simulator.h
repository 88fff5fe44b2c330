// The built-in simulation server "Quarnix.Simulator": a stand-in for an out-of-process OPC DA 2.0
// server. On Linux it is registered in the COM subset's class registry, so that the gateway
// reaches it through CLSIDFromProgID and CoCreateInstance like any other server; on Windows
// quarnix-sim.exe serves it as a COM local server under the same ProgID and class id.
//
// Items: "<Family>.<Type>" with the families Static, Ramp, Random, Memory, Bad, Uncertain and the
// types Int1, Int2, Int4, UInt1, UInt2, UInt4, Boolean, Real4, Real8, String; also
// "Memory.<Type>.<anything>"; "Control.Restart", "Control.Instance"; "Many.1" to "Many.50000".
// Browsing shows them as a tree of branches (sim_address_space.h); "Quarnix.Simulator.Flat" is the
// same server with a flat address space. Every connection shares the process's one server state;
// its worker thread ticks every 100 ms while server objects exist.
//
// Error rule: the OPC DA 2.0 results. Thread rule: any thread; callbacks reach the thread that
// advised through its apartment. Ownership: server objects are reference-counted COM objects.
#pragma once

#include <chrono>

#include "platform/com/com.h"

// {6B1F4C3E-2A7D-4E58-9D31-0C5A8E7B2F64}: the simulator's class id.
extern const CLSID CLSID_QuarnixSimulator;
inline constexpr WideChar kSimulatorProgId[] = OLESTR("Quarnix.Simulator");
// {6B1F4C3E-2A7D-4E58-9D31-0C5A8E7B2F65}: the same server with a flat address space.
extern const CLSID CLSID_QuarnixSimulatorFlat;
inline constexpr WideChar kSimulatorFlatProgId[] = OLESTR("Quarnix.Simulator.Flat");

// {6B1F4C3E-2A7D-4E58-9D31-0C5A8E7B2F66}: a second simulated server with a state of its own
// (its own Memory and Control items; "Control.Instance" reads 2 there, 1 on the first): a
// backup server for trying the gateway's /backup.
extern const CLSID CLSID_QuarnixSimulator2;
inline constexpr WideChar kSimulator2ProgId[] = OLESTR("Quarnix.Simulator.2");

// A new server object (one connection), returned for riid with one reference: the simulator's
// class factory. E_NOINTERFACE for an interface it does not have.
HRESULT CreateSimulatorObject(REFIID riid, void** ppv);
// The same for the second server's class.
HRESULT CreateSimulator2Object(REFIID riid, void** ppv);
// The same for the flat variant's class.
HRESULT CreateSimulatorFlatObject(REFIID riid, void** ppv);

// Registers the three ProgIDs with their class ids and the simulator's factory in the COM subset's
// class registry. Idempotent. Linux only: on Windows the system's registry holds the class
// (quarnix-sim.exe /RegServer).
void RegisterSimulator();

// For a server program: hook(true) runs when a server object has been made, hook(false) when one
// is gone (its groups ended and its worker share released), on the thread that made or released
// it. Set before the first object is made; null for none.
using SimulatorObjectHook = void (*)(bool made);
void SetSimulatorObjectHook(SimulatorObjectHook hook);

// For a server program: a write to "Control.Restart" calls hook(seconds) instead of simulating the
// crash in process, after the write has been answered (a server program ends its process, as a
// crash does). Null for the simulated crash.
using SimulatorCrashHook = void (*)(unsigned seconds);
void SetSimulatorCrashHook(SimulatorCrashHook hook);

// For tests: while held, the worker neither ticks nor runs queued asynchronous operations, so
// they stay cancellable.
void SimulatorHold(bool held);
// For tests: as a write of the duration to "Control.Hang" (whole seconds there): every later
// call and creation blocks until it has passed; 0 ends a hang for the calls that come later.
void SimulatorHang(std::chrono::milliseconds duration);
// For tests: whether the worker thread runs (it does while server objects exist).
bool SimulatorWorkerRunning();
