// The listener chain: the worker threads that accept request connections and hand each one to
// the UI thread, which answers it.
//
// Each accepted connection first passes the connection guard (the /allow list, /maxconn per
// client address, room below the open-file limit, as in the protection settings given to Start): a
// refused one is closed at once, before anything is read and without a reply, and never reaches the
// UI thread; its refusal is counted by reason (on the counters given at construction) and goes to
// the log file and, through the UI thread, to the window pane, at most once a minute per address.
// While half or more of the connections the open-file limit allows are open, a client that has not
// sent its first line gets 5 s instead of 60 s; from three quarters on, and whenever no thread can
// be started for the next accept, the connection that has waited longest for its first line is
// closed (without a reply) to make room, so that neither limit can lock everyone out. A connection
// for which still no successor thread can be started is refused, so that accepting never stops.
// Once a thread start has failed, the listeners keep kThreadReserve threads below the count they
// held then (closing the longest silent connections, whose listeners end), so that the server
// connection and its timers can still start theirs.
//
// Exactly one listener thread waits in Accept on the listening socket at any time; each hands
// the accept role to its successor right after its own Accept returns, so requests are accepted
// while earlier ones are still being answered. The successor is a parked listener when one is
// idle (a listener parks after closing its connection, up to kMostParked of them, each for at
// most kParkedIdleLimit), else a new thread. A listener waits until the first request line has
// arrived (at most 60 s; a silent client is closed without a reply and never reaches the UI
// thread), reads the rest of the request with the read call given to Start (its further lines,
// within their deadlines), then posts the connection with its own completion signal to the UI
// thread's apartment, so the UI thread never waits for a client (a status request that the UI
// thread does not begin on at once is answered by the listener itself, see SetAnswerHere). It waits
// for that signal at most 60 s, sends what the UI side's reply left unsent (the UI thread never
// waits on a send either) and closes the connection. The UI side is a call given to Start (the
// application passes one that runs the request dispatcher), so this module knows nothing of the
// protocol.
//
// Error rule: nothing is thrown to the caller. Socket failures show their text (cut to 31
// characters) in the status bar of pMainFrame; any other failure of a listener shows string 130
// there and replies string 130 with the thread's last error code (E_FAIL when that is 0). A post
// that fails replies -2 and string 130. Failures caused by Stop are silent. The UI-side call
// answers its own failures (the request dispatcher replies to every one of them).
// Thread rule: Start and Stop on one thread (the UI thread); the UI-side call runs on the
// apartment's owning thread. The listener threads touch nothing but their own connection and
// the listening socket (one at a time, in Accept); their status texts and refusal lines travel
// to the window through the apartment.
// Ownership: each connection is shared between its listener and the posted call, so it lives
// until both are done; the listener alone closes it. The listening socket is borrowed; Stop
// closes it. No thread outlives Stop (or the destructor).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "net/connection_guard.h"
#include "net/gateway_counters.h"
#include "net/http_blocking_socket.h"
#include "net/protection_settings.h"
#include "platform/apartment.h"

// E_FAIL as a reply code: a failure is never answered with a success code.
constexpr int kListenerFailureCode = static_cast<int>(0x80004005u);

// How long the listeners wait. The defaults are the gateway's; tests shorten them.
struct ListenerTimes {
  // Longest wait for the first request line of a new connection.
  std::chrono::seconds firstLineWait{60};
  // Longest wait for the UI thread to answer a handed-over request.
  std::chrono::milliseconds answerWait{60000};
  // How long a request that the listener can answer itself (SetAnswerHere) waits for the UI
  // thread to begin on it before the listener answers it.
  std::chrono::milliseconds answerHereAfter{25};
  // Pause before a listener tries Accept again after it failed for another reason than Stop.
  std::chrono::milliseconds acceptRetryDelay{1000};
};

class CRequestCompletion;  // the per-request completion signal (listener.cpp)

class CListenerChain {
public:
  // The UI-side call: answers the request on the borrowed connection (reads it, writes the
  // reply). It must not close the connection, and answers its own failures: only a socket
  // failure may escape it (shown in the status bar).
  using RequestCall = std::function<void(CHttpBlockingSocket& connection)>;
  // The listener-side call: reads the rest of the request after its first line (its further
  // lines, within their deadlines), so that the UI side finds it whole. It never throws: a
  // failure ends the receiving and is noted on the connection (EndReceiving), so the UI side
  // meets it where it reads past what arrived. Without one, the first line is the request.
  using ReadCall = std::function<void(CHttpBlockingSocket& connection)>;

  // The listener-side answer, for requests that need nothing of the UI thread (the status
  // request): the test tells whether the request is one (from what the read call received; the
  // connection is rewound before it), the answer replies to it on the listener thread (true when
  // it did). Neither throws.
  using AnswerCall = std::function<bool(CHttpBlockingSocket& connection)>;

  // Refusals are counted on counters, which must outlive the chain.
  explicit CListenerChain(GatewayCounters& counters, ListenerTimes times = {})
      : m_counters(counters), m_times(times) {}
  ~CListenerChain();  // Stop()
  CListenerChain(const CListenerChain&) = delete;
  CListenerChain& operator=(const CListenerChain&) = delete;

