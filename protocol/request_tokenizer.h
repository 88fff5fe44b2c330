// The request line rules and the tokenizer: how the listener side receives each line of a request
// into the connection's received request (CRequestReceiver, splitting it into fields once), and
// the cursor over those lines and fields that the framing and the handlers read
// (CRequestTokenizer).
//
// Fields are separated by TAB, CR and LF; space is an ordinary character. A field ends where the
// C library's strtok would end it: runs of separators are skipped, and a NUL byte ends the line's
// fields. Numbers follow the C library's decimal conversions: leading blanks skipped, an optional
// sign, digits up to the first other character, 0 without digits; values beyond the range
// saturate.
//
// The first line of a request keeps the classic rules: each piece waits up to 100 s, a longer
// line is cut to 99 characters, and a line of at most 2 characters is empty. The lines after it
// are stricter, so that no request can hold up the others and no cut value is acted on: they are
// waited for until kFurtherLinesWait after the first line (after that only what has arrived is
// taken) and read until kFurtherLinesLimit at most; a longer one than 99 characters refuses the
// request (CRequestLineTooLong); and only LF or CR LF alone is an empty line ("2" LF is a line
// with content).
//
// Error rule: CRequestReceiver::ReceiveLine throws CBlockingSocketException from ReadHeaderLine
// ("Receive timeout" when the further lines are late) and CRequestLineTooLong (the refused line is
// kept, so the cursor meets it too); CRequestTokenizer::ReadLine throws what ended the receiving
// once it reads past the last line received, and CRequestLineTooLong at a refused line; nothing
// else fails. Thread rule: one thread per request at a time (the receiver on a listener thread,
// the cursors afterwards on the UI thread). Ownership: both borrow the received request; tokens
// point into it and stay valid until a line is added to it or it is cleared.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/received_request.h"

class CHttpBlockingSocket;

// A line after the first was longer than the 99 characters kept. Start() is what was kept, up
// to a CR in it.
class CRequestLineTooLong {
public:
  explicit CRequestLineTooLong(std::string start) : m_start(std::move(start)) {}
  const std::string& Start() const { return m_start; }

private:
  std::string m_start;
};

// The line rules, shared by the receiver and the cursor.
struct RequestLines {
  static constexpr int kLineCapacity = 100;  // bytes, the NUL included: 99 characters at most
  static constexpr int kLineSeconds = 100;   // wait for each piece of the first line
  // Counted from the reading of the first line: how long the lines after it are waited for, and
  // how long they are read at most (the handler's work between them included).
  static constexpr std::chrono::milliseconds kFurtherLinesWait{1000};
  static constexpr std::chrono::milliseconds kFurtherLinesLimit{5000};
};

// Receives the lines of one request from a connection into a received request.
class CRequestReceiver {
public:
  CRequestReceiver(CHttpBlockingSocket& connection, CReceivedRequest& request)
      : m_connection(connection), m_request(request) {}

  // Reads the next line by the rules above (the first one with ReadHeaderLine(buffer, 100, 100))
  // and appends it to the request with its fields. A failed read appends nothing; a line after
  // the first that is too long is appended as refused before CRequestLineTooLong is thrown.
  void ReceiveLine();

private:
  CHttpBlockingSocket& m_connection;
  CReceivedRequest& m_request;
  std::chrono::steady_clock::time_point m_waitUntil;  // see kFurtherLinesWait
  std::chrono::steady_clock::time_point m_takeUntil;  // see kFurtherLinesLimit
};

// Appends text (cut to 99 bytes) to request as a first line would be received; for tests and
// fuzzing.
void AddFirstLine(CReceivedRequest& request, std::string_view text);

// A cursor over the lines of a received request and the fields of the current line.
class CRequestTokenizer {
public:
  static constexpr int kLineCapacity = RequestLines::kLineCapacity;

  explicit CRequestTokenizer(const CReceivedRequest& request) : m_request(request) {}

  // Moves to the next line; returns its count (line end included). Past the last line, and at a
  // refused one, the line is empty (count 0) and the failure is thrown.
  int ReadLine();

  // The count of the current line, its line end included.
  int LineLength() const { return m_length; }
  // The end of a list of lines: for the first line one of at most 2 characters (line end
  // included), for the lines after it LF or CR LF alone (or nothing read).
  bool IsEmptyLine() const { return m_empty; }

  // The next field of the current line, or null when none is left.
  const char* NextToken();

  // The C library's atoi on a field, saturated to the signed 32-bit range; null reads as 0.
  static std::int32_t ToInt(const char* text);
  // The C library's strtoul on a field for a 32-bit unsigned long: saturates at 0xFFFFFFFF, and
  // a minus sign negates modulo 2^32; null reads as 0.
  static std::uint32_t ToUnsigned(const char* text);

private:
  const CReceivedRequest& m_request;
  std::size_t m_nextLine = 0;
  const CReceivedRequest::Line* m_line = nullptr;  // the current line; null before and past
  std::uint32_t m_nextField = 0;
  int m_length = 0;
  bool m_empty = true;
};
