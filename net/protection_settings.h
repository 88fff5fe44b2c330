// The gateway's protection settings: where it listens, whom it serves, whether it writes, and
// how much one client may make it hold. They come from the options /bind, /allow, /readonly,
// /maxconn, /maxgroups and /maxitems; the defaults are the gateway's behaviour without them.
//
// Error rule: none here (the command line checks the values). Thread rule: written on the UI
// thread during start-up, before the first listener thread starts; read-only afterwards, from
// any thread. Ownership: one process-wide instance.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/allow_list.h"

struct ProtectionSettings {
  static constexpr int kDefaultMaxConnections = 256;
  static constexpr std::size_t kDefaultMaxGroups = 10000;
  static constexpr std::size_t kDefaultMaxItems = 1000000;

  std::uint32_t bindAddress = 0;                // host byte order; 0 listens on every interface
  CAllowList allowList;                         // empty: every client address is served
  bool readOnly = false;                        // "SW" and "AW" refused without a server call
  int maxConnections = kDefaultMaxConnections;  // per client address, accepted and not closed
  std::size_t maxGroups = kDefaultMaxGroups;    // entries of the group list, placeholders too
  std::size_t maxItems = kDefaultMaxItems;      // items of all groups together
  int openFileLimit = 0;  // the process's open-file limit after start-up; 0: none known
};

// The process-wide settings.
ProtectionSettings& GatewayProtection();
