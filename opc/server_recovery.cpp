// The registry's recovery of a lost server: noticing the loss, giving the dead server up without
// calls to it, reconnecting with back-off and registering every group again under its index.
#include <new>
#include <thread>

#include "core/activity_log.h"
#include "net/send_notification.h"
#include "opc/group_registry.h"
#include "opc/opc_data_callback.h"
#include "opc/server_loss.h"
#include "platform/apartment.h"
#include "platform/codepage.h"
#include "platform/string_format.h"

namespace {

std::string Narrow(LPCWSTR text) {
  return text ? WideToMultiByte(WideStringView(text)) : std::string();
}

unsigned Hex(HRESULT code) {
  return static_cast<unsigned>(code);
}

}  // namespace

HRESULT CGroupRegistry::NoteServerResult(HRESULT result) {
  if (IsServerLostCode(result) && m_lostCode == S_OK) m_lostCode = result;
  return result;
}

void CGroupRegistry::SetRecoveryTimer(std::unique_ptr<CApartmentTimer> timer) {
  m_timer = std::move(timer);
  m_timerRole = TimerRole::kNone;
}

void CGroupRegistry::LogRecovery(const std::string& text) {
  OpcLogToWindow(text);
  LogToFile(text);
}

HRESULT CGroupRegistry::CreateWithRetry(std::string& errorText, IOPCServer** server) {
  HRESULT hr = CreateOpcServer(progId, errorText, server);
  if (!IsServerLostCode(hr)) return hr;
  // The previous server process may have been ending and have taken the activation.
  std::this_thread::sleep_for(kCreateRetryPause);
  return CreateOpcServer(progId, errorText, server);
}

HRESULT CGroupRegistry::ConnectForRequest(std::string& errorText) {
  m_uiThread.Check();
  IOPCServer* server = nullptr;
  const HRESULT hr = CreateWithRetry(errorText, &server);
  if (hr != S_OK || server == nullptr) {
    if (server != nullptr) server->Release();
    return hr != S_OK ? hr : E_FAIL;
  }
  m_pIOPCServer = server;
  // A request after a loss brings the groups back before it is handled; one after the operator's
  // destroy (or the first one) connects without groups.
  if (m_recovering) RestoreGroups();
  if (ServerLost()) {
    const HRESULT lost = m_lostCode;
    SettleServerState();
    errorText = SystemText("创建 IOPCServer 对象失败");
    return lost;
  }
  return S_OK;
}

void CGroupRegistry::SettleServerState() {
  m_uiThread.Check();
  if (ServerLost()) GiveUpLostServer();
  ArmTimer();
}

void CGroupRegistry::GiveUpLostServer() {
  const HRESULT code = m_lostCode;
  m_lostCode = S_OK;
  if (!m_pIOPCServer) return;
  LogRecovery(StringPrintf(
      SystemText("与OpcServer的连接已断开，错误代码：%x；已释放其全部对象，稍后自动重新连接")
          .c_str(),
      Hex(code)));
  // The records keep their definitions and active flags; what they held of the dead server is
  // given back without calling it.
  for (auto& group : m_groupList)
    if (group) group->DropServerState();
  m_pIOPCServer->Release();
  m_pIOPCServer = nullptr;
  CoUninitialize();
  m_recovering = true;
  m_reconnectAttempt = 0;
  m_lastReconnectError = S_OK;
}

void CGroupRegistry::StopRecovery() {
  m_recovering = false;
  ArmTimer();
}

void CGroupRegistry::ArmTimer() {
  const TimerRole wanted = m_pIOPCServer  ? TimerRole::kWatchdog
                           : m_recovering ? TimerRole::kReconnect
                                          : TimerRole::kNone;
  if (wanted == m_timerRole) return;
  m_timerRole = wanted;
  if (wanted == TimerRole::kNone) {
    if (m_timer) m_timer->Stop();
    return;
  }
  if (!m_timer) m_timer = std::make_unique<CApartmentTimer>(CApartment::ForCurrentThread());
  const auto delay =
      wanted == TimerRole::kWatchdog ? kWatchdogPeriod : ReconnectDelay(m_reconnectAttempt);
  m_timer->Start(delay, [this] { OnRecoveryTimer(); });
}

