#include "mqtt/topic_payload.h"

#include <cstdio>
#include <ctime>
#include <limits>

namespace {

constexpr std::uint16_t kVtBool = 11;
constexpr std::uint16_t kVtUi1 = 17;
constexpr std::uint16_t kVtUi2 = 18;
constexpr std::uint16_t kVtUi4 = 19;
constexpr std::uint16_t kVtI1 = 16;
constexpr std::uint16_t kVtI2 = 2;
constexpr std::uint16_t kVtI4 = 3;

// Length of the UTF-8 sequence starting at text[at], or 0 when it is not one.
std::size_t Utf8Length(const std::string& text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF)
    length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF)
    length = 3;
  else if (lead >= 0xF0 && lead <= 0xF4)
    length = 4;
  else
    return 0;
  if (at + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((static_cast<unsigned char>(text[at + k]) & 0xC0) != 0x80) return 0;
  }
  return length;
}

void AppendEscaped(std::string& out, unsigned char byte) {
  char hex[4];
  std::snprintf(hex, sizeof hex, "%%%02X", byte);
  out += hex;
}

}  // namespace

std::string TopicSafeItemId(const std::string& itemId) {
  std::string out;
  out.reserve(itemId.size());
  for (std::size_t at = 0; at < itemId.size();) {
    const auto byte = static_cast<unsigned char>(itemId[at]);
    if (byte >= 0x80) {
      const std::size_t length = Utf8Length(itemId, at);
      if (length == 0) {
        AppendEscaped(out, byte);
        ++at;
      } else {
        out.append(itemId, at, length);
        at += length;
      }
      continue;
    }
    if (byte < 0x20 || byte == 0x7F || byte == '/' || byte == '+' || byte == '#' || byte == '$' ||
        byte == '%') {
      AppendEscaped(out, byte);
    } else {
      out += static_cast<char>(byte);
    }
    ++at;
  }
  return out;
}

std::optional<double> NumericValue(const ItemValue& value) {
  const bool isUnsigned = value.dataType == kVtUi1 || value.dataType == kVtUi2 ||
                          value.dataType == kVtUi4 || value.dataType == kVtBool;
  switch (value.length) {
    case 1:
      if (value.dataType == kVtI1) return static_cast<std::int8_t>(value.raw);
      return static_cast<std::uint8_t>(value.raw);
    case 2:
      if (isUnsigned) return static_cast<std::uint16_t>(value.raw);
      return static_cast<std::int16_t>(value.raw);
    case 4:
      if (isUnsigned) return static_cast<std::uint32_t>(value.raw);
      return static_cast<std::int32_t>(value.raw);
    default:
      return std::nullopt;
  }
}

std::string UtcTimestamp(std::chrono::system_clock::time_point at) {
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(millis % 1000));
  return text;
}

std::string ValuePayload(const ItemValue& value, std::chrono::system_clock::time_point at) {
  std::string valueText = "null";
  if (const auto number = NumericValue(value)) {
    if (value.dataType == kVtBool) {
      valueText = *number != 0 ? "true" : "false";
    } else {
      char digits[24];
      std::snprintf(digits, sizeof digits, "%.0f", *number);
      valueText = digits;
    }
  }
  // The top two bits name the quality class: 11 good, 01 uncertain, else bad.
  const unsigned qualityClass = value.quality & 0xC0u;
  const char* qualityText = qualityClass == 0xC0   ? "good"
                            : qualityClass == 0x40 ? "uncertain"
                                                   : "bad";
  std::string out = "{\"value\":" + valueText + ",\"quality\":" + std::to_string(value.quality) +
                    ",\"quality_text\":\"" + qualityText + "\",\"timestamp\":\"" +
                    UtcTimestamp(at) + "\"";
  if (value.error && *value.error != 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08X", *value.error);
    out += ",\"error\":\"0x" + std::string(hex) + "\"";
  }
  out += "}";
  return out;
}

std::string JsonString(const std::string& text) {
  // Bytes that are not UTF-8 (a gateway text in another code page) become U+FFFD.
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      const std::size_t length = Utf8Length(text, at);
      if (length == 0) {
        out += "\\ufffd";
      } else {
        out.append(text, at, length);
        at += length - 1;
      }
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string StatusPayload(bool online, const std::string& gatewayState) {
  return std::string("{\"status\":\"") + (online ? "online" : "offline") +
         "\",\"gateway\":" + JsonString(gatewayState) + ",\"broker\":\"" +
         (online ? "connected" : "disconnected") + "\"}";
}

std::string WriteResultPayload(bool ok, std::optional<std::int32_t> code, const std::string& text) {
  return std::string("{\"ok\":") + (ok ? "true" : "false") +
         ",\"code\":" + (code ? std::to_string(*code) : "null") + ",\"text\":" + JsonString(text) +
         "}";
}

namespace {

struct Range {
  long long low;
  long long high;
};

Range RangeOf(std::uint16_t dataType) {
  switch (dataType) {
    case kVtI1:
      return {-128, 127};
    case kVtUi1:
      return {0, 255};
    case kVtI2:
      return {-32768, 32767};
    case kVtUi2:
      return {0, 65535};
    case kVtUi4:
      return {0, 4294967295LL};
    case kVtBool:
      return {-1, 1};
    case kVtI4:
    default:
      return {std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()};
  }
}

}  // namespace

std::optional<std::string> WriteValueText(const std::string& payload, std::uint16_t dataType,
                                          std::string* reason) {
  const auto first = payload.find_first_not_of(" \t\r\n");
  const auto last = payload.find_last_not_of(" \t\r\n");
  const std::string text =
      first == std::string::npos ? "" : payload.substr(first, last - first + 1);
  if (dataType == kVtBool && (text == "true" || text == "false"))
    return text == "true" ? "-1" : "0";
  const Range range = RangeOf(dataType);
  std::size_t at = text.size() > 0 && (text[0] == '-' || text[0] == '+') ? 1 : 0;
  bool digits = at < text.size() && text.size() - at <= 10;
  for (std::size_t k = at; digits && k < text.size(); ++k)
    digits = text[k] >= '0' && text[k] <= '9';
  const long long value = digits ? std::stoll(text) : 0;
  if (!digits || value < range.low || value > range.high) {
    if (reason != nullptr) {
      *reason = "\"" + text.substr(0, 40) + "\" is not a whole number from " +
                std::to_string(range.low) + " to " + std::to_string(range.high) +
                (dataType == kVtBool ? " (or true/false)" : "");
    }
    return std::nullopt;
  }
  if (dataType == kVtBool) return value != 0 ? "-1" : "0";  // VARIANT_TRUE is -1
  return std::to_string(value);
}
