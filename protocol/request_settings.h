// The limits on what requests may do: whether they write, how much all clients together may
// make the gateway hold, and how long a server call may take. They come from the options
// /readonly, /maxgroups, /maxitems, /calltimeout and /statuscheck; the
// defaults are the gateway's behaviour without them.
//
// Error rule: none here (the command line checks the values). Thread rule: written on the UI
// thread during start-up, read by the request handlers on the UI thread afterwards. Ownership:
// one process-wide instance.
#pragma once

#include <cstddef>

struct RequestSettings {
  static constexpr std::size_t kDefaultMaxGroups = 10000;
  static constexpr std::size_t kDefaultMaxItems = 1000000;

  bool readOnly = false;                      // "SW" and "AW" refused without a server call
  std::size_t maxGroups = kDefaultMaxGroups;  // entries of the group list, placeholders too
  std::size_t maxItems = kDefaultMaxItems;    // items of all groups together
  int callTimeoutSeconds = 10;                // /calltimeout: the deadline on every server call
  int statusCheckSeconds = 10;                // /statuscheck: how often GetStatus checks the server
};

// The process-wide settings.
RequestSettings& GatewayRequestSettings();
