// The request line buffer and its tokenizer: the 100-byte buffer that every request line is read
// into, split into fields the way the request syntax defines them.
//
// Fields are separated by TAB, CR and LF; space is an ordinary character. Tokenizing works like
// the C library's strtok: runs of separators are skipped, each token is cut out in place with a
// NUL, and the next call continues after it. Reading a new line restarts the tokenization.
// Numbers follow the C library's decimal conversions: leading blanks skipped, an optional sign,
// digits up to the first other character, 0 without digits; values beyond the range saturate.
//
// The first line of a request keeps the classic rules: each piece waits up to 100 s, a longer
// line is cut to 99 characters, and a line of at most 2 characters is empty. The lines after it
// are stricter, so that no request can hold up the others and no cut value is acted on: they are
// waited for until kFurtherLinesWait after the first line (after that only what has arrived is
// taken) and read until kFurtherLinesLimit at most; a longer one than 99 characters refuses the
// request (CRequestLineTooLong); and only LF or CR LF alone is an empty line ("2" LF is a line
// with content).
//
// Error rule: ReadLine throws CBlockingSocketException from ReadHeaderLine ("Receive timeout"
// when the further lines are late) and CRequestLineTooLong; nothing else fails.
// Thread rule: one thread (the UI thread inside one request). Ownership: the buffer is a member;
// tokens point into it and stay valid until the next ReadLine or SetLine.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

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

class CRequestTokenizer {
public:
  static constexpr int kLineCapacity = 100;  // bytes, the NUL included: 99 characters at most
  static constexpr int kLineSeconds = 100;   // wait for each piece of the first line
  // Counted from the reading of the first line: how long the lines after it are waited for, and
  // how long they are read at most (the handler's work between them included).
  static constexpr std::chrono::milliseconds kFurtherLinesWait{1000};
  static constexpr std::chrono::milliseconds kFurtherLinesLimit{5000};

  CRequestTokenizer();

  // Reads the next line into the buffer and restarts tokenization at its start: the first line
  // with ReadHeaderLine(buffer, 100, 100), later ones by the stricter rules above. Returns the
  // count of characters stored (line end included).
  int ReadLine(CHttpBlockingSocket& connection);
  // Puts text (cut to 99 bytes) into the buffer as if it had been read as the first line; for
  // tests and fuzzing.
  void SetLine(std::string_view text);

  // The count of the last line read, its line end included.
  int LineLength() const { return m_length; }
  // The end of a list of lines: for the first line one of at most 2 characters (line end
  // included), for the lines after it LF or CR LF alone (or nothing read).
  bool IsEmptyLine() const;

  // The next field of the current line, or null when none is left.
  const char* NextToken();

  // The C library's atoi on a field, saturated to the signed 32-bit range; null reads as 0.
  static std::int32_t ToInt(const char* text);
  // The C library's strtoul on a field for a 32-bit unsigned long: saturates at 0xFFFFFFFF, and
  // a minus sign negates modulo 2^32; null reads as 0.
  static std::uint32_t ToUnsigned(const char* text);

  char* Buffer() { return m_buffer; }

private:
  char m_buffer[kLineCapacity];
  int m_length = 0;
  char* m_next = nullptr;  // where the next token search starts; null when the line is used up
  int m_linesRead = 0;     // lines of this request read so far, the current one included
  std::chrono::steady_clock::time_point m_waitUntil;  // see kFurtherLinesWait
  std::chrono::steady_clock::time_point m_takeUntil;  // see kFurtherLinesLimit
};
