#include "opc/group_registry.h"

#include <new>

#include "core/activity_log.h"
#include "net/send_notification.h"
#include "opc/opc_data_callback.h"
#include "platform/codepage.h"
#include "platform/socket_api.h"
#include "platform/string_format.h"

namespace {

constexpr LCID kEnglishUs = 0x409;

// A UTF-16 text from the server or a record in the program's code page ("" for null).
std::string Narrow(LPCWSTR text) {
  return text ? WideToMultiByte(WideStringView(text)) : std::string();
}

unsigned Hex(long code) {
  return static_cast<unsigned>(code);
}

}  // namespace

CGroupRegistry::CGroupRegistry(IFrameView& view, WideString progId)
    : progId(std::move(progId)), m_view(view) {}

CGroupRegistry::~CGroupRegistry() {
  // The window may be gone by now: tear down without writing to it.
  m_logToView = false;
  DestroyOpcSide();
}

void CGroupRegistry::OpcLogToWindow(const std::string& text) {
  if (m_logToView) m_view.LogToWindow(text);
}

void CGroupRegistry::OpcLogGroupOp(const std::string& text) {
  if (logGroupOps) OpcLogToWindow(text);
}

// ------------------------------------------------------------------------------------------------
// Server connection
// ------------------------------------------------------------------------------------------------

HRESULT CGroupRegistry::CreateOpcServer(const WideString& progId, std::string& errorText,
                                        IOPCServer** server) {
  if (server) *server = nullptr;
  HRESULT hr = CoInitialize(nullptr);
  if (hr != S_OK && hr != S_FALSE) {
    errorText = StringPrintf(SystemText("初始化 COM 库 失败 %d").c_str(), static_cast<int>(hr));
    return hr;
  }
  CLSID clsid{};
  hr = CLSIDFromProgID(progId.c_str(), &clsid);
  if (FAILED(hr)) {
    errorText =
        StringPrintf(SystemText("获取 %s 的CLSID失败").c_str(), WideToMultiByte(progId).c_str());
    CoUninitialize();
    return hr;
  }
  try {
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                          reinterpret_cast<void**>(server));
  } catch (...) {
    // A failure, whatever the last error says: no server, and COM is given back as well so that
    // every successful CoInitialize stays matched by one CoUninitialize.
    const int lastError = SocketLastError();
    if (server) *server = nullptr;
    errorText = StringPrintf(SystemText("创建 OpcServer %s 请求出错。错误代码：%x").c_str(),
                             WideToMultiByte(progId).c_str(), static_cast<unsigned>(lastError));
    CoUninitialize();
    return lastError != 0 ? static_cast<HRESULT>(lastError) : E_FAIL;
  }
  if (FAILED(hr) || !server || !*server) {
    errorText = SystemText("创建 IOPCServer 对象失败");
    if (server && *server) (*server)->Release();
    if (server) *server = nullptr;
    CoUninitialize();
    return FAILED(hr) ? hr : E_FAIL;
  }
  return S_OK;
}

void CGroupRegistry::OnCreateOpcServer() {
  m_uiThread.Check();
  if (m_pIOPCServer) {
    OpcLogToWindow(SystemText("已创建OpcServer"));
    return;
  }
  StopRecovery();
  OpcLogToWindow(
      StringPrintf(SystemText("尝试创建 %s 的OpcServer").c_str(), WideToMultiByte(progId).c_str()));
  std::string errorText;
  IOPCServer* server = nullptr;
  if (CreateWithRetry(errorText, &server) != S_OK) {
    OpcLogToWindow(StringPrintf(SystemText("创建失败：%s").c_str(), errorText.c_str()));
    return;
  }
  m_pIOPCServer = server;
  OpcLogToWindow(SystemText("成功创建OpcServer"));

  std::string registerText;
  if (AddGroupsToServer(registerText, 0) != 0) {
    OpcLogToWindow(
        StringPrintf(SystemText("组加入OpcServer操作失败 %s").c_str(), registerText.c_str()));
    // The groups stay in the list as definitions; the connection stays (unless it was lost).
    Remove(0, false);
  } else {
    SendNotification(kStartupDatagram, 0, 0, 0, 0, nullptr);
  }
  SettleServerState();
}

