#include "opc/server_connection.h"

#include <algorithm>
#include <ctime>

#include <thread>
#include <utility>

#include "core/activity_log.h"
#include "opc/deadline_objects.h"
#include "opc/server_loss.h"
#include "platform/apartment.h"
#include "platform/codepage.h"
#include "platform/com/builtin_servers.h"
#include "platform/socket_api.h"
#include "platform/string_format.h"

CServerConnection::CServerConnection(IFrameView& view, WideString progId,
                                     const ConnectionTimes& times, FailoverSettings failover)
    : m_view(view),
      m_progId(std::move(progId)),
      m_times(times),
      m_deadline(std::make_unique<CCallDeadline>(times.callTimeout)),
      m_failover(std::move(failover)) {}

CServerConnection::~CServerConnection() {
  m_timer.reset();
  m_standbyTimer.reset();
  DropStandby(false);
  Release();
  EndPendingCreation();
}

// ------------------------------------------------------------------------------------------------
// The server and COM
// ------------------------------------------------------------------------------------------------

HRESULT CServerConnection::Connect(std::string& errorText) {
  m_uiThread.Check();
  if (m_server != nullptr) return S_OK;
  return CreateServer(errorText);
}

HRESULT CServerConnection::StartCreation(std::string& errorText) {
  m_uiThread.Check();
  if (m_server != nullptr) return S_OK;
  m_creationWait = std::chrono::milliseconds(0);
  const HRESULT hr = CreateServer(errorText);
  m_creationWait.reset();
  return hr;
}

HRESULT CServerConnection::ConnectOrTakeCreation(std::string& errorText) {
  return m_creationPending ? StartCreation(errorText) : Connect(errorText);
}

HRESULT CServerConnection::CreateServer(std::string& errorText) {
  m_creationTried = true;
  HRESULT hr = CoInitialize(nullptr);
  if (hr != S_OK && hr != S_FALSE) {
    errorText = StringPrintf(SystemText("初始化 COM 库 失败 %d").c_str(), static_cast<int>(hr));
    return hr;
  }
  CLSID clsid{};
  hr = CLSIDFromProgID(ActiveProgId().c_str(), &clsid);
  if (FAILED(hr)) {
    errorText = StringPrintf(SystemText("获取 %s 的CLSID失败").c_str(),
                             WideToMultiByte(ActiveProgId()).c_str());
    CoUninitialize();
    return hr;
  }
  hr = CreateInstance(clsid, errorText);
  if (hr != S_OK) CoUninitialize();
  return hr;
}

HRESULT CServerConnection::CreateInstance(const CLSID& clsid, std::string& errorText) {
  IOPCServer* server = nullptr;
  HRESULT hr = S_OK;
  m_deadline->TakeCancelled();  // only a cancellation of this creation counts below
  try {
    hr = CreateServerUnderDeadline(clsid, *m_deadline, &server, m_creationWait, HostOf(m_role));
  } catch (...) {
    // A failure, whatever the last error says: no server, and COM is given back as well so that
    // every successful CoInitialize stays matched by one CoUninitialize.
    const int lastError = SocketLastError();
    errorText = StringPrintf(SystemText("创建 OpcServer %s 请求出错。错误代码：%x").c_str(),
                             WideToMultiByte(ActiveProgId()).c_str(), Hex(lastError));
    return lastError != 0 ? static_cast<HRESULT>(lastError) : E_FAIL;
  }
  // A creation cancelled at the deadline has failed, whatever it reports.
  if (m_deadline->TakeCancelled() && SUCCEEDED(hr)) hr = RPC_E_CALL_CANCELED;
  // Not finished: it goes on on its thread, and the next try takes its result.
  m_creationPending = hr == kCreationPending || hr == RPC_E_CALL_CANCELED;
  if (hr == kCreationPending) {
    errorText = SystemText("正在创建 IOPCServer 对象，尚未完成");
    return hr;
  }
  m_lastHungCreation.reset();
  if (FAILED(hr) || server == nullptr) {
    errorText =
        hr == RPC_E_CALL_CANCELED
            ? StringPrintf(SystemText("创建 IOPCServer 对象超过 %d 秒未完成，已取消").c_str(),
                           static_cast<int>(m_deadline->Timeout().count() / 1000))
            : SystemText("创建 IOPCServer 对象失败");
    // A server that came back after the deadline is not used (and not called again).
    if (server != nullptr && hr != RPC_E_CALL_CANCELED) server->Release();
    if (hr == RPC_E_CALL_CANCELED)
      m_lastHungCreation = HungCreation{std::chrono::steady_clock::now(), errorText};
    return FAILED(hr) ? hr : E_FAIL;
  }
  m_server = server;
  m_deadline->SetCancelAtOnce(false);
  m_figures.connectedAt = std::chrono::steady_clock::now();
  m_figures.connectedSince = static_cast<std::int64_t>(std::time(nullptr));
  ShowActiveServer();
  return S_OK;
}

