// The registration of quarnix-sim.exe as the COM local server of "Quarnix.Simulator":
//   CLSID\{6B1F4C3E-...}                          = "Quarnix Simulator"
//   CLSID\{6B1F4C3E-...}\LocalServer32            = "<full path of the program>" (quoted)
//   CLSID\{6B1F4C3E-...}\ProgID                   = "Quarnix.Simulator"
//   CLSID\{6B1F4C3E-...}\Implemented Categories\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}
//                                                 (the OPC DA 2.0 category, for server browsers)
//   Quarnix.Simulator                             = "Quarnix Simulator"
//   Quarnix.Simulator\CLSID                       = "{6B1F4C3E-...}"
// and the same for the flat variant "Quarnix.Simulator.Flat" ({6B1F4C3E-...-0C5A8E7B2F65},
// "Quarnix Simulator (flat)") and the second server "Quarnix.Simulator.2"
// ({6B1F4C3E-...-0C5A8E7B2F66}, "Quarnix Simulator 2"), whose LocalServer32 adds /Instance2:
// COM starts a process of its own for it, so that a crash or hang of one server leaves the other
// running,
// under HKEY_LOCAL_MACHINE\Software\Classes (every user) when the caller may write there,
// otherwise under HKEY_CURRENT_USER\Software\Classes (this user).
//
// Error rule: Win32 error codes (ERROR_SUCCESS on success). Thread rule: any thread.
// Ownership: nothing is kept.
#pragma once

#include <string>

#include "platform/com/com.h"

enum class RegistrationScope { kAllUsers, kCurrentUser };

// Writes the keys for the program at serverPath. *scope tells where they went.
LONG RegisterSimulatorServer(const std::wstring& serverPath, RegistrationScope* scope);

// Removes the keys from both places. Keys that are not there are no error.
LONG UnregisterSimulatorServer();
