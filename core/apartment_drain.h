// One turn of a front end's event loop at the UI thread's apartment: the queued calls run, and a
// call that throws must not unwind through the toolkit's loop. It is logged to the log file
// ("调用RunPending时，程序抛出了异常。错误代码：%x") and, when calls remain queued, wakeAgain
// asks the loop for another turn, in which they run.
//
// Error rule: nothing throws; false when a call threw. Thread rule: the apartment's own thread.
// Ownership: borrows both.
#pragma once

#include <functional>

class CApartment;

bool RunQueuedCalls(CApartment& apartment, const std::function<void()>& wakeAgain);