void CServerConnection::ShowActiveServer() {
  if (!m_failover.Enabled()) return;
  m_view.SetMessageText(StringPrintf(SystemText("由%sOPC服务器 %s 提供数据").c_str(),
                                     RoleName(m_role).c_str(),
                                     WideToMultiByte(ActiveProgId()).c_str()));
}

bool CServerConnection::ProgIdRegistered(const WideString& progId, std::string& text) {
  const HRESULT init = CoInitialize(nullptr);
  if (init != S_OK && init != S_FALSE) return true;  // the creation reports it
  CLSID clsid{};
  const HRESULT hr = CLSIDFromProgID(progId.c_str(), &clsid);
  CoUninitialize();
  if (SUCCEEDED(hr)) return true;
  const std::string name = WideToMultiByte(progId);
  text = StringPrintf(
      SystemText("OPC服务器 %s 未在本机注册（CLSIDFromProgID 失败，错误代码：%x），"
                 "在它安装并注册之前每个请求都会失败；请用 /progId 给出本机已注册的服务器")
          .c_str(),
      name.c_str(), Hex(hr));
  if (ComServesBuiltInServersOnly()) {
    text += SystemText(
        "。本 Linux 版没有 COM，只能服务内置的模拟服务器 Quarnix.Simulator"
        "（/progId Quarnix.Simulator）；真实的 OPC 服务器需要 Windows 版");
  }
  return false;
}

void CServerConnection::ConnectAtStart() {
  m_uiThread.Check();
  if (m_server != nullptr) return;
  LogRecovery(StringPrintf(SystemText("启动时创建 %s 的OpcServer（/connect）").c_str(),
                           WideToMultiByte(m_progId).c_str()));
  std::string errorText;
  const HRESULT hr = Connect(errorText);
  if (hr == S_OK) {
    LogRecovery(SystemText("成功创建OpcServer"));
  } else {
    LogRecovery(StringPrintf(
        SystemText("创建OpcServer失败：%s，错误代码：%x；将按重新连接的间隔继续重试").c_str(),
        errorText.c_str(), Hex(hr)));
    m_recovering = true;
    m_connectingAtStart = true;
    m_reconnectAttempt = 0;
    m_lastReconnectError = hr;
  }
  SettleServerState();
}

CServerConnection::State CServerConnection::CurrentState() const {
  if (m_server != nullptr) return State::kConnected;
  if (m_recovering) return m_connectingAtStart ? State::kConnecting : State::kLost;
  return m_creationTried ? State::kNotConnected : State::kNotYetAsked;
}

HRESULT CServerConnection::ConnectWithRetry(std::string& errorText) {
  const HRESULT hr = Connect(errorText);
  if (!IsServerLostCode(hr)) return hr;
  std::this_thread::sleep_for(kCreateRetryPause);
  return Connect(errorText);
}

void CServerConnection::Release(const char* failureFormat) {
  if (m_server == nullptr) return;
  if (m_hung) {
    AbandonServerObject(m_server);
    m_server = nullptr;
    CoUninitialize();
    LogToFile(SystemText("OpcServer已失去响应，未释放其对象（避免再次阻塞）"));
    return;
  }
  try {
    m_server->Release();
  } catch (...) {
    const int lastError = SocketLastError();
    LogToFile(StringPrintf(SystemText(failureFormat).c_str(), Hex(lastError)));
  }
  m_server = nullptr;
  SettleServerReleases(*m_deadline);
  CoUninitialize();
}

// ------------------------------------------------------------------------------------------------
// Loss and recovery
// ------------------------------------------------------------------------------------------------

