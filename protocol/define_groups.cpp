// "AD" (define groups with their items and register them), "TD" (the same for groups whose value
// datagrams are typed; names and item IDs in UTF-8) and "RM" (remove groups by index).
#include <algorithm>
#include <memory>
#include <vector>

#include "core/activity_log.h"
#include "platform/codepage.h"
#include "platform/utf8_text.h"
#include "protocol/handler_text.h"
#include "protocol/request_dispatcher.h"
#include "protocol/request_framing.h"
#include "protocol/request_settings.h"

namespace {

bool IsActiveFlag(const char* field) {
  return field != nullptr && field[0] == 'A';
}

// A name or item ID as received: UTF-8 for "TD", the code page for "AD".
WideString ReceivedText(const std::string& text, bool utf8) {
  return utf8 ? Utf8ToUtf16(text) : MultiByteToWide(text);
}

// The same text for a log line, which is in the code page.
std::string LogText(const std::string& text, bool utf8) {
  return utf8 ? WideToMultiByte(Utf8ToUtf16(text)) : text;
}

// Removes the groups that an unfinished "AD" appended, unless the request went through: an
// aborted or refused definition leaves no half-defined group behind.
class CAppendedGroups {
public:
  CAppendedGroups(CGroupRegistry& registry, std::size_t firstIndex)
      : m_registry(registry), m_firstIndex(firstIndex) {}
  ~CAppendedGroups() {
    if (!m_kept && m_registry.GroupCount() > m_firstIndex) m_registry.Remove(m_firstIndex, true);
  }
  CAppendedGroups(const CAppendedGroups&) = delete;
  CAppendedGroups& operator=(const CAppendedGroups&) = delete;
  void Keep() { m_kept = true; }

private:
  CGroupRegistry& m_registry;
  std::size_t m_firstIndex;
  bool m_kept = false;
};

}  // namespace

// What one "AD" has read so far.
struct CRequestDispatcher::DefinitionInProgress {
  std::size_t firstIndex = 0;    // the local index of the request's first group
  CSocketAddress peer;           // the client, whose address the groups' datagrams go to
  std::uint32_t notifyHost = 0;  // the same, host byte order
  WORD receivePort = 0;          // 0: the default destination port
  std::size_t itemsHeld = 0;     // items of every group in the list, for /maxitems
  GroupRecord* group = nullptr;  // the group whose item lines are expected, if any
  std::string groupNameText;     // its name as received
  WORD completeGroups = 0;
  bool typed = false;  // "TD": typed datagrams, texts in UTF-8
};

int CRequestDispatcher::DefineGroups(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                                     std::string& reply) {
  return DefineGroupsOf(connection, line, reply, false);
}

int CRequestDispatcher::DefineTypedGroups(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                                          std::string& reply) {
  return DefineGroupsOf(connection, line, reply, true);
}

int CRequestDispatcher::DefineGroupsOf(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                                       std::string& reply, bool typed) {
  WORD groupCount = 0;  // 65535 when absent: entries until an empty line
  if (const Refusal refused = TakeGroupCount(line, groupCount, reply)) return *refused;
  DefinitionInProgress definition;
  definition.typed = typed;
  const char* portField = line.NextToken();
  definition.receivePort =
      portField != nullptr ? static_cast<WORD>(CRequestTokenizer::ToInt(portField)) : WORD{0};
  definition.firstIndex = m_registry.GroupCount();
  connection.GetPeerName(definition.peer);
  definition.notifyHost = definition.peer.HostOrderAddress();
  for (std::size_t index = 0; index < definition.firstIndex; ++index) {
    if (const GroupRecord* held = m_registry.GetGroup(index))
      definition.itemsHeld += held->wItemCount;
  }

  CAppendedGroups appended(m_registry, definition.firstIndex);
  line.ReadLine();
  while (!line.IsEmptyLine() && definition.completeGroups < groupCount) {
    const Refusal refused = definition.group == nullptr ? TakeGroupLine(line, definition, reply)
                                                        : TakeItemLine(line, definition, reply);
    if (refused) return *refused;
    if (definition.completeGroups < groupCount) line.ReadLine();
  }
  if (GroupRecord* group = definition.group) {
    // The list ended inside a group: its remaining definitions were never filled.
    reply =
        StringPrintf("Incomplete group %s: %d of %d items", definition.groupNameText.c_str(),
                     static_cast<int>(group->wItemsDefined), static_cast<int>(group->wItemCount));
    return 1;
  }
  if (m_registry.GroupCount() == definition.firstIndex) return 0;  // no group line before the end

  const int result = m_registry.AddGroupsToServer(reply, definition.firstIndex);
  if (result != 0) {
    m_view.LogToWindow(
        StringPrintf(SystemText("组加入OpcServer操作失败 %s").c_str(), reply.c_str()));
    LogToFile(reply);
    return result;  // the guard removes every group of this request
  }
  appended.Keep();
  for (std::size_t index = definition.firstIndex; index < m_registry.GroupCount(); ++index)
    reply += StringPrintf("\r\n%d", static_cast<int>(index));
  return 0;
}

