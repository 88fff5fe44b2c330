#include "client/request_builder.h"

#include <cstdio>
#include <stdexcept>

namespace {

constexpr std::size_t kMostEntries = 65535;

std::string Decimal(long long value) {
  char text[24];
  std::snprintf(text, sizeof text, "%lld", value);
  return text;
}

// The gateway reads transaction ids of reads and writes as signed 32-bit numbers and passes
// their bits on unchanged: sending the signed form keeps every 32-bit id intact.
std::string SignedBits(std::uint32_t value) {
  return Decimal(static_cast<std::int32_t>(value));
}

// A field must not hold a separator of the request syntax.
void CheckField(const std::string& field, const char* what) {
  for (const char c : field) {
    if (c == '\t' || c == '\r' || c == '\n' || c == '\0') {
      throw std::invalid_argument(std::string(what) + " \"" + field +
                                  "\" holds a TAB, CR, LF or NUL, which end a field");
    }
  }
}

void CheckCount(std::size_t count, const char* what) {
  if (count > kMostEntries) {
    throw std::invalid_argument(std::string("too many ") + what + ": " + Decimal(count) +
                                " (at most 65535 in one request)");
  }
}

// Collects lines, each checked against the length the gateway keeps.
class CLines {
public:
  void Add(const std::string& line) {
    if (line.size() + 2 > kLongestRequestLine) {
      throw std::invalid_argument("line \"" + line + "\" is " + Decimal(line.size() + 2) +
                                  " characters with its CR LF; the gateway keeps 99");
    }
    m_text += line;
    m_text += "\r\n";
  }
  void AddEmptyLine() { m_text += "\r\n"; }
  std::string Take() { return std::move(m_text); }

private:
  std::string m_text;
};

std::string IndexListRequest(const std::string& firstLine, const std::vector<int>& groups,
                             bool countGiven) {
  CheckCount(groups.size(), "group indices");
  CLines lines;
  if (groups.empty()) {
    // A count of 0 is refused: without a count the list ends at the empty line.
    lines.Add(firstLine);
    lines.AddEmptyLine();
    return lines.Take();
  }
  lines.Add(countGiven ? firstLine + "\t" + Decimal(static_cast<long long>(groups.size()))
                       : firstLine);
  for (const int group : groups) lines.Add(Decimal(group));
  return lines.Take();
}

std::string ItemReadRequest(const char* command, int group, const std::vector<std::uint16_t>& items,
                            std::uint32_t transactionId) {
  if (items.empty()) throw std::invalid_argument("no item to read");
  CheckCount(items.size(), "item indices");
  CLines lines;
  lines.Add(std::string(command) + "\t" + Decimal(group) + "\t" +
            Decimal(static_cast<long long>(items.size())) + "\t" + SignedBits(transactionId));
  for (const std::uint16_t item : items) lines.Add(Decimal(item));
  return lines.Take();
}

std::string ItemWriteRequest(const std::string& firstLine, const std::vector<ItemWrite>& items) {
  if (items.empty()) throw std::invalid_argument("no item to write");
  CheckCount(items.size(), "item values");
  CLines lines;
  lines.Add(firstLine);
  for (const ItemWrite& write : items) {
    CheckField(write.value, "value");
    if (write.value.empty()) {
      throw std::invalid_argument("item " + Decimal(write.item) + " has an empty value");
    }
    lines.Add(Decimal(write.item) + "\t" + write.value);
  }
  return lines.Take();
}

std::string GroupsRequest(const char* command, const std::vector<GroupDefinition>& groups,
                          std::uint16_t receivePort) {
  if (groups.empty()) throw std::invalid_argument("no group to define");
  CheckCount(groups.size(), "groups");
  CLines lines;
  std::string first = std::string(command) + "\t" + Decimal(static_cast<long long>(groups.size()));
  // Appended piece by piece here and below: a literal + string temporary makes GCC 12 warn
  // (-Wrestrict) in release builds about an overlap that cannot happen.
  if (receivePort != 0) {
    first += '\t';
    first += Decimal(receivePort);
  }
  lines.Add(first);
  for (const GroupDefinition& group : groups) {
    CheckField(group.name, "group name");
    if (group.name.empty()) throw std::invalid_argument("a group has an empty name");
    CheckCount(group.items.size(), "items in a group");
    std::string line = group.name + (group.active ? "\tA\t" : "\tN\t") +
                       Decimal(static_cast<long long>(group.items.size()));
    if (group.updateRate) {
      line += '\t';
      line += Decimal(*group.updateRate);
    }
    lines.Add(line);
    for (const ItemDefinition& item : group.items) {
      CheckField(item.itemId, "item ID");
      if (item.itemId.empty()) {
        throw std::invalid_argument("group \"" + group.name + "\" has an item with an empty ID");
      }
      lines.Add(item.itemId + (item.active ? "\tA\t" : "\tN\t") + Decimal(item.dataType));
    }
  }
  return lines.Take();
}

}  // namespace

