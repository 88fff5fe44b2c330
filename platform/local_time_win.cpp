#include "platform/local_time.h"

#include <time.h>

std::string FormatLocalTime(std::time_t when, const char* pattern) {
  struct tm parts {};
  // The C runtime's thread-safe conversion (Windows has no localtime_r).
  if (::localtime_s(&parts, &when) != 0) return {};
  char buffer[256];
  const std::size_t length = std::strftime(buffer, sizeof buffer, pattern, &parts);
  return std::string(buffer, length);
}
