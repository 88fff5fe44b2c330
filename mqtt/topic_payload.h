// Topic names and message texts of the bridge.
//
// An item's topic is PREFIX/ followed by its item ID in topic-safe form: '/', '+', '#', '$' and
// '%' are written as %2F, %2B, %23, %24 and %25, and so are control characters and bytes that
// are not UTF-8, so that every item is one topic level of its own, no wildcard or "$" topic can
// arise, and two different IDs never share a topic.
//
// A value message is a small JSON object:
//   {"value":42,"quality":192,"quality_text":"good","timestamp":"2026-12-08T09:00:00.123Z"}
// "value" is null for a type the gateway's datagrams do not carry, true/false for VT_BOOL;
// "error" (hexadecimal) is added when the gateway reports an item error.
//
// Error rule: nothing throws except std::bad_alloc. Thread rule: any thread.
// Ownership: values returned.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

std::string TopicSafeItemId(const std::string& itemId);

// How one value reads, from the requested type and the datagram's entry.
struct ItemValue {
  std::uint8_t length = 0;  // value bytes in the datagram: 0, 1, 2 or 4
  std::uint32_t raw = 0;
  std::uint16_t dataType = 0;  // requested VARTYPE
  std::uint8_t quality = 192;
  std::optional<std::uint32_t> error;
};

// The value as a number (nullopt for length 0): signed unless the requested type is unsigned.
std::optional<double> NumericValue(const ItemValue& value);

std::string ValuePayload(const ItemValue& value, std::chrono::system_clock::time_point at);

// "2026-12-08T09:00:00.123Z".
std::string UtcTimestamp(std::chrono::system_clock::time_point at);

// The status message: {"status":"online","gateway":"...","broker":"connected"}.
std::string StatusPayload(bool online, const std::string& gatewayState);

// The result of a write request, on PREFIX/<item>/set/result:
// {"ok":true,"code":0,"text":""} or with "ok":false and what refused it; "code" is the gateway's
// reply code, null when the bridge refused the write itself or no reply came.
std::string WriteResultPayload(bool ok, std::optional<std::int32_t> code, const std::string& text);

// A JSON string literal of the text (quotes included).
std::string JsonString(const std::string& text);

// The value of a message on PREFIX/<item>/set as the decimal text "SW" sends: a whole number
// (blanks around it allowed) within the range of the item's requested type, or true/false for
// VT_BOOL (written as -1 and 0). nullopt with the reason for anything else.
std::optional<std::string> WriteValueText(const std::string& payload, std::uint16_t dataType,
                                          std::string* reason);
