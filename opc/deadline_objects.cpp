// The COM subset's creation: the UI thread's watchdog covers every call by itself.
#include "opc/deadline_objects.h"

HRESULT CreateServerUnderDeadline(const CLSID& clsid, CCallDeadline& /*deadline*/,
                                  IOPCServer** server) {
  return CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                          reinterpret_cast<void**>(server));
}

void SettleServerReleases(CCallDeadline& /*deadline*/) {}
