#include "net/listener.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "core/activity_log.h"
#include "core/frame_view.h"
#include "net/gateway_counters.h"
#include "net/response.h"
#include "res/resource.h"
#include "res/strings.h"

namespace {

// The status bar shows at most this many characters of a socket failure.
constexpr unsigned kStatusTextCapacity = 32;

// The reply code for a failure that is not a socket failure: the thread's last error code, or
// E_FAIL when that is 0, so that a failure never reads as success.
int FailureCode() {
  const int code = SocketLastError();
  return code != 0 ? code : kListenerFailureCode;
}

// On the UI thread: the status bar's message pane of the main window, while there is one.
void ShowStatusNow(const std::string& text) {
  if (pMainFrame != nullptr) pMainFrame->SetMessageText(text);
}

}  // namespace

// The signal by which the UI thread tells one listener that its request has been answered.
class CRequestCompletion {
public:
  // The UI side has finished with the connection.
  void Signal() {
    {
      std::lock_guard lock(m_mutex);
      m_signalled = true;
    }
    m_changed.notify_all();
  }
  // The listener no longer waits (answered, timed out or stopping): a call still queued must
  // not touch the connection, which is about to be closed.
  void Abandon() {
    {
      std::lock_guard lock(m_mutex);
      m_abandoned = true;
    }
    m_changed.notify_all();
  }
  // The UI side starts on the request; false when the listener has given up already.
  bool BeginHandling() {
    {
      std::lock_guard lock(m_mutex);
      if (m_abandoned) return false;
      m_begun = true;
    }
    m_changed.notify_all();
    return true;
  }
  // True when the UI side began on the request within the limit.
  bool WaitBegun(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, limit, [this] { return m_begun || m_signalled || m_abandoned; });
    return m_begun || m_signalled;
  }
  // The listener answers the request itself, unless the UI side has begun on it: the queued call
  // then does nothing.
  bool TakeOver() {
    std::lock_guard lock(m_mutex);
    if (m_begun || m_signalled) return false;
    m_abandoned = true;
    return true;
  }
  // True when the UI side signalled (it is done with the connection) within the limit.
  bool WaitFor(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, limit, [this] { return m_signalled || m_abandoned; });
    return m_signalled;
  }

private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_signalled = false;
  bool m_abandoned = false;
  bool m_begun = false;
};

namespace {

// What travels to the UI thread: the shared connection, the listener's completion signal and
// the call that answers. One that the apartment drops unrun signals when destroyed, so it
// releases its listener at once. The call answers every failure of its own; a socket failure
// that escapes it is shown in the status bar.
struct HandOff {
  std::shared_ptr<CHttpBlockingSocket> connection;
  std::shared_ptr<CRequestCompletion> completion;
  CListenerChain::RequestCall call;
  bool signalled = false;

  // Signals only when Run did not: a second signal would contend for the completion's lock
  // with the listener it has just woken, on the UI thread.
  ~HandOff() {
    if (!signalled) completion->Signal();
  }

  void Run() {
    if (!completion->BeginHandling()) return;
    try {
      if (call) call(*connection);
    } catch (const CBlockingSocketException& failure) {
      char text[kStatusTextCapacity];
      failure.GetErrorMessage(text, sizeof text);
      ShowStatusNow(text);
    }
    completion->Signal();
    signalled = true;
  }
};

}  // namespace

CListenerChain::~CListenerChain() {
  Stop();
}

bool CListenerChain::Start(CHttpBlockingSocket& listenSocket, const ProtectionSettings& protection,
                           std::shared_ptr<CApartment> uiApartment, RequestCall onRequest,
                           ReadCall readRequest) {
  std::lock_guard lock(m_mutex);
  if (m_running || listenSocket.m_socket == kNoSocket) return false;
  m_listen = &listenSocket;
  m_apartment = std::move(uiApartment);
  m_onRequest = std::move(onRequest);
  m_readRequest = std::move(readRequest);
  m_guard.Configure(protection);
  m_stopping = false;
  m_mostAccepting = 0;
  m_evicted = 0;
  m_threadCeiling = 0;
  m_threadLimit = static_cast<std::size_t>(std::max(0, protection.threadLimit));
  m_running = StartListenerLocked();
  return m_running;
}

