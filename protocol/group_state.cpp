// "AC" (activate or deactivate groups), "RF" (refresh groups) and "Q?" (look groups up by name).
#include <cstring>
#include <vector>

#include "core/activity_log.h"
#include "platform/codepage.h"
#include "protocol/handler_text.h"
#include "protocol/request_dispatcher.h"

// "AC" and "RF" read and check every line of the list before they act on any group: a line that
// is too long or late refuses the whole request with nothing done. A refused line (a bad index)
// ends the list: the groups named before it are acted on, as they were named in order.

int CRequestDispatcher::SetGroupsActive(CHttpBlockingSocket&, CRequestTokenizer& line,
                                        std::string& reply) {
  const char* stateField = line.NextToken();
  if (stateField == nullptr) {
    reply = "Missing group state";
    return 1;
  }
  const BOOL active = stateField[0] == 'A' ? TRUE : FALSE;
  WORD count = 0;  // 65535 when absent: entries until an empty line
  if (const Refusal refused = TakeGroupCount(line, count, reply)) return *refused;

  std::vector<GroupRecord*> groups;
  bool refused = false;
  line.ReadLine();
  while (!line.IsEmptyLine()) {
    GroupRecord* group = TakeGroup(line.NextToken(), reply);
    if (group == nullptr) {
      refused = true;  // groups named before stay set
      break;
    }
    groups.push_back(group);
    if (groups.size() == count) break;
    line.ReadLine();
  }
  for (GroupRecord* group : groups) {
    const int result = SetGroupActive(*group, active);
    if (result == 0) continue;
    reply.clear();  // the list ends here: a refused line after it does not count
    return result;
  }
  return refused ? 1 : 0;
}

int CRequestDispatcher::SetGroupActive(GroupRecord& group, BOOL active) {
  group.bActive = active;
  int result = 1;  // never registered, or its server connection is gone
  if (group.pIOPCGroupStateMgt != nullptr) {
    result = group.pIOPCGroupStateMgt->SetState(nullptr, &group.dwRevisedUpdateRate, &group.bActive,
                                                nullptr, nullptr, nullptr, nullptr);
    // The value age of a group made active counts from now; an inactive one has none.
    if (result == S_OK && !active) group.valuesSince = {};
    if (result == S_OK && active && !group.ActiveAtServer())
      group.valuesSince = std::chrono::steady_clock::now();
  }
  if (m_log.logGroupOps) {
    m_view.LogToWindow(StringPrintf(SystemText("设定组 %s %s 的操作结果 %d").c_str(),
                                    Narrow(group.szName).c_str(),
                                    SystemText(active ? "激活开启" : "激活关闭").c_str(), result));
  }
  return result;
}

int CRequestDispatcher::RefreshGroups(CHttpBlockingSocket&, CRequestTokenizer& line,
                                      std::string& reply) {
  const char* transactionField = line.NextToken();
  if (transactionField == nullptr) return 1;
  const DWORD transactionId = CRequestTokenizer::ToUnsigned(transactionField);

  std::vector<GroupRecord*> groups;
  GroupRecord* unregistered = nullptr;  // the group that ended the list unregistered, if any
  const Refusal refusal = TakeRefreshLines(line, reply, groups, unregistered);
  DWORD lastCancelId = 0;  // the number sent when no Refresh2 succeeded
  for (GroupRecord* group : groups) {
    if (!group->bActive) continue;
    const std::string name = Narrow(group->szName);
    DWORD cancelId = 0;
    const HRESULT hr = group->pAsyncIO2->Refresh2(OPC_DS_CACHE, transactionId, &cancelId);
    if (hr != S_OK) {
      m_view.LogToWindow(StringPrintf(SystemText("刷新组 %s 操作失败。错误代码：%x").c_str(),
                                      name.c_str(), static_cast<unsigned>(hr)));
      reply = " returned when all Refresh2(...)";
      return hr;
    }
    lastCancelId = cancelId;
    if (m_log.logGroupOps)
      m_view.LogToWindow(StringPrintf(SystemText("成功刷新组 %s").c_str(), name.c_str()));
  }
  if (unregistered != nullptr && unregistered->bActive) {
    // The server does not know the group: nothing can be refreshed, and the client is told.
    m_view.LogToWindow(
        StringPrintf(SystemText("刷新组 %s 操作因未能成功获取pAsyncIO2接口实际并未执行").c_str(),
                     Narrow(unregistered->szName).c_str()));
  }
  if (refusal) return *refusal;
  if (!groups.empty()) reply = StringPrintf("%ul", static_cast<unsigned>(lastCancelId));
  return 0;
}

CRequestDispatcher::Refusal CRequestDispatcher::TakeRefreshLines(CRequestTokenizer& line,
                                                                 std::string& reply,
                                                                 std::vector<GroupRecord*>& groups,
                                                                 GroupRecord*& unregistered) {
  const std::size_t mostLines = m_registry.GroupCount();
  line.ReadLine();
  while (!line.IsEmptyLine()) {
    const char* field = line.NextToken();
    GroupRecord* group = TakeGroup(field, reply);
    if (group == nullptr) return 1;
    if (const Refusal refused = OpenGroupIo(*group, field, false, reply)) {
      if (*refused == S_FALSE) unregistered = group;
      return refused;
    }
    groups.push_back(group);
    if (groups.size() >= mostLines) break;
    line.ReadLine();
  }
  return std::nullopt;
}

int CRequestDispatcher::QueryGroupIndexes(CHttpBlockingSocket&, CRequestTokenizer& line,
                                          std::string& reply) {
  if (m_registry.GroupCount() == 0) return -1;
  std::size_t cursor = 0;  // the entry after the previous line's, tried first
  bool found = false;
  line.ReadLine();
  while (!line.IsEmptyLine()) {
    const char* field = line.NextToken();
    // A line of separators only names no group: no group has an empty name.
    const std::string nameText = field != nullptr ? field : "";
    int index = -1;
    if (field != nullptr) {
      const WideString name = MultiByteToWide(nameText);
      const auto matches = [&](std::size_t entry) {
        const GroupRecord* group = m_registry.GetGroup(entry);
        return group != nullptr && group->szName != nullptr && name == group->szName;
      };
      if (cursor < m_registry.GroupCount()) {
        const std::size_t entry = cursor++;
        if (matches(entry)) index = static_cast<int>(entry);
      }
      for (std::size_t entry = 0; index < 0 && entry < m_registry.GroupCount(); ++entry)
        if (matches(entry)) index = static_cast<int>(entry);
    } else if (cursor < m_registry.GroupCount()) {
      ++cursor;
    }
    reply += StringPrintf("\r\n%d", index);
    m_view.LogToWindow(
        StringPrintf(SystemText("返回组 %s 的本地索引 %d").c_str(), nameText.c_str(), index));
    if (index >= 0) found = true;
    line.ReadLine();
  }
  return found ? 0 : -1;
}
