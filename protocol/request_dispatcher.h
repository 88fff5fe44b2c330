// The request side of the main window: reads one request from a borrowed connection, runs the
// command's handler on the UI thread and writes the one reply line.
//
// Every command is one row of the command table (CommandTable): its name, its framing, its
// handler, whether it needs the server connected and whether it writes. Adding a command takes
// its row (request_dispatcher.cpp), its handler (declared here, in the file of its family), a
// new FurtherLines shape in request_framing.* only when no framing there fits, its request in
// the parameterised framing test (tests/protocol/request_framing_test.cpp fails without it),
// its entry in the client tool's table (client/client_commands.cpp) and its section in
// docs/protocol.md.
//
// The request arrives whole: ReadRequest, on the listener's thread, reads it by the framing of its
// command's row before the hand-off, into the connection's received request, each line split into
// its fields once; OnRequest, the handlers, the listener's status check and the audit of writes
// then read those lines and fields with cursors (CRequestTokenizer), so the UI thread never waits
// for a client and nothing is split twice. The reply is queued on the connection for the listener
// to finish sending.
//
// Every handler has the RequestHandler shape: it gets the connection, the cursor over the request
// (on its first line, after the command token) and the reply text; it returns the reply code.
// Handlers never write on the connection; OnRequest does, through Response. Malformed requests are
// refused with code 1 and an English text before any server call; groups that were removed or never
// registered are refused the same way. The steps of a handler return a Refusal: nothing to go on,
// or the reply code with the reply text set. The dispatcher holds the server connection and the
// group list; the handlers reach them as m_connection and m_registry.
//
// Error rule: handlers return codes; a socket failure while reading a line throws
// CBlockingSocketException, which OnRequest answers. OnRequest itself never throws.
// Thread rule: UI thread only. Ownership: the dispatcher owns the server connection and the group
// list (the list goes first); the view is borrowed and must outlive the dispatcher's use of it.
// The request's connection is borrowed for the duration of OnRequest; it does not signal the
// listener (the caller does that after OnRequest returns).
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "health/gateway_status.h"
#include "net/http_blocking_socket.h"
#include "opc/group_registry.h"
#include "opc/server_connection.h"
#include "platform/thread_affinity.h"
#include "platform/wide_string.h"
#include "protocol/address_space_browser.h"
#include "protocol/dispatcher_inputs.h"
#include "protocol/request_framing.h"
#include "protocol/request_settings.h"
#include "protocol/request_tokenizer.h"
#include "protocol/write_audit.h"

class CRequestDispatcher {
public:
  // The OPC side sends through inputs.sender; the handlers apply inputs.requests, whose failover
  // names the server connection's backup, if any. Both are borrowed and must outlive the
  // dispatcher.
  CRequestDispatcher(IFrameView& view, WideString progId, const DispatcherInputs& inputs);
  // Stops the audit of write completions first: the group list goes after the audit trail.
  ~CRequestDispatcher();
  CRequestDispatcher(const CRequestDispatcher&) = delete;
  CRequestDispatcher& operator=(const CRequestDispatcher&) = delete;

  // The server connection and the group list, for the window's menu commands and teardown.
  CServerConnection& Connection() { return m_connection; }
  CGroupRegistry& Registry() { return m_registry; }
  const CGroupRegistry& Registry() const { return m_registry; }

  // Listener side: reads the request into connection.Request(), its lines after the first by its
  // command's framing, within the line deadlines; never throws (a failure is noted in the
  // request). True when whole.
  static bool ReadRequest(CHttpBlockingSocket& connection);

  // Handles one request: first line, lazy server creation, the command, the reply. A connection
  // whose request was not framed yet (handed over without ReadRequest) is framed first.
  // Returns 0 after a reply, 1 when it ended early.
  int OnRequest(CHttpBlockingSocket& connection);

