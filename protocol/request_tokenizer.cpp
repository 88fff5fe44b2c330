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

}  // namespace

CRequestTokenizer::CRequestTokenizer() {
  m_buffer[0] = '\0';
  m_next = m_buffer;
}

int CRequestTokenizer::ReadLine(CHttpBlockingSocket& connection) {
  // Until the read succeeds, the line counts as empty and holds no tokens.
  m_length = 0;
  m_buffer[0] = '\0';
  m_next = m_buffer;
  if (m_linesRead == 0) {
    const int length = connection.ReadHeaderLine(m_buffer, kLineCapacity, kLineSeconds);
    const auto now = std::chrono::steady_clock::now();
    m_waitUntil = now + kFurtherLinesWait;
    m_takeUntil = now + kFurtherLinesLimit;
    m_linesRead = 1;
    m_length = length;
    return m_length;
  }
  const int length = connection.ReadHeaderLine(m_buffer, kLineCapacity, m_waitUntil, m_takeUntil);
  ++m_linesRead;
  // A cut value or item ID would change meaning: refuse the request instead.
  if (connection.LastLineLength() >= kLineCapacity) {
    std::string start(m_buffer, static_cast<std::size_t>(length));
    // The reply must stay one line: a CR inside the kept part ends the start.
    start.erase(std::min(start.find('\r'), start.size()));
    m_buffer[0] = '\0';
    throw CRequestLineTooLong(std::move(start));
  }
  m_length = length;
  return m_length;
}

void CRequestTokenizer::SetLine(std::string_view text) {
  const std::size_t count = std::min<std::size_t>(text.size(), kLineCapacity - 1);
  std::memcpy(m_buffer, text.data(), count);
  m_buffer[count] = '\0';
  m_length = static_cast<int>(count);
  m_next = m_buffer;
  m_linesRead = 1;
}

bool CRequestTokenizer::IsEmptyLine() const {
  if (m_linesRead <= 1) return m_length <= 2;
  return m_length <= 1 || (m_length == 2 && m_buffer[0] == '\r');
}

const char* CRequestTokenizer::NextToken() {
  if (m_next == nullptr) return nullptr;
  char* start = m_next;
  while (*start != '\0' && IsSeparator(*start)) ++start;
  if (*start == '\0') {
    m_next = nullptr;
    return nullptr;
  }
  char* end = start;
  while (*end != '\0' && !IsSeparator(*end)) ++end;
  if (*end == '\0') {
    m_next = nullptr;
  } else {
    *end = '\0';
    m_next = end + 1;
  }
  return start;
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
