// The gateway's reply to one request, and readers for the texts of the different commands.
//
// A reply is every byte the gateway sends on the request connection before it closes it: the
// code as a signed decimal number, one TAB, the text, CR LF. The text may itself hold CR LF
// (the replies of "AD", "Q?" and "SR" put one entry per line after an empty first field).
//
// Error rule: ParseReply returns nullopt and a reason for bytes that are not one reply; the
// readers return nullopt when a text does not have their shape. Nothing throws.
// Thread rule: any thread. Ownership: values returned.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct GatewayReply {
  std::int32_t code = 0;
  std::string text;  // between the TAB and the final CR LF
};

// Parses the bytes received on one connection. Refused: no TAB, a code that is not a signed
// 32-bit decimal number, no CR LF at the end. The reason names the fault.
std::optional<GatewayReply> ParseReply(std::string_view bytes, std::string* reason = nullptr);

// The text split at CR LF: "\r\n3\r\n4" gives "", "3", "4"; an empty text gives one "".
std::vector<std::string> ReplyLines(const std::string& text);

// The indices of an "AD" or "Q?" reply: one signed decimal number on each line after the empty
// first one. An empty text gives an empty list.
std::optional<std::vector<int>> ReplyIndices(const std::string& text);

// One item of an "SR" reply: the value as the gateway wrote it and the quality word.
struct SyncReadValue {
  std::string value;
  std::uint16_t quality = 0;
};
// The items of a successful "SR" reply: "value TAB quality" on each line after the empty first.
std::optional<std::vector<SyncReadValue>> ReplySyncReadValues(const std::string& text);

// The cancel id of an "AR", "AW" or "RF" reply: an unsigned decimal number, followed by the
// letter l in the refresh reply.
std::optional<std::uint32_t> ReplyCancelId(const std::string& text);

// A reply that carries a list (docs/protocol.md, section 1.3, "BR" and "IP"): its text is the
// count N of the lines that follow, a blank and words, then N lines of TAB-separated fields.
struct ListReply {
  std::string words;                            // after the count and its blank
  std::vector<std::vector<std::string>> lines;  // each line's fields
};
// nullopt when the text does not begin with a count, or fewer or more lines follow.
std::optional<ListReply> ReplyList(const std::string& text);

// One item of a "TR" reply: `<item index>\t<VARTYPE>\t<quality>\t<timestamp>\t<error>\t<value>`.
struct TypedReadValue {
  std::uint16_t item = 0;
  std::uint16_t vartype = 0;
  std::uint16_t quality = 0;
  std::string timestamp;   // ISO 8601 UTC; empty when the server gave none
  std::int32_t error = 0;  // the item's HRESULT; 0 when read
  std::string value;       // the value text (escaped); empty for a failed item
};
// The items of a successful "TR" reply (a list reply of "<N> values"); nullopt for any other
// shape (a line without its six fields, a field that is not its number).
std::optional<std::vector<TypedReadValue>> ReplyTypedReadValues(const std::string& text);

// "good", "uncertain" or "bad" for an OPC quality word (its two top quality bits).
const char* QualityName(std::uint16_t quality);