void CGroupRegistry::OnDestroyOpcServer() {
  m_uiThread.Check();
  if (!m_pIOPCServer) {
    OpcLogToWindow(SystemText("并未创建OpcServer"));
    if (m_recovering) LogRecovery(SystemText("已停止自动重新连接OpcServer"));
    StopRecovery();
    return;
  }
  OpcLogToWindow(SystemText("尝试销毁OpcServer"));
  const std::size_t count = m_groupList.size();
  for (std::size_t index = 0; index < count; ++index) {
    try {
      GroupRecord* group = GetGroup(index);
      if (!group) continue;
      if (group->hServerGroup != 0 && !ServerLost())
        NoteServerResult(m_pIOPCServer->RemoveGroup(group->hServerGroup, TRUE));
      // The record stays as the client's definition; what the old server gave it is given back
      // now, while that server is still referenced, so that nothing dangles afterwards.
      if (ServerLost())
        group->DropServerState();
      else
        group->ReleaseServerState();
    } catch (...) {
      const int lastError = SocketLastError();
      LogToFile(StringPrintf(SystemText("调用m_pIOPCServer->RemoveGroup(%d)报错 %x").c_str(),
                             static_cast<int>(index), static_cast<unsigned>(lastError)));
    }
  }
  try {
    m_pIOPCServer->Release();
  } catch (...) {
    const int lastError = SocketLastError();
    LogToFile(StringPrintf(SystemText("调用m_pIOPCServer->Release()报错 %x").c_str(),
                           static_cast<unsigned>(lastError)));
  }
  m_pIOPCServer = nullptr;
  CoUninitialize();
  // The operator took the connection down: a loss met on the way starts no reconnection.
  m_lostCode = S_OK;
  StopRecovery();
  OpcLogToWindow(SystemText("成功销毁OpcServer"));
  SendNotification(kExitDatagram, 0, 0, 0, 0, nullptr);
}