CRequestDispatcher::Refusal CRequestDispatcher::TakeGroupLine(CRequestTokenizer& line,
                                                              DefinitionInProgress& definition,
                                                              std::string& reply) {
  // A group line: name, active flag, item count, optional update rate.
  GroupDefinitionLine fields;
  const GroupDefinitionLine::Form form = TakeGroupLineFields(line, fields);
  const std::string name = fields.name != nullptr ? fields.name : "";
  switch (form) {
    case GroupDefinitionLine::kGood:
      break;
    case GroupDefinitionLine::kNoName:
      reply = "Missing group name";
      return 1;
    case GroupDefinitionLine::kNoActiveFlag:
      reply = StringPrintf("Missing active flag for group %s", name.c_str());
      return 1;
    case GroupDefinitionLine::kNoItemCount:
      reply = StringPrintf("Missing item count for group %s", name.c_str());
      return 1;
    case GroupDefinitionLine::kBadItemCount:
      reply = StringPrintf("Invalid item count: %s", fields.itemCountField);
      return 1;
  }
  const std::int32_t itemCount = fields.itemCount;
  const char* activeField = fields.activeFlag;
  const char* rateField = fields.rateField;
  if (!WithinLimits(definition.itemsHeld + static_cast<std::size_t>(itemCount), reply)) return 1;
  definition.itemsHeld += static_cast<std::size_t>(itemCount);

  GroupRecord* record =
      m_registry.AppendGroup(AllocWideString(ReceivedText(name, definition.typed)));
  record->typed = definition.typed;
  record->dwNotifyHost = definition.notifyHost;
  record->dwDefinedBy = definition.peer.HostOrderAddress();
  record->wNotifyPort = definition.receivePort;
  record->bActive = IsActiveFlag(activeField) ? TRUE : FALSE;
  record->AllocItemDefs(static_cast<WORD>(itemCount));
  if (rateField != nullptr)
    record->dwRequestedUpdateRate = static_cast<DWORD>(CRequestTokenizer::ToInt(rateField));
  if (m_log.logGroupOps) {
    const std::unique_ptr<char[]> dotted = definition.peer.GetDottedAddress();
    const std::string text =
        StringPrintf(SystemText("%s(接收端口 %d)请求加入组 %s。总数据项数 %d").c_str(),
                     dotted.get(), static_cast<int>(definition.receivePort),
                     LogText(name, definition.typed).c_str(), static_cast<int>(itemCount));
    m_view.LogToWindow(text);
    LogToFile(text);
  }
  if (itemCount == 0) {
    ++definition.completeGroups;
  } else {
    definition.group = record;
    definition.groupNameText = name;
  }
  return std::nullopt;
}

bool CRequestDispatcher::WithinLimits(std::size_t itemsAfter, std::string& reply) const {
  // /maxgroups and /maxitems bound what clients can make the gateway hold.
  const RequestSettings& limits = m_settings;
  if (m_registry.GroupCount() >= limits.maxGroups) {
    reply = StringPrintf("Too many groups: the limit is %llu (/maxgroups)",
                         static_cast<unsigned long long>(limits.maxGroups));
    return false;
  }
  if (itemsAfter > limits.maxItems) {
    reply = StringPrintf("Too many items: the limit is %llu in all groups (/maxitems)",
                         static_cast<unsigned long long>(limits.maxItems));
    return false;
  }
  return true;
}

