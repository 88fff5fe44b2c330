#include "app/operation_record.h"

#include "opc/call_deadline.h"
#include "opc/server_loss.h"
#include "platform/codepage.h"
#include "platform/string_format.h"
#include "res/strings.h"

namespace {

std::string Dotted(std::uint32_t host) {
  return StringPrintf("%u.%u.%u.%u", (host >> 24) & 0xFFu, (host >> 16) & 0xFFu,
                      (host >> 8) & 0xFFu, host & 0xFFu);
}

}  // namespace

std::string StartRecordText(const CommandLineOptions& options) {
  std::string text =
      SystemText(std::string(kProductName) + " " + kProductVersion + " 启动，选项：");
  text += StringPrintf("/rh %s /rp %u /lp %u /progId ", Dotted(options.remoteHost).c_str(),
                       static_cast<unsigned>(options.remotePort),
                       static_cast<unsigned>(options.listenPort));
  text += WideToMultiByte(options.progId);
  if (options.workDir) text += " /workdir " + *options.workDir;
  if (options.metricsPort != 0) text += StringPrintf(" /metrics %u", options.metricsPort);
  if (options.backgroundMode) text += " /s";
  if (options.connectAtStart) text += " /connect";
  const ProtectionSettings& protection = options.protection;
  if (protection.bindAddress != 0) text += " /bind " + Dotted(protection.bindAddress);
  if (!options.allowText.empty()) text += " /allow " + options.allowText;
  const RequestSettings& requests = options.requests;
  if (!requests.writersText.empty()) text += " /writers " + requests.writersText;
  if (requests.readOnly) text += " /readonly";
  text += StringPrintf(" /maxconn %d /maxgroups %llu /maxitems %llu", protection.maxConnections,
                       static_cast<unsigned long long>(requests.maxGroups),
                       static_cast<unsigned long long>(requests.maxItems));
  // The server-call settings only when changed: a default start's line stays as it was.
  if (requests.callTimeoutSeconds != kDefaultCallTimeoutSeconds)
    text += StringPrintf(" /calltimeout %d", requests.callTimeoutSeconds);
  if (requests.statusCheckSeconds != kDefaultStatusCheckSeconds)
    text += StringPrintf(" /statuscheck %d", requests.statusCheckSeconds);
  // The backup's options only when given, likewise.
  const FailoverSettings& failover = options.failover;
  if (failover.Enabled()) text += " /backup " + WideToMultiByte(failover.backupProgId);
  if (!failover.backupHost.empty()) text += " /backuphost " + WideToMultiByte(failover.backupHost);
  if (options.failoverGiven) text += StringPrintf(" /failover %d", failover.failoverSeconds);
  if (options.failbackGiven) text += StringPrintf(" /failback %d", failover.failbackSeconds);
  return text;
}

std::string StopRecordText() {
  return SystemText(std::string(kProductName) + " " + kProductVersion + " 正常停止");
}

std::string PortServedText(std::uint16_t port) {
  return StringPrintf(SystemText("端口%u已由另一个正在运行的Quarnix网关使用，它在该端口接受请求。"
                                 "不必再启动一个；要再运行一个网关，请用/lp选择另一个端口。")
                          .c_str(),
                      static_cast<unsigned>(port));
}

std::string PortTakenText(std::uint16_t port) {
  return StringPrintf(SystemText("端口%u已被另一个程序占用，Quarnix无法在该端口监听请求。"
                                 "请结束占用该端口的程序，或用/lp选择另一个端口。")
                          .c_str(),
                      static_cast<unsigned>(port));
}
