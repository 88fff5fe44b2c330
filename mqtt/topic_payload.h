// Topic names and message texts of the bridge.
//
// An item's topic is PREFIX/ followed by its item ID in topic-safe form: '/', '+', '#', '$' and
// '%' are written as %2F, %2B, %23, %24 and %25, and so are control characters and bytes that
// are not UTF-8, so that every item is one topic level of its own, no wildcard or "$" topic can
// arise, and two different IDs never share a topic.
//
// A value message is a small JSON object:
//   {"value":21.7,"quality":192,"quality_text":"good","timestamp":"2026-12-08T09:00:00.123Z",
//    "received":"2026-12-08T09:00:00.131Z"}
// From typed datagrams ("TD" groups) "value" is a number (reals in their shortest exact form),
// a string, true/false, an ISO text for VT_DATE, and null with "value_text" for NaN, infinities
// and types without a value; "timestamp" is the server's (the received time when it gave none)
// and "cut":true marks a string cut to fit a datagram. From the defined datagrams ("AD" groups,
// an older gateway) "value" is null for types they do not carry and "timestamp" is the received
// time. "error" (hexadecimal) is added when the gateway reports an item error; "received" is
// when the bridge received the change.
//
// Error rule: nothing throws except std::bad_alloc. Thread rule: any thread.
// Ownership: values returned.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "client/typed_value.h"

std::string TopicSafeItemId(const std::string& itemId);

// How one value reads: from the requested type and a defined datagram's entry, or from a typed
// entry.
struct ItemValue {
  std::uint8_t length = 0;  // value bytes in a defined datagram: 0, 1, 2 or 4
  std::uint32_t raw = 0;
  std::uint16_t dataType = 0;  // requested VARTYPE
  std::uint16_t quality = 192;
  std::optional<std::uint32_t> error;
  std::optional<TypedValue> typed;  // from a typed datagram
  std::int64_t serverTime = 0;      // the server's timestamp, microseconds since 1970; 0: none
  bool cut = false;                 // a string cut to fit its datagram
};

// The value as a number (nullopt for length 0, texts, NaN and types without value): from a
// defined datagram signed unless the requested type is unsigned.
std::optional<double> NumericValue(const ItemValue& value);

// `at`: when the bridge received the value.
std::string ValuePayload(const ItemValue& value, std::chrono::system_clock::time_point at);

// "2026-12-08T09:00:00.123Z".
std::string UtcTimestamp(std::chrono::system_clock::time_point at);

// What the status message tells of the queue on disk.
struct QueueFigures {
  std::uint64_t queued = 0;
  std::optional<std::int64_t> oldestMs;  // the oldest queued change's receipt, ms since 1970
  std::uint64_t dropped = 0;             // since the start
};

// The OPC server that serves the gateway, as its status tells with a backup configured.
struct ActiveServer {
  std::string role;    // "primary" or "backup"
  std::string progId;  // its ProgID
};

// The status message: {"status":"online","gateway":"...","broker":"connected"}, with a queue on
// disk followed by "queued":N,"queued_oldest":"2026-12-08T09:00:00.123Z" (null when empty) and
// "dropped":N, and with a known active server by "server":"backup","server_progid":"...".
std::string StatusPayload(bool online, const std::string& gatewayState,
                          const std::optional<QueueFigures>& queue = std::nullopt,
                          const std::optional<ActiveServer>& server = std::nullopt);

// A queued value message as it is replayed: the same object with "replayed":true and "seq", the
// queue's sequence number (grows by one per queued change, across restarts; a consumer that
// already saw a number has a repeat).
std::string ReplayedPayload(const std::string& payload, std::uint64_t sequence);

// The result of a write request, on PREFIX/<item>/set/result:
// {"ok":true,"code":0,"text":""} or with "ok":false and what refused it; "code" is the gateway's
// reply code, null when the bridge refused the write itself or no reply came.
std::string WriteResultPayload(bool ok, std::optional<std::int32_t> code, const std::string& text);

// A JSON string literal of the text (quotes included).
std::string JsonString(const std::string& text);

// The value of a message on PREFIX/<item>/set as the text "SW" sends, for an item of the type
// given (the configured one, else the server's; 0 when neither is known: read as VT_I4):
//   integer types: a whole number (blanks around it allowed) within the type's range;
//   VT_BOOL: true/false, 1, 0 or -1 (written as -1 and 0);
//   VT_R4, VT_R8, VT_CY: a finite number within the type's range, sent in its shortest form;
//   VT_BSTR: the message as it is, at most longestText bytes (what one request line holds),
//   without TAB, CR, LF or NUL (a request line cannot carry them).
// nullopt with the reason for anything else (VT_DATE and other types are not written).
std::optional<std::string> WriteValueText(const std::string& payload, std::uint16_t dataType,
                                          std::string* reason, std::size_t longestText = 90);
