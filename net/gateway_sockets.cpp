#include "net/gateway_sockets.h"

#include <atomic>

namespace {
std::atomic<CGatewaySockets*> g_current{nullptr};
}

CGatewaySockets::CGatewaySockets() {
  g_current = this;
}

CGatewaySockets::~CGatewaySockets() {
  CGatewaySockets* self = this;
  g_current.compare_exchange_strong(self, nullptr);
}

CGatewaySockets* GatewaySockets() {
  return g_current;
}
