// The process's share of system resources that the gateway adjusts at start: the open-file
// limit, which bounds how many request connections can be open at once.
//
// Error rule: nothing throws; a limit that cannot be changed is left as it was.
// Thread rule: call at start-up, before other threads open files. Ownership: none.
#pragma once

// Raises the open-file limit to the system's hard limit (Linux: RLIMIT_NOFILE). Returns the
// limit in force afterwards, or 0 when the platform has no such per-process limit (Windows).
int RaiseOpenFileLimit();
