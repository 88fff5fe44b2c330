#include "client/gateway_reply.h"

#include <cstdio>

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// A whole field of decimal digits with an optional minus sign, within [low, high].
std::optional<long long> StrictNumber(std::string_view field, long long low, long long high) {
  std::size_t at = 0;
  bool negative = false;
  if (at < field.size() && field[at] == '-') {
    negative = true;
    ++at;
  }
  if (at == field.size() || field.size() - at > 10) return std::nullopt;
  long long value = 0;
  for (; at < field.size(); ++at) {
    if (!IsDigit(field[at])) return std::nullopt;
    value = value * 10 + (field[at] - '0');
  }
  if (negative) value = -value;
  if (value < low || value > high) return std::nullopt;
  return value;
}

void SetReason(std::string* reason, std::string text) {
  if (reason != nullptr) *reason = std::move(text);
}

}  // namespace

std::optional<GatewayReply> ParseReply(std::string_view bytes, std::string* reason) {
  if (bytes.empty()) {
    SetReason(reason, "the reply is empty");
    return std::nullopt;
  }
  const std::size_t tab = bytes.find('\t');
  if (tab == std::string_view::npos) {
    SetReason(reason, "no TAB after the reply code");
    return std::nullopt;
  }
  const auto code = StrictNumber(bytes.substr(0, tab), INT32_MIN, INT32_MAX);
  if (!code) {
    SetReason(reason, "the reply code \"" + std::string(bytes.substr(0, tab)) +
                          "\" is not a signed 32-bit decimal number");
    return std::nullopt;
  }
  if (bytes.size() < tab + 3 || bytes.substr(bytes.size() - 2) != "\r\n") {
    SetReason(reason, "the reply does not end with CR LF (cut short?)");
    return std::nullopt;
  }
  GatewayReply reply;
  reply.code = static_cast<std::int32_t>(*code);
  reply.text = std::string(bytes.substr(tab + 1, bytes.size() - tab - 3));
  return reply;
}

std::vector<std::string> ReplyLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      return lines;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
}

std::optional<std::vector<int>> ReplyIndices(const std::string& text) {
  std::vector<int> indices;
  if (text.empty()) return indices;
  const std::vector<std::string> lines = ReplyLines(text);
  if (!lines.front().empty()) return std::nullopt;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto index = StrictNumber(lines[i], INT32_MIN, INT32_MAX);
    if (!index) return std::nullopt;
    indices.push_back(static_cast<int>(*index));
  }
  return indices;
}

std::optional<std::vector<SyncReadValue>> ReplySyncReadValues(const std::string& text) {
  std::vector<SyncReadValue> values;
  if (text.empty()) return values;
  const std::vector<std::string> lines = ReplyLines(text);
  if (!lines.front().empty()) return std::nullopt;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::size_t tab = lines[i].find('\t');
    if (tab == std::string::npos) return std::nullopt;
    const auto quality = StrictNumber(std::string_view(lines[i]).substr(tab + 1), 0, 65535);
    if (!quality) return std::nullopt;
    values.push_back({lines[i].substr(0, tab), static_cast<std::uint16_t>(*quality)});
  }
  return values;
}

std::optional<std::uint32_t> ReplyCancelId(const std::string& text) {
  std::string_view digits = text;
  if (!digits.empty() && digits.back() == 'l') digits.remove_suffix(1);
  if (!digits.empty() && digits.front() == '-') return std::nullopt;
  const auto id = StrictNumber(digits, 0, UINT32_MAX);
  if (!id) return std::nullopt;
  return static_cast<std::uint32_t>(*id);
}

std::optional<ListReply> ReplyList(const std::string& text) {
  std::vector<std::string> lines = ReplyLines(text);
  const std::string& first = lines.front();
  const std::size_t blank = first.find(' ');
  const auto count = StrictNumber(std::string_view(first).substr(0, blank), 0, UINT32_MAX);
  if (!count || *count != static_cast<long long>(lines.size() - 1)) return std::nullopt;
  ListReply list;
  if (blank != std::string::npos) list.words = first.substr(blank + 1);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t tab; (tab = lines[i].find('\t', start)) != std::string::npos; start = tab + 1)
      fields.push_back(lines[i].substr(start, tab - start));
    fields.push_back(lines[i].substr(start));
    list.lines.push_back(std::move(fields));
  }
  return list;
}

std::optional<std::vector<TypedReadValue>> ReplyTypedReadValues(const std::string& text) {
  const auto list = ReplyList(text);
  if (!list || (list->words != "values" && list->words != "value")) return std::nullopt;
  std::vector<TypedReadValue> values;
  for (const auto& fields : list->lines) {
    if (fields.size() != 6) return std::nullopt;
    const auto item = StrictNumber(fields[0], 0, 65535);
    const auto vartype = StrictNumber(fields[1], 0, 65535);
    const auto quality = StrictNumber(fields[2], 0, 65535);
    const auto error = StrictNumber(fields[4], INT32_MIN, INT32_MAX);
    if (!item || !vartype || !quality || !error) return std::nullopt;
    values.push_back({static_cast<std::uint16_t>(*item), static_cast<std::uint16_t>(*vartype),
                      static_cast<std::uint16_t>(*quality), fields[3],
                      static_cast<std::int32_t>(*error), fields[5]});
  }
  return values;
}

const char* QualityName(std::uint16_t quality) {
  switch (quality & 0xC0) {
    case 0xC0:
      return "good";
    case 0x40:
      return "uncertain";
    case 0x00:
      return "bad";
    default:
      return "unknown";
  }
}
