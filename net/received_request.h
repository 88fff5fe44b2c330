// A request as it was received: the lines that its framing read, each split into its fields once,
// and how the receiving ended. The listener side fills it while it reads the request; the
// connection carries it to the side that answers, which reads the same lines and fields from it
// without splitting them again.
//
// This module only keeps what it is given: which bytes separate fields, which line ends a list
// and which one is refused are the reader's rules (protocol/request_tokenizer.h).
//
// Error rule: nothing fails but ThrowPastEnd, which throws the CBlockingSocketException that ended
// the receiving ("Receive timeout" when it ended without one), with the thread's last error code
// set to the one it carried. Thread rule: one thread at a time, as its connection. Ownership: owns
// its text; the pointers it hands out stay valid until the next AddLine or Clear.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/blocking_socket.h"

class CReceivedRequest {
public:
  struct Line {
    int length = 0;          // the count the line reader returned, line end included
    bool empty = false;      // it ends a list of lines
    bool refused = false;    // longer than its reader keeps: Kept() is the start it kept
    std::uint32_t text = 0;  // where its kept bytes start in the request's text
    std::uint32_t kept = 0;  // how many bytes were kept
    std::uint32_t firstField = 0;
    std::uint32_t fieldCount = 0;
  };

  // Appends a line: kept is copied (and NUL-terminated). Its fields follow with AddField.
  void AddLine(std::string_view kept, int length, bool empty, bool refused);
  // Adds a field of the last line: size bytes from offset in its kept bytes. The byte after the
  // field is made a NUL, so the line's text no longer reads whole afterwards (as strtok leaves it).
  void AddField(std::uint32_t offset, std::uint32_t size);

  std::size_t LineCount() const { return m_lines.size(); }
  const Line& LineAt(std::size_t index) const { return m_lines[index]; }
  // Field k (below line.fieldCount) of a line, NUL-terminated.
  const char* Field(const Line& line, std::uint32_t k) const {
    return m_text.data() + m_fieldStarts[line.firstField + k];
  }
  // A line's kept bytes as given to AddLine (NUL bytes included); once fields were added, the byte
  // after each field reads as a NUL.
  std::string_view Kept(const Line& line) const {
    return std::string_view(m_text.data() + line.text, line.kept);
  }

  // The receiving is over (failure: what ended it). Framed() is true afterwards.
  void Finish(const std::optional<CBlockingSocketException>& failure);
  bool Framed() const { return m_framed; }
  // A read past the last line: throws what ended the receiving.
  [[noreturn]] void ThrowPastEnd() const;
  // Empties it for another request.
  void Clear();

  // How far the readers got since Finish: the most lines one of them took, one more once one read
  // past the last line. The framing tests hold it against what the framing read.
  std::size_t LinesTaken() const { return m_linesTaken; }
  void NoteTaken(std::size_t lines) const {
    if (lines > m_linesTaken) m_linesTaken = lines;
  }

private:
  static constexpr std::size_t kReservedText = 1024;
  static constexpr std::size_t kReservedLines = 32;
  static constexpr std::size_t kReservedFields = 96;

  std::string m_text;
  std::vector<std::uint32_t> m_fieldStarts;
  std::vector<Line> m_lines;
  std::optional<CBlockingSocketException> m_end;
  bool m_framed = false;
  mutable std::size_t m_linesTaken = 0;  // a figure about the readers, not the request's content
};
