#include "client/datagram_output.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "client/typed_value.h"

namespace {

using Json = nlohmann::ordered_json;  // fields in the order they are set

std::string Hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string Hex8(std::uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

// The bytes of a text with line ends and other control bytes made visible.
std::string Visible(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n";
    } else if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
      shown += escaped;
    } else {
      shown += c;
    }
  }
  return shown;
}

std::string ValueText(const ItemEntry& entry) {
  if (entry.length == 0) return "-";
  std::string text = std::to_string(entry.value);
  if (entry.SignedValue() < 0) {
    text += '(';  // piece by piece, as in ValuesLine
    text += std::to_string(entry.SignedValue());
    text += ')';
  }
  return text;
}

std::string ValuesLine(const Datagram& datagram) {
  std::string line = " trans=" + std::to_string(datagram.transactionId) +
                     " group=" + std::to_string(datagram.group) +
                     " entries=" + std::to_string(datagram.count) +
                     " master-error=" + Hex32(datagram.masterError) +
                     " master-quality=" + Hex8(datagram.masterQuality);
  for (const ItemEntry& entry : datagram.items) {
    // Appended piece by piece: a literal + string temporary makes GCC 12 warn (-Wrestrict) in
    // release builds about an overlap that cannot happen.
    line += " | ";
    line += std::to_string(entry.handle);
    line += ':';
    line += ValueText(entry);
    if (entry.quality) line += " q=" + std::to_string(*entry.quality);
    if (entry.error) line += " err=" + Hex32(*entry.error);
  }
  return line;
}

std::string TypedValuesLine(const Datagram& datagram) {
  std::string line = " trans=" + std::to_string(datagram.transactionId) +
                     " group=" + std::to_string(datagram.group) +
                     " entries=" + std::to_string(datagram.count) +
                     " master-error=" + Hex32(datagram.masterError) +
                     " master-quality=" + Hex8(datagram.masterQuality);
  for (const TypedItemEntry& entry : datagram.typedItems) {
    line += " | " + std::to_string(entry.handle) + ":" +
            TypedValueText(ReadTypedValue(entry.vartype, entry.value)) + " (" +
            VarTypeName(entry.vartype) + ") q=" + std::to_string(entry.quality) +
            " t=" + (entry.timestamp != 0 ? UtcTimeText(entry.timestamp) : "-");
    if (entry.error != 0) line += " err=" + Hex32(entry.error);
    if (entry.Cut()) line += " cut";
  }
  return line;
}

// "value" as a JSON number, string or boolean; null with "value_text" for what JSON cannot hold
// (NaN, infinities, types the datagram does not carry); a currency also with its exact text.
void PutTypedValue(Json& item, const TypedValue& value) {
  switch (value.kind) {
    case TypedValue::Kind::kBool:
      item["value"] = value.boolean;
      return;
    case TypedValue::Kind::kSigned:
      item["value"] = value.integer;
      return;
    case TypedValue::Kind::kUnsigned:
      item["value"] = value.unsignedInteger;
      return;
    case TypedValue::Kind::kReal:
      if (std::isfinite(value.real)) {
        item["value"] = value.real;
        return;
      }
      item["value"] = nullptr;
      break;
    case TypedValue::Kind::kText:
      item["value"] = value.text;
      return;
    case TypedValue::Kind::kDate:
      item["value"] = UtcTimeText(value.integer);
      return;
    case TypedValue::Kind::kCurrency:
      item["value"] = static_cast<double>(value.integer) / 10000.0;
      break;
    case TypedValue::Kind::kNone:
      item["value"] = nullptr;
      break;
  }
  item["value_text"] = TypedValueText(value);
}

Json TypedItemsJson(const std::vector<TypedItemEntry>& items) {
  Json list = Json::array();
  for (const TypedItemEntry& entry : items) {
    Json item = {{"handle", entry.handle},
                 {"type", entry.vartype},
                 {"type_name", VarTypeName(entry.vartype)},
                 {"quality", entry.quality}};
    if (entry.timestamp != 0) {
      item["timestamp"] = UtcTimeText(entry.timestamp);
    } else {
      item["timestamp"] = nullptr;
    }
    PutTypedValue(item, ReadTypedValue(entry.vartype, entry.value));
    if (entry.error != 0) item["error"] = entry.error;
    if (entry.Cut()) item["cut"] = true;
    list.push_back(std::move(item));
  }
  return list;
}

Json ItemsJson(const std::vector<ItemEntry>& items) {
  Json list = Json::array();
  for (const ItemEntry& entry : items) {
    Json item = {{"handle", entry.handle}, {"length", entry.length}};
    if (entry.length > 0) {
      item["value"] = entry.value;
      item["signed"] = entry.SignedValue();
    }
    if (entry.quality) item["quality"] = *entry.quality;
    if (entry.error) item["error"] = *entry.error;
    list.push_back(std::move(item));
  }
  return list;
}

std::string Dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string DatagramLine(const Datagram& datagram) {
  const std::string kind = DatagramKindName(datagram.kind);
  switch (datagram.kind) {
    case DatagramKind::kValueChange:
    case DatagramKind::kReadComplete:
      return kind + ValuesLine(datagram);
    case DatagramKind::kTypedChange:
    case DatagramKind::kTypedRead:
      return kind + TypedValuesLine(datagram);
    case DatagramKind::kWriteComplete:
      return kind + " trans=" + std::to_string(datagram.transactionId) +
             " group=" + std::to_string(datagram.group) +
             " items=" + std::to_string(datagram.count) +
             " master-error=" + Hex32(datagram.masterError);
    case DatagramKind::kCancelComplete:
      return kind + " trans=" + std::to_string(datagram.transactionId) +
             " group=" + std::to_string(datagram.group);
    case DatagramKind::kStartup:
    case DatagramKind::kExit:
      return kind + " \"" + Visible(datagram.text) + "\"";
  }
  return kind;
}

std::string DatagramJson(const Datagram& datagram, const std::string& from) {
  Json json = {{"kind", DatagramKindName(datagram.kind)}, {"from", from}};
  switch (datagram.kind) {
    case DatagramKind::kValueChange:
    case DatagramKind::kReadComplete:
      json["trans"] = datagram.transactionId;
      json["group"] = datagram.group;
      json["masterError"] = datagram.masterError;
      json["masterQuality"] = datagram.masterQuality;
      json["items"] = ItemsJson(datagram.items);
      break;
    case DatagramKind::kTypedChange:
    case DatagramKind::kTypedRead:
      json["trans"] = datagram.transactionId;
      json["group"] = datagram.group;
      json["masterError"] = datagram.masterError;
      json["masterQuality"] = datagram.masterQuality;
      json["items"] = TypedItemsJson(datagram.typedItems);
      break;
    case DatagramKind::kWriteComplete:
      json["trans"] = datagram.transactionId;
      json["group"] = datagram.group;
      json["count"] = datagram.count;
      json["masterError"] = datagram.masterError;
      break;
    case DatagramKind::kCancelComplete:
      json["trans"] = datagram.transactionId;
      json["group"] = datagram.group;
      break;
    case DatagramKind::kStartup:
    case DatagramKind::kExit:
      json["text"] = datagram.text;
      break;
  }
  return Dump(json);
}

std::string MalformedLine(const std::string& from, const std::string& reason) {
  return "malformed from " + from + ": " + reason;
}

std::string MalformedJson(const std::string& from, std::size_t size, const std::string& reason) {
  return Dump(Json{{"kind", "malformed"}, {"from", from}, {"size", size}, {"reason", reason}});
}