void CListenerChain::Stop() {
  std::unique_lock lock(m_mutex);
  if (!m_running) return;
  m_stopping = true;
  for (const auto& completion : m_waiting) completion->Abandon();
  // Connections that have not sent their first line, and replies that wait for a client that
  // does not read, end at once.
  while (EvictOldestSilentLocked()) {
  }
  for (const auto& connection : m_sending) SocketShutdown(connection->m_socket);
  lock.unlock();
  m_changed.notify_all();
  m_roleOffer.notify_all();
  // Wakes the listener in Accept; it then sees m_stopping and ends without a word.
  m_listen->Close();
  lock.lock();
  m_changed.wait(lock, [this] { return m_listeners.empty(); });
  std::vector<std::thread> finished = std::move(m_finished);
  m_finished.clear();
  m_running = false;
  m_stopping = false;
  m_roleOffered = 0;
  lock.unlock();
  for (std::thread& thread : finished) thread.join();
}

std::size_t CListenerChain::ThreadCount() const {
  std::lock_guard lock(m_mutex);
  return m_listeners.size() - static_cast<std::size_t>(m_parked);
}

int CListenerChain::AcceptingCount() const {
  return m_accepting.load();
}

int CListenerChain::MostAcceptingAtOnce() const {
  return m_mostAccepting.load();
}

int CListenerChain::ParkedCount() const {
  std::lock_guard lock(m_mutex);
  return m_parked;
}

bool CListenerChain::StartListenerLocked() {
  ReapFinishedLocked();
  if (m_threadCeiling != 0 && m_listeners.size() >= m_threadCeiling) return false;
  if (m_threadLimit != 0 && m_listeners.size() >= m_threadLimit) {
    KeepThreadReserveLocked();
    return false;
  }
  m_listeners.emplace_back();
  const auto entry = std::prev(m_listeners.end());
  try {
    entry->thread = std::thread(&CListenerChain::ListenThread, this);
  } catch (...) {
    m_listeners.erase(entry);
    KeepThreadReserveLocked();
    return false;
  }
  entry->id = entry->thread.get_id();
  return true;
}

void CListenerChain::KeepThreadReserveLocked() {
  // Learned once per run: a passing shortage would otherwise lower the ceiling step by step.
  if (m_threadCeiling != 0) return;
  const std::size_t held = m_listeners.size();
  m_threadCeiling = held > kThreadReserve ? held - kThreadReserve : 1;
  for (std::size_t over = held; over > m_threadCeiling && EvictOldestSilentLocked(); --over) {
  }
}

void CListenerChain::ListenThread() {
  // Every listener starts holding the accept role; after serving it parks until handed the
  // role again, so threads are not created and joined per request.
  while (AcceptAndServe() && Park()) {
  }
  FinishListener();
}

bool CListenerChain::AcceptAndServe() {
  for (;;) {
    auto connection = std::make_shared<CHttpBlockingSocket>();
    CSocketAddress peer;
    if (!AcceptNext(*connection, peer)) return false;
    connection->SetPeer(peer);
    const std::uint32_t address = peer.HostOrderAddress();
    CConnectionGuard::Verdict verdict = m_guard.Admit(address);
    if (verdict == CConnectionGuard::Verdict::kAdmitted) {
      bool successor = false;
      bool offered = false;
      {
        std::lock_guard lock(m_mutex);
        // Near the open-file limit, the connection silent for longest makes room for this one.
        if (m_guard.NearLimit()) EvictOldestSilentLocked();
        if (!m_stopping) successor = HandOnAcceptRoleLocked(offered);
        // No thread can be started: the listener of the connection silent for longest closes
        // it and takes the accept role when it parks.
        if (!successor && !m_stopping && EvictOldestSilentLocked()) {
          ++m_roleOffered;
          successor = true;
        }
      }
      // Woken after the lock is free, so that the parked listener does not wake only to wait
      // for it.
      if (offered) m_roleOffer.notify_one();
      if (successor) {
        Serve(connection);
        connection->Close();
        m_guard.Release(address);
        return true;
      }
      // No thread to accept meanwhile (or stopping): serving this one would leave the rest in
      // the backlog, so it is closed at once and this listener accepts again.
      m_guard.Release(address);
      verdict = CConnectionGuard::Verdict::kNoRoom;
    }
    connection->Close();
    if (!IsStopping()) LogRefusal(address, verdict);
  }
}

