// The one sender of notification datagrams (announcements and group datagrams).
//
// Error rule: never throws, reports nothing: a datagram that cannot be sent is dropped.
// Thread rule: UI thread. Ownership: borrows the message.
#pragma once

#include <cstdint>

extern const char kStartupDatagram[];  // "Startup Quarnix\r\n" (17 bytes)
extern const char kExitDatagram[];     // "Exit Quarnix\r\n" (14 bytes)

// Sends message through GatewaySockets()->socketNotify. length < 1: the message is a
// NUL-terminated text; timeout < 1: 100 s; host 0: remoteHost; port 0: remotePort (nothing at
// all when that is 0 too). With logValueChanges on, writes the send line to the log file with
// note appended ("(null)" when note is null).
void SendNotification(const void* message, int length, int timeout, std::uint32_t host,
                      std::uint16_t port, const char* note);
