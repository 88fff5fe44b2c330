// What the request dispatcher is handed when it is made: the application builds these once the
// command line is read and keeps them for the dispatcher's whole life.
//
// Error rule: none. Thread rule: read on the UI thread. Ownership: every member is borrowed and
// must outlive the dispatcher (and the window that owns it).
#pragma once

class CDatagramSender;
struct GatewayCounters;
struct LogSwitches;
struct RequestSettings;

struct DispatcherInputs {
  CDatagramSender& sender;          // the OPC side's datagrams
  const RequestSettings& requests;  // /readonly, /writers, /maxgroups, /maxitems, /calltimeout,
                                    // /statuscheck
  const GatewayCounters& counters;  // the process's figures, for the status and the metrics
  LogSwitches& logSwitches;         // read by the handlers and the group list, turned by the window
};