  // Starts the first listener on listenSocket, which must outlive the chain's Stop; the chain
  // keeps a copy of protection for the connection guard and the thread limit. False when the
  // socket is not open, or when the chain runs already or the thread cannot be started.
  bool Start(CHttpBlockingSocket& listenSocket, const ProtectionSettings& protection,
             std::shared_ptr<CApartment> uiApartment, RequestCall onRequest,
             ReadCall readRequest = {});

  // The listener-side answer for the next Start (none by default): such a request is handed to
  // the UI thread as any other, but when the UI thread has not begun on it within
  // ListenerTimes::answerHereAfter, the listener answers it itself.
  void SetAnswerHere(AnswerCall answerable, AnswerCall answer) {
    m_answerableHere = std::move(answerable);
    m_answerHere = std::move(answer);
  }
  // Closes the listening socket, wakes every listener (in Accept, waiting for a first line or
  // for an answer) and joins them all. Connections still open are closed without a reply of the
  // listener's own. Idempotent; the chain can be started again afterwards.
  void Stop();

  // For tests and diagnostics: listeners at work (in Accept or serving a connection; parked
  // ones are not counted), threads inside Accept now, and the most that were ever inside Accept
  // at once.
  std::size_t ThreadCount() const;
  int AcceptingCount() const;
  int MostAcceptingAtOnce() const;
  // Listeners parked, waiting to be handed the accept role.
  int ParkedCount() const;
  // Silent connections closed to make room since Start.
  int EvictedCount() const;

  // Idle listeners kept parked for the next connections, and how long one stays parked.
  static constexpr int kMostParked = 64;
  // Threads left free for the rest of the gateway (the server connection, its timers) once a
  // listener thread could not be started: the listeners then keep this many below that count.
  static constexpr std::size_t kThreadReserve = 16;
  static constexpr std::chrono::seconds kParkedIdleLimit{60};

private:
  struct Listener {
    std::thread thread;
    std::thread::id id;
  };

  bool StartListenerLocked();
  void ListenThread();
  // Accepts (closing refused connections unread), hands the accept role on and serves the
  // connection. False when the chain stops.
  bool AcceptAndServe();
  // Offers the accept role to a parked listener (offered: the caller wakes one with m_roleOffer
  // once the lock is free), or starts a new one. False when neither works.
  bool HandOnAcceptRoleLocked(bool& offered);
  // Waits to be handed the accept role. False when this listener is to end instead (stopping,
  // enough parked already, or idle for kParkedIdleLimit).
  bool Park();
  // Waits in Accept until a connection arrives or the chain stops; retries after failures that
  // Stop did not cause. False when the chain stops.
  bool AcceptNext(CHttpBlockingSocket& connection, CSocketAddress& peer);
  void LogRefusal(std::uint32_t address, CConnectionGuard::Verdict verdict);
  void Serve(const std::shared_ptr<CHttpBlockingSocket>& connection);
  // Waits for the first line with the connection listed as silent; false when it did not come
  // (or the connection was evicted meanwhile).
  bool WaitForFirstLine(const std::shared_ptr<CHttpBlockingSocket>& connection);
  bool WaitForFirstLineListed(CHttpBlockingSocket& connection);
  // Sends what the UI side's reply left unsent, listed so that Stop can end the wait.
  void FinishReply(const std::shared_ptr<CHttpBlockingSocket>& connection);
  // Shuts down the connection that has waited longest for its first line; false when there is
  // none.
  bool EvictOldestSilentLocked();
  bool IsStopping() const;
  // Shows text in the status bar, posted to the UI thread.
  void ShowStatus(const std::string& text) const;
  void ShowSocketFailure(const CBlockingSocketException& failure) const;
  void FinishListener();
  void ReapFinishedLocked();
  // After a failed thread start: listeners from now on stay kThreadReserve below the count held,
  // and the connections silent for longest are closed so that their listeners end.
  void KeepThreadReserveLocked();

  GatewayCounters& m_counters;
  ListenerTimes m_times;
  CHttpBlockingSocket* m_listen = nullptr;
  std::shared_ptr<CApartment> m_apartment;
  RequestCall m_onRequest;
  ReadCall m_readRequest;
  AnswerCall m_answerableHere;
  AnswerCall m_answerHere;
  CConnectionGuard m_guard;

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;    // a listener ended, or Stop began
  std::condition_variable m_roleOffer;  // the accept role is offered to a parked listener
  bool m_running = false;
  std::atomic<bool> m_stopping{false};                       // written under m_mutex, read anywhere
  std::list<Listener> m_listeners;                           // started, not yet finished
  std::vector<std::thread> m_finished;                       // finished, not yet joined
  std::list<std::shared_ptr<CRequestCompletion>> m_waiting;  // answers being waited for
  std::list<std::shared_ptr<CHttpBlockingSocket>> m_silent;  // no first line yet, oldest first
  std::list<std::shared_ptr<CHttpBlockingSocket>> m_sending;  // replies being finished
  int m_evicted = 0;
  std::size_t m_threadCeiling = 0;  // most listeners once a start failed; 0: no start failed
  std::size_t m_threadLimit = 0;    // ProtectionSettings::threadLimit at Start
  int m_parked = 0;                 // listeners waiting in Park
  int m_roleOffered = 0;  // 1 while the accept role waits for a parked listener to take it
  std::atomic<int> m_accepting{0};
  std::atomic<int> m_mostAccepting{0};
};
