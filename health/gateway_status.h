// The gateway's health figures at one moment: what the status request ("ST") answers and what
// /metrics serves. A plain value, filled in one place on the UI thread (the dispatcher's
// FillStatus) and rendered elsewhere (status_text.h, prometheus_text.h) on any thread.
//
// CRequestFigures counts the requests the UI thread has answered, by command and result, with a
// histogram of their durations. It is owned by the UI thread; a copy travels in GatewayStatus.
//
// Error rule: nothing fails. Thread rule: CRequestFigures::Record on its owner's thread; values
// are copied between threads. Ownership: values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/connection_guard.h"  // RefusalCounts

class CRequestFigures {
public:
  // The outcome of a request by its reply code: 0, 1 (refused) or anything else (failed).
  enum Result { kSuccess, kRefused, kFailed, kResultCount };
  // Upper bounds of the duration histogram's buckets, in seconds (+Inf is implied).
  static constexpr std::array<double, 8> kBucketBounds{0.0005, 0.001, 0.005, 0.01,
                                                       0.05,   0.1,   0.5,   1.0};

  struct CommandCounts {
    std::string command;  // a command of the command table, or "other"
    std::array<std::uint64_t, kResultCount> counts{};
  };

  // Counts one answered request of command (a name from the command table, or "other" for an
  // unknown one: the names stay few) with its reply code and its time on the UI thread.
  void Record(const std::string& command, int code, double seconds);

  std::uint64_t Answered() const { return m_answered; }
  const std::vector<CommandCounts>& ByCommand() const { return m_byCommand; }
  // Requests per bucket, not cumulative; the last entry counts those above the last bound.
  const std::array<std::uint64_t, kBucketBounds.size() + 1>& Buckets() const { return m_buckets; }
  double SecondsTotal() const { return m_secondsTotal; }

private:
  std::uint64_t m_answered = 0;
  std::vector<CommandCounts> m_byCommand;
  std::array<std::uint64_t, kBucketBounds.size() + 1> m_buckets{};
  double m_secondsTotal = 0;
};

// Write requests ("SW", "AW", "RM" of another address's group: the audit trail's lines) by
// result, and the refused ones by reason.
struct WriteCounts {
  enum Result { kWritten, kAccepted, kFailed, kUnknown, kRefused, kRemoved, kResultCount };
  enum Reason { kReadOnly, kNotWriter, kAuditUnavailable, kInvalid, kReasonCount };
  // The audit trail's result words and the metrics' labels.
  static constexpr const char* kResultNames[kResultCount] = {"written", "accepted", "failed",
                                                             "unknown", "refused",  "removed"};
  static constexpr const char* kReasonNames[kReasonCount] = {"readonly", "not_writer",
                                                             "audit_unavailable", "invalid"};
  std::array<std::uint64_t, kResultCount> byResult{};
  std::array<std::uint64_t, kReasonCount> refusedBy{};
  // Counts one request of the named result (refusals with their reason).
  void Count(std::string_view result, Reason reason);
};

struct GroupValueAge {
  std::size_t index = 0;  // the group's local index
  double seconds = 0;     // since its last value-change datagram (or its activation)
};

struct GatewayStatus {
  std::string version;
  double uptimeSeconds = 0;
  // The OPC server connection.
  std::string progId;
  bool serverConnected = false;
  // "connected"; "waiting_for_first_request" (started without /connect, and no request has
  // asked for the server yet: nothing is wrong); "connecting" (/connect: not made yet since the
  // start, retried); "lost" (reconnecting after a loss); "not_connected" (a creation failed, or
  // the operator took the server down).
  std::string serverState = "not_connected";
  bool AwaitingFirstRequest() const { return serverState == "waiting_for_first_request"; }
  std::int64_t serverConnectedSince = 0;  // Unix time in seconds; 0 while not connected
  double serverConnectedSeconds = 0;      // 0 while not connected
  std::uint64_t serverLosses = 0;
  std::uint64_t serverReconnects = 0;
  std::int32_t lastLossCode = 0;  // the HRESULT of the last loss; 0 before any
  // The backup server (/backup): only with one configured are these reported.
  bool backupConfigured = false;
  bool backupActive = false;     // the backup serves (or is being got back), not the primary
  std::string activeProgId;      // the ProgID of the server that serves
  bool backupAvailable = false;  // the backup serves, or its last check answered "running"
  std::uint64_t failovers = 0;   // how often the backup took over from the primary
  // The group list.
  std::size_t groupEntries = 0;  // placeholders included
  std::size_t groupsRegistered = 0;
  std::size_t groupsActive = 0;
  std::size_t items = 0;
  // Traffic.
  CRequestFigures requests;
  RefusalCounts refusals;
  std::uint64_t datagramsSent = 0;
  std::uint64_t datagramFailures = 0;
  // Writes: who may make them ("any", "none" under /readonly, else the /writers list), whether
  // the audit trail can be written, and the requests by result.
  std::string writers = "any";
  bool auditWritable = true;
  WriteCounts writes;
  // Notifications to the service manager dropped because they could not be sent at once.
  std::uint64_t serviceNotifyFailures = 0;
  // Value ages of the active groups (registered and active), in list order.
  std::vector<GroupValueAge> groupAges;
  // How long the UI thread took to make this copy (set by CStatusSnapshots; 0 otherwise).
  double copySeconds = 0;

  // The largest age among groupAges; -1 when no group is active.
  double LargestValueAge() const;
};