std::string HeartbeatRequest() {
  return "HBT\r\n";
}

std::string StatusRequest() {
  return "ST\r\n";
}

std::string ExitRequest() {
  return "Exit\r\n";
}

std::string DefineGroupsRequest(const std::vector<GroupDefinition>& groups,
                                std::uint16_t receivePort) {
  return GroupsRequest("AD", groups, receivePort);
}

std::string DefineTypedGroupsRequest(const std::vector<GroupDefinition>& groups,
                                     std::uint16_t receivePort) {
  return GroupsRequest("TD", groups, receivePort);
}

std::string RemoveGroupsRequest(const std::vector<int>& groups) {
  return IndexListRequest("RM", groups, true);
}

std::string SetGroupsActiveRequest(bool active, const std::vector<int>& groups) {
  return SetGroupsStateRequest(active ? "A" : "N", groups);
}

std::string SetGroupsStateRequest(const std::string& state, const std::vector<int>& groups) {
  CheckField(state, "state");
  if (state.empty()) throw std::invalid_argument("the activation state is empty");
  return IndexListRequest("AC\t" + state, groups, true);
}

std::string RefreshGroupsRequest(std::uint32_t transactionId, const std::vector<int>& groups) {
  CheckCount(groups.size(), "group indices");
  CLines lines;
  lines.Add("RF\t" + Decimal(transactionId));
  for (const int group : groups) lines.Add(Decimal(group));
  lines.AddEmptyLine();
  return lines.Take();
}

std::string QueryGroupIndexesRequest(const std::vector<std::string>& names) {
  CLines lines;
  lines.Add("Q?");
  for (const std::string& name : names) {
    CheckField(name, "group name");
    if (name.empty()) throw std::invalid_argument("an empty group name ends the list early");
    lines.Add(name);
  }
  lines.AddEmptyLine();
  return lines.Take();
}

std::string ReadSyncRequest(int group, const std::vector<std::uint16_t>& items,
                            std::uint32_t transactionId) {
  return ItemReadRequest("SR", group, items, transactionId);
}

std::string ReadTypedRequest(int group, const std::vector<std::uint16_t>& items, bool fromCache) {
  if (items.empty()) throw std::invalid_argument("no item to read");
  CheckCount(items.size(), "item indices");
  CLines lines;
  lines.Add("TR\t" + Decimal(group) + "\t" + Decimal(static_cast<long long>(items.size())) +
            (fromCache ? "\tC" : ""));
  for (const std::uint16_t item : items) lines.Add(Decimal(item));
  return lines.Take();
}

std::string ReadAsyncRequest(int group, const std::vector<std::uint16_t>& items,
                             std::uint32_t transactionId) {
  return ItemReadRequest("AR", group, items, transactionId);
}

std::string WriteSyncRequest(int group, const std::vector<ItemWrite>& items) {
  return ItemWriteRequest(
      "SW\t" + Decimal(group) + "\t" + Decimal(static_cast<long long>(items.size())), items);
}

std::string WriteAsyncRequest(int group, const std::vector<ItemWrite>& items,
                              std::uint32_t transactionId) {
  return ItemWriteRequest("AW\t" + Decimal(group) + "\t" +
                              Decimal(static_cast<long long>(items.size())) + "\t" +
                              SignedBits(transactionId),
                          items);
}

std::string BrowseRequest(const BrowseQuery& query) {
  CheckField(query.branch, "branch");
  CheckField(query.pattern, "pattern");
  CheckField(query.continuation, "continuation value");
  CheckField(query.access, "access filter");
  CLines lines;
  lines.Add("BR\t" + Decimal(query.pageSize) + "\t" + std::string(1, query.kind) + "\t" +
            query.access);
  lines.Add(query.branch);
  lines.Add(query.pattern);
  lines.Add(query.continuation);
  return lines.Take();
}

std::string ItemPropertiesRequest(const std::string& itemId,
                                  const std::vector<std::uint32_t>& ids) {
  CheckField(itemId, "item ID");
  if (itemId.empty()) throw std::invalid_argument("empty item ID");
  std::string idLine;
  for (const std::uint32_t id : ids) {
    if (!idLine.empty()) idLine += '\t';
    idLine += Decimal(id);
  }
  CLines lines;
  lines.Add("IP");
  lines.Add(itemId);
  lines.Add(idLine);
  return lines.Take();
}
