// The limits on what requests may do: whether they write and from where, how much all clients
// together may make the gateway hold, and how long a server call may take. They come from the
// options /readonly, /writers, /maxgroups, /maxitems, /calltimeout, /statuscheck and the backup
// server's options; the defaults are the gateway's behaviour without them.
//
// Error rule: none here (the command line checks the values). Thread rule: written on the UI
// thread during start-up, read by the request handlers on the UI thread afterwards. Ownership:
// the application owns the gateway's settings and hands them to the request dispatcher.
#pragma once

#include <cstddef>
#include <string>

#include "net/allow_list.h"
#include "opc/call_deadline.h"
#include "opc/failover_settings.h"
#include "opc/server_loss.h"

struct RequestSettings {
  static constexpr std::size_t kDefaultMaxGroups = 10000;
  static constexpr std::size_t kDefaultMaxItems = 1000000;

  bool readOnly = false;  // "SW" and "AW" refused without a server call
  // /writers: the client addresses that may write ("SW", "AW", "RM" of another address's
  // group); empty: every client served. writersText is the value as given (for the start record
  // and the status).
  CAllowList writers;
  std::string writersText;
  std::size_t maxGroups = kDefaultMaxGroups;  // entries of the group list, placeholders too
  std::size_t maxItems = kDefaultMaxItems;    // items of all groups together
  // /calltimeout: the deadline on every server call.
  int callTimeoutSeconds = kDefaultCallTimeoutSeconds;
  // /statuscheck: how often GetStatus checks the server.
  int statusCheckSeconds = kDefaultStatusCheckSeconds;
  // /backup, /backuphost, /failover, /failback: the server connection's backup server.
  FailoverSettings failover;
};