HRESULT CServerConnection::ConnectForRequest(std::string& errorText) {
  m_uiThread.Check();
  // Past the failover time a request is served by the healthy standby at once.
  if (m_server == nullptr && ChooseRecoveryTarget()) return S_OK;
  // A creation that hung until its deadline a moment ago is not tried again by every request
  // queued behind it: each would hold the UI thread for another deadline.
  if (m_server == nullptr && m_lastHungCreation &&
      std::chrono::steady_clock::now() - m_lastHungCreation->at < kHungCreationRest) {
    errorText = m_lastHungCreation->text;
    return RPC_E_CALL_CANCELED;
  }
  // While the recovery's creation is under way the request does not wait for it: it takes the
  // result when there is one, else it is answered at once, as throughout the hang.
  const HRESULT hr = m_creationPending ? StartCreation(errorText) : ConnectWithRetry(errorText);
  if (hr == kCreationPending) return RPC_E_CALL_CANCELED;
  if (hr != S_OK) {
    // With a backup, a primary that cannot be created at all is retried in the background as
    // /connect does, so that the backup serves once the failover time has passed.
    if (m_failover.Enabled() && !m_recovering && m_role == Role::kPrimary) {
      m_recovering = true;
      m_connectingAtStart = true;
      m_reconnectAttempt = 0;
      m_lastReconnectError = hr;
      m_primaryDownSince = std::chrono::steady_clock::now();
    }
    return hr;
  }
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
  if (result == RPC_E_CALL_CANCELED && m_lostCode == S_OK && !m_judging) JudgeCancelledCall();
  return result;
}

void CServerConnection::JudgeCancelledCall() {
  const std::optional<CancelledCall> cancelled = m_deadline->TakeCancelled();
  const std::string method = cancelled ? cancelled->method : std::string("?");
  const double seconds =
      static_cast<double>((cancelled ? cancelled->lasted : m_deadline->Timeout()).count()) / 1000;
  if (ServerAnswersStatus()) {
    LogRecovery(StringPrintf(
        SystemText("调用OpcServer的 %s 在 %.1f 秒后仍未返回，已取消；OpcServer仍能应答状态查询，"
                   "判定为响应缓慢，连接保留")
            .c_str(),
        method.c_str(), seconds));
    return;
  }
  LogRecovery(StringPrintf(
      SystemText("调用OpcServer的 %s 在 %.1f 秒后仍未返回，已取消；OpcServer也未应答状态查询，"
                 "判定为已失去响应")
          .c_str(),
      method.c_str(), seconds));
  m_lostCode = RPC_E_CALL_CANCELED;
  m_hung = true;
  // Whatever the request goes on to call on the hung server is cancelled at once.
  m_deadline->SetCancelAtOnce(true);
}

bool CServerConnection::ServerAnswersStatus() {
  if (m_server == nullptr) return false;
  m_judging = true;
  HRESULT hr = E_FAIL;
  {
    const CCallDeadline::ScopedTimeout shortDeadline(
        *m_deadline, std::min(kStatusCheckTimeout, m_deadline->Timeout()));
    OPCSERVERSTATUS* status = nullptr;
    hr = m_server->GetStatus(&status);
    if (status != nullptr) {
      CoTaskMemFree(status->szVendorInfo);
      CoTaskMemFree(status);
    }
  }
  m_deadline->TakeCancelled();
  m_judging = false;
  if (IsServerLostCode(hr) && m_lostCode == S_OK) m_lostCode = hr;  // crashed meanwhile
  return hr == S_OK;
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
  m_connectingAtStart = false;
  ArmTimer();
}

void CServerConnection::EndRecovery() {
  m_timer.reset();
  m_timerRole = TimerRole::kNone;
  m_standbyTimer.reset();
  m_standbyArmed = false;
  DropStandby(false);
  m_recovering = false;
  m_connectingAtStart = false;
}

void CServerConnection::SettleServerState() {
  m_uiThread.Check();
  // A cancelled call whose request did not report it is judged now, so that the calls after it
  // wait their deadline again only when the server is alive.
  if (m_deadline->HasCancelled()) {
    if (m_server != nullptr && !ServerLost() && !m_judging)
      JudgeCancelledCall();
    else
      m_deadline->TakeCancelled();
  }
  if (ServerLost()) GiveUpLostServer();
  ArmTimer();
  ArmStandbyTimer();
}