  // Command handlers (RequestHandler shape).
  int DefineGroups(CHttpBlockingSocket& connection, CRequestTokenizer& line, std::string& reply);
  // "TD": "AD" for groups whose value changes, refreshes and read completions go out as typed
  // datagrams; group names and item IDs in UTF-8.
  int DefineTypedGroups(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                        std::string& reply);
  int RemoveGroups(CHttpBlockingSocket& connection, CRequestTokenizer& line, std::string& reply);
  int SetGroupsActive(CHttpBlockingSocket& connection, CRequestTokenizer& line, std::string& reply);
  int RefreshGroups(CHttpBlockingSocket& connection, CRequestTokenizer& line, std::string& reply);
  int QueryGroupIndexes(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                        std::string& reply);
  int ReadSyncCommand(CHttpBlockingSocket& connection, CRequestTokenizer& line, std::string& reply);
  int ReadAsyncCommand(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                       std::string& reply);
  // "TR" (typed_read_command.cpp): the read of "SR" from the device or, with a third field "C",
  // the cache, answered as a list of typed values.
  int ReadTypedCommand(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                       std::string& reply);
  int WriteSyncCommand(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                       std::string& reply);
  int WriteAsyncCommand(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                        std::string& reply);
  // "BR" and "IP" (browse_commands.cpp).
  int BrowseCommand(CHttpBlockingSocket& connection, CRequestTokenizer& line, std::string& reply);
  int PropertiesCommand(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                        std::string& reply);

  using RequestHandler = int (CRequestDispatcher::*)(CHttpBlockingSocket&, CRequestTokenizer&,
                                                     std::string&);
  // One command: everything about it that is not its handler's own work.
  struct CommandRow {
    const char* name;        // compared exactly; also the request metrics' label
    CommandFraming framing;  // what the listener side reads after the first line
    RequestHandler handler;
    bool needsServer;  // false: answered without connecting the server ("ST")
    bool writes;       // refused for clients not on /writers before anything else (SW, AW)
  };
  // The command table, one row per command, in the order in which commands are compared. The
  // listener's framing, the lookup, the server connection, /writers and the request metrics
  // all read these rows: a new command is a row here and its handler.
  static std::span<const CommandRow> CommandTable();
  // The row of command (exact name), or null for an unknown one.
  static const CommandRow* FindCommand(std::string_view command);

  // The status request ("ST", status_command.cpp): answered without connecting the server.
  int StatusCommand(CHttpBlockingSocket& connection, CRequestTokenizer& line, std::string& reply);
  // The gateway's figures now, for the status reply and the metrics (a copy; no I/O).
  void FillStatus(GatewayStatus& status) const;
  // Listener side, for a UI thread that does not take up a status request at once (held by a
  // server call): whether the request is "ST" and figures are published
  // (health/status_snapshots.h), from the request the listener framed. Never throws.
  static bool IsStatusRequestAnswerableHere(CHttpBlockingSocket& connection);
  // Answers it from the latest published figures, without the UI thread; the seconds it took,
  // or nullopt when nothing could be answered. Never throws.
  static std::optional<double> AnswerStatusHere(CHttpBlockingSocket& connection);
  // Counts a status request answered on a listener thread (UI thread).
  void RecordStatusAnswered(double seconds);

private:
  // A step's result: nothing when the request goes on, else the reply code (reply text set).
  using Refusal = std::optional<int>;

  // A write cancelled at the call deadline: the reply and the log say that its outcome is
  // unknown. Returns the cancellation code.
  int WriteOutcomeUnknown(const char* method, std::string& reply);
  // Takes the request's first line; false (nothing to answer) when none was received or it holds
  // no command before its line end.
  bool ReadFirstLine(CRequestTokenizer& line);
  // Connects the server when the command's row needs it and runs its handler (row null: an
  // unknown command): code and reply are the request's answer. False when no server could be
  // created (code and reply say why).
  bool RunCommand(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                  const std::string& command, const CommandRow* row, std::string& reply, int& code);

  // Creates the server connection when there is none (without registering any group). False
  // with the failure's reply code and text when it cannot be made.
  bool ConnectServer(const std::string& command, std::string& reply, int& code);

