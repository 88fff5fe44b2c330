// The request line buffer and its tokenizer: the 100-byte buffer that every request line is read
// into, split into fields the way the request syntax defines them.
//
// Fields are separated by TAB, CR and LF; space is an ordinary character. Tokenizing works like
// the C library's strtok: runs of separators are skipped, each token is cut out in place with a
// NUL, and the next call continues after it. Reading a new line restarts the tokenization.
// Numbers follow the C library's decimal conversions: leading blanks skipped, an optional sign,
// digits up to the first other character, 0 without digits; values beyond the range saturate.
//
// Error rule: ReadLine throws CBlockingSocketException from ReadHeaderLine; nothing else fails.
// Thread rule: one thread (the UI thread inside one request). Ownership: the buffer is a member;
// tokens point into it and stay valid until the next ReadLine or SetLine.
#pragma once

#include <cstdint>
#include <string_view>

class CHttpBlockingSocket;

class CRequestTokenizer {
public:
  static constexpr int kLineCapacity = 100;  // bytes, the NUL included: 99 characters at most
  static constexpr int kLineSeconds = 100;   // wait for each piece of a line

  CRequestTokenizer();

  // Reads the next line with ReadHeaderLine(buffer, 100, 100) and restarts tokenization at its
  // start. Returns the count of characters stored (line end included).
  int ReadLine(CHttpBlockingSocket& connection);
  // Puts text (cut to 99 bytes) into the buffer as if it had been read; for tests and fuzzing.
  void SetLine(std::string_view text);

  // The count of the last line read, its line end included.
  int LineLength() const { return m_length; }
  // A line of at most 2 characters, line end included: the end of a list of lines.
  bool IsEmptyLine() const { return m_length <= 2; }

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
};
