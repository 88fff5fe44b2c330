// A tray that keeps one icon per id and records every call, for the frame core's tests and the
// front ends' window tests.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/tray_notifier.h"

class CFakeTrayBackend final : public ITrayBackend {
public:
  struct Call {
    std::uint32_t operation;
    TrayIconRecord record;
  };
  struct State {
    std::vector<Call> calls;
    bool iconPresent = false;
    bool failAdd = false;
    int menusShown = 0;
  };

  explicit CFakeTrayBackend(std::shared_ptr<State> state) : m_state(std::move(state)) {}

  bool NotifyIcon(std::uint32_t operation, const TrayIconRecord& record) override {
    m_state->calls.push_back({operation, record});
    switch (operation) {
      case kTrayAdd:
        if (m_state->failAdd || m_state->iconPresent) return false;
        m_state->iconPresent = true;
        return true;
      case kTrayModify:
        return m_state->iconPresent;
      case kTrayDelete:
        if (!m_state->iconPresent) return false;
        m_state->iconPresent = false;
        return true;
      default:
        return false;
    }
  }
  int FirstTrayCommand() override { return 32779; }
  bool ShowTrayMenu(ITrayOwner& owner) override {
    owner.SetForegroundWindow();
    ++m_state->menusShown;
    return true;
  }

private:
  std::shared_ptr<State> m_state;
};

inline std::vector<std::uint32_t> Operations(const CFakeTrayBackend::State& state) {
  std::vector<std::uint32_t> operations;
  for (const auto& call : state.calls) operations.push_back(call.operation);
  return operations;
}
