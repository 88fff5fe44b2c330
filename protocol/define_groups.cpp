// "AD" (define groups with their items and register them) and "RM" (remove groups by index).
#include <memory>

#include "core/activity_log.h"
#include "net/protection_settings.h"
#include "platform/codepage.h"
#include "protocol/handler_text.h"
#include "protocol/request_dispatcher.h"

namespace {

bool IsActiveFlag(const char* field) {
  return field != nullptr && field[0] == 'A';
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

int CRequestDispatcher::DefineGroups(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                                     std::string& reply) {
  WORD groupCount = 0;  // 65535 when absent: entries until an empty line
  if (!TakeGroupCount(line, groupCount, reply)) return 1;
  const char* portField = line.NextToken();
  const WORD receivePort =
      portField != nullptr ? static_cast<WORD>(CRequestTokenizer::ToInt(portField)) : WORD{0};

  const std::size_t firstIndex = GroupCount();
  CSocketAddress peer;
  connection.GetPeerName(peer);
  const std::uint32_t notifyHost = peer.HostOrderAddress();

  // /maxgroups and /maxitems bound what clients can make the gateway hold.
  const ProtectionSettings& limits = GatewayProtection();
  std::size_t itemsHeld = 0;
  for (std::size_t index = 0; index < firstIndex; ++index) {
    if (const GroupRecord* held = GetGroup(index)) itemsHeld += held->wItemCount;
  }

  CAppendedGroups appended(*this, firstIndex);
  GroupRecord* group = nullptr;  // the group whose item lines are expected, if any
  std::string groupNameText;     // its name as received
  WORD completeGroups = 0;

  line.ReadLine(connection);
  while (!line.IsEmptyLine() && completeGroups < groupCount) {
    const char* nameField = line.NextToken();
    if (group == nullptr) {
      // A group line: name, active flag, item count, optional update rate.
      if (nameField == nullptr) {
        reply = "Missing group name";
        return 1;
      }
      const std::string name = nameField;
      const char* activeField = line.NextToken();
      const char* itemCountField = line.NextToken();
      const char* rateField = line.NextToken();
      if (activeField == nullptr) {
        reply = StringPrintf("Missing active flag for group %s", name.c_str());
        return 1;
      }
      if (itemCountField == nullptr) {
        reply = StringPrintf("Missing item count for group %s", name.c_str());
        return 1;
      }
      const std::int32_t itemCount = CRequestTokenizer::ToInt(itemCountField);
      if (itemCount < 0 || itemCount > 65535) {
        reply = StringPrintf("Invalid item count: %s", itemCountField);
        return 1;
      }
      if (GroupCount() >= limits.maxGroups) {
        reply = StringPrintf("Too many groups: the limit is %llu (/maxgroups)",
                             static_cast<unsigned long long>(limits.maxGroups));
        return 1;
      }
      if (itemsHeld + static_cast<std::size_t>(itemCount) > limits.maxItems) {
        reply = StringPrintf("Too many items: the limit is %llu in all groups (/maxitems)",
                             static_cast<unsigned long long>(limits.maxItems));
        return 1;
      }
      itemsHeld += static_cast<std::size_t>(itemCount);
      GroupRecord* record = AppendGroup(AllocWideString(MultiByteToWide(name)));
      record->dwNotifyHost = notifyHost;
      record->wNotifyPort = receivePort;
      record->bActive = IsActiveFlag(activeField) ? TRUE : FALSE;
      record->wItemCount = static_cast<WORD>(itemCount);
      record->wItemsDefined = 0;
      if (itemCount > 0) record->pItemDefs = new OPCITEMDEF[static_cast<std::size_t>(itemCount)]();
      if (rateField != nullptr)
        record->dwRequestedUpdateRate = static_cast<DWORD>(CRequestTokenizer::ToInt(rateField));
      if (logGroupOps) {
        const std::unique_ptr<char[]> dotted = peer.GetDottedAddress();
        const std::string text =
            StringPrintf(Sys("%s(接收端口 %d)请求加入组 %s。总数据项数 %d").c_str(), dotted.get(),
                         static_cast<int>(receivePort), name.c_str(), static_cast<int>(itemCount));
        m_view.LogToWindow(text);
        LogToFile(text);
      }
      if (itemCount == 0) {
        ++completeGroups;
      } else {
        group = record;
        groupNameText = name;
      }
    } else {
      // An item line: item ID, active flag, requested data type.
      const WORD item = group->wItemsDefined;
      if (nameField == nullptr) {
        reply = StringPrintf("Missing item ID in group %s", groupNameText.c_str());
        return 1;
      }
      const std::string itemId = nameField;
      const char* activeField = line.NextToken();
      const char* typeField = line.NextToken();
      if (activeField == nullptr) {
        reply = StringPrintf("Missing active flag for item %s", itemId.c_str());
        return 1;
      }
      if (typeField == nullptr) {
        reply = StringPrintf("Missing data type for item %s", itemId.c_str());
        return 1;
      }
      OPCITEMDEF& def = group->pItemDefs[item];
      def.szAccessPath = kEmptyAccessPath;
      def.szItemID = AllocWideString(MultiByteToWide(itemId));
      def.bActive = IsActiveFlag(activeField) ? TRUE : FALSE;
      def.hClient = item;
      def.dwBlobSize = 0;
      def.pBlob = nullptr;
      def.vtRequestedDataType = static_cast<VARTYPE>(CRequestTokenizer::ToInt(typeField));
      group->wItemsDefined = static_cast<WORD>(item + 1);
      if (logItemOps) {
        const std::string text =
            StringPrintf(Sys("往%s组加入第 %d 个变量 %s").c_str(), Narrow(group->szName).c_str(),
                         static_cast<int>(item), itemId.c_str());
        m_view.LogToWindow(text);
        LogToFile(text);
      }
      if (group->wItemsDefined == group->wItemCount) {
        ++completeGroups;
        group = nullptr;
      }
    }
    if (completeGroups < groupCount) line.ReadLine(connection);
  }

  if (group != nullptr) {
    // The list ended inside a group: its remaining definitions were never filled.
    reply =
        StringPrintf("Incomplete group %s: %d of %d items", groupNameText.c_str(),
                     static_cast<int>(group->wItemsDefined), static_cast<int>(group->wItemCount));
    return 1;
  }
  if (GroupCount() == firstIndex) return 0;  // no group line before the end of the list

  const int result = AddGroupsToServer(reply, firstIndex);
  if (result != 0) {
    m_view.LogToWindow(StringPrintf(Sys("组加入OpcServer操作失败 %s").c_str(), reply.c_str()));
    LogToFile(reply);
    return result;  // the guard removes every group of this request
  }
  appended.Keep();
  for (std::size_t index = firstIndex; index < GroupCount(); ++index)
    reply += StringPrintf("\r\n%d", static_cast<int>(index));
  return 0;
}

int CRequestDispatcher::RemoveGroups(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                                     std::string& reply) {
  WORD count = 0;  // 65535 when absent: entries until an empty line
  if (!TakeGroupCount(line, count, reply)) return 1;
  WORD handled = 0;
  line.ReadLine(connection);
  while (!line.IsEmptyLine()) {
    const char* field = line.NextToken();
    const std::int32_t index = CRequestTokenizer::ToInt(field);
    if (field == nullptr || index < 0 || static_cast<std::size_t>(index) >= GroupCount()) {
      // Removals done so far stay; nothing is trimmed.
      reply = StringPrintf("Invalid group index: %s", FieldText(field));
      return 1;
    }
    if (GroupRecord* group = GetGroup(static_cast<std::size_t>(index))) {
      if (logGroupOps)
        m_view.LogToWindow(StringPrintf(Sys("删除组 %s").c_str(), Narrow(group->szName).c_str()));
      RemoveOne(static_cast<std::size_t>(index));
    }
    if (++handled == count) break;
    line.ReadLine(connection);
  }
  TrimTail();
  return 0;
}
