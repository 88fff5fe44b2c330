#include "platform/process_limits.h"

// Winsock sockets are kernel handles without a per-process count limit of their own.
int RaiseOpenFileLimit() {
  return 0;
}
