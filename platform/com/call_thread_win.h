// Call threads: a small pool of threads in the process's multithreaded COM apartment on which the
// gateway makes its calls into an out-of-process server, so that the UI thread can stop waiting
// for a call that hangs while the call itself goes on.
//
// RunOnCallThread hands a piece of work to a free call thread and waits for it with a deadline;
// a call thread left in a hung call stays busy until the call returns, and the next piece of work
// takes another thread (a new one when none is free, up to kMaxCallThreads). Beyond that cap the
// work is not run at all. While it waits, a thread with a single-threaded apartment keeps
// receiving COM's messages (the server's callbacks into that thread), as it would inside an
// outgoing call of its own.
//
// Error rule: the outcome says whether the work finished in time, timed out or found no thread;
// nothing throws. Thread rule: any thread. Ownership: the work is moved into the pool and
// destroyed on the call thread once it has run, also after its caller stopped waiting; whatever it
// writes must therefore be owned by the work (shared), never by the waiting caller's stack. The
// threads live until the process ends.
#pragma once

#include <chrono>
#include <functional>

#include "platform/com/com.h"

inline constexpr int kMaxCallThreads = 8;

enum class CallThreadOutcome {
  kFinished,  // the work ran to its end within the timeout
  kTimedOut,  // the timeout passed first; the work goes on on its call thread
  kNoThread,  // every call thread is busy (hung calls): the work was not run
};

// Runs work on a free call thread and waits at most timeout for it (0: without a limit).
CallThreadOutcome RunOnCallThread(std::function<void()> work, std::chrono::milliseconds timeout);

// Runs work on a call thread without waiting for it: on a free one, or on the first that becomes
// free when all are busy (releases of a server's objects, which must not hold their caller).
void PostToCallThread(std::function<void()> work);

// Waits at most timeout (0: without a limit) for event, receiving COM's calls meanwhile as
// RunOnCallThread does (work that a caller stopped waiting for, waited for again). True when set.
bool WaitForCallThreadEvent(HANDLE event, std::chrono::milliseconds timeout);

// Waits at most timeout until every piece of work posted so far has run (the releases of a
// server taken down, before the process ends). True when none is left.
bool WaitForPostedWork(std::chrono::milliseconds timeout);
