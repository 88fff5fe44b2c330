// The audit trail of writes: one line per write request ("SW", "AW", and "RM" of a group that
// another address defined) and one per completed "AW" ("AW-complete") in "RV_Morvantel.audit.log"
// beside the log file, whatever the View menu's log switches say, so that an auditor can answer
// "who set this value, when" from it alone.
//
// A line is TAB-separated fields in UTF-8, ending as the log file's lines do (CR LF on Windows,
// else LF): the time (UTC, "2026-12-09T03:30:01.123Z"), the client's "address:port", the command,
// the group index as sent, the group's name, the request's result (written, accepted, failed,
// unknown, refused, removed), why (the reply text; empty when written), the item count N, then N
// times: item index as sent, item ID, value as sent, the item's outcome (written, accepted,
// refused, unknown, or "failed: " and the server's error text). Inside a field a backslash is
// written "\\", TAB "\t", CR "\r", LF "\n", other control characters and bytes that are no text
// of the system code page "\xHH", U+0080 to U+009F, U+2028 and U+2029 "\uHHHH", so that no field
// splits and no line breaks.
//
// The file stays open between lines (one write call each, nothing held back: a stop loses no
// line); at most once a second a line checks that the name still leads to it, so a file renamed
// or removed by a rotation is followed by a new one, as the log file is.
//
// Error rule: nothing throws; Ready and Record say whether the file can be, or was, written.
// Thread rule: one thread (the UI thread). Ownership: the object owns its file.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/append_file.h"
#include "platform/wide_string.h"

extern const char kAuditFileName[];  // "RV_Morvantel.audit.log"

struct AuditedItem {
  std::string index;    // the item index as sent (system code page)
  WideString itemId;    // empty when the index names no item
  std::string value;    // as sent (system code page)
  std::string outcome;  // written, accepted, refused, unknown, "failed: <server text>"
};

struct AuditEntry {
  std::string client;      // "a.b.c.d:port"
  std::string command;     // "SW", "AW", "RM"
  std::string groupIndex;  // as sent (system code page)
  WideString groupName;    // empty when the index names no group
  std::string result;      // written, accepted, failed, unknown, refused, removed
  std::string reason;      // the reply text (system code page); empty when written
  std::vector<AuditedItem> items;
};

class CWriteAudit {
public:
  explicit CWriteAudit(std::string fileName = kAuditFileName);
  CWriteAudit(const CWriteAudit&) = delete;
  CWriteAudit& operator=(const CWriteAudit&) = delete;

  // Whether a line can be written now: opens the file in the working directory when it is not
  // open (or was rotated away). False when it cannot be opened.
  bool Ready();
  // Appends the entry as one line stamped now. False when it could not be written (the file
  // is closed then, and the next call tries again).
  bool Record(const AuditEntry& entry);
  // Whether the last attempt to open or write the file succeeded (true before any attempt).
  bool Writable() const { return m_writable; }
  const std::string& FileName() const { return m_fileName; }

  // The line of an entry made at the given time, without its line end.
  static std::string Line(const AuditEntry& entry, std::chrono::system_clock::time_point when);
  // A field from a text in the system code page: UTF-8, escaped as above. A text with bytes
  // that are no text of the code page (or that it maps to private-use characters) is written
  // byte by byte instead: "\xHH" for each byte above 0x7F.
  static std::string Field(std::string_view codePageText);
  // A field from UTF-16 (an OPC item ID or group name): UTF-8, escaped as above (an unpaired
  // surrogate becomes "\uHHHH").
  static std::string Field(WideStringView text);

private:
  std::string m_fileName;
  CAppendFile m_file;
  std::filesystem::path m_directory;  // the working directory the file was opened in
  std::chrono::steady_clock::time_point m_nextCheck;
  bool m_writable = true;
};
