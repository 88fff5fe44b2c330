#include "net/connection_guard.h"

#include <algorithm>

#include "platform/codepage.h"
#include "platform/string_format.h"

namespace {

// Beyond this many remembered addresses, those not logged within the interval are forgotten.
constexpr std::size_t kMostRemembered = 4096;

std::string Dotted(std::uint32_t address) {
  return StringPrintf("%u.%u.%u.%u", address >> 24, (address >> 16) & 255u, (address >> 8) & 255u,
                      address & 255u);
}

}  // namespace

void CConnectionGuard::Configure(const ProtectionSettings& settings) {
  std::lock_guard lock(m_mutex);
  m_allowList = settings.allowList;
  m_maxPerAddress = settings.maxConnections;
  m_mostOpen =
      settings.openFileLimit > 0 ? std::max(1, settings.openFileLimit - kReservedFiles) : 0;
}

CConnectionGuard::Verdict CConnectionGuard::Admit(std::uint32_t address) {
  std::lock_guard lock(m_mutex);
  if (!m_allowList.Allows(address)) return Verdict::kNotAllowed;
  int& count = m_perAddress[address];
  if (count >= m_maxPerAddress) {
    if (count == 0) m_perAddress.erase(address);
    return Verdict::kTooMany;
  }
  if (m_mostOpen > 0 && m_open >= m_mostOpen) {
    if (count == 0) m_perAddress.erase(address);
    return Verdict::kNoRoom;
  }
  ++count;
  ++m_open;
  return Verdict::kAdmitted;
}

void CConnectionGuard::Release(std::uint32_t address) {
  std::lock_guard lock(m_mutex);
  const auto entry = m_perAddress.find(address);
  if (entry == m_perAddress.end()) return;
  --m_open;
  if (--entry->second <= 0) m_perAddress.erase(entry);
}

int CConnectionGuard::OpenCount() const {
  std::lock_guard lock(m_mutex);
  return m_open;
}

bool CConnectionGuard::NearLimit() const {
  std::lock_guard lock(m_mutex);
  return m_mostOpen > 0 && m_open * 4 >= m_mostOpen * 3;
}

bool CConnectionGuard::Crowded() const {
  std::lock_guard lock(m_mutex);
  return m_mostOpen > 0 && m_open * 2 >= m_mostOpen;
}

std::string CConnectionGuard::RefusalLogLine(std::uint32_t address, Verdict verdict,
                                             Clock::time_point now) {
  int refusals = 0;
  int limit = 0;
  {
    std::lock_guard lock(m_mutex);
    if (m_logged.size() > kMostRemembered) {
      std::erase_if(m_logged, [now](const auto& entry) {
        return now - entry.second.lastLine >= kLogInterval;
      });
    }
    LogState& state = m_logged[address];
    ++state.unlogged;
    if (state.logged && now - state.lastLine < kLogInterval) return {};
    refusals = state.unlogged;
    state.unlogged = 0;
    state.logged = true;
    state.lastLine = now;
    limit = m_maxPerAddress;
  }
  const std::string peer = Dotted(address);
  switch (verdict) {
    case Verdict::kNotAllowed:
      return StringPrintf(
          SystemText("拒绝来自 %s 的连接：该地址不在 /allow 列表中（自上次记录以来共 %d 次）")
              .c_str(),
          peer.c_str(), refusals);
    case Verdict::kTooMany:
      return StringPrintf(SystemText("拒绝来自 %s 的连接：该地址未关闭的连接已达 /maxconn "
                                     "上限 %d（自上次记录以来共 %d 次）")
                              .c_str(),
                          peer.c_str(), limit, refusals);
    case Verdict::kNoRoom:
      return StringPrintf(SystemText("关闭来自 %s 的连接：网关打开的连接已接近系统上限，无法"
                                     "立即处理（自上次记录以来共 %d 次）")
                              .c_str(),
                          peer.c_str(), refusals);
    case Verdict::kAdmitted:
      break;
  }
  return {};
}
