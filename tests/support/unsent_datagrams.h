// A datagram sender for code under test whose datagrams no test reads: its socket is never
// opened, so nothing goes out (each send counts as sent, on counters of its own).
#pragma once

#include "net/blocking_socket.h"
#include "net/datagram_sender.h"
#include "net/gateway_counters.h"

struct CUnsentDatagrams {
  CBlockingSocket socket;
  bool logValueChanges = false;
  GatewayCounters counters;
  CDatagramSender sender{socket, DatagramAddress{0x7F000001, 8088}, logValueChanges, counters};
};
