#include "protocol/request_tokenizer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "net/http_blocking_socket.h"

namespace {

bool IsSeparator(char c) {
  return c == '\t' || c == '\r' || c == '\n';
}

// The blanks that the C library's conversions skip (isspace in the "C" locale).
bool IsBlank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Skips blanks and a sign; returns the digits' start and whether the sign was a minus.
const char* SkipToDigits(const char* text, bool& negative) {
  while (IsBlank(*text)) ++text;
  negative = false;
  if (*text == '+' || *text == '-') {
    negative = *text == '-';
    ++text;
  }
  return text;
}

// The fields of the kept bytes, up to a NUL in them, added to the request's last line.
void AddFields(CReceivedRequest& request, const char* kept) {
  std::uint32_t at = 0;
  for (;;) {
    while (kept[at] != '\0' && IsSeparator(kept[at])) ++at;
    if (kept[at] == '\0') return;
    std::uint32_t end = at;
    while (kept[end] != '\0' && !IsSeparator(kept[end])) ++end;
    request.AddField(at, end - at);
    if (kept[end] == '\0') return;
    at = end + 1;
  }
}

void AddLineWithFields(CReceivedRequest& request, const char* kept, int length, bool empty) {
  request.AddLine(std::string_view(kept, static_cast<std::size_t>(length)), length, empty, false);
  AddFields(request, kept);
}

}  // namespace

void CRequestReceiver::ReceiveLine() {
  char buffer[RequestLines::kLineCapacity];
  if (m_request.LineCount() == 0) {
    const int length = m_connection.ReadHeaderLine(buffer, RequestLines::kLineCapacity,
                                                   RequestLines::kLineSeconds);
    const auto now = std::chrono::steady_clock::now();
    m_waitUntil = now + RequestLines::kFurtherLinesWait;
    m_takeUntil = now + RequestLines::kFurtherLinesLimit;
    AddLineWithFields(m_request, buffer, length, length <= 2);
    return;
  }
  const int length =
      m_connection.ReadHeaderLine(buffer, RequestLines::kLineCapacity, m_waitUntil, m_takeUntil);
  // A cut value or item ID would change meaning: refuse the request instead.
  if (m_connection.LastLineLength() >= RequestLines::kLineCapacity) {
    std::string start(buffer, static_cast<std::size_t>(length));
    // The reply must stay one line: a CR inside the kept part ends the start.
    start.erase(std::min(start.find('\r'), start.size()));
    m_request.AddLine(start, 0, true, true);
    throw CRequestLineTooLong(std::move(start));
  }
  AddLineWithFields(m_request, buffer, length, length <= 1 || (length == 2 && buffer[0] == '\r'));
}

void AddFirstLine(CReceivedRequest& request, std::string_view text) {
  char buffer[RequestLines::kLineCapacity];
  const std::size_t count = std::min<std::size_t>(text.size(), RequestLines::kLineCapacity - 1);
  std::memcpy(buffer, text.data(), count);
  buffer[count] = '\0';
  const int length = static_cast<int>(count);
  AddLineWithFields(request, buffer, length, length <= 2);
}

int CRequestTokenizer::ReadLine() {
  // Until a line is found, the line counts as empty and holds no tokens.
  m_line = nullptr;
  m_nextField = 0;
  m_length = 0;
  m_empty = true;
  if (m_nextLine >= m_request.LineCount()) {
    m_request.NoteTaken(m_request.LineCount() + 1);
    m_request.ThrowPastEnd();
  }
  const CReceivedRequest::Line& line = m_request.LineAt(m_nextLine++);
  m_request.NoteTaken(m_nextLine);
  if (line.refused) throw CRequestLineTooLong(std::string(m_request.Kept(line)));
  m_line = &line;
  m_length = line.length;
  m_empty = line.empty;
  return m_length;
}

const char* CRequestTokenizer::NextToken() {
  if (m_line == nullptr || m_nextField >= m_line->fieldCount) return nullptr;
  return m_request.Field(*m_line, m_nextField++);
}

std::int32_t CRequestTokenizer::ToInt(const char* text) {
  if (text == nullptr) return 0;
  bool negative = false;
  const char* digit = SkipToDigits(text, negative);
  // Accumulate the magnitude with room for INT32_MIN; stop growing once it is out of range.
  const std::int64_t limit = negative ? std::int64_t{1} << 31 : (std::int64_t{1} << 31) - 1;
  std::int64_t value = 0;
  for (; *digit >= '0' && *digit <= '9'; ++digit) {
    value = value * 10 + (*digit - '0');
    if (value > limit) value = limit + 1;  // keeps the magnitude bounded
  }
  if (value > limit) value = limit;
  return static_cast<std::int32_t>(negative ? -value : value);
}

std::uint32_t CRequestTokenizer::ToUnsigned(const char* text) {
  if (text == nullptr) return 0;
  bool negative = false;
  const char* digit = SkipToDigits(text, negative);
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
  std::uint64_t value = 0;
  bool overflow = false;
  for (; *digit >= '0' && *digit <= '9'; ++digit) {
    value = value * 10 + static_cast<std::uint64_t>(*digit - '0');
    if (value > kMax) {
      overflow = true;
      value = kMax;
    }
  }
  if (overflow) return static_cast<std::uint32_t>(kMax);
  const auto result = static_cast<std::uint32_t>(value);
  return negative ? static_cast<std::uint32_t>(0u - result) : result;
}
