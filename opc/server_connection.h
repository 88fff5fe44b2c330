// The gateway's one connection to its OPC server: COM for the UI thread and the one IOPCServer
// reference, made and given back as one pair; the creation (tried once more after a lost-server
// code), the loss of the server noticed from any call's result, the GetStatus watchdog and the
// reconnection with back-off after a loss, and the deadline on every call into the server
// (opc/call_deadline.h) with the decision that follows a cancelled call: slow or hung.
//
// With a backup server (opc/failover_settings.h) the connection serves from one of two servers:
// the primary (/progId) or the backup. A primary lost and not back within the failover time, or
// whose status says it is not running for that long, is replaced by the backup; while one serves,
// the other (the standby) is watched in the background: created once, kept, and asked for its
// status every second (kStandbyCheckPeriod). The backup gives way to the primary once the primary
// has been healthy for the failback time without a break (any failed check starts that time
// again, so a flapping primary never takes the groups back), and at once when the backup is lost
// while the primary is healthy. With both lost, the one that comes back first serves.
//
// The connection knows nothing of groups. The group side hooks in through IServerGroups: it
// drops what its records hold of a lost server before that server is released, and registers its
// groups again once a new server replaces a lost one.
//
// Error rule: returns codes (HRESULT) and fills error texts; never throws on a server failure.
// Thread rule: UI thread only (the thread that created it), which is also the thread COM is
// initialised on. Ownership: owns the server reference and the recovery timer; the view and the
// group side are borrowed and must outlive the connection's use of them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/frame_view.h"
#include "opc/call_deadline.h"
#include "opc/failover_settings.h"
#include "opc/opcda.h"
#include "opc/server_loss.h"
#include "platform/apartment_timer.h"
#include "platform/thread_affinity.h"
#include "platform/wide_string.h"

// What the group side does at the connection's turns.
class IServerGroups {
public:
  // The server is lost: every record gives back what it holds of it without calling it. The
  // server is released right after.
  virtual void DropServerState() = 0;
  // A new server replaced a lost one: every group is registered again under its index.
  virtual void RestoreGroups() = 0;
  // The server hangs: every record gives up what it holds of it without calling it and without
  // releasing it (a release could call into the hung process), and no callback of the old
  // server reaches a client any more. Returns how many references were given up.
  virtual std::size_t AbandonServerState() = 0;
  // The connection leaves a live server for the other one (failover from a server that is not
  // running, failback): every group is removed from it and gives back what it holds, while it
  // still answers. RestoreGroups follows once the other server is held.
  virtual void LeaveServerState() = 0;

protected:
  ~IServerGroups() = default;
};

// How the connection times its work: the deadline on each call into the server (/calltimeout;
// 0 starts no watchdog, as the benchmarks compare) and how often a connected server is asked for
// its status (/statuscheck). The defaults are the gateway's without those options.
struct ConnectionTimes {
  std::chrono::milliseconds callTimeout{std::chrono::seconds(kDefaultCallTimeoutSeconds)};
  std::chrono::milliseconds statusCheckPeriod{std::chrono::seconds(kDefaultStatusCheckSeconds)};
};

class CServerConnection {
public:
  // The connection to the server registered as progId (the primary), timed by times (kept for
  // its life); failover names the backup, if any.
  CServerConnection(IFrameView& view, WideString progId, const ConnectionTimes& times = {},
                    FailoverSettings failover = {});
  // Gives the server and COM back (no window line).
  ~CServerConnection();
  CServerConnection(const CServerConnection&) = delete;
  CServerConnection& operator=(const CServerConnection&) = delete;

  // The group side's hooks (null: none).
  void SetGroups(IServerGroups* groups) { m_groups = groups; }

  // --- The server and COM, one pair ---
  // Initialises COM for the thread, looks the ProgID up and creates the server (local server
  // context; on a thread of its own under the deadline, opc/deadline_objects.h: a creation that
  // passed it goes on, and the next Connect waits for it at most 1 s). 0 with Server() set (COM
  // then stays initialised until Release). Any other result is a failure, with no server, COM given
  // back and errorText saying why; test for != 0, not FAILED(): an exception inside the creation
  // returns the thread's last error code, which is positive (or E_FAIL when that code is 0).
  // Connected already: 0 at once.
  HRESULT Connect(std::string& errorText);
  // Connect, tried once more after kCreateRetryPause when it fails with a lost-server code (the
  // previous server process may have been ending and have taken the activation).
  HRESULT ConnectWithRetry(std::string& errorText);
  // A creation that holds nobody: starts one on its thread (or looks at the one under way)
  // without waiting for it. 0 with Server() set when it has finished with a server;
  // kCreationPending while it runs within its deadline; RPC_E_CALL_CANCELED once it is past it (it
  // goes on, and the next Connect or StartCreation takes its result); any other failure as
  // Connect's. The recovery starts one this way after a hang; anything that must not wait for the
  // server (a creation at start-up) can too.
  HRESULT StartCreation(std::string& errorText);
  // Whether a creation started earlier has not finished yet.
  bool CreationPending() const { return m_creationPending; }
  // Releases the server and gives COM back; nothing when there is no server. An exception from
  // Release goes to the log file as failureFormat with the last error code (%x). A hung server
  // is not released but given up (its reference leaked), with a line in the log file.
  static constexpr char kReleaseFailure[] =
      "调用m_pIOPCServer->Release()时，程序抛出了异常。错误代码：%x";
  void Release(const char* failureFormat = kReleaseFailure);
  IOPCServer* Server() const { return m_server; }
  // The primary server's ProgID (/progId).
  const WideString& ProgId() const { return m_progId; }