  int Heartbeat(CHttpBlockingSocket& connection, CRequestTokenizer& line, std::string& reply);
  int ExitRequest(CHttpBlockingSocket& connection, CRequestTokenizer& line, std::string& reply);

  // What a read or write request names, after every line was checked.
  struct ItemRequest {
    GroupRecord* group = nullptr;
    std::vector<OPCHANDLE> handles;
    std::vector<WORD> items;               // item index of each line
    std::vector<std::string> valueTokens;  // writes: the value field of each line
    DWORD transactionId = 0;
    bool fromCache = false;  // "TR" with C: the server's cache, not the device
  };
  enum class IoKind { SyncRead, AsyncRead, SyncWrite, AsyncWrite, TypedRead };
  // Steps shared by SR, AR, SW and AW: group, I/O interface, count, transaction id and item
  // lines.
  Refusal TakeItemRequest(CRequestTokenizer& line, std::string& reply, IoKind kind,
                          ItemRequest& request);
  // The item lines of a read or write (at most count).
  Refusal TakeItemLines(CRequestTokenizer& line, std::string& reply, IoKind kind, WORD count,
                        ItemRequest& request);
  // A read's item must have been added without error; false with the refusal in reply.
  static bool ReadableItem(const GroupRecord& group, WORD item, IoKind kind, std::string& reply);
  // A write's item line must carry a value; false with the refusal in reply (write_commands.cpp).
  static bool TakeWriteValue(CRequestTokenizer& line, WORD item, std::string& reply,
                             ItemRequest& request);

  // Who may write, and the audit trail (write_commands.cpp). What a write handler learnt for
  // the audit line: the result (refused until the server was called), why a refusal was made,
  // and each item's outcome once the server answered.
  struct WriteProgress {
    const char* result = "refused";
    WriteCounts::Reason reason = WriteCounts::kInvalid;
    std::vector<std::string> outcomes;  // by position in the request
    DWORD transactionId = 0;            // "AW" the server took: for its completion line
    GroupRecord* group = nullptr;
  };
  // "SW" and "AW" under the audit: runs the write and records its line whatever the outcome.
  int AuditedWrite(CHttpBlockingSocket& connection, CRequestTokenizer& line, std::string& reply,
                   IoKind kind);
  // The steps every write takes before the server is called: /readonly, the item request, its
  // values converted to the items' types, the audit trail ready; then WriteSync or WriteAsync.
  int Write(CHttpBlockingSocket& connection, CRequestTokenizer& line, std::string& reply,
            IoKind kind, WriteProgress& progress);
  // The server's write of a request that Write has taken, with its values (one per item).
  int WriteSync(ItemRequest& request, VARIANT* values, std::string& reply, WriteProgress& progress);
  int WriteAsync(ItemRequest& request, VARIANT* values, std::string& reply,
                 WriteProgress& progress);
  // /writers: false for a client that may not write, with "Writes are not allowed from
  // <address> (/writers)" in reply. /readonly is left to the handlers.
  bool MayWrite(std::uint32_t clientAddress, std::string& reply) const;
  // Before a server call that changes something: false, with the refusal in reply and the
  // operator told, when the audit trail cannot be written.
  bool AuditReady(std::string& reply);
  // The audit entry of a write request as it was sent (a second cursor over the received request,
  // from its first line): client, command, group, item lines. Never throws.
  AuditEntry DescribeWrite(CHttpBlockingSocket& connection) const;
  // Writes the entry's line and counts it; a line that cannot be written goes to the log file.
  void RecordWrite(const AuditEntry& entry, WriteCounts::Reason reason);
  // Writes a line (not counted); one that cannot be written goes to the log file.
  void WriteAuditLine(const AuditEntry& entry);
  // The server completed an "AW": its line with the result per item, naming the client that
  // sent it (from m_pendingWrites).
  void AuditWriteCompletion(OPCHANDLE hGroup, DWORD transactionId, DWORD count,
                            const OPCHANDLE* items, const HRESULT* errors);
  // Tells the operator (window and log file) when the audit trail stops or starts again being
  // writable.
  void NoteAuditState();
  // The client's address (host byte order) and "address:port"; 0 and "" when unknown.
  static std::uint32_t ClientOf(CHttpBlockingSocket& connection, std::string* text);

