#include "opc/group_registry.h"

#include <new>

#include "core/activity_log.h"
#include "net/datagram_sender.h"
#include "opc/opc_data_callback.h"
#include "opc/standard_error_text.h"
#include "platform/codepage.h"
#include "platform/socket_api.h"
#include "platform/string_format.h"

namespace {

constexpr LCID kEnglishUs = 0x409;

}  // namespace

CGroupRegistry::CGroupRegistry(IFrameView& view, CServerConnection& connection,
                               CDatagramSender& sender, const LogSwitches& log)
    : m_sender(sender), m_log(log), m_view(view), m_connection(connection) {
  m_connection.SetGroups(this);
}

CGroupRegistry::~CGroupRegistry() {
  // The window may be gone by now: tear down without writing to it.
  m_logToView = false;
  DestroyOpcSide();
  m_connection.SetGroups(nullptr);
}

void CGroupRegistry::OpcLogToWindow(const std::string& text) {
  if (m_logToView) m_view.LogToWindow(text);
}

void CGroupRegistry::OpcLogGroupOp(const std::string& text) {
  if (m_log.logGroupOps) OpcLogToWindow(text);
}

void CGroupRegistry::LogRecovery(const std::string& text) {
  OpcLogToWindow(text);
  LogToFile(text);
}

// ------------------------------------------------------------------------------------------------
// Menu commands and teardown
// ------------------------------------------------------------------------------------------------

void CGroupRegistry::OnCreateOpcServer() {
  m_uiThread.Check();
  if (m_connection.Server() != nullptr) {
    OpcLogToWindow(SystemText("已创建OpcServer"));
    return;
  }
  m_connection.StopRecovery();
  OpcLogToWindow(StringPrintf(SystemText("尝试创建 %s 的OpcServer").c_str(),
                              WideToMultiByte(m_connection.ProgId()).c_str()));
  std::string errorText;
  if (m_connection.ConnectWithRetry(errorText) != S_OK) {
    OpcLogToWindow(StringPrintf(SystemText("创建失败：%s").c_str(), errorText.c_str()));
    return;
  }
  OpcLogToWindow(SystemText("成功创建OpcServer"));

  std::string registerText;
  if (AddGroupsToServer(registerText, 0) != 0) {
    OpcLogToWindow(
        StringPrintf(SystemText("组加入OpcServer操作失败 %s").c_str(), registerText.c_str()));
    // The groups stay in the list as definitions; the connection stays (unless it was lost).
    Remove(0, false);
  } else {
    m_sender.SendText(kStartupDatagram);
  }
  m_connection.SettleServerState();
}

void CGroupRegistry::OnDestroyOpcServer() {
  m_uiThread.Check();
  if (m_connection.Server() == nullptr) {
    OpcLogToWindow(SystemText("并未创建OpcServer"));
    if (m_connection.Recovering()) LogRecovery(SystemText("已停止自动重新连接OpcServer"));
    m_connection.StopRecovery();
    return;
  }
  OpcLogToWindow(SystemText("尝试销毁OpcServer"));
  for (std::size_t index = 0; index < m_groupList.size(); ++index) {
    try {
      GroupRecord* group = GetGroup(index);
      if (!group) continue;
      // The record stays as the client's definition; what the old server gave it is given back
      // now, while that server is still referenced, so that nothing dangles afterwards.
      RemoveFromServer(*group);
    } catch (...) {
      LogToFile(StringPrintf(SystemText("调用m_pIOPCServer->RemoveGroup(%d)报错 %x").c_str(),
                             static_cast<int>(index), Hex(SocketLastError())));
    }
  }
  // The operator took the connection down: a loss met on the way starts no reconnection.
  ReleaseServer("调用m_pIOPCServer->Release()报错 %x");
  m_connection.StopRecovery();
  OpcLogToWindow(SystemText("成功销毁OpcServer"));
  m_sender.SendText(kExitDatagram);
}

void CGroupRegistry::DestroyOpcSide() {
  m_uiThread.Check();
  m_connection.EndRecovery();
  if (!m_groupList.empty()) {
    try {
      Remove(0, true);
    } catch (...) {
      LogToFile(
          StringPrintf(SystemText("调用this->Remove(NULL)时，程序抛出了异常。错误代码：%x").c_str(),
                       Hex(SocketLastError())));
    }
  }
  ReleaseServer(CServerConnection::kReleaseFailure);
}

void CGroupRegistry::ReleaseServer(const char* failureFormat) {
  m_connection.Release(failureFormat);
  DisconnectSinks();
  m_connection.ForgetLoss();
}

