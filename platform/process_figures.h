// What the system tells about the gateway's own process, for the metrics: resident memory and
// open descriptors (handles on Windows).
//
// Error rule: nothing throws; a figure the platform does not tell is -1.
// Thread rule: any thread. Ownership: values returned.
#pragma once

#include <cstdint>

struct ProcessFigures {
  std::int64_t residentBytes = -1;  // resident set size (working set on Windows)
  std::int64_t openFiles = -1;      // open descriptors (open handles on Windows)
  std::int64_t maxFiles = -1;       // the open-file limit, where there is one
};

ProcessFigures ReadProcessFigures();
