#include "health/status_snapshots.h"

#include <condition_variable>
#include <mutex>
#include <utility>

#include "platform/apartment.h"

struct CStatusSnapshots::State {
  std::mutex mutex;
  std::condition_variable changed;
  Fill fill;
  bool pending = false;
  std::uint64_t generation = 0;  // bumped by every fill that ran or was dropped
  std::uint64_t filled = 0;      // the generation of the last fill that ran
  std::shared_ptr<const GatewayStatus> latest;
  Clock::time_point takenAt;
};

namespace {

// The posted call's state: a call the apartment drops unrun still ends the pending fill.
struct PendingFill {
  std::shared_ptr<CStatusSnapshots::State> state;
  bool ran = false;
  ~PendingFill();
  void Run();
};

}  // namespace

CStatusSnapshots::CStatusSnapshots(std::shared_ptr<CApartment> apartment, Fill fill,
                                   std::chrono::milliseconds reuse)
    : m_apartment(std::move(apartment)), m_state(std::make_shared<State>()), m_reuse(reuse) {
  m_state->fill = std::move(fill);
}

namespace {

PendingFill::~PendingFill() {
  if (ran) return;
  {
    std::lock_guard lock(state->mutex);
    state->pending = false;
    ++state->generation;
  }
  state->changed.notify_all();
}

void PendingFill::Run() {
  auto status = std::make_shared<GatewayStatus>();
  const auto began = CStatusSnapshots::Clock::now();
  state->fill(*status);
  status->copySeconds =
      std::chrono::duration<double>(CStatusSnapshots::Clock::now() - began).count();
  ran = true;
  {
    std::lock_guard lock(state->mutex);
    state->latest = std::move(status);
    state->takenAt = CStatusSnapshots::Clock::now();
    state->pending = false;
    state->filled = ++state->generation;
  }
  state->changed.notify_all();
}

}  // namespace

void CStatusSnapshots::Detach() {
  std::lock_guard lock(m_state->mutex);
  m_state->fill = nullptr;
  m_state->latest.reset();
}

std::optional<GatewayStatus> CStatusSnapshots::Take(Clock::time_point deadline) {
  std::unique_lock lock(m_state->mutex);
  if (!m_state->fill) return std::nullopt;
  if (m_state->latest && Clock::now() - m_state->takenAt < m_reuse) return *m_state->latest;
  const std::uint64_t before = m_state->generation;
  if (!m_state->pending) {
    m_state->pending = true;
    auto pending = std::make_shared<PendingFill>();
    pending->state = m_state;
    lock.unlock();
    const bool posted = m_apartment && m_apartment->Post([pending] { pending->Run(); });
    pending.reset();  // a refused post has dropped the call: the fill ends here
    lock.lock();
    if (!posted) return std::nullopt;
  }
  const bool answered =
      m_state->changed.wait_until(lock, deadline, [&] { return m_state->generation != before; });
  // A fill that was dropped (the apartment closed) leaves no newer figures.
  if (!answered || !m_state->latest || m_state->filled != m_state->generation) return std::nullopt;
  return *m_state->latest;
}

namespace {

struct PublishedStatus {
  std::mutex mutex;
  std::shared_ptr<const GatewayStatus> status;
  CStatusSnapshots::Clock::time_point at;
};

PublishedStatus& Published() {
  static auto* published = new PublishedStatus;  // read by threads that may outlive main's end
  return *published;
}

}  // namespace

void PublishGatewayStatus(GatewayStatus status) {
  auto shared = std::make_shared<const GatewayStatus>(std::move(status));
  const auto now = CStatusSnapshots::Clock::now();
  PublishedStatus& published = Published();
  std::lock_guard lock(published.mutex);
  published.status = std::move(shared);
  published.at = now;
}

std::optional<GatewayStatus> LatestGatewayStatus() {
  std::shared_ptr<const GatewayStatus> status;
  CStatusSnapshots::Clock::time_point at;
  {
    PublishedStatus& published = Published();
    std::lock_guard lock(published.mutex);
    status = published.status;
    at = published.at;
  }
  if (!status) return std::nullopt;
  GatewayStatus aged = *status;
  // What has gone on since it was published: time, which every age counts.
  const double since = std::chrono::duration<double>(CStatusSnapshots::Clock::now() - at).count();
  aged.uptimeSeconds += since;
  if (aged.serverConnected) aged.serverConnectedSeconds += since;
  for (GroupValueAge& age : aged.groupAges) age.seconds += since;
  return aged;
}

void ClearPublishedStatus() {
  PublishedStatus& published = Published();
  std::lock_guard lock(published.mutex);
  published.status.reset();
}