bool CListenerChain::HandOnAcceptRoleLocked(bool& offered) {
  offered = m_parked > m_roleOffered;
  if (offered) {
    ++m_roleOffered;
    return true;
  }
  return StartListenerLocked();
}

bool CListenerChain::Park() {
  std::unique_lock lock(m_mutex);
  if (m_stopping) return false;
  // An offer that no parked listener waits for (made when no thread could be started) is taken
  // at once.
  if (m_roleOffered > m_parked) {
    --m_roleOffered;
    return true;
  }
  if (m_parked >= kMostParked) return false;
  // Above the ceiling this thread ends, so that the reserve stays free.
  if (m_threadCeiling != 0 && m_listeners.size() > m_threadCeiling) return false;
  ++m_parked;
  const bool offered = m_roleOffer.wait_for(lock, kParkedIdleLimit,
                                            [this] { return m_roleOffered > 0 || m_stopping; });
  --m_parked;
  if (!offered || m_stopping) return false;
  --m_roleOffered;
  return true;
}

void CListenerChain::ShowStatus(const std::string& text) const {
  // The window belongs to the UI thread: the text travels there as the refusal lines do.
  if (m_apartment) m_apartment->Post([text] { ShowStatusNow(text); });
}

void CListenerChain::LogRefusal(std::uint32_t address, CConnectionGuard::Verdict verdict) {
  m_counters.CountRefusal(verdict);
  const std::string line = m_guard.RefusalLogLine(address, verdict, CConnectionGuard::Clock::now());
  if (line.empty()) return;
  // Pane first, then the file, both on the UI thread: in background mode the pane's copy in the
  // log file stands for the file line, so the line is on file once.
  const auto log = [line] {
    if (pMainFrame != nullptr) pMainFrame->LogToWindow(line);
    LogToFile(line);
  };
  if (!m_apartment || !m_apartment->Post(log)) LogToFile(line);
}

bool CListenerChain::AcceptNext(CHttpBlockingSocket& connection, CSocketAddress& peer) {
  for (;;) {
    if (IsStopping()) return false;
    const int accepting = ++m_accepting;
    int most = m_mostAccepting.load();
    while (accepting > most && !m_mostAccepting.compare_exchange_weak(most, accepting)) {
    }
    peer = CSocketAddress();
    bool accepted = false;
    bool failed = false;
    try {
      accepted = m_listen->Accept(connection, peer);
    } catch (const CBlockingSocketException& failure) {
      failed = true;
      if (!IsStopping() && m_listen->m_socket != kNoSocket) ShowSocketFailure(failure);
    } catch (...) {
      failed = true;
      if (!IsStopping()) ShowStatus(LoadResString(IDS_UNKNOWN_ERROR));
    }
    --m_accepting;
    if (accepted) return true;
    // The listening socket is gone (Stop, or its owner closed it): the chain ends quietly.
    if (IsStopping() || m_listen->m_socket == kNoSocket) return false;
    // Interrupted by a signal: accept again at once. Any other failure (too many open files, a
    // connection reset before it was taken) is passing: accept again after a pause, so that a
    // lasting fault does not spin.
    if (failed) {
      std::unique_lock lock(m_mutex);
      m_changed.wait_for(lock, m_times.acceptRetryDelay, [this] { return m_stopping.load(); });
    }
  }
}

void CListenerChain::Serve(const std::shared_ptr<CHttpBlockingSocket>& connection) {
  std::shared_ptr<CRequestCompletion> completion;
  bool replied = false;  // the reply is this side's to finish
  try {
    if (!WaitForFirstLine(connection)) return;
    if (m_readRequest) m_readRequest(*connection);
    connection->Rewind();  // the UI side reads what was received, and receives nothing more
    const bool answerable = m_answerableHere && m_answerableHere(*connection);
    completion = std::make_shared<CRequestCompletion>();
    {
      std::lock_guard lock(m_mutex);
      if (m_stopping) return;
      m_waiting.push_back(completion);
    }
    bool posted = false;
    if (m_apartment) {
      auto handOff = std::make_shared<HandOff>();
      handOff->connection = connection;
      handOff->completion = completion;
      handOff->call = m_onRequest;
      posted = m_apartment->Post([handOff] { handOff->Run(); });
    }
    if (posted && answerable && !completion->WaitBegun(m_times.answerHereAfter) && !IsStopping() &&
        completion->TakeOver()) {
      // The UI thread is held (a server call): answered here, and the queued call does nothing.
      replied = m_answerHere && m_answerHere(*connection);
    } else if (posted) {
      replied = completion->WaitFor(m_times.answerWait);
    } else {
      Response(*connection, -2, LoadResString(IDS_UNKNOWN_ERROR));
      replied = true;
    }
  } catch (const CBlockingSocketException& failure) {
    if (!IsStopping()) ShowSocketFailure(failure);
  } catch (...) {
    const int code = FailureCode();
    const std::string text = LoadResString(IDS_UNKNOWN_ERROR);
    ShowStatus(text);
    if (!completion) {
      Response(*connection, code, text);
      replied = true;
    }
  }
  if (completion) {
    completion->Abandon();
    std::lock_guard lock(m_mutex);
    m_waiting.remove(completion);
  }
  // A reply larger than the socket took at once is finished here, not on the UI thread.
  if (replied) FinishReply(connection);
}

