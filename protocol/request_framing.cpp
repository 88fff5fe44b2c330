#include "protocol/request_framing.h"

#include <cstdint>
#include <optional>

#include "net/http_blocking_socket.h"
#include "platform/socket_api.h"
#include "protocol/request_tokenizer.h"

namespace {

// The lines of the request being framed: each received into the connection's request and then
// read by the cursor, so that the framing's checks and the handlers see the same fields.
class CFramingReader {
public:
  CFramingReader(CHttpBlockingSocket& connection, CReceivedRequest& request)
      : m_receiver(connection, request), m_line(request) {}
  CRequestTokenizer& Line() { return m_line; }
  void Next() {
    m_receiver.ReceiveLine();
    m_line.ReadLine();
  }

private:
  CRequestReceiver m_receiver;
  CRequestTokenizer m_line;
};

// The count of a counted request: its low 16 bits, 65535 (to an empty line) when the field is
// absent and that is allowed, 0 when no line is to be read.
std::uint16_t TakeCount(CRequestTokenizer& line, const CommandFraming& framing) {
  const char* field = nullptr;
  for (int k = 2; k <= framing.countField; ++k) field = line.NextToken();
  if (field == nullptr) return framing.listWithoutCount ? 65535 : 0;
  return static_cast<std::uint16_t>(CRequestTokenizer::ToInt(field));
}

void ReadList(CFramingReader& reader, std::uint32_t count) {
  std::uint32_t taken = 0;
  reader.Next();
  while (!reader.Line().IsEmptyLine()) {
    if (++taken == count) return;
    reader.Next();
  }
}

// "AD" and "TD": as DefineGroupsOf reads their lines; a group or item line that it refuses by its
// form (the same checks: TakeGroupLineFields, TakeItemLineFields) ends the reading.
void ReadGroupDefinitions(CFramingReader& reader, std::uint16_t groupCount) {
  CRequestTokenizer& line = reader.Line();
  std::uint16_t complete = 0;
  std::int32_t itemsLeft = 0;  // of the group being defined
  reader.Next();
  while (!line.IsEmptyLine() && complete < groupCount) {
    if (itemsLeft == 0) {
      GroupDefinitionLine group;
      if (TakeGroupLineFields(line, group) != GroupDefinitionLine::kGood) return;
      itemsLeft = group.itemCount;
      if (itemsLeft == 0) ++complete;
    } else {
      ItemDefinitionLine item;
      if (TakeItemLineFields(line, item) != ItemDefinitionLine::kGood) return;
      if (--itemsLeft == 0) ++complete;
    }
    if (complete < groupCount) reader.Next();
  }
}

void ReadFurtherLines(CFramingReader& reader, const CommandFraming& framing) {
  CRequestTokenizer& line = reader.Line();
  switch (framing.lines) {
    case FurtherLines::kNone:
      return;
    case FurtherLines::kList:
      ReadList(reader, 0);
      return;
    case FurtherLines::kCountedList:
      if (const std::uint16_t count = TakeCount(line, framing)) ReadList(reader, count);
      return;
    case FurtherLines::kGroupDefinitions:
      if (const std::uint16_t count = TakeCount(line, framing)) ReadGroupDefinitions(reader, count);
      return;
    case FurtherLines::kFixedLines:
      for (int k = 0; k < framing.countField; ++k) reader.Next();
      return;
  }
}

}  // namespace

bool ReadWholeRequest(CHttpBlockingSocket& connection, FramingLookup lookup) {
  // The failure's code is this request's, not a stale one of the thread.
  SetSocketLastError(0);
  std::optional<CBlockingSocketException> failure;
  CReceivedRequest& request = connection.Request();
  request.Clear();
  try {
    CFramingReader reader(connection, request);
    reader.Next();
    CRequestTokenizer& line = reader.Line();
    // Too short to hold a command: the dispatcher reads nothing more either.
    if (line.LineLength() - 2 >= 1) {
      const char* command = line.NextToken();
      if (const CommandFraming* framing = command != nullptr ? lookup(command) : nullptr)
        ReadFurtherLines(reader, *framing);
    }
  } catch (const CBlockingSocketException& readFailure) {
    failure = readFailure;
  } catch (const CRequestLineTooLong&) {
    // The handler refuses the request when it reaches that line.
  } catch (...) {
    // Out of memory: the handler reads what arrived, and meets the end there.
  }
  request.Finish(failure);
  connection.EndReceiving(failure);
  return !failure;
}

GroupDefinitionLine::Form TakeGroupLineFields(CRequestTokenizer& line,
                                              GroupDefinitionLine& fields) {
  fields.name = line.NextToken();
  if (fields.name == nullptr) return GroupDefinitionLine::kNoName;
  fields.activeFlag = line.NextToken();
  fields.itemCountField = line.NextToken();
  fields.rateField = line.NextToken();
  if (fields.activeFlag == nullptr) return GroupDefinitionLine::kNoActiveFlag;
  if (fields.itemCountField == nullptr) return GroupDefinitionLine::kNoItemCount;
  fields.itemCount = CRequestTokenizer::ToInt(fields.itemCountField);
  if (fields.itemCount < 0 || fields.itemCount > 65535) return GroupDefinitionLine::kBadItemCount;
  return GroupDefinitionLine::kGood;
}

ItemDefinitionLine::Form TakeItemLineFields(CRequestTokenizer& line, ItemDefinitionLine& fields) {
  fields.itemId = line.NextToken();
  if (fields.itemId == nullptr) return ItemDefinitionLine::kNoItemId;
  fields.activeFlag = line.NextToken();
  fields.dataType = line.NextToken();
  if (fields.activeFlag == nullptr) return ItemDefinitionLine::kNoActiveFlag;
  if (fields.dataType == nullptr) return ItemDefinitionLine::kNoDataType;
  return ItemDefinitionLine::kGood;
}