  // --- The backup server ---
  const FailoverSettings& Failover() const { return m_failover; }
  // Whether the backup is the server that serves (or that is being got back).
  bool BackupActive() const { return m_role == Role::kBackup; }
  // The ProgID of the server that serves.
  const WideString& ActiveProgId() const {
    return BackupActive() ? m_failover.backupProgId : m_progId;
  }
  // Whether the backup could be used: it serves, or its last check answered "running".
  bool BackupAvailable() const;
  // How often the backup took over from the primary.
  std::uint64_t Failovers() const { return m_failovers; }
  // How often the server that does not serve is checked while a backup is configured.
  static constexpr std::chrono::milliseconds kStandbyCheckPeriod{1000};
  // A backup that cannot be created or checked is logged at most this often.
  static constexpr std::chrono::seconds kBackupFailureLogPeriod{60};

  // --- Loss and recovery ---
  // A request's on-demand connection: ConnectWithRetry, and when the server was lost (rather
  // than taken down by the operator) every group registered again before this returns. 0 with
  // Server() set, or the failure with errorText set. Within kHungCreationRest of a creation that
  // was cancelled at its deadline, no creation is tried: the request gets that failure at once.
  HRESULT ConnectForRequest(std::string& errorText);
  // /connect: the server created at start and kept. Tried once now (on the UI thread, under the
  // deadline, as a request's creation); a failure is logged and retried with the reconnection's
  // back-off until a server is made, a request makes one, or the operator takes the connection
  // over. Nothing to do when connected already.
  void ConnectAtStart();
  // Whether the ProgID is registered on this machine (CLSIDFromProgID succeeds). When not, text
  // says so (and, where only built-in servers can be served, which one that is). Initialises COM
  // for the call and gives it back.
  static bool ProgIdRegistered(const WideString& progId, std::string& text);
  // Every server call's result passes through here: a lost-server code marks the server lost.
  // A call cancelled at the deadline (RPC_E_CALL_CANCELED) is followed by GetStatus with a
  // short deadline: answered, the server is slow and stays connected; not answered, it hangs
  // and is marked lost. Either way a line is logged. Returns result unchanged.
  HRESULT NoteServerResult(HRESULT result);
  // The deadline on calls into the server (the UI thread's watchdog).
  CCallDeadline& Deadline() { return *m_deadline; }
  bool ServerLost() const { return m_lostCode != S_OK; }
  // Whether the loss is a hang: what is held of the server is then given up without releasing.
  bool ServerHung() const { return m_hung; }
  // A loss met while the operator takes the connection down starts no reconnection.
  void ForgetLoss() {
    m_lostCode = S_OK;
    m_hung = false;
    m_deadline->SetCancelAtOnce(false);
  }
  // Whether the connection is getting a lost server back by itself.
  bool Recovering() const { return m_recovering; }
  // The operator took the connection over: no more reconnecting; the timer follows.
  void StopRecovery();
  // The end of the OPC side: no more reconnecting, and the timer is gone.
  void EndRecovery();
  // Called after every request, menu command and timer tick: a server marked lost is given up
  // (log line, the group side drops its server state, the server is released, COM given back,
  // reconnection starts), and the timer is armed for what comes next: the status watchdog while
  // connected, the next reconnect try while recovering, nothing otherwise.
  void SettleServerState();
  // The timer's tick: the watchdog's GetStatus while connected, or a reconnect try.
  void OnRecoveryTimer();
  // Replaces the timer (tests drive the ticks themselves). Call before the first use.
  void SetRecoveryTimer(std::unique_ptr<CApartmentTimer> timer);

  // --- What the status request tells of the connection ---
  enum class State {
    kConnected,    // a server is held
    kNotYetAsked,  // no creation tried yet: nothing asked for the server (without /connect)
    kConnecting,   // /connect: no server made yet since the start; retried with back-off
    kLost,         // a server was lost; reconnecting with back-off
    kNotConnected  // a creation failed, or the operator took the server down
  };
  State CurrentState() const;

  struct Figures {
    std::chrono::steady_clock::time_point connectedAt{};  // while Server() is set
    std::int64_t connectedSince = 0;                      // the same in Unix time, seconds
    std::uint64_t losses = 0;                             // servers given up as lost
    std::uint64_t reconnects = 0;                         // servers regained after a loss
    HRESULT lastLossCode = S_OK;                          // the code of the last loss
  };
  const Figures& Counts() const { return m_figures; }

private:
  enum class TimerRole { kNone, kWatchdog, kReconnect };
  enum class Role { kPrimary, kBackup };

