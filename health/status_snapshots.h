// Hands the gateway's status figures from the UI thread to other threads (the metrics server)
// without holding the UI thread longer than one copy of the figures.
//
// Take posts one small call to the UI thread's apartment, which fills a GatewayStatus there
// (plain copies and counts, no I/O) and returns; the caller waits for it with a deadline, so a
// hung UI thread makes a scrape fail in time instead of hanging it. A snapshot younger than the
// reuse window is handed out again without a post, so any rate of scrapes costs the UI thread
// at most one fill per window; concurrent callers share one pending fill.
//
// Beside it, the published figures: the UI thread publishes a copy after each request and every
// kPublishEvery, and any
// thread reads the latest one without waiting for the UI thread at all (the status request and
// the metrics port, when the UI thread does not answer at once), its ages (uptime, connected
// time, value ages) advanced to the moment of reading. So a UI thread held by a hung server call
// delays no status answer; what it says is as of the UI thread's last turn before the call.
//
// Error rule: Take returns nullopt when the UI thread did not answer by the deadline or the
// apartment is closed; nothing throws. Thread rule: Take from any thread except the apartment's
// own (it would wait for itself); the fill runs on the apartment's thread. Ownership: the
// apartment is shared; the fill must stay valid until the apartment is closed or drained.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "health/gateway_status.h"

class CApartment;

class CStatusSnapshots {
public:
  using Clock = std::chrono::steady_clock;
  using Fill = std::function<void(GatewayStatus&)>;
  static constexpr std::chrono::milliseconds kDefaultReuse{100};

  CStatusSnapshots(std::shared_ptr<CApartment> apartment, Fill fill,
                   std::chrono::milliseconds reuse = kDefaultReuse);

  std::optional<GatewayStatus> Take(Clock::time_point deadline);
  // Drops the fill (on the apartment's thread, before what it reads goes away): a fill still
  // queued then does nothing, and Take gives nullopt from then on.
  void Detach();

  struct State;  // shared with the posted fills (status_snapshots.cpp)

  // How often the UI thread publishes its figures.
  static constexpr std::chrono::milliseconds kPublishEvery{100};

private:
  std::shared_ptr<CApartment> m_apartment;
  std::shared_ptr<State> m_state;
  std::chrono::milliseconds m_reuse;
};

// The process's published figures (UI thread: Publish; any thread: Latest). Latest is nullopt
// until the first Publish and after ClearPublishedStatus (the gateway's end).
void PublishGatewayStatus(GatewayStatus status);
std::optional<GatewayStatus> LatestGatewayStatus();
void ClearPublishedStatus();