// ------------------------------------------------------------------------------------------------
// Group list
// ------------------------------------------------------------------------------------------------

GroupRecord* CGroupRegistry::AppendGroup(LPWSTR name) {
  m_groupList.push_back(std::make_unique<GroupRecord>(name));
  return m_groupList.back().get();
}

GroupRecord* CGroupRegistry::GetGroup(std::size_t index) const {
  m_uiThread.Check();
  return index < m_groupList.size() ? m_groupList[index].get() : nullptr;
}

bool CGroupRegistry::FindDestination(OPCHANDLE hGroup, GroupDestination& destination) const {
  const GroupRecord* group = GetGroup(hGroup);
  if (group == nullptr) return false;
  destination.host = group->dwNotifyHost;
  destination.port = group->wNotifyPort;
  destination.typed = group->typed;
  return true;
}

void CGroupRegistry::NoteValuesSent(OPCHANDLE hGroup) const {
  GroupRecord* group = GetGroup(hGroup);
  if (group != nullptr && group->ActiveAtServer())
    group->valuesSince = std::chrono::steady_clock::now();
}

ComPtr<IOPCDataCallback> CGroupRegistry::MakeSink() {
  auto* sink = new (std::nothrow) COpcDataCallback(*this, m_sender);
  if (!sink) {
    OpcLogToWindow(SystemText("给回调函数句柄的失败"));
    return ComPtr<IOPCDataCallback>();
  }
  // Sinks that only the registry still holds are let go first.
  std::erase_if(m_sinks, [](COpcDataCallback* held) {
    if (held->refCount.load() != 1) return false;
    held->Release();
    return true;
  });
  sink->AddRef();
  m_sinks.push_back(sink);
  // The caller's reference for the length of its pass.
  sink->AddRef();
  return ComPtr<IOPCDataCallback>(sink);
}

void CGroupRegistry::DisconnectSinks() {
  for (COpcDataCallback* sink : m_sinks) {
    sink->Disconnect();
    sink->Release();
  }
  m_sinks.clear();
}

GroupRecord::GiveBack CGroupRegistry::LostServerGiveBack() const {
  return m_connection.ServerLost() && m_connection.ServerHung()
             ? GroupRecord::GiveBack::kServerHung
             : GroupRecord::GiveBack::kServerLost;
}

void CGroupRegistry::GiveBackGroupState(GroupRecord& group) {
  if (!m_connection.ServerLost()) {
    const HRESULT stopped = group.GiveBackServerState(GroupRecord::GiveBack::kNormal).stopped;
    if (stopped == S_OK) return;
    // Judged like any server call: slow (released without further calls) or hung.
    m_connection.NoteServerResult(stopped);
  }
  group.GiveBackServerState(LostServerGiveBack());
}

bool CGroupRegistry::RemoveAtServer(GroupRecord& group) {
  if (!m_connection.Server() || m_connection.ServerLost() || group.hServerGroup == 0) return false;
  m_connection.NoteServerResult(m_connection.Server()->RemoveGroup(group.hServerGroup, TRUE));
  return true;
}

void CGroupRegistry::RemoveFromServer(GroupRecord& group) {
  RemoveAtServer(group);
  GiveBackGroupState(group);
}

std::size_t CGroupRegistry::GiveBackAll(GroupRecord::GiveBack mode) {
  std::size_t abandoned = 0;
  for (auto& group : m_groupList)
    if (group) abandoned += group->GiveBackServerState(mode).abandoned;
  DisconnectSinks();
  return abandoned;
}

void CGroupRegistry::DropServerState() {
  GiveBackAll(GroupRecord::GiveBack::kServerLost);
}

void CGroupRegistry::LeaveServerState() {
  for (auto& group : m_groupList)
    if (group) RemoveFromServer(*group);
  DisconnectSinks();
}

std::size_t CGroupRegistry::AbandonServerState() {
  return GiveBackAll(GroupRecord::GiveBack::kServerHung);
}

