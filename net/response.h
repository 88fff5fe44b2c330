// Response: the one writer of reply lines on a request connection.
//
// A reply line is the code as a signed decimal number, one TAB, the text and CR LF ("%d%c%s%s").
// It is written whole with SendAll, each partial send waiting at most 100 seconds. On a request
// connection the line is queued instead (what the socket takes at once goes out at once), and
// the listener finishes sending it after the answering side is done, so the UI thread never waits
// for a client that does not read.
//
// Error rule: never throws and reports nothing: a socket failure loses the reply silently; any
// other exception is written to the log file with the line and the thread's last error code.
// Thread rule: the thread that currently holds the connection (the UI thread while it answers,
// or the listener thread). Ownership: borrows the connection.
#pragma once

#include <string>

class CBlockingSocket;
class CHttpBlockingSocket;

constexpr int kResponseSeconds = 100;

// The bytes of a reply line: code, TAB, text, CR LF.
std::string FormatResponse(int code, const std::string& text);

void Response(CBlockingSocket& connection, int code, const std::string& text);
void Response(CHttpBlockingSocket& connection, int code, const std::string& text);
