#include "client/datagram_output.h"

#include <cstdio>
#include <nlohmann/json.hpp>

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
  if (entry.SignedValue() < 0) text += "(" + std::to_string(entry.SignedValue()) + ")";
  return text;
}

std::string ValuesLine(const Datagram& datagram) {
  std::string line = " trans=" + std::to_string(datagram.transactionId) +
                     " group=" + std::to_string(datagram.group) +
                     " entries=" + std::to_string(datagram.count) +
                     " master-error=" + Hex32(datagram.masterError) +
                     " master-quality=" + Hex8(datagram.masterQuality);
  for (const ItemEntry& entry : datagram.items) {
    line += " | " + std::to_string(entry.handle) + ":" + ValueText(entry);
    if (entry.quality) line += " q=" + std::to_string(*entry.quality);
    if (entry.error) line += " err=" + Hex32(*entry.error);
  }
  return line;
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
