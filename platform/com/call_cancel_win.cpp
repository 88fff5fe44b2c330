// Calls into a server on the real COM: the proxies do not say what a thread waits for, so no call
// is reported pending; a server's ComCallFrame blocks its serving thread.
#include "platform/com/com.h"

DWORD ComCurrentThreadId() {
  return GetCurrentThreadId();
}

bool ComPendingCallsObservable() {
  return false;
}

ComPendingCall ComPendingCallOf(DWORD /*threadId*/) {
  return ComPendingCall();
}

HRESULT ComCancelPendingCall(DWORD threadId, std::uint64_t /*serial*/) {
  return CoCancelCall(threadId, 0);
}

ComCallFrame::ComCallFrame(const char* /*method*/) {}

ComCallFrame::~ComCallFrame() = default;

HRESULT ComCallFrame::Block(std::chrono::milliseconds duration) {
  Sleep(static_cast<DWORD>(duration.count()));
  return S_OK;
}
