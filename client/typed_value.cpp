#include "client/typed_value.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

struct VarTypeEntry {
  std::uint16_t vartype;
  const char* name;
};

constexpr VarTypeEntry kVarTypes[] = {
    {kVarTypeEmpty, "VT_EMPTY"}, {kVarTypeI2, "VT_I2"},     {kVarTypeI4, "VT_I4"},
    {kVarTypeR4, "VT_R4"},       {kVarTypeR8, "VT_R8"},     {kVarTypeCy, "VT_CY"},
    {kVarTypeDate, "VT_DATE"},   {kVarTypeBstr, "VT_BSTR"}, {kVarTypeError, "VT_ERROR"},
    {12, "VT_VARIANT"},          {kVarTypeBool, "VT_BOOL"}, {kVarTypeI1, "VT_I1"},
    {kVarTypeUi1, "VT_UI1"},     {kVarTypeUi2, "VT_UI2"},   {kVarTypeUi4, "VT_UI4"},
    {kVarTypeI8, "VT_I8"},       {kVarTypeUi8, "VT_UI8"},   {kVarTypeInt, "VT_INT"},
    {kVarTypeUint, "VT_UINT"},
};

std::uint64_t ReadBigEndian(std::string_view bytes) {
  std::uint64_t value = 0;
  for (const char c : bytes) value = (value << 8) | static_cast<std::uint8_t>(c);
  return value;
}

// The bytes read as a signed number of their length (two's complement).
std::int64_t ReadSigned(std::string_view bytes) {
  const std::uint64_t value = ReadBigEndian(bytes);
  const unsigned bits = static_cast<unsigned>(bytes.size() * 8);
  if (bits == 64 || (value >> (bits - 1)) == 0) return static_cast<std::int64_t>(value);
  return static_cast<std::int64_t>(value | (~std::uint64_t{0} << bits));
}

std::string EscapedText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string VarTypeName(std::uint16_t vartype) {
  for (const VarTypeEntry& entry : kVarTypes) {
    if (entry.vartype == vartype) return entry.name;
  }
  return "VARTYPE " + std::to_string(vartype);
}

std::optional<std::size_t> TypedValueLength(std::uint16_t vartype) {
  switch (vartype) {
    case kVarTypeI1:
    case kVarTypeUi1:
    case kVarTypeBool:
      return 1;
    case kVarTypeI2:
    case kVarTypeUi2:
      return 2;
    case kVarTypeI4:
    case kVarTypeUi4:
    case kVarTypeInt:
    case kVarTypeUint:
    case kVarTypeError:
    case kVarTypeR4:
      return 4;
    case kVarTypeR8:
    case kVarTypeI8:
    case kVarTypeUi8:
    case kVarTypeCy:
    case kVarTypeDate:
      return 8;
    case kVarTypeBstr:
      return std::nullopt;
    default:
      return 0;
  }
}

TypedValue ReadTypedValue(std::uint16_t vartype, std::string_view bytes) {
  TypedValue value;
  value.vartype = vartype;
  const auto length = TypedValueLength(vartype);
  if (length && (*length == 0 || *length != bytes.size())) return value;
  switch (vartype) {
    case kVarTypeBool:
      value.kind = TypedValue::Kind::kBool;
      value.boolean = bytes[0] != 0;
      break;
    case kVarTypeI1:
    case kVarTypeI2:
    case kVarTypeI4:
    case kVarTypeI8:
    case kVarTypeInt:
    case kVarTypeError:
      value.kind = TypedValue::Kind::kSigned;
      value.integer = ReadSigned(bytes);
      break;
    case kVarTypeUi1:
    case kVarTypeUi2:
    case kVarTypeUi4:
    case kVarTypeUi8:
    case kVarTypeUint:
      value.kind = TypedValue::Kind::kUnsigned;
      value.unsignedInteger = ReadBigEndian(bytes);
      break;
    case kVarTypeR4: {
      const auto bits = static_cast<std::uint32_t>(ReadBigEndian(bytes));
      float real = 0;
      std::memcpy(&real, &bits, sizeof real);
      value.kind = TypedValue::Kind::kReal;
      value.real = real;
      break;
    }
    case kVarTypeR8: {
      const std::uint64_t bits = ReadBigEndian(bytes);
      std::memcpy(&value.real, &bits, sizeof value.real);
      value.kind = TypedValue::Kind::kReal;
      break;
    }
    case kVarTypeBstr:
      value.kind = TypedValue::Kind::kText;
      value.text = std::string(bytes);
      break;
    case kVarTypeDate:
      value.kind = TypedValue::Kind::kDate;
      value.integer = ReadSigned(bytes);
      break;
    case kVarTypeCy:
      value.kind = TypedValue::Kind::kCurrency;
      value.integer = ReadSigned(bytes);
      break;
    default:
      break;
  }
  return value;
}

std::string ShortestRealText(double real, bool single) {
  if (std::isnan(real)) return "nan";
  if (std::isinf(real)) return real < 0 ? "-inf" : "inf";
  char text[64];
  const auto result = single ? std::to_chars(text, text + sizeof text, static_cast<float>(real))
                             : std::to_chars(text, text + sizeof text, real);
  return std::string(text, result.ptr);
}

std::string UtcTimeText(std::int64_t microseconds) {
  // Floor division, so that times before 1970 keep a positive fraction.
  std::int64_t seconds = microseconds / 1000000;
  std::int64_t rest = microseconds % 1000000;
  if (rest < 0) {
    rest += 1000000;
    --seconds;
  }
  const auto time = static_cast<std::time_t>(seconds);
  std::tm utc{};
  if (::gmtime_r(&time, &utc) == nullptr) return "(out of range: " + std::to_string(seconds) + ")";
  char text[80];
  std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d.%03dZ",
                static_cast<long long>(utc.tm_year) + 1900, utc.tm_mon + 1, utc.tm_mday,
                utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(rest / 1000));
  return text;
}

std::string CurrencyText(std::int64_t units) {
  const bool negative = units < 0;
  // The magnitude as unsigned, so that the smallest amount has one too.
  const std::uint64_t magnitude =
      negative ? ~static_cast<std::uint64_t>(units) + 1 : static_cast<std::uint64_t>(units);
  // Appended piece by piece: GCC 12 warns (-Wrestrict) on a literal + a temporary here.
  std::string text;
  if (negative) text += '-';
  text += std::to_string(magnitude / 10000);
  std::uint64_t fraction = magnitude % 10000;
  if (fraction != 0) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04u", static_cast<unsigned>(fraction));
    std::string shown = digits;
    while (shown.back() == '0') shown.pop_back();
    text += "." + shown;
  }
  return text;
}

std::string TypedValueText(const TypedValue& value) {
  switch (value.kind) {
    case TypedValue::Kind::kBool:
      return value.boolean ? "1" : "0";
    case TypedValue::Kind::kSigned:
      return std::to_string(value.integer);
    case TypedValue::Kind::kUnsigned:
      return std::to_string(value.unsignedInteger);
    case TypedValue::Kind::kReal:
      return ShortestRealText(value.real, value.vartype == kVarTypeR4);
    case TypedValue::Kind::kText:
      return EscapedText(value.text);
    case TypedValue::Kind::kDate:
      return UtcTimeText(value.integer);
    case TypedValue::Kind::kCurrency:
      return CurrencyText(value.integer);
    case TypedValue::Kind::kNone:
      break;
  }
  if (value.vartype == kVarTypeEmpty) return {};
  return "(VARTYPE " + std::to_string(value.vartype) + ")";
}