int CGroupRegistry::AddGroupsToServer(std::string& errorText, std::size_t startIndex) {
  m_uiThread.Check();
  OpcLogGroupOp(StringPrintf(SystemText("从索引 %d 开始，调用OpcServer的AddGroup函数").c_str(),
                             static_cast<int>(startIndex)));
  OpcLogGroupOp(SystemText("开始构建回调函数句柄"));
  const ComPtr<IOPCDataCallback> sink = MakeSink();
  if (!sink) return 1;
  OpcLogGroupOp(SystemText("给回调函数句柄的groupCtrl赋值this"));
  OpcLogGroupOp(SystemText("调用回调函数句柄上的GetUnknown()函数，返回值供AtlAdvise函数调用使用"));
  IUnknown* sinkUnknown = sink.Get();

  if (startIndex >= m_groupList.size()) {
    OpcLogGroupOp(SystemText("未见需要加入任何组，直接返回"));
    return 0;
  }

  HRESULT hr = S_OK;
  std::string text;
  for (std::size_t index = startIndex; index < m_groupList.size(); ++index) {
    GroupRecord* group = m_groupList[index].get();
    if (!group) continue;  // a placeholder keeps its index
    hr = RegisterGroup(*group, index, sinkUnknown, text);
    if (hr != S_OK) break;
  }
  if (hr == S_OK) return 0;
  errorText = text + StringPrintf(" : %x", Hex(hr));
  return hr;
}

HRESULT CGroupRegistry::RegisterGroup(GroupRecord& group, std::size_t index, IUnknown* sink,
                                      std::string& text) {
  const std::string name = Narrow(group.szName);
  OpcLogGroupOp(
      StringPrintf(SystemText("调用m_pIOPCServer->AddGroup(%s,...)函数").c_str(), name.c_str()));
  text = StringPrintf("Add group %s to server failed", name.c_str());
  IOPCServer* server = m_connection.Server();
  if (!server) return E_FAIL;
  ComPtr<IUnknown> unknown;
  HRESULT hr = m_connection.NoteServerResult(server->AddGroup(
      group.szName, FALSE, group.dwRequestedUpdateRate, static_cast<OPCHANDLE>(index),
      &group.lTimeBias, &group.fPercentDeadband, kEnglishUs, &group.hServerGroup,
      &group.dwRevisedUpdateRate, IID_IOPCItemMgt, unknown.Put()));
  if (FAILED(hr)) return hr;
  // AddGroup returns the interface asked for (IID_IOPCItemMgt) through its IUnknown out-pointer.
  group.pIOPCItemMgt = ComPtr<IOPCItemMgt>(static_cast<IOPCItemMgt*>(unknown.Detach()));
  if (!group.pIOPCItemMgt) return E_NOINTERFACE;

  hr = AddItems(group, name, text);
  if (hr != S_OK) return hr;

  OpcLogGroupOp(SystemText("调用group.pIOPCItemMgt->QueryInterface(...)函数"));
  text = "No IOPCGroupStateMgt found";
  hr = m_connection.NoteServerResult(group.pIOPCItemMgt->QueryInterface(
      IID_IOPCGroupStateMgt, group.pIOPCGroupStateMgt.PutVoid()));
  if (hr != S_OK || !group.pIOPCGroupStateMgt) return hr == S_OK ? E_NOINTERFACE : hr;

  OpcLogGroupOp(SystemText("调用AtlAdvise(...)函数"));
  text = "Advise failed";
  hr = Advise(group, sink);
  if (hr != S_OK) return hr;
  text.clear();
  return S_OK;
}

HRESULT CGroupRegistry::AddItems(GroupRecord& group, const std::string& name, std::string& text) {
  OpcLogGroupOp(StringPrintf(SystemText("调用group.pIOPCItemMgt->AddItems(%d,...)函数").c_str(),
                             static_cast<int>(group.wItemsDefined)));
  text = StringPrintf("Add items on group %s failed", name.c_str());
  const HRESULT hr = m_connection.NoteServerResult(group.pIOPCItemMgt->AddItems(
      group.wItemsDefined, group.pItemDefs, group.pItemResults.Put(group.wItemsDefined),
      group.pItemErrors.Put()));
  if (hr != S_OK && hr != S_FALSE) return hr;
  // A server that reports success without its result arrays has added nothing we can use.
  if (group.wItemsDefined > 0 && (group.pItemResults == nullptr || group.pItemErrors == nullptr))
    return E_POINTER;
  for (WORD i = 0; i < group.wItemsDefined; ++i) {
    const HRESULT itemError = group.pItemErrors[i];
    if (itemError == S_OK) continue;
    CoTaskPtr<WCHAR> serverText;
    m_connection.Server()->GetErrorString(itemError, kEnglishUs, serverText.Put());
    // A server without a text for the code gets the gateway's own for a standard one.
    const std::string reason = Narrow(serverText.Get());
    const char* standard = StandardErrorText(itemError);
    text = StringPrintf("Add item %s on group %s failed: %s",
                        Narrow(group.pItemDefs[i].szItemID).c_str(), name.c_str(),
                        !reason.empty() || standard == nullptr ? reason.c_str() : standard);
    return itemError;
  }
  return S_OK;
}

