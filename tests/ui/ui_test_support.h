// Helpers shared by the window tests: waiting on a condition while the event loop runs; the
// recording tray backend comes with them.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/core/fake_tray_backend.h"

// Runs the event loop until done() holds or the deadline passes; returns done().
inline bool WaitFor(const std::function<bool()>& done, int deadlineMs = 5000) {
  QDeadlineTimer deadline(deadlineMs);
  while (!done()) {
    if (deadline.hasExpired()) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// Runs the application's event loop until something ends it; after the deadline it ends it
// with 99. Returns the loop's exit code.
inline int RunApplicationLoop(int deadlineMs = 10000) {
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(&deadline, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  deadline.start(deadlineMs);
  return QCoreApplication::exec();
}

// Lets queued calls run once (those already posted).
inline void ProcessPostedEvents() {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
}
