#include "opc/server_loss.h"

#include <cstdint>
#include <mutex>
#include <vector>

bool IsServerLostCode(HRESULT code) {
  switch (code) {
    case kRpcDisconnected:
    case kRpcServerDied:
    case kRpcServerDiedDne:
    case kRpcServerUnavailable:
    case kRpcCallFailed:
    case kRpcCallFailedDne:
    case kObjectNotConnected:
      return true;
    default:
      return false;
  }
}

std::chrono::milliseconds ReconnectDelay(unsigned attempt) {
  constexpr unsigned kDoublings = 5;  // 1, 2, 4, 8, 16 s
  if (attempt >= kDoublings) return std::chrono::seconds(30);
  return std::chrono::seconds(1u << attempt);
}

void AbandonServerObject(IUnknown* object) {
  static std::mutex* mutex = new std::mutex;
  static auto* abandoned = new std::vector<IUnknown*>;  // lives until the process ends
  if (object == nullptr) return;
  std::lock_guard lock(*mutex);
  abandoned->push_back(object);
}
