// "AC" (activate or deactivate groups), "RF" (refresh groups) and "Q?" (look groups up by name).
#include <cstring>

#include "core/activity_log.h"
#include "platform/codepage.h"
#include "protocol/handler_text.h"
#include "protocol/request_dispatcher.h"

int CRequestDispatcher::SetGroupsActive(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                                        std::string& reply) {
  const char* stateField = line.NextToken();
  if (stateField == nullptr) {
    reply = "Missing group state";
    return 1;
  }
  const BOOL active = stateField[0] == 'A' ? TRUE : FALSE;
  WORD count = 0;  // 65535 when absent: entries until an empty line
  if (!TakeGroupCount(line, count, reply)) return 1;

  int result = 0;
  WORD handled = 0;
  line.ReadLine(connection);
  while (!line.IsEmptyLine()) {
    GroupRecord* group = TakeGroup(line.NextToken(), reply);
    if (group == nullptr) return 1;  // groups set before stay set
    group->bActive = active;
    if (group->pIOPCGroupStateMgt != nullptr) {
      result =
          group->pIOPCGroupStateMgt->SetState(nullptr, &group->dwRevisedUpdateRate, &group->bActive,
                                              nullptr, nullptr, nullptr, nullptr);
    } else {
      result = 1;  // never registered, or its server connection is gone
    }
    if (logGroupOps) {
      m_view.LogToWindow(StringPrintf(Sys("设定组 %s %s 的操作结果 %d").c_str(),
                                      Narrow(group->szName).c_str(),
                                      Sys(active ? "激活开启" : "激活关闭").c_str(), result));
    }
    if (++handled == count || result != 0) break;
    line.ReadLine(connection);
  }
  return result;
}

int CRequestDispatcher::RefreshGroups(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                                      std::string& reply) {
  const char* transactionField = line.NextToken();
  if (transactionField == nullptr) return 1;
  const DWORD transactionId = CRequestTokenizer::ToUnsigned(transactionField);

  const std::size_t mostLines = GroupCount();
  int result = 0;
  std::size_t handled = 0;
  DWORD lastCancelId = 0;  // the number sent when no Refresh2 succeeded
  line.ReadLine(connection);
  while (!line.IsEmptyLine()) {
    const char* field = line.NextToken();
    GroupRecord* group = TakeGroup(field, reply);
    if (group == nullptr) return 1;
    const std::string name = Narrow(group->szName);
    const HRESULT obtained = group->ObtainAsyncIO2();
    if (obtained != S_OK && obtained != S_FALSE) {
      reply = "Cannot open IOPCAsyncIO2";
      return obtained;
    }
    if (obtained == S_FALSE) {
      // The server does not know the group: nothing can be refreshed, and the client is told.
      if (group->bActive) {
        m_view.LogToWindow(StringPrintf(
            Sys("刷新组 %s 操作因未能成功获取pAsyncIO2接口实际并未执行").c_str(), name.c_str()));
      }
      reply = StringPrintf("Group %d is not registered with the server",
                           CRequestTokenizer::ToInt(field));
      return 1;
    }
    if (group->bActive) {
      DWORD cancelId = 0;
      const HRESULT hr = group->pAsyncIO2->Refresh2(OPC_DS_CACHE, transactionId, &cancelId);
      if (hr != S_OK) {
        m_view.LogToWindow(StringPrintf(Sys("刷新组 %s 操作失败。错误代码：%x").c_str(),
                                        name.c_str(), static_cast<unsigned>(hr)));
        reply = " returned when all Refresh2(...)";
        result = hr;
      } else {
        lastCancelId = cancelId;
        if (logGroupOps)
          m_view.LogToWindow(StringPrintf(Sys("成功刷新组 %s").c_str(), name.c_str()));
      }
    }
    ++handled;
    if (handled >= mostLines || result != 0) break;
    line.ReadLine(connection);
  }
  if (result == 0 && handled > 0) reply = StringPrintf("%ul", static_cast<unsigned>(lastCancelId));
  return result;
}

int CRequestDispatcher::QueryGroupIndexes(CHttpBlockingSocket& connection, CRequestTokenizer& line,
                                          std::string& reply) {
  if (GroupCount() == 0) return -1;
  std::size_t cursor = 0;  // the entry after the previous line's, tried first
  bool found = false;
  line.ReadLine(connection);
  while (!line.IsEmptyLine()) {
    const char* field = line.NextToken();
    // A line of separators only names no group: no group has an empty name.
    const std::string nameText = field != nullptr ? field : "";
    int index = -1;
    if (field != nullptr) {
      const WideString name = MultiByteToWide(nameText);
      const auto matches = [&](std::size_t entry) {
        const GroupRecord* group = GetGroup(entry);
        return group != nullptr && group->szName != nullptr && name == group->szName;
      };
      if (cursor < GroupCount()) {
        const std::size_t entry = cursor++;
        if (matches(entry)) index = static_cast<int>(entry);
      }
      for (std::size_t entry = 0; index < 0 && entry < GroupCount(); ++entry)
        if (matches(entry)) index = static_cast<int>(entry);
    } else if (cursor < GroupCount()) {
      ++cursor;
    }
    reply += StringPrintf("\r\n%d", index);
    m_view.LogToWindow(
        StringPrintf(Sys("返回组 %s 的本地索引 %d").c_str(), nameText.c_str(), index));
    if (index >= 0) found = true;
    line.ReadLine(connection);
  }
  return found ? 0 : -1;
}
