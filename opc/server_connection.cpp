#include "opc/server_connection.h"

#include <ctime>

#include <thread>

#include "core/activity_log.h"
#include "opc/server_loss.h"
#include "platform/apartment.h"
#include "platform/codepage.h"
#include "platform/socket_api.h"
#include "platform/string_format.h"

CServerConnection::CServerConnection(IFrameView& view, WideString progId)
    : m_view(view), m_progId(std::move(progId)) {}

CServerConnection::~CServerConnection() {
  m_timer.reset();
  Release();
}

// ------------------------------------------------------------------------------------------------
// The server and COM
// ------------------------------------------------------------------------------------------------

HRESULT CServerConnection::Connect(std::string& errorText) {
  m_uiThread.Check();
  if (m_server != nullptr) return S_OK;
  return CreateServer(errorText);
}

HRESULT CServerConnection::CreateServer(std::string& errorText) {
  HRESULT hr = CoInitialize(nullptr);
  if (hr != S_OK && hr != S_FALSE) {
    errorText = StringPrintf(SystemText("初始化 COM 库 失败 %d").c_str(), static_cast<int>(hr));
    return hr;
  }
  CLSID clsid{};
  hr = CLSIDFromProgID(m_progId.c_str(), &clsid);
  if (FAILED(hr)) {
    errorText =
        StringPrintf(SystemText("获取 %s 的CLSID失败").c_str(), WideToMultiByte(m_progId).c_str());
    CoUninitialize();
    return hr;
  }
  IOPCServer* server = nullptr;
  try {
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                          reinterpret_cast<void**>(&server));
  } catch (...) {
    // A failure, whatever the last error says: no server, and COM is given back as well so that
    // every successful CoInitialize stays matched by one CoUninitialize.
    const int lastError = SocketLastError();
    errorText = StringPrintf(SystemText("创建 OpcServer %s 请求出错。错误代码：%x").c_str(),
                             WideToMultiByte(m_progId).c_str(), Hex(lastError));
    CoUninitialize();
    return lastError != 0 ? static_cast<HRESULT>(lastError) : E_FAIL;
  }
  if (FAILED(hr) || server == nullptr) {
    errorText = SystemText("创建 IOPCServer 对象失败");
    if (server != nullptr) server->Release();
    CoUninitialize();
    return FAILED(hr) ? hr : E_FAIL;
  }
  m_server = server;
  m_figures.connectedAt = std::chrono::steady_clock::now();
  m_figures.connectedSince = static_cast<std::int64_t>(std::time(nullptr));
  return S_OK;
}

HRESULT CServerConnection::ConnectWithRetry(std::string& errorText) {
  const HRESULT hr = Connect(errorText);
  if (!IsServerLostCode(hr)) return hr;
  std::this_thread::sleep_for(kCreateRetryPause);
  return Connect(errorText);
}

void CServerConnection::Release(const char* failureFormat) {
  if (m_server == nullptr) return;
  try {
    m_server->Release();
  } catch (...) {
    const int lastError = SocketLastError();
    LogToFile(StringPrintf(SystemText(failureFormat).c_str(), Hex(lastError)));
  }
  m_server = nullptr;
  CoUninitialize();
}

// ------------------------------------------------------------------------------------------------
// Loss and recovery
// ------------------------------------------------------------------------------------------------

HRESULT CServerConnection::ConnectForRequest(std::string& errorText) {
  m_uiThread.Check();
  const HRESULT hr = ConnectWithRetry(errorText);
  if (hr != S_OK) return hr;
  // A request after a loss brings the groups back before it is handled; one after the operator's
  // destroy (or the first one) connects without groups.
  if (m_recovering) Regained();
  if (ServerLost()) {
    const HRESULT lost = m_lostCode;
    SettleServerState();
    errorText = SystemText("创建 IOPCServer 对象失败");
    return lost;
  }
  return S_OK;
}

HRESULT CServerConnection::NoteServerResult(HRESULT result) {
  if (IsServerLostCode(result) && m_lostCode == S_OK) m_lostCode = result;
  return result;
}

void CServerConnection::SetRecoveryTimer(std::unique_ptr<CApartmentTimer> timer) {
  m_timer = std::move(timer);
  m_timerRole = TimerRole::kNone;
}

void CServerConnection::LogRecovery(const std::string& text) {
  m_view.LogToWindow(text);
  LogToFile(text);
}

void CServerConnection::StopRecovery() {
  m_recovering = false;
  ArmTimer();
}

void CServerConnection::EndRecovery() {
  m_timer.reset();
  m_timerRole = TimerRole::kNone;
  m_recovering = false;
}

void CServerConnection::SettleServerState() {
  m_uiThread.Check();
  if (ServerLost()) GiveUpLostServer();
  ArmTimer();
}

void CServerConnection::GiveUpLostServer() {
  const HRESULT code = m_lostCode;
  m_lostCode = S_OK;
  if (m_server == nullptr) return;
  LogRecovery(StringPrintf(
      SystemText("与OpcServer的连接已断开，错误代码：%x；已释放其全部对象，稍后自动重新连接")
          .c_str(),
      Hex(code)));
  // The records keep their definitions and active flags; what they held of the dead server is
  // given back without calling it.
  if (m_groups != nullptr) m_groups->DropServerState();
  Release();
  ++m_figures.losses;
  m_figures.lastLossCode = code;
  m_recovering = true;
  m_reconnectAttempt = 0;
  m_lastReconnectError = S_OK;
}

void CServerConnection::ArmTimer() {
  const TimerRole wanted = m_server != nullptr ? TimerRole::kWatchdog
                           : m_recovering      ? TimerRole::kReconnect
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

void CServerConnection::OnRecoveryTimer() {
  m_uiThread.Check();
  const TimerRole role = m_timerRole;
  m_timerRole = TimerRole::kNone;
  if (role == TimerRole::kWatchdog && m_server != nullptr)
    CheckServerStatus();
  else if (role == TimerRole::kReconnect && m_server == nullptr && m_recovering)
    TryReconnect();
  SettleServerState();
}

void CServerConnection::CheckServerStatus() {
  OPCSERVERSTATUS* status = nullptr;
  NoteServerResult(m_server->GetStatus(&status));
  if (status != nullptr) {
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
  }
}

void CServerConnection::TryReconnect() {
  std::string errorText;
  const HRESULT hr = Connect(errorText);
  if (hr != S_OK) {
    if (hr != m_lastReconnectError) {
      LogRecovery(
          StringPrintf(SystemText("重新连接OpcServer失败：%s，错误代码：%x；将继续重试").c_str(),
                       errorText.c_str(), Hex(hr)));
    }
    m_lastReconnectError = hr;
    ++m_reconnectAttempt;
    return;
  }
  Regained();
}

void CServerConnection::Regained() {
  m_recovering = false;
  ++m_figures.reconnects;
  if (m_groups != nullptr) m_groups->RestoreGroups();
}