void CServerConnection::GiveUpLostServer() {
  const HRESULT code = m_lostCode;
  const bool hung = std::exchange(m_hung, false);
  m_deadline->SetCancelAtOnce(false);
  m_lostCode = S_OK;
  if (m_server == nullptr) return;
  if (hung) {
    AbandonHungServer(code);
  } else {
    LogRecovery(StringPrintf(
        SystemText("与OpcServer的连接已断开，错误代码：%x；已释放其全部对象，稍后自动重新连接")
            .c_str(),
        Hex(code)));
    // The records keep their definitions and active flags; what they held of the dead server is
    // given back without calling it.
    if (m_groups != nullptr) m_groups->DropServerState();
    Release();
  }
  ++m_figures.losses;
  m_figures.lastLossCode = code;
  m_recovering = true;
  m_reconnectAttempt = 0;
  m_lastReconnectError = S_OK;
  if (m_failover.Enabled()) {
    if (m_role == Role::kPrimary && !m_primaryDownSince)
      m_primaryDownSince = std::chrono::steady_clock::now();
    // /failover 0, or the backup lost while the primary is healthy: the other server at once.
    if (ChooseRecoveryTarget()) return;
  }
  // After a hang the recovery starts the creation at once, without waiting for it: the requests
  // queued behind the hung call are then answered at once instead of each waiting for a creation
  // (and its deadline) of its own.
  if (hung) {
    std::string errorText;
    if (StartCreation(errorText) == S_OK) Regained();
  }
}

void CServerConnection::AbandonHungServer(HRESULT code) {
  // Nothing of a hung server is called or released: each of its objects could hold the UI thread
  // until the hang ends. Their references are leaked, and its callbacks reach nobody.
  std::size_t given = 1;  // the server's own reference
  if (m_groups != nullptr) given += m_groups->AbandonServerState();
  AbandonServerObject(m_server);
  m_server = nullptr;
  CoUninitialize();
  LogRecovery(StringPrintf(
      SystemText("OpcServer已失去响应，错误代码：%x；已放弃其 %d 个对象（未释放，避免再次阻塞），"
                 "稍后自动重新连接")
          .c_str(),
      Hex(code), static_cast<int>(given)));
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
  const auto delay = wanted == TimerRole::kWatchdog ? m_times.statusCheckPeriod
                     : m_creationPending            ? kCreationPoll
                                                    : ReconnectDelay(m_reconnectAttempt);
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
  const HRESULT hr = NoteServerResult(m_server->GetStatus(&status));
  if (hr == S_OK && status != nullptr) NoteServerStatus(status->dwServerState);
  if (status != nullptr) {
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
  }
}

void CServerConnection::TryReconnect() {
  if (ChooseRecoveryTarget()) return;
  std::string errorText;
  const HRESULT hr = ConnectOrTakeCreation(errorText);
  if (hr == kCreationPending) return;  // looked at again in kCreationPoll
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
  if (std::exchange(m_connectingAtStart, false)) {
    // /connect's first server: nothing was lost, and no group waits for it.
    LogRecovery(SystemText("成功创建OpcServer"));
    return;
  }
  ++m_figures.reconnects;
  if (m_failover.Enabled()) {
    if (m_role == Role::kPrimary) m_primaryDownSince.reset();
    m_notRunningSince.reset();
    LogRecovery(StringPrintf(SystemText("%sOPC服务器 %s 已恢复，由它继续提供数据").c_str(),
                             RoleName(m_role).c_str(), WideToMultiByte(ActiveProgId()).c_str()));
  }
  if (m_groups != nullptr) m_groups->RestoreGroups();
}

// ------------------------------------------------------------------------------------------------
// Failover and failback
// ------------------------------------------------------------------------------------------------

std::string CServerConnection::RoleName(Role role) {
  return SystemText(role == Role::kBackup ? "备用" : "主");
}

bool CServerConnection::BackupAvailable() const {
  if (m_role == Role::kBackup) return m_server != nullptr || m_backupAnswered;
  return m_backupAnswered;
}

void CServerConnection::NoteBackupFailure(const std::string& text) {
  m_backupAnswered = false;
  const auto now = std::chrono::steady_clock::now();
  if (m_backupFailureLoggedAt && now - *m_backupFailureLoggedAt < kBackupFailureLogPeriod) return;
  m_backupFailureLoggedAt = now;
  LogRecovery(StringPrintf(SystemText("备用OPC服务器 %s 不可用：%s").c_str(),
                           WideToMultiByte(m_failover.backupProgId).c_str(), text.c_str()));
}

