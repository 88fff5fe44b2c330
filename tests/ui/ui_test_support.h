// Helpers shared by the window tests: waiting on a condition while the event loop runs, and a
// tray backend and owner that record what they are asked.
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

#include "ui/tray_notifier.h"

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

// A tray that keeps one icon per id and records every call.
class CFakeTrayBackend final : public ITrayBackend {
public:
  struct Call {
    std::uint32_t operation;
    NotifyIconData data;
  };
  struct State {
    std::vector<Call> calls;
    bool iconPresent = false;
    bool failAdd = false;
    bool destroyed = false;
  };

  explicit CFakeTrayBackend(std::shared_ptr<State> state) : m_state(std::move(state)) {}
  ~CFakeTrayBackend() override { m_state->destroyed = true; }

  bool NotifyIcon(std::uint32_t operation, const NotifyIconData& data) override {
    m_state->calls.push_back({operation, data});
    switch (operation) {
      case NIM_ADD:
        if (m_state->failAdd || m_state->iconPresent) return false;
        m_state->iconPresent = true;
        return true;
      case NIM_MODIFY:
        return m_state->iconPresent;
      case NIM_DELETE:
        if (!m_state->iconPresent) return false;
        m_state->iconPresent = false;
        return true;
      default:
        return false;
    }
  }

private:
  std::shared_ptr<State> m_state;
};

inline std::vector<std::uint32_t> Operations(const CFakeTrayBackend::State& state) {
  std::vector<std::uint32_t> operations;
  for (const auto& call : state.calls) operations.push_back(call.operation);
  return operations;
}
