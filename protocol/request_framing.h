// The framing of requests: which lines after the first one belong to a request, by command, so
// that the listener side can read a request whole before the UI thread sees it.
//
// Each command declares its framing in the dispatcher's framing table, next to its command
// table; a command without an entry is its first line. The reading goes through the same line
// reader and tokenizer as the handlers (CRequestTokenizer::ReadLine: the first line's rules, the
// further lines' deadlines and line rules), and stops where the handler would stop reading at
// the latest: at the count, at the empty line, or at a line the handler refuses by its form
// alone. The handler later reads the same lines from what was received.
//
// Error rule: ReadWholeRequest never throws; a failed read (late line, closed connection) ends
// the receiving and is noted on the connection, where the handler meets it as it would have met
// the failure on the socket. A line that is too long ends the reading too: the handler refuses it
// when it gets there. Thread rule: any one thread per connection (a listener thread).
// Ownership: borrows the connection.
#pragma once

#include <cstddef>

class CHttpBlockingSocket;

// What follows the first line.
enum class FurtherLines {
  kNone,              // nothing: the first line is the request
  kList,              // lines up to an empty line
  kCountedList,       // lines up to an empty line or the count in the count field
  kGroupDefinitions,  // "AD": group lines, each followed by as many item lines as it announces
  kFixedLines,        // a fixed number of lines (countField), empty ones included
};

struct CommandFraming {
  const char* name;
  FurtherLines lines;
  // kCountedList and kGroupDefinitions: the field holding the count (the command is field 1);
  // its low 16 bits count, and 0 there means no line is read. kFixedLines: the number of lines.
  int countField;
  // When the count field is absent: true, the lines run to an empty line; false, none is read
  // (the handler refuses the request).
  bool listWithoutCount;
};

// Reads the request's further lines by the framing of its command (looked up in table by exact
// name). True when the request is complete; false when reading failed (noted on the connection).
bool ReadWholeRequest(CHttpBlockingSocket& connection, const CommandFraming* table,
                      std::size_t tableSize);
