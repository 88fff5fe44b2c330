// A datagram sender for code under test whose datagrams no test reads: its socket is never
// opened, so nothing goes out (each send counts as sent, on counters of its own). Its log
// switches, at their defaults, serve the code under test as the application's would.
#pragma once

#include "core/activity_log.h"
#include "net/blocking_socket.h"
#include "net/datagram_sender.h"
#include "net/gateway_counters.h"

struct CUnsentDatagrams {
  CBlockingSocket socket;
  LogSwitches log;
  GatewayCounters counters;
  CDatagramSender sender{socket, DatagramAddress{0x7F000001, 8088}, log.logValueChanges, counters};
};
