#include "platform/process_figures.h"

#include <windows.h>
// windows.h first: psapi.h needs its types.
#include <psapi.h>

ProcessFigures ReadProcessFigures() {
  ProcessFigures figures;
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  if (K32GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
    figures.residentBytes = static_cast<std::int64_t>(memory.WorkingSetSize);
  DWORD handles = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &handles))
    figures.openFiles = static_cast<std::int64_t>(handles);
  return figures;
}
