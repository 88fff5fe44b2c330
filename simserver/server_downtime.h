// The downtime of a crashed quarnix-sim.exe: a write of N to "Control.Restart" ends the process
// at once, and for the N seconds after it a new process of the same server refuses every
// creation with CO_E_SERVER_EXEC_FAILURE, as a server PC that is restarting does. The end of the
// downtime is kept in a small file in the user's temporary folder, one per server (1:
// Quarnix.Simulator and its flat variant, 2: Quarnix.Simulator.2).
//
// Error rule: a file that cannot be written or read means no downtime. Thread rule: any thread.
// Ownership: nothing is kept in memory.
#pragma once

// Records that server instance is down for seconds from now.
void NoteServerDowntime(int instance, unsigned seconds);
// Whether server instance is still down.
bool InServerDowntime(int instance);
