#include "mqtt/topic_payload.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>

namespace {

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
  if (value.typed) {
    const TypedValue& typed = *value.typed;
    switch (typed.kind) {
      case TypedValue::Kind::kBool:
        return typed.boolean ? 1.0 : 0.0;
      case TypedValue::Kind::kSigned:
        return static_cast<double>(typed.integer);
      case TypedValue::Kind::kUnsigned:
        return static_cast<double>(typed.unsignedInteger);
      case TypedValue::Kind::kReal:
        if (std::isnan(typed.real)) return std::nullopt;
        return typed.real;
      case TypedValue::Kind::kCurrency:
        return static_cast<double>(typed.integer) / 10000.0;
      default:
        return std::nullopt;
    }
  }
  const bool isUnsigned = value.dataType == kVarTypeUi1 || value.dataType == kVarTypeUi2 ||
                          value.dataType == kVarTypeUi4 || value.dataType == kVarTypeBool;
  switch (value.length) {
    case 1:
      if (value.dataType == kVarTypeI1) return static_cast<std::int8_t>(value.raw);
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

namespace {

// The JSON text of a typed value; "value_text" is set for what JSON cannot hold.
std::string TypedJson(const TypedValue& value, std::string& valueText) {
  switch (value.kind) {
    case TypedValue::Kind::kBool:
      return value.boolean ? "true" : "false";
    case TypedValue::Kind::kSigned:
    case TypedValue::Kind::kUnsigned:
    case TypedValue::Kind::kCurrency:
      return TypedValueText(value);  // decimal digits: a JSON number
    case TypedValue::Kind::kReal:
      if (std::isfinite(value.real)) return TypedValueText(value);  // 21.7, 1e+300
      valueText = TypedValueText(value);
      return "null";
    case TypedValue::Kind::kText:
      return JsonString(value.text);
    case TypedValue::Kind::kDate:
      return JsonString(UtcTimeText(value.integer));
    case TypedValue::Kind::kNone:
      break;
  }
  valueText = TypedValueText(value);  // "(VARTYPE 8197)"; empty for VT_EMPTY
  return "null";
}

}  // namespace

std::string ValuePayload(const ItemValue& value, std::chrono::system_clock::time_point at) {
  std::string valueText = "null";
  std::string valueNote;
  if (value.typed) {
    valueText = TypedJson(*value.typed, valueNote);
  } else if (const auto number = NumericValue(value)) {
    if (value.dataType == kVarTypeBool) {
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
  const std::string received = UtcTimestamp(at);
  std::string out = "{\"value\":" + valueText;
  if (!valueNote.empty()) out += ",\"value_text\":" + JsonString(valueNote);
  out += ",\"quality\":" + std::to_string(value.quality) + ",\"quality_text\":\"" + qualityText +
         "\",\"timestamp\":\"" +
         (value.serverTime != 0 ? UtcTimeText(value.serverTime) : received) + "\",\"received\":\"" +
         received + "\"";
  if (value.cut) out += ",\"cut\":true";
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

std::string StatusPayload(bool online, const std::string& gatewayState,
                          const std::optional<QueueFigures>& queue,
                          const std::optional<ActiveServer>& server) {
  std::string out = std::string("{\"status\":\"") + (online ? "online" : "offline") +
                    "\",\"gateway\":" + JsonString(gatewayState) + ",\"broker\":\"" +
                    (online ? "connected" : "disconnected") + "\"";
  if (queue) {
    out += ",\"queued\":";
    out += std::to_string(queue->queued);
    out += ",\"queued_oldest\":";
    if (queue->oldestMs) {
      out += '"';
      out += UtcTimestamp(
          std::chrono::system_clock::time_point(std::chrono::milliseconds(*queue->oldestMs)));
      out += '"';
    } else {
      out += "null";
    }
    out += ",\"dropped\":";
    out += std::to_string(queue->dropped);
  }
  if (server) {
    out += ",\"server\":";
    out += JsonString(server->role);
    out += ",\"server_progid\":";
    out += JsonString(server->progId);
  }
  return out + "}";
}

std::string ReplayedPayload(const std::string& payload, std::uint64_t sequence) {
  if (payload.empty() || payload.back() != '}') return payload;
  return payload.substr(0, payload.size() - 1) +
         ",\"replayed\":true,\"seq\":" + std::to_string(sequence) + "}";
}

std::string WriteResultPayload(bool ok, std::optional<std::int32_t> code, const std::string& text) {
  return std::string("{\"ok\":") + (ok ? "true" : "false") +
         ",\"code\":" + (code ? std::to_string(*code) : "null") + ",\"text\":" + JsonString(text) +
         "}";
}

namespace {

struct Range {
  long double low;
  long double high;
};

std::optional<Range> IntegerRange(std::uint16_t dataType) {
  switch (dataType) {
    case kVarTypeI1:
      return Range{-128, 127};
    case kVarTypeUi1:
      return Range{0, 255};
    case kVarTypeI2:
      return Range{-32768, 32767};
    case kVarTypeUi2:
      return Range{0, 65535};
    case kVarTypeUi4:
    case kVarTypeUint:
      return Range{0, 4294967295.0L};
    case kVarTypeI8:
      return Range{-9223372036854775808.0L, 9223372036854775807.0L};
    case kVarTypeUi8:
      return Range{0, 18446744073709551615.0L};
    case kVarTypeBool:
      return Range{-1, 1};
    case kVarTypeEmpty:  // not known: the gateway then reads the text as a 32-bit number
    case kVarTypeI4:
    case kVarTypeInt:
      return Range{-2147483648.0L, 2147483647.0L};
    default:
      return std::nullopt;
  }
}

std::string Shown(const std::string& text) {
  // Appended piece by piece: a literal + string temporary makes GCC 12 warn (-Wrestrict) in
  // release builds about an overlap that cannot happen.
  std::string shown = "\"";
  shown += text.substr(0, 40);
  shown += text.size() > 40 ? "...\"" : "\"";
  return shown;
}

std::string Limits(const Range& range) {
  char text[96];
  std::snprintf(text, sizeof text, "%.0Lf to %.0Lf", range.low, range.high);
  return text;
}

std::optional<std::string> Refuse(std::string* reason, std::string text) {
  if (reason != nullptr) *reason = std::move(text);
  return std::nullopt;
}

std::optional<std::string> WholeNumberText(const std::string& text, std::uint16_t dataType,
                                           const Range& range, std::string* reason) {
  const std::string typeName = dataType == kVarTypeEmpty ? "" : " (" + VarTypeName(dataType) + ")";
  std::size_t at = text.size() > 0 && (text[0] == '-' || text[0] == '+') ? 1 : 0;
  bool digits = at < text.size() && text.size() - at <= 20;
  for (std::size_t k = at; digits && k < text.size(); ++k)
    digits = text[k] >= '0' && text[k] <= '9';
  long double value = 0;
  for (std::size_t k = at; digits && k < text.size(); ++k) value = value * 10 + (text[k] - '0');
  if (text[0] == '-') value = -value;
  if (!digits || value < range.low || value > range.high) {
    return Refuse(reason, Shown(text) + " is not a whole number from " + Limits(range) + typeName +
                              (dataType == kVarTypeBool ? " (or true/false)" : ""));
  }
  if (dataType == kVarTypeBool) return value != 0 ? "-1" : "0";  // VARIANT_TRUE is -1
  return std::string(text[0] == '+' ? text.substr(1) : text);
}

std::optional<std::string> RealText(const std::string& text, std::uint16_t dataType,
                                    std::string* reason) {
  const double largest = dataType == kVarTypeR4   ? std::numeric_limits<float>::max()
                         : dataType == kVarTypeCy ? 922337203685477.5807
                                                  : std::numeric_limits<double>::max();
  const std::string what = Shown(text) + " is not a number within the range of " +
                           VarTypeName(dataType) + " (-" + ShortestRealText(largest, false) +
                           " to " + ShortestRealText(largest, false) + ")";
  if (text.empty() || text.find_first_not_of("0123456789+-.eE") != std::string::npos) {
    return Refuse(reason, what);
  }
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !std::isfinite(value) || std::fabs(value) > largest) {
    return Refuse(reason, what);
  }
  return ShortestRealText(value, dataType == kVarTypeR4);
}

}  // namespace

std::optional<std::string> WriteValueText(const std::string& payload, std::uint16_t dataType,
                                          std::string* reason, std::size_t longestText) {
  if (dataType == kVarTypeBstr) {
    if (payload.find_first_of(std::string("\t\r\n\0", 4)) != std::string::npos) {
      return Refuse(reason,
                    "the text holds a TAB, CR, LF or NUL, which a request line cannot "
                    "carry");
    }
    if (payload.size() > longestText) {
      return Refuse(reason, "the text is " + std::to_string(payload.size()) +
                                " bytes; one write carries at most " + std::to_string(longestText) +
                                " (the gateway's request lines hold 99 characters)");
    }
    if (payload.empty())
      return Refuse(reason, "the text is empty; the gateway writes no empty value");
    return payload;
  }
  const auto first = payload.find_first_not_of(" \t\r\n");
  const auto last = payload.find_last_not_of(" \t\r\n");
  const std::string text =
      first == std::string::npos ? "" : payload.substr(first, last - first + 1);
  if (dataType == kVarTypeBool && (text == "true" || text == "false"))
    return text == "true" ? "-1" : "0";
  if (dataType == kVarTypeR4 || dataType == kVarTypeR8 || dataType == kVarTypeCy) {
    return RealText(text, dataType, reason);
  }
  const auto range = IntegerRange(dataType);
  if (!range) {
    return Refuse(reason, "the bridge does not write items of type " + VarTypeName(dataType) +
                              " (numbers, texts and true/false only)");
  }
  if (text.empty()) {
    return Refuse(reason, "\"\" is not a whole number from " + Limits(*range));
  }
  return WholeNumberText(text, dataType, *range, reason);
}