void CGroupRegistry::OnRecoveryTimer() {
  m_uiThread.Check();
  const TimerRole role = m_timerRole;
  m_timerRole = TimerRole::kNone;
  if (role == TimerRole::kWatchdog && m_pIOPCServer)
    CheckServerStatus();
  else if (role == TimerRole::kReconnect && !m_pIOPCServer && m_recovering)
    TryReconnect();
  SettleServerState();
}

void CGroupRegistry::CheckServerStatus() {
  OPCSERVERSTATUS* status = nullptr;
  NoteServerResult(m_pIOPCServer->GetStatus(&status));
  if (status != nullptr) {
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
  }
}

void CGroupRegistry::TryReconnect() {
  std::string errorText;
  IOPCServer* server = nullptr;
  const HRESULT hr = CreateOpcServer(progId, errorText, &server);
  if (hr != S_OK || server == nullptr) {
    if (server != nullptr) server->Release();
    if (hr != m_lastReconnectError) {
      LogRecovery(
          StringPrintf(SystemText("重新连接OpcServer失败：%s，错误代码：%x；将继续重试").c_str(),
                       errorText.c_str(), Hex(hr)));
    }
    m_lastReconnectError = hr;
    ++m_reconnectAttempt;
    return;
  }
  m_pIOPCServer = server;
  RestoreGroups();
}

void CGroupRegistry::RestoreGroups() {
  m_recovering = false;
  auto* sink = new (std::nothrow) COpcDataCallback();
  if (!sink) {
    OpcLogToWindow(SystemText("给回调函数句柄的失败"));
    return;
  }
  sink->AddRef();
  ComPtr<IOPCDataCallback> sinkHolder(sink);
  sink->groupCtrl = this;
  IUnknown* sinkUnknown = static_cast<IOPCDataCallback*>(sink);

  int restored = 0;
  int failed = 0;
  for (std::size_t index = 0; index < m_groupList.size() && !ServerLost(); ++index) {
    GroupRecord* group = m_groupList[index].get();
    if (!group) continue;
    std::string text;
    const HRESULT hr = RegisterGroup(*group, index, sinkUnknown, text);
    if (ServerLost()) break;  // the cycle starts again
    if (hr != S_OK) {
      ++failed;
      LogRecovery(StringPrintf(SystemText("组 %s 重新加入OpcServer失败：%s : %x").c_str(),
                               Narrow(group->szName).c_str(), text.c_str(), Hex(hr)));
      // The group stays defined and unregistered; what the live server gave it is given back.
      if (group->hServerGroup != 0)
        NoteServerResult(m_pIOPCServer->RemoveGroup(group->hServerGroup, TRUE));
      if (ServerLost()) break;
      group->ReleaseServerState();
      continue;
    }
    ++restored;
    if (!group->bActive) continue;
    const HRESULT activated = NoteServerResult(group->pIOPCGroupStateMgt->SetState(
        nullptr, &group->dwRevisedUpdateRate, &group->bActive, nullptr, nullptr, nullptr, nullptr));
    if (activated != S_OK && !ServerLost()) {
      // Registered but not active: reads, writes and a later "AC" still work.
      LogRecovery(StringPrintf(SystemText("组 %s 重新激活失败，错误代码：%x").c_str(),
                               Narrow(group->szName).c_str(), Hex(activated)));
    }
  }
  if (ServerLost()) return;
  SendNotification(kStartupDatagram, 0, 0, 0, 0, nullptr);
  if (failed == 0) {
    LogRecovery(StringPrintf(SystemText("OpcServer已恢复，%d 个组已重新加入").c_str(), restored));
  } else {
    LogRecovery(StringPrintf(SystemText("OpcServer已恢复，%d 个组已重新加入，%d 个组失败").c_str(),
                             restored, failed));
  }
}
