#include "core/apartment_drain.h"

#include "core/activity_log.h"
#include "platform/apartment.h"
#include "platform/codepage.h"
#include "platform/socket_api.h"
#include "platform/string_format.h"

bool RunQueuedCalls(CApartment& apartment, const std::function<void()>& wakeAgain) {
  try {
    apartment.RunPending();
    return true;
  } catch (...) {
    LogToFile(StringPrintf(SystemText("调用RunPending时，程序抛出了异常。错误代码：%x").c_str(),
                           static_cast<unsigned>(SocketLastError())));
    if (apartment.PendingCount() > 0 && wakeAgain) wakeAgain();
    return false;
  }
}
