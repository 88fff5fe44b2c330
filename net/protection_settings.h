// The gateway's protection settings at the network side: where it listens, whom it serves and
// how many connections one client may hold. They come from the options /bind, /allow and
// /maxconn; the defaults are the gateway's behaviour without them. (The limits on what requests
// may do are protocol/request_settings.h.)
//
// Error rule: none here (the command line checks the values). Thread rule: written on the UI
// thread during start-up, before the first listener thread starts; read-only afterwards, from
// any thread. Ownership: the application owns the gateway's settings; the listener chain copies
// them at its start.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/allow_list.h"

struct ProtectionSettings {
  static constexpr int kDefaultMaxConnections = 256;

  std::uint32_t bindAddress = 0;                // host byte order; 0 listens on every interface
  CAllowList allowList;                         // empty: every client address is served
  int maxConnections = kDefaultMaxConnections;  // per client address, accepted and not closed
  int openFileLimit = 0;  // the process's open-file limit after start-up; 0: none known
  // Listener threads that can be started before a start fails; 0: none known (the listeners
  // learn it from the first start that fails).
  int threadLimit = 0;
};