  // "AD": the state of one request while its lines are read, and the steps of its group and
  // item lines.
  struct DefinitionInProgress;
  int DefineGroupsOf(CHttpBlockingSocket& connection, CRequestTokenizer& line, std::string& reply,
                     bool typed);
  Refusal TakeGroupLine(CRequestTokenizer& line, DefinitionInProgress& definition,
                        std::string& reply);
  Refusal TakeItemLine(CRequestTokenizer& line, DefinitionInProgress& definition,
                       std::string& reply);
  // Whether one more group, and the list holding itemsAfter items in all, stay within /maxgroups
  // and /maxitems; otherwise false with the refusal in reply.
  bool WithinLimits(std::size_t itemsAfter, std::string& reply) const;

  // "AC": sets one group's active flag and sends it to the server; SetState's result, or 1 for a
  // group without a server connection.
  int SetGroupActive(GroupRecord& group, BOOL active);
  // "RF": reads and checks the index lines into groups (each with its IOPCAsyncIO2); nothing
  // when the list ended. unregistered names a group that ended the list unregistered.
  Refusal TakeRefreshLines(CRequestTokenizer& line, std::string& reply,
                           std::vector<GroupRecord*>& groups, GroupRecord*& unregistered);

  // The optional group count of AD, RM and AC: its low 16 bits, 65535 when absent (entries until
  // an empty line). Refused when they are 0, with "Invalid group count: %s".
  static Refusal TakeGroupCount(CRequestTokenizer& line, WORD& count, std::string& reply);

  // A group-index field checked against the list (placeholders included): the index, or nothing
  // with "Invalid group index: %s" in reply.
  std::optional<std::size_t> TakeGroupIndex(const char* field, std::string& reply) const;
  // The same for a group that must exist: the record, or null with the reply set ("Invalid
  // group index: %s" or "Group %d was removed").
  GroupRecord* TakeGroup(const char* field, std::string& reply);
  // Opens the group's IOPCSyncIO (sync) or IOPCAsyncIO2. Refused with 1 (S_FALSE) for a group
  // not registered with the server, or with the failure's code.
  static Refusal OpenGroupIo(GroupRecord& group, const char* field, bool sync, std::string& reply);

  // After each request: the figures for readers that cannot wait for the UI thread (a server call
  // may hold it next).
  void PublishStatus() const;
  // Counts an answered request (OnRequest's end) under its row's name; row null (an unknown
  // command) counts as "other".
  void RecordRequest(const CommandRow* row, int code, std::chrono::steady_clock::time_point began);

  IFrameView& m_view;
  const RequestSettings& m_settings;  // the application's, fixed once the command line is read
  const GatewayCounters& m_counters;  // the application's
  const LogSwitches& m_log;           // the application's, turned by the window
  CThreadAffinity m_uiThread;
  CServerConnection m_connection;
  CGroupRegistry m_registry;  // after the connection: it goes first
  bool m_closeRequested = false;
  CAddressSpaceBrowser m_browser;
  CRequestFigures m_requestFigures;
  // The audit trail of writes (mutable: the status tells whether it can be written).
  mutable CWriteAudit m_audit;
  bool m_auditLost = false;  // the operator was told that the audit trail cannot be written
  // "AW" requests the server took, until they complete (oldest first, at most
  // kMostPendingWrites): who wrote what, for the completion's line.
  struct PendingWrite {
    OPCHANDLE group = 0;
    DWORD transactionId = 0;
    AuditEntry entry;
  };
  static constexpr std::size_t kMostPendingWrites = 4096;
  std::deque<PendingWrite> m_pendingWrites;
  WriteCounts m_writeCounts;
};