  // Creates the server of the active role into m_server.
  HRESULT CreateServer(std::string& errorText);
  // StartCreation while a creation is pending, else Connect.
  HRESULT ConnectOrTakeCreation(std::string& errorText);
  HRESULT CreateInstance(const CLSID& clsid, std::string& errorText);
  const WideString& HostOf(Role role) const {
    return role == Role::kBackup ? m_failover.backupHost : kThisPc;
  }
  const WideString& ProgIdOf(Role role) const {
    return role == Role::kBackup ? m_failover.backupProgId : m_progId;
  }
  static Role Other(Role role) { return role == Role::kBackup ? Role::kPrimary : Role::kBackup; }
  // "主" or "备用", in the system's code page.
  static std::string RoleName(Role role);

  // --- Failover and failback ---
  // During a recovery: the primary lost for the failover time gives way to the backup (the
  // standby's server when it is healthy, else a creation of the backup's own); with both lost the
  // target alternates after every failed try. Returns true when a server was taken over.
  bool ChooseRecoveryTarget();
  // Switches the role and serves from the standby's healthy server (the groups registered on it).
  void TakeStandby(const std::string& why);
  // The watchdog saw a status: a primary not running for the failover time is left for the
  // backup.
  void NoteServerStatus(DWORD state);
  // The standby check's tick: creates the standby's server without waiting (taking the result on
  // a later tick), asks it for its status under a short deadline, keeps it while it answers
  // "running", and fails back when the primary has been healthy for the failback time.
  void CheckStandby();
  // Gives the standby's server up (released, or abandoned when it hung).
  void DropStandby(bool hung);
  void NoteBackupFailure(const std::string& text);
  void ArmStandbyTimer();
  // The window's status text names the server that serves (with a backup configured).
  void ShowActiveServer();
  void GiveUpLostServer();
  // A hung server's objects given up without calls (GiveUpLostServer's part for a hang).
  void AbandonHungServer(HRESULT code);
  // After a call was cancelled at the deadline: slow (kept) or hung (marked lost).
  void JudgeCancelledCall();
  bool ServerAnswersStatus();
  void CheckServerStatus();
  void TryReconnect();
  // A new server after a loss: recovery ends and the group side registers its groups again.
  void Regained();
  void ArmTimer();
  // A line for the window pane and the log file both.
  void LogRecovery(const std::string& text);

  IFrameView& m_view;
  CThreadAffinity m_uiThread;
  WideString m_progId;
  IServerGroups* m_groups = nullptr;
  IOPCServer* m_server = nullptr;  // one reference, with COM initialised, while set

  struct HungCreation {
    std::chrono::steady_clock::time_point at;
    std::string text;
  };
  std::optional<HungCreation> m_lastHungCreation;           // the last creation, when it hung
  bool m_creationPending = false;                           // a creation goes on on its thread
  std::optional<std::chrono::milliseconds> m_creationWait;  // StartCreation's: no wait
  const ConnectionTimes m_times;
  std::unique_ptr<CCallDeadline> m_deadline;
  bool m_judging = false;  // the status check after a cancelled call is under way
  bool m_hung = false;     // the loss in m_lostCode is a hang, not a crash
  Figures m_figures;
  HRESULT m_lostCode = S_OK;
  bool m_recovering = false;
  bool m_connectingAtStart = false;  // the recovery's back-off serves /connect's first creation
  bool m_creationTried = false;      // any creation was tried since the start
  unsigned m_reconnectAttempt = 0;
  HRESULT m_lastReconnectError = S_OK;  // a try is logged only when its error differs
  TimerRole m_timerRole = TimerRole::kNone;
  std::unique_ptr<CApartmentTimer> m_timer;

  inline static const WideString kThisPc;
  FailoverSettings m_failover;
  Role m_role = Role::kPrimary;
  std::uint64_t m_failovers = 0;
  // The primary lost (or not running) since then, while it should serve; cleared once it serves.
  std::optional<std::chrono::steady_clock::time_point> m_primaryDownSince;
  std::optional<std::chrono::steady_clock::time_point> m_notRunningSince;
  bool m_failoverLogged = false;  // the switch of this outage was logged
  // The standby: the server that does not serve, watched in the background.
  IOPCServer* m_standby = nullptr;  // one reference, with COM initialised, while set
  bool m_standbyPending = false;    // its creation goes on on its thread
  std::optional<std::chrono::steady_clock::time_point> m_standbyHealthySince;
  std::optional<std::chrono::steady_clock::time_point> m_backupFailureLoggedAt;
  bool m_backupAnswered = false;  // the backup's last check (or creation) succeeded
  std::unique_ptr<CApartmentTimer> m_standbyTimer;
  bool m_standbyArmed = false;
  // The standby's creation holds the UI thread at most this long; a slower one is looked at on
  // the next check.
  static constexpr std::chrono::milliseconds kStandbyCreationWait{200};
};