void CListenerChain::FinishReply(const std::shared_ptr<CHttpBlockingSocket>& connection) {
  {
    std::lock_guard lock(m_mutex);
    if (m_stopping) return;
    m_sending.push_back(connection);
  }
  connection->SendPending(kResponseSeconds);
  std::lock_guard lock(m_mutex);
  m_sending.remove(connection);
}

bool CListenerChain::WaitForFirstLine(const std::shared_ptr<CHttpBlockingSocket>& connection) {
  {
    std::lock_guard lock(m_mutex);
    if (m_stopping) return false;
    m_silent.push_back(connection);
  }
  const bool arrived = WaitForFirstLineListed(*connection);
  std::lock_guard lock(m_mutex);
  // Gone from the list when it was evicted (its socket shut down, so the wait has ended).
  const auto listed = std::find(m_silent.begin(), m_silent.end(), connection);
  if (listed == m_silent.end()) return false;
  m_silent.erase(listed);
  return arrived;
}

bool CListenerChain::WaitForFirstLineListed(CHttpBlockingSocket& connection) {
  using Clock = std::chrono::steady_clock;
  const auto begin = Clock::now();
  const auto deadline = begin + m_times.firstLineWait;
  // Waits in slices of a second so that Stop is seen soon.
  while (!IsStopping()) {
    const auto start = Clock::now();
    if (start >= deadline) return false;
    // Half the connections the open-file limit allows are taken: silent ones make room sooner,
    // so that a flood of them cannot keep real clients out for long.
    if (m_guard.Crowded() && start - begin >= CConnectionGuard::kCrowdedFirstLineWait) return false;
    switch (connection.WaitForLine(1)) {
      case CHttpBlockingSocket::LineWait::kLine:
        return true;
      case CHttpBlockingSocket::LineWait::kTimedOut:
        break;
      case CHttpBlockingSocket::LineWait::kPeerClosed:
      case CHttpBlockingSocket::LineWait::kBufferFull:
        return false;
    }
  }
  return false;
}

bool CListenerChain::EvictOldestSilentLocked() {
  if (m_silent.empty()) return false;
  // Still listed, so its listener has not closed it: the handle is valid. Shut down, its wait
  // ends at once and its listener closes it without a reply.
  SocketShutdown(m_silent.front()->m_socket);
  m_silent.pop_front();
  ++m_evicted;
  return true;
}

int CListenerChain::EvictedCount() const {
  std::lock_guard lock(m_mutex);
  return m_evicted;
}

bool CListenerChain::IsStopping() const {
  return m_stopping.load();
}

void CListenerChain::ShowSocketFailure(const CBlockingSocketException& failure) const {
  char text[kStatusTextCapacity];
  failure.GetErrorMessage(text, sizeof text);
  ShowStatus(text);
}

void CListenerChain::FinishListener() {
  {
    std::lock_guard lock(m_mutex);
    const auto self = std::find_if(m_listeners.begin(), m_listeners.end(), [](const Listener& l) {
      return l.id == std::this_thread::get_id();
    });
    if (self != m_listeners.end()) {
      m_finished.push_back(std::move(self->thread));
      m_listeners.erase(self);
    }
  }
  m_changed.notify_all();
}

void CListenerChain::ReapFinishedLocked() {
  // Finished threads have left the lock behind them and only return: joining is immediate.
  for (std::thread& thread : m_finished) thread.join();
  m_finished.clear();
}
