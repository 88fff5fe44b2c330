// The client's group list and its registration with the OPC server.
//
// Holds m_groupList, whose positions are the local indices that the client, the server (client
// group handle) and the data callback all use. Removed groups leave null placeholders; null
// entries at the tail are trimmed by the caller that removed them. Registers groups with the
// server of a CServerConnection, makes the data-callback sink (which looks a group's destination
// up through IGroupDestinations), and carries the File-menu commands and the OPC side's
// teardown, which combine the group list with the connection. Knows nothing of any window
// toolkit: log lines go to the IFrameView.
//
// Error rule: returns codes (HRESULT or the documented small integers) and fills error texts;
// never throws on a server failure. Thread rule: UI thread only (the thread that created it),
// which is also the thread COM was initialised on. Ownership: the registry owns its records; the
// connection and the view are borrowed and must outlive it; the data-callback sink is reference
// counted by its connections.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/activity_log.h"
#include "core/frame_view.h"
#include "net/datagram_sender.h"
#include "opc/group_record.h"
#include "opc/opc_data_callback.h"
#include "opc/opcda.h"
#include "opc/server_connection.h"
#include "platform/thread_affinity.h"

class CGroupRegistry final : public IGroupDestinations, private IServerGroups {
public:
  // Hooks itself into the connection, which must outlive the registry, as must the sender and the
  // log switches (logGroupOps decides the group lines in the window).
  CGroupRegistry(IFrameView& view, CServerConnection& connection, CDatagramSender& sender,
                 const LogSwitches& log);
  // The OPC side's teardown (DestroyOpcSide), without writing to the window.
  ~CGroupRegistry();
  CGroupRegistry(const CGroupRegistry&) = delete;
  CGroupRegistry& operator=(const CGroupRegistry&) = delete;

  // --- Menu commands and teardown ---
  // File-menu commands "创建OpcServer" (32785) and "销毁OpcServer" (32786). The destroy removes
  // every group from the server and gives back each record's server state before releasing the
  // server; the records stay in the list as definitions, and a later create registers them all.
  // Both end an automatic reconnection: the operator has taken over the connection.
  void OnCreateOpcServer();
  void OnDestroyOpcServer();
  // The OPC part of the window's destruction: every group removed and deleted, the server
  // released and COM uninitialised; a lost server gets no further calls. Safe to call twice.
  void DestroyOpcSide();

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
  // its server state (GiveBackGroupState) and can be registered again later; the
  // list never keeps an entry that refers to a destroyed record.
  void Remove(std::size_t startIndex, bool unlink);
  // Removes one group (the "RM" step): RemoveGroup at the server when connected and
  // registered, record destroyed, entry left as a placeholder. Placeholders and indices outside
  // the list change nothing. Writes no log line (the caller writes "删除组 %ws").
  void RemoveOne(std::size_t index);
  // Deletes placeholders at the tail of the list.
  void TrimTail();

  // IGroupDestinations: the sink's lookup.
  bool FindDestination(OPCHANDLE hGroup, GroupDestination& destination) const override;
  // The group's value age starts again (while it is active at the server).
  void NoteValuesSent(OPCHANDLE hGroup) const override;
  // Completed asynchronous writes go to the observer (the request side's audit trail), if any.
  using WriteCompletion = std::function<void(OPCHANDLE hGroup, DWORD transactionId, DWORD count,
                                             const OPCHANDLE* items, const HRESULT* errors)>;
  void SetWriteCompletion(WriteCompletion observer) { m_writeCompletion = std::move(observer); }
  void NoteWriteComplete(OPCHANDLE hGroup, DWORD transactionId, DWORD count, const OPCHANDLE* items,
                         const HRESULT* errors) const override {
    if (m_writeCompletion) m_writeCompletion(hGroup, transactionId, count, items, errors);
  }

private:
  CDatagramSender& m_sender;
  const LogSwitches& m_log;
  // IServerGroups: the connection's turns.
  void DropServerState() override;
  // After a creation that ends an outage: every group registered again under its index, the
  // active ones set active, the startup datagram sent and the recovery logged.
  void RestoreGroups() override;

  std::size_t AbandonServerState() override;
  // Every group removed from the live server it leaves, and every sink disconnected.
  void LeaveServerState() override;

  // A new sink that looks destinations up here, with one reference for the caller; null (and
  // the failure logged) when none could be made. The registry keeps one more reference on it
  // until the server is given up, so that it can be disconnected then.
  ComPtr<IOPCDataCallback> MakeSink();
  // Every sink made so far stops sending (the server may still call it) and is let go.
  void DisconnectSinks();
  // The end of a server: released (a hung one given up, failureFormat for an exception in its
  // Release), every sink disconnected and a loss met on the way forgotten (no reconnection).
  void ReleaseServer(const char* failureFormat);
  // The give-back mode for a server marked lost: hung or gone.
  GroupRecord::GiveBack LostServerGiveBack() const;
  // What the record holds of the server goes back as the connection stands: normally while the
  // server answers, with a call cancelled at the deadline on the way judged like any server
  // call, after which what is left is given up (hung) or released without further calls (slow);
  // without any call once the server is marked lost.
  void GiveBackGroupState(GroupRecord& group);
  // RemoveGroup (forced) while the server is connected, not lost, and holds the group: whether
  // it was called.
  bool RemoveAtServer(GroupRecord& group);
  // RemoveAtServer, then GiveBackGroupState.
  void RemoveFromServer(GroupRecord& group);
  // Every record gives back what it holds of a lost server in mode, then every sink is
  // disconnected. Returns how many references were abandoned.
  std::size_t GiveBackAll(GroupRecord::GiveBack mode);
  // Registers one group (AddGroup, AddItems, the group-state interface, Advise of sink) under
  // client handle index. S_OK, or the failing result with text saying which step failed.
  HRESULT RegisterGroup(GroupRecord& group, std::size_t index, IUnknown* sink, std::string& text);
  // RegisterGroup's item step: AddItems and the first item that failed.
  HRESULT AddItems(GroupRecord& group, const std::string& name, std::string& text);
  // RegisterGroup's last step: the sink advised on the group's connection point.
  HRESULT Advise(GroupRecord& group, IUnknown* sink);
  // RestoreGroups for one group: true when registered (and activated where it was active).
  bool RestoreGroup(GroupRecord& group, std::size_t index, IUnknown* sink);
  // A line for the window pane and the log file both.
  void LogRecovery(const std::string& text);

  IFrameView& m_view;
  CServerConnection& m_connection;
  CThreadAffinity m_uiThread;  // every operation runs on the thread that created the registry
  std::vector<std::unique_ptr<GroupRecord>> m_groupList;
  std::vector<COpcDataCallback*> m_sinks;  // one reference each

  // Log lines of this part go to the window only while this is set (cleared in the
  // destructor, when the window behind m_view may already be gone).
  bool m_logToView = true;
  void OpcLogToWindow(const std::string& text);
  void OpcLogGroupOp(const std::string& text);  // only while logGroupOps is on
  WriteCompletion m_writeCompletion;
};