bool CServerConnection::ChooseRecoveryTarget() {
  if (!m_failover.Enabled() || !m_recovering || m_server != nullptr) return false;
  const auto now = std::chrono::steady_clock::now();
  if (m_role == Role::kPrimary) {
    if (!m_primaryDownSince) m_primaryDownSince = now;
    const auto down = now - *m_primaryDownSince;
    if (down < std::chrono::seconds(m_failover.failoverSeconds)) return false;
    if (!m_standbyHealthySince) {
      if (!std::exchange(m_failoverLogged, true)) {
        LogRecovery(
            StringPrintf(SystemText("主OPC服务器 %s 失去已超过 %d 秒，但备用服务器 %s 尚不可用；"
                                    "哪一台先恢复就由哪一台提供数据")
                             .c_str(),
                         WideToMultiByte(m_progId).c_str(), m_failover.failoverSeconds,
                         WideToMultiByte(m_failover.backupProgId).c_str()));
      }
      return false;
    }
    TakeStandby(StringPrintf(
        SystemText("主服务器 %s 失去 %d 秒仍未恢复").c_str(), WideToMultiByte(m_progId).c_str(),
        static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(down).count())));
    return true;
  }
  // The backup is lost: the primary takes over as soon as it is healthy.
  if (!m_standbyHealthySince) return false;
  TakeStandby(StringPrintf(SystemText("备用服务器 %s 已失去，主服务器正常").c_str(),
                           WideToMultiByte(m_failover.backupProgId).c_str()));
  return true;
}

void CServerConnection::TakeStandby(const std::string& why) {
  const bool toBackup = m_role == Role::kPrimary;
  const bool firstServer = std::exchange(m_connectingAtStart, false);
  const bool wasRecovering = m_recovering && !firstServer;
  m_role = Other(m_role);
  m_server = std::exchange(m_standby, nullptr);
  // A creation of the server that no longer serves goes on; the standby check takes its result.
  m_standbyPending = std::exchange(m_creationPending, false);
  m_standbyHealthySince.reset();
  m_lastHungCreation.reset();
  m_deadline->SetCancelAtOnce(false);
  m_figures.connectedAt = std::chrono::steady_clock::now();
  m_figures.connectedSince = static_cast<std::int64_t>(std::time(nullptr));
  m_recovering = false;
  m_reconnectAttempt = 0;
  m_notRunningSince.reset();
  m_failoverLogged = false;
  if (toBackup) {
    ++m_failovers;
    m_backupAnswered = true;
  } else {
    m_primaryDownSince.reset();
  }
  if (wasRecovering) ++m_figures.reconnects;
  ShowActiveServer();
  LogRecovery(StringPrintf(SystemText("切换到%sOPC服务器 %s，由它提供数据：%s").c_str(),
                           RoleName(m_role).c_str(), WideToMultiByte(ActiveProgId()).c_str(),
                           why.c_str()));
  // The first server since the start holds no groups yet.
  if (m_groups != nullptr && !firstServer) m_groups->RestoreGroups();
}

void CServerConnection::NoteServerStatus(DWORD state) {
  if (!m_failover.Enabled() || m_role != Role::kPrimary) return;
  if (state == OPC_STATUS_RUNNING) {
    m_notRunningSince.reset();
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (!m_notRunningSince) {
    m_notRunningSince = now;
    LogRecovery(StringPrintf(SystemText("主OPC服务器 %s 报告的状态不是运行中（状态 %u）").c_str(),
                             WideToMultiByte(m_progId).c_str(), static_cast<unsigned>(state)));
  }
  const auto since = now - *m_notRunningSince;
  if (since < std::chrono::seconds(m_failover.failoverSeconds) || !m_standbyHealthySince) return;
  // Left while it still answers: its groups are removed from it, then it is released.
  if (m_groups != nullptr) m_groups->LeaveServerState();
  Release();
  ForgetLoss();
  TakeStandby(StringPrintf(
      SystemText("主服务器 %s 的状态 %u 持续 %d 秒不是运行中").c_str(),
      WideToMultiByte(m_progId).c_str(), static_cast<unsigned>(state),
      static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(since).count())));
}

void CServerConnection::DropStandby(bool hung) {
  m_standbyHealthySince.reset();
  if (m_standby == nullptr) return;
  if (hung) {
    AbandonServerObject(m_standby);
  } else {
    try {
      m_standby->Release();
    } catch (...) {
      LogToFile(StringPrintf(SystemText(kReleaseFailure).c_str(), Hex(SocketLastError())));
    }
  }
  m_standby = nullptr;
  CoUninitialize();
}

