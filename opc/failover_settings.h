// A backup OPC server and when the gateway switches to it and back: /backup PROGID,
// /backuphost HOST (Windows), /failover SECONDS and /failback SECONDS. Given to the server
// connection when it is made; without a backup ProgID nothing of it applies.
//
// Error rule: plain data. Thread rule: any thread. Ownership: values.
#pragma once

#include "platform/wide_string.h"

inline constexpr int kDefaultFailoverSeconds = 5;
inline constexpr int kMaxFailoverSeconds = 600;
inline constexpr int kDefaultFailbackSeconds = 60;
inline constexpr int kMaxFailbackSeconds = 86400;

struct FailoverSettings {
  // The backup server's ProgID; empty: no backup.
  WideString backupProgId;
  // The PC the backup runs on (DCOM, Windows); empty: this PC.
  WideString backupHost;
  // The primary lost (or not running) this long before the backup takes over; 0: at once.
  int failoverSeconds = kDefaultFailoverSeconds;
  // While the backup serves, the primary healthy this long before it takes over again; 0: the
  // backup serves until it fails.
  int failbackSeconds = kDefaultFailbackSeconds;

  bool Enabled() const { return !backupProgId.empty(); }
};