void CGroupRegistry::DestroyOpcSide() {
  m_uiThread.Check();
  m_timer.reset();
  m_timerRole = TimerRole::kNone;
  m_recovering = false;
  if (!m_groupList.empty()) {
    try {
      Remove(0, true);
    } catch (...) {
      const int lastError = SocketLastError();
      LogToFile(
          StringPrintf(SystemText("调用this->Remove(NULL)时，程序抛出了异常。错误代码：%x").c_str(),
                       static_cast<unsigned>(lastError)));
    }
  }
  if (m_pIOPCServer) {
    try {
      m_pIOPCServer->Release();
    } catch (...) {
      const int lastError = SocketLastError();
      LogToFile(StringPrintf(
          SystemText("调用m_pIOPCServer->Release()时，程序抛出了异常。错误代码：%x").c_str(),
          static_cast<unsigned>(lastError)));
    }
    m_pIOPCServer = nullptr;
    CoUninitialize();
  }
  m_lostCode = S_OK;
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

int CGroupRegistry::AddGroupsToServer(std::string& errorText, std::size_t startIndex) {
  m_uiThread.Check();
  OpcLogGroupOp(StringPrintf(SystemText("从索引 %d 开始，调用OpcServer的AddGroup函数").c_str(),
                             static_cast<int>(startIndex)));
  OpcLogGroupOp(SystemText("开始构建回调函数句柄"));
  auto* sink = new (std::nothrow) COpcDataCallback();
  if (!sink) {
    OpcLogToWindow(SystemText("给回调函数句柄的失败"));
    return 1;
  }
  // Our own reference for the length of the pass: a sink that no group takes is freed at the end.
  sink->AddRef();
  ComPtr<IOPCDataCallback> sinkHolder(sink);
  OpcLogGroupOp(SystemText("给回调函数句柄的groupCtrl赋值this"));
  sink->groupCtrl = this;
  OpcLogGroupOp(SystemText("调用回调函数句柄上的GetUnknown()函数，返回值供AtlAdvise函数调用使用"));
  IUnknown* sinkUnknown = static_cast<IOPCDataCallback*>(sink);

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
  if (!m_pIOPCServer) return E_FAIL;
  IUnknown* unknown = nullptr;
  HRESULT hr = NoteServerResult(m_pIOPCServer->AddGroup(
      group.szName, FALSE, group.dwRequestedUpdateRate, static_cast<OPCHANDLE>(index),
      &group.lTimeBias, &group.fPercentDeadband, kEnglishUs, &group.hServerGroup,
      &group.dwRevisedUpdateRate, IID_IOPCItemMgt, &unknown));
  if (FAILED(hr)) {
    if (unknown) unknown->Release();
    return hr;
  }
  group.pIOPCItemMgt = static_cast<IOPCItemMgt*>(unknown);
  if (!group.pIOPCItemMgt) return E_NOINTERFACE;

  OpcLogGroupOp(StringPrintf(SystemText("调用group.pIOPCItemMgt->AddItems(%d,...)函数").c_str(),
                             static_cast<int>(group.wItemsDefined)));
  text = StringPrintf("Add items on group %s failed", name.c_str());
  hr = NoteServerResult(group.pIOPCItemMgt->AddItems(group.wItemsDefined, group.pItemDefs,
                                                     &group.pItemResults, &group.pItemErrors));
  if (hr != S_OK && hr != S_FALSE) return hr;
  // A server that reports success without its result arrays has added nothing we can use.
  if (group.wItemsDefined > 0 && (!group.pItemResults || !group.pItemErrors)) return E_POINTER;
  for (WORD i = 0; i < group.wItemsDefined; ++i) {
    const HRESULT itemError = group.pItemErrors[i];
    if (itemError == S_OK) continue;
    CoTaskPtr<WCHAR> serverText;
    m_pIOPCServer->GetErrorString(itemError, kEnglishUs, serverText.Put());
    text = StringPrintf("Add item %s on group %s failed: %s",
                        Narrow(group.pItemDefs[i].szItemID).c_str(), name.c_str(),
                        Narrow(serverText.Get()).c_str());
    return itemError;
  }

  OpcLogGroupOp(SystemText("调用group.pIOPCItemMgt->QueryInterface(...)函数"));
  text = "No IOPCGroupStateMgt found";
  hr = NoteServerResult(group.pIOPCItemMgt->QueryInterface(
      IID_IOPCGroupStateMgt, reinterpret_cast<void**>(&group.pIOPCGroupStateMgt)));
  if (hr != S_OK || !group.pIOPCGroupStateMgt) return hr == S_OK ? E_NOINTERFACE : hr;

  OpcLogGroupOp(SystemText("调用AtlAdvise(...)函数"));
  text = "Advise failed";
  ComPtr<IConnectionPointContainer> container;
  hr = NoteServerResult(
      group.pIOPCGroupStateMgt->QueryInterface(IID_IConnectionPointContainer, container.PutVoid()));
  if (SUCCEEDED(hr)) {
    ComPtr<IConnectionPoint> point;
    hr = NoteServerResult(container->FindConnectionPoint(IID_IOPCDataCallback, point.Put()));
    if (SUCCEEDED(hr)) hr = NoteServerResult(point->Advise(sink, &group.dwAdviseCookie));
  }
  // A positive "success" without a connection is a failure.
  if (hr != S_OK) return SUCCEEDED(hr) ? E_FAIL : hr;
  text.clear();
  return S_OK;
}

void CGroupRegistry::Remove(std::size_t startIndex, bool unlink) {
  m_uiThread.Check();
  for (std::size_t index = startIndex; index < m_groupList.size(); ++index) {
    GroupRecord* group = m_groupList[index].get();
    if (!group) continue;
    const std::string name = Narrow(group->szName);
    if (m_pIOPCServer && !ServerLost() && group->hServerGroup != 0) {
      NoteServerResult(m_pIOPCServer->RemoveGroup(group->hServerGroup, TRUE));
      OpcLogGroupOp(StringPrintf(SystemText("删除已加入OpcServer的组 %s").c_str(), name.c_str()));
    } else {
      OpcLogGroupOp(StringPrintf(SystemText("删除未加入OpcServer的组 %s").c_str(), name.c_str()));
    }
    if (ServerLost()) group->DropServerState();  // a lost server gets no Unadvise or RemoveItems
    if (unlink)
      m_groupList[index].reset();
    else
      group->ReleaseServerState();
  }
  if (unlink && startIndex < m_groupList.size())
    m_groupList.erase(m_groupList.begin() + static_cast<std::ptrdiff_t>(startIndex),
                      m_groupList.end());
}

void CGroupRegistry::RemoveOne(std::size_t index) {
  m_uiThread.Check();
  GroupRecord* group = GetGroup(index);
  if (!group) return;
  if (m_pIOPCServer && !ServerLost() && group->hServerGroup != 0)
    NoteServerResult(m_pIOPCServer->RemoveGroup(group->hServerGroup, TRUE));
  if (ServerLost()) group->DropServerState();
  m_groupList[index].reset();
}

void CGroupRegistry::TrimTail() {
  while (!m_groupList.empty() && !m_groupList.back()) m_groupList.pop_back();
}