HRESULT CGroupRegistry::Advise(GroupRecord& group, IUnknown* sink) {
  ComPtr<IConnectionPointContainer> container;
  HRESULT hr = m_connection.NoteServerResult(
      group.pIOPCGroupStateMgt->QueryInterface(IID_IConnectionPointContainer, container.PutVoid()));
  if (SUCCEEDED(hr)) {
    ComPtr<IConnectionPoint> point;
    hr = m_connection.NoteServerResult(
        container->FindConnectionPoint(IID_IOPCDataCallback, point.Put()));
    if (SUCCEEDED(hr))
      hr = m_connection.NoteServerResult(point->Advise(sink, &group.dwAdviseCookie));
  }
  // A positive "success" without a connection is a failure.
  if (hr != S_OK) return SUCCEEDED(hr) ? E_FAIL : hr;
  return S_OK;
}

void CGroupRegistry::RestoreGroups() {
  const ComPtr<IOPCDataCallback> sink = MakeSink();
  if (!sink) return;
  int restored = 0;
  int failed = 0;
  for (std::size_t index = 0; index < m_groupList.size() && !m_connection.ServerLost(); ++index) {
    GroupRecord* group = m_groupList[index].get();
    if (!group) continue;
    if (RestoreGroup(*group, index, sink.Get()))
      ++restored;
    else if (!m_connection.ServerLost())
      ++failed;
  }
  if (m_connection.ServerLost()) return;  // the cycle starts again
  m_sender.SendText(kStartupDatagram);
  if (failed == 0) {
    LogRecovery(StringPrintf(SystemText("OpcServer已恢复，%d 个组已重新加入").c_str(), restored));
  } else {
    LogRecovery(StringPrintf(SystemText("OpcServer已恢复，%d 个组已重新加入，%d 个组失败").c_str(),
                             restored, failed));
  }
}

bool CGroupRegistry::RestoreGroup(GroupRecord& group, std::size_t index, IUnknown* sink) {
  std::string text;
  const HRESULT hr = RegisterGroup(group, index, sink, text);
  if (m_connection.ServerLost()) return false;
  if (hr != S_OK) {
    LogRecovery(StringPrintf(SystemText("组 %s 重新加入OpcServer失败：%s : %x").c_str(),
                             Narrow(group.szName).c_str(), text.c_str(), Hex(hr)));
    // The group stays defined and unregistered; what the live server gave it is given back (a
    // server lost on the way is given up with the whole list, and its count with it).
    RemoveAtServer(group);
    if (!m_connection.ServerLost()) GiveBackGroupState(group);
    return false;
  }
  if (!group.bActive) return true;
  const HRESULT activated = m_connection.NoteServerResult(group.pIOPCGroupStateMgt->SetState(
      nullptr, &group.dwRevisedUpdateRate, &group.bActive, nullptr, nullptr, nullptr, nullptr));
  if (activated == S_OK) group.valuesSince = std::chrono::steady_clock::now();
  if (activated != S_OK && !m_connection.ServerLost()) {
    // Registered but not active: reads, writes and a later "AC" still work.
    LogRecovery(StringPrintf(SystemText("组 %s 重新激活失败，错误代码：%x").c_str(),
                             Narrow(group.szName).c_str(), Hex(activated)));
  }
  return true;
}

void CGroupRegistry::Remove(std::size_t startIndex, bool unlink) {
  m_uiThread.Check();
  for (std::size_t index = startIndex; index < m_groupList.size(); ++index) {
    GroupRecord* group = m_groupList[index].get();
    if (!group) continue;
    const std::string name = Narrow(group->szName);
    const bool removed = RemoveAtServer(*group);
    OpcLogGroupOp(StringPrintf(
        SystemText(removed ? "删除已加入OpcServer的组 %s" : "删除未加入OpcServer的组 %s").c_str(),
        name.c_str()));
    GiveBackGroupState(*group);  // a lost server gets no Unadvise or RemoveItems
    if (unlink) m_groupList[index].reset();
  }
  if (unlink && startIndex < m_groupList.size())
    m_groupList.erase(m_groupList.begin() + static_cast<std::ptrdiff_t>(startIndex),
                      m_groupList.end());
}

void CGroupRegistry::RemoveOne(std::size_t index) {
  m_uiThread.Check();
  GroupRecord* group = GetGroup(index);
  if (!group) return;
  RemoveFromServer(*group);
  m_groupList[index].reset();
}

void CGroupRegistry::TrimTail() {
  while (!m_groupList.empty() && !m_groupList.back()) m_groupList.pop_back();
}