void CServerConnection::CheckStandby() {
  m_uiThread.Check();
  const Role standbyRole = Other(m_role);
  const std::string standbyName = WideToMultiByte(ProgIdOf(standbyRole));
  const auto failed = [&](const std::string& text) {
    m_standbyHealthySince.reset();
    if (standbyRole == Role::kBackup) NoteBackupFailure(text);
  };
  if (m_standby == nullptr) {
    // A creation of the serving side's recovery under way is not disturbed.
    if (m_creationPending) return;
    const HRESULT init = CoInitialize(nullptr);
    if (init != S_OK && init != S_FALSE) return;
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(ProgIdOf(standbyRole).c_str(), &clsid);
    if (FAILED(hr)) {
      CoUninitialize();
      m_standbyPending = false;
      failed(StringPrintf(SystemText("未在本机注册（错误代码：%x）").c_str(), Hex(hr)));
      return;
    }
    IOPCServer* server = nullptr;
    m_deadline->TakeCancelled();
    try {
      // A creation already under way (a hung server's) is only looked at, not waited for.
      hr = CreateServerUnderDeadline(
          clsid, *m_deadline, &server,
          m_standbyPending ? std::chrono::milliseconds(0) : kStandbyCreationWait,
          HostOf(standbyRole));
    } catch (...) {
      hr = E_FAIL;
    }
    m_deadline->TakeCancelled();
    m_standbyPending = hr == kCreationPending || hr == RPC_E_CALL_CANCELED;
    if (hr != S_OK || server == nullptr) {
      if (server != nullptr) server->Release();
      CoUninitialize();
      if (hr != kCreationPending)
        failed(StringPrintf(SystemText("创建失败，错误代码：%x").c_str(), Hex(hr)));
      return;
    }
    m_standby = server;  // COM stays initialised with it
  }
  OPCSERVERSTATUS* status = nullptr;
  HRESULT hr = E_FAIL;
  {
    const CCallDeadline::ScopedTimeout shortDeadline(
        *m_deadline, std::min(kStatusCheckTimeout, m_deadline->Timeout()));
    hr = m_standby->GetStatus(&status);
  }
  m_deadline->TakeCancelled();
  DWORD state = 0;
  if (status != nullptr) {
    state = status->dwServerState;
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
  }
  if (hr != S_OK || state != OPC_STATUS_RUNNING) {
    if (hr != S_OK) DropStandby(hr == RPC_E_CALL_CANCELED);
    failed(hr != S_OK ? StringPrintf(SystemText("状态查询失败，错误代码：%x").c_str(), Hex(hr))
                      : StringPrintf(SystemText("状态 %u 不是运行中").c_str(),
                                     static_cast<unsigned>(state)));
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (!m_standbyHealthySince) {
    m_standbyHealthySince = now;
    if (standbyRole == Role::kPrimary)
      LogRecovery(
          StringPrintf(SystemText("主OPC服务器 %s 又能应答状态查询").c_str(), standbyName.c_str()));
  }
  if (standbyRole == Role::kBackup) {
    if (!m_backupAnswered) m_backupFailureLoggedAt.reset();  // a later failure is told again
    m_backupAnswered = true;
  }
  if (m_recovering) {
    ChooseRecoveryTarget();
    return;
  }
  // Failback: the primary healthy without a break for the failback time.
  if (standbyRole != Role::kPrimary || m_failover.failbackSeconds == 0 || m_server == nullptr ||
      ServerLost() ||
      now - *m_standbyHealthySince < std::chrono::seconds(m_failover.failbackSeconds))
    return;
  if (m_groups != nullptr) m_groups->LeaveServerState();
  Release();
  ForgetLoss();
  TakeStandby(
      StringPrintf(SystemText("主服务器已持续正常 %d 秒").c_str(), m_failover.failbackSeconds));
}

void CServerConnection::ArmStandbyTimer() {
  if (!m_failover.Enabled()) return;
  if (m_server == nullptr && !m_recovering) {
    if (m_standbyTimer) m_standbyTimer->Stop();
    m_standbyArmed = false;
    return;
  }
  if (m_standbyArmed) return;
  if (!m_standbyTimer)
    m_standbyTimer = std::make_unique<CApartmentTimer>(CApartment::ForCurrentThread());
  m_standbyArmed = true;
  m_standbyTimer->Start(kStandbyCheckPeriod, [this] {
    m_standbyArmed = false;
    CheckStandby();
    SettleServerState();
  });
}
