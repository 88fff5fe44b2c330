// The OPC side of the main window: the server connection and the client's group list.
//
// Holds m_pIOPCServer (one reference while set) and m_groupList, whose positions are the local
// indices that the client, the server (client group handle) and the data callback all use.
// Removed groups leave null placeholders; null entries at the tail are trimmed by the caller
// that removed them. Knows nothing of any window toolkit: log lines go to the IFrameView.
//
// Error rule: returns codes (HRESULT or the documented small integers) and fills error texts;
// never throws on a server failure. Thread rule: UI thread only (the thread that created it),
// which is also the thread COM was initialised on. Ownership: the registry owns its records and
// the server reference; the data-callback sink is reference counted by its connections.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/frame_view.h"
#include "opc/group_record.h"
#include "opc/opcda.h"
#include "platform/apartment_timer.h"
#include "platform/thread_affinity.h"

class CGroupRegistry {
public:
  CGroupRegistry(IFrameView& view, WideString progId);
  virtual ~CGroupRegistry();
  CGroupRegistry(const CGroupRegistry&) = delete;
  CGroupRegistry& operator=(const CGroupRegistry&) = delete;

  // --- Server connection ---
  // Initialises COM for the thread, looks the ProgID up and creates the server (local server
  // context). 0 and *server set on success (COM then stays initialised until the connection is
  // released). Any other result is a failure, with *server null, COM given back and errorText
  // saying why; test for != 0, not FAILED(): an exception inside the creation returns the
  // thread's last error code, which is positive (or E_FAIL when that code is 0).
  static HRESULT CreateOpcServer(const WideString& progId, std::string& errorText,
                                 IOPCServer** server);
  // File-menu commands "创建OpcServer" (32785) and "销毁OpcServer" (32786). The destroy removes
  // every group from the server and gives back each record's server state before releasing the
  // server; the records stay in the list as definitions, and a later create registers them all.
  // Both end an automatic reconnection: the operator has taken over the connection.
  void OnCreateOpcServer();
  void OnDestroyOpcServer();
  // The OPC part of the window's destruction: every group removed and deleted, the server
  // released and COM uninitialised; a lost server gets no further calls. Safe to call twice.
  void DestroyOpcSide();

  // --- Recovery of a lost server ---
  // A request's on-demand creation (no server held): the creation is tried once more after a
  // short pause when it fails with a lost-server code. When the server was lost, rather than
  // taken down by the operator, every group is registered again before this returns. 0 with
  // m_pIOPCServer set, or the failure with errorText set.
  HRESULT ConnectForRequest(std::string& errorText);
  // Every server call's result passes through here: a lost-server code marks the server lost.
  // Returns result unchanged.
  HRESULT NoteServerResult(HRESULT result);
  bool ServerLost() const { return m_lostCode != S_OK; }
  // Whether the registry is getting a lost server back by itself.
  bool Recovering() const { return m_recovering; }
  // Called after every request, menu command and timer tick: a server marked lost is given up
  // (log line, every record drops its server state without calls, the server is released, COM
  // given back, reconnection starts), and the timer is armed for what comes next: the status
  // watchdog while connected, the next reconnect try while recovering, nothing otherwise.
  void SettleServerState();
  // The timer's tick: the watchdog's GetStatus while connected, or a reconnect try.
  void OnRecoveryTimer();
  // Replaces the timer (tests drive the ticks themselves). Call before the first use.
  void SetRecoveryTimer(std::unique_ptr<CApartmentTimer> timer);

  // --- Group list ---
  // Appends a new record (defaults) that takes ownership of name; returns it.
  GroupRecord* AppendGroup(LPWSTR name);
  // The record at index, or null for a placeholder or an index outside the list.
  GroupRecord* GetGroup(std::size_t index) const;
  std::size_t GroupCount() const { return m_groupList.size(); }
  // Registers every entry from startIndex to the end with the server. 0 when all were
  // registered (or none), 1 when no callback sink could be made, else the failing HRESULT;
  // on failure errorText gets the reason followed by " : %x".
  int AddGroupsToServer(std::string& errorText, std::size_t startIndex);
  // Removes every group from startIndex to the end from the server (RemoveGroup with force,
  // while connected and registered). With unlink the records are destroyed and the entries
  // leave the list. Without unlink the records stay in the list as definitions: each gives back
  // its server state (GroupRecord::ReleaseServerState) and can be registered again later; the
  // list never keeps an entry that refers to a destroyed record.
  void Remove(std::size_t startIndex, bool unlink);
  // Removes one group (the "RM" step): RemoveGroup at the server when connected and
  // registered, record destroyed, entry left as a placeholder. Placeholders and indices outside
  // the list change nothing. Writes no log line (the caller writes "删除组 %ws").
  void RemoveOne(std::size_t index);
  // Deletes placeholders at the tail of the list.
  void TrimTail();

  IOPCServer* m_pIOPCServer = nullptr;
  std::vector<std::unique_ptr<GroupRecord>> m_groupList;
  WideString progId;

protected:
  IFrameView& m_view;
  CThreadAffinity m_uiThread;  // every operation runs on the thread that created the registry

private:
  enum class TimerRole { kNone, kWatchdog, kReconnect };

  // Registers one group (AddGroup, AddItems, the group-state interface, Advise of sink) under
  // client handle index. S_OK, or the failing result with text saying which step failed.
  HRESULT RegisterGroup(GroupRecord& group, std::size_t index, IUnknown* sink, std::string& text);
  // CreateOpcServer, tried once more after kCreateRetryPause on a lost-server code.
  HRESULT CreateWithRetry(std::string& errorText, IOPCServer** server);
  void GiveUpLostServer();
  void CheckServerStatus();
  void TryReconnect();
  // After a creation that ends an outage: every group registered again under its index, the
  // active ones set active, the startup datagram sent and the recovery logged.
  void RestoreGroups();
  void ArmTimer();
  void StopRecovery();
  // A line for the window pane and the log file both.
  void LogRecovery(const std::string& text);

  HRESULT m_lostCode = S_OK;
  bool m_recovering = false;
  unsigned m_reconnectAttempt = 0;
  HRESULT m_lastReconnectError = S_OK;  // a try is logged only when its error differs
  TimerRole m_timerRole = TimerRole::kNone;
  std::unique_ptr<CApartmentTimer> m_timer;

  // Log lines of this part go to the window only while this is set (cleared in the
  // destructor, when the window behind m_view may already be gone).
  bool m_logToView = true;
  void OpcLogToWindow(const std::string& text);
  void OpcLogGroupOp(const std::string& text);  // only while logGroupOps is on
};
