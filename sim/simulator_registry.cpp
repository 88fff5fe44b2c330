// The simulator in the COM subset's class registry (Linux): the gateway's CoCreateInstance of
// "Quarnix.Simulator" makes its objects in the gateway's own process.
#include "sim/simulator.h"

void RegisterSimulator() {
  CoRegisterProgId(kSimulatorProgId, CLSID_QuarnixSimulator, CreateSimulatorObject);
  CoRegisterProgId(kSimulatorFlatProgId, CLSID_QuarnixSimulatorFlat, CreateSimulatorFlatObject);
  CoRegisterProgId(kSimulator2ProgId, CLSID_QuarnixSimulator2, CreateSimulator2Object);
}
