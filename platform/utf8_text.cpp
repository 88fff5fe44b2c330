#include "platform/utf8_text.h"

#include <cstdint>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void AppendUtf16(WideString& out, char32_t c) {
  if (c < 0x10000) {
    out.push_back(static_cast<WideChar>(c));
    return;
  }
  c -= 0x10000;
  out.push_back(static_cast<WideChar>(0xD800 + (c >> 10)));
  out.push_back(static_cast<WideChar>(0xDC00 + (c & 0x3FF)));
}

// The character that starts at text[at] and its length in bytes; U+FFFD and 1 for a byte that
// starts no valid sequence.
char32_t DecodeUtf8(std::string_view text, std::size_t at, std::size_t& length) {
  const auto lead = static_cast<std::uint8_t>(text[at]);
  length = 1;
  if (lead < 0x80) return lead;
  std::size_t need = 0;
  char32_t c = 0;
  char32_t least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1, c = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2, c = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3, c = lead & 0x07, least = 0x10000;
  } else {
    return kReplacement;
  }
  if (at + need >= text.size()) return kReplacement;  // cut short
  for (std::size_t k = 1; k <= need; ++k) {
    const auto next = static_cast<std::uint8_t>(text[at + k]);
    if ((next & 0xC0) != 0x80) return kReplacement;
    c = (c << 6) | (next & 0x3F);
  }
  if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return kReplacement;
  length = need + 1;
  return c;
}

}  // namespace

std::string Utf16ToUtf8(WideStringView text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t k = 0; k < text.size(); ++k) {
    const auto unit = static_cast<char32_t>(static_cast<std::uint16_t>(text[k]));
    if (unit >= 0xD800 && unit <= 0xDBFF && k + 1 < text.size()) {
      const auto low = static_cast<char32_t>(static_cast<std::uint16_t>(text[k + 1]));
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++k;
        continue;
      }
    }
    AppendUtf8(out, unit >= 0xD800 && unit <= 0xDFFF ? kReplacement : unit);
  }
  return out;
}

WideString Utf8ToUtf16(std::string_view text) {
  WideString out;
  out.reserve(text.size());
  std::size_t length = 0;
  for (std::size_t at = 0; at < text.size(); at += length)
    AppendUtf16(out, DecodeUtf8(text, at, length));
  return out;
}

std::size_t Utf8PrefixLength(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text.size();
  std::size_t end = limit;
  // Back to the start of the character that the limit cuts (at most three continuation bytes).
  while (end > 0 && (static_cast<std::uint8_t>(text[end]) & 0xC0) == 0x80 && limit - end < 3) --end;
  return end;
}