CRequestDispatcher::Refusal CRequestDispatcher::TakeItemLine(CRequestTokenizer& line,
                                                             DefinitionInProgress& definition,
                                                             std::string& reply) {
  // An item line: item ID, active flag, requested data type.
  GroupRecord& group = *definition.group;
  ItemDefinitionLine fields;
  const ItemDefinitionLine::Form form = TakeItemLineFields(line, fields);
  const std::string itemId = fields.itemId != nullptr ? fields.itemId : "";
  switch (form) {
    case ItemDefinitionLine::kGood:
      break;
    case ItemDefinitionLine::kNoItemId:
      reply = StringPrintf("Missing item ID in group %s", definition.groupNameText.c_str());
      return 1;
    case ItemDefinitionLine::kNoActiveFlag:
      reply = StringPrintf("Missing active flag for item %s", itemId.c_str());
      return 1;
    case ItemDefinitionLine::kNoDataType:
      reply = StringPrintf("Missing data type for item %s", itemId.c_str());
      return 1;
  }
  const char* activeField = fields.activeFlag;
  const char* typeField = fields.dataType;
  const int item = group.DefineNextItem(AllocWideString(ReceivedText(itemId, definition.typed)),
                                        IsActiveFlag(activeField) ? TRUE : FALSE,
                                        static_cast<VARTYPE>(CRequestTokenizer::ToInt(typeField)));
  if (m_log.logItemOps) {
    const std::string text =
        StringPrintf(SystemText("往%s组加入第 %d 个变量 %s").c_str(), Narrow(group.szName).c_str(),
                     item, LogText(itemId, definition.typed).c_str());
    m_view.LogToWindow(text);
    LogToFile(text);
  }
  if (group.wItemsDefined == group.wItemCount) {
    ++definition.completeGroups;
    definition.group = nullptr;
  }
  return std::nullopt;
}

int CRequestDispatcher::RemoveGroups(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                                     std::string& reply) {
  WORD count = 0;  // 65535 when absent: entries until an empty line
  if (const Refusal refused = TakeGroupCount(line, count, reply)) return *refused;
  // Every line is read and checked before the first removal: a line that is too long or late
  // refuses the whole request with nothing removed.
  std::vector<std::size_t> indices;
  bool refused = false;
  line.ReadLine();
  while (!line.IsEmptyLine()) {
    const std::optional<std::size_t> index = TakeGroupIndex(line.NextToken(), reply);
    if (!index) {
      refused = true;  // the removals named before stay; nothing is trimmed
      break;
    }
    indices.push_back(*index);
    if (indices.size() == count) break;
    line.ReadLine();
  }
  // A group that another address defined is removed only for a client that may write, and
  // each such removal is on the audit trail.
  std::vector<AuditEntry> others;
  std::string client;
  const std::uint32_t address = ClientOf(connection, &client);
  for (const std::size_t index : indices) {
    const GroupRecord* group = m_registry.GetGroup(index);
    if (group == nullptr || group->dwDefinedBy == address) continue;
    const std::string indexText = std::to_string(index);
    if (std::any_of(others.begin(), others.end(),
                    [&](const AuditEntry& seen) { return seen.groupIndex == indexText; }))
      continue;
    AuditEntry& entry = others.emplace_back();
    entry.client = client;
    entry.command = "RM";
    entry.groupIndex = indexText;
    if (group->szName != nullptr) entry.groupName = group->szName;
    entry.result = "removed";
  }
  if (!others.empty()) {
    std::string refusal;
    const bool writer = MayWrite(address, refusal);
    if (!writer || !AuditReady(refusal)) {
      for (AuditEntry& entry : others) {
        entry.result = "refused";
        entry.reason = refusal;
        RecordWrite(entry, writer ? WriteCounts::kAuditUnavailable : WriteCounts::kNotWriter);
      }
      reply = refusal;
      return 1;  // nothing removed
    }
  }
  for (const std::size_t index : indices) {
    if (GroupRecord* group = m_registry.GetGroup(index)) {
      if (m_log.logGroupOps)
        m_view.LogToWindow(
            StringPrintf(SystemText("删除组 %s").c_str(), Narrow(group->szName).c_str()));
      m_registry.RemoveOne(index);
    }
  }
  for (const AuditEntry& entry : others) RecordWrite(entry, WriteCounts::kInvalid);
  if (refused) return 1;
  m_registry.TrimTail();
  return 0;
}
