// The framing of requests: which lines after the first one belong to a request, so that the
// listener side can read a request whole before the UI thread sees it.
//
// Each command's framing is a field of its row in the dispatcher's command table
// (request_dispatcher.h); a name without a row is its first line. Each line is received once into
// the connection's received request (CRequestReceiver: the first line's rules, the further lines'
// deadlines and line rules), split into its fields there, and read with the same cursor as the
// handlers read it later (CRequestTokenizer); the reading stops where the handler would stop
// reading at the latest: at the count, at the empty line, or at a line the handler refuses by its
// form alone. The forms of the group and item lines of "AD" and "TD" are checked by one pair of
// functions, for the framing and for the handler alike (TakeGroupLineFields, TakeItemLineFields).
//
// Error rule: ReadWholeRequest never throws; a failed read (late line, closed connection) ends
// the receiving and is noted in the received request (and on the connection), where the handler
// meets it past the last line as it would have met the failure on the socket. A line that is too
// long ends the reading too: the handler refuses it when it gets there. The line checks return a
// form code and throw nothing. Thread rule: any one thread per connection (a listener thread; the
// line checks on any thread). Ownership: borrows the connection; the checked fields point into the
// tokenizer's line.
#pragma once

#include <cstdint>
#include <string_view>

class CHttpBlockingSocket;
class CRequestTokenizer;

// What follows the first line.
enum class FurtherLines {
  kNone,              // nothing: the first line is the request
  kList,              // lines up to an empty line
  kCountedList,       // lines up to an empty line or the count in the count field
  kGroupDefinitions,  // "AD": group lines, each followed by as many item lines as it announces
  kFixedLines,        // a fixed number of lines (countField), empty ones included
};

struct CommandFraming {
  FurtherLines lines = FurtherLines::kNone;
  // kCountedList and kGroupDefinitions: the field holding the count (the command is field 1);
  // its low 16 bits count, and 0 there means no line is read. kFixedLines: the number of lines.
  int countField = 0;
  // When the count field is absent: true, the lines run to an empty line; false, none is read
  // (the handler refuses the request).
  bool listWithoutCount = false;
};

// The framing of a command by its exact name, or null when it has none (its first line only).
using FramingLookup = const CommandFraming* (*)(std::string_view command);

// Reads the request whole into connection.Request() (framed afterwards), its further lines by the
// framing that lookup gives its command. True when the request is complete; false when reading
// failed (noted in the request and on the connection).
bool ReadWholeRequest(CHttpBlockingSocket& connection, FramingLookup lookup);

// A group line of "AD" and "TD": name, active flag, item count, optional update rate.
struct GroupDefinitionLine {
  enum Form { kGood, kNoName, kNoActiveFlag, kNoItemCount, kBadItemCount };
  const char* name = nullptr;
  const char* activeFlag = nullptr;
  const char* itemCountField = nullptr;
  const char* rateField = nullptr;  // null when absent
  std::int32_t itemCount = 0;       // 0 to 65535 when the form is good
};
// Takes the fields of a group line and checks its form: every field but the rate present, the
// item count within 0 to 65535. Fields read so far are set whatever the form.
GroupDefinitionLine::Form TakeGroupLineFields(CRequestTokenizer& line, GroupDefinitionLine& fields);

// An item line of "AD" and "TD": item ID, active flag, requested data type.
struct ItemDefinitionLine {
  enum Form { kGood, kNoItemId, kNoActiveFlag, kNoDataType };
  const char* itemId = nullptr;
  const char* activeFlag = nullptr;
  const char* dataType = nullptr;
};
// Takes the fields of an item line and checks that all three are present.
ItemDefinitionLine::Form TakeItemLineFields(CRequestTokenizer& line, ItemDefinitionLine& fields);
