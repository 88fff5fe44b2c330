#include "app/operation_record.h"

#include "platform/codepage.h"
#include "platform/string_format.h"
#include "res/strings.h"

std::string StartRecordText(const CommandLineOptions& options) {
  const std::uint32_t host = options.remoteHost;
  const std::string dotted = StringPrintf("%u.%u.%u.%u", (host >> 24) & 0xFFu, (host >> 16) & 0xFFu,
                                          (host >> 8) & 0xFFu, host & 0xFFu);
  std::string text =
      SystemText(std::string(kProductName) + " " + kProductVersion + " 启动，选项：");
  text += StringPrintf("/rh %s /rp %u /lp %u /progId ", dotted.c_str(),
                       static_cast<unsigned>(options.remotePort),
                       static_cast<unsigned>(options.listenPort));
  text += WideToMultiByte(options.progId);
  if (options.metricsPort != 0) text += StringPrintf(" /metrics %u", options.metricsPort);
  if (options.backgroundMode) text += " /s";
  return text;
}

std::string StopRecordText() {
  return SystemText(std::string(kProductName) + " " + kProductVersion + " 正常停止");
}

std::string PortTakenText(std::uint16_t port) {
  return StringPrintf(SystemText("端口%u已被另一个程序占用，Quarnix无法在该端口监听请求。"
                                 "请结束占用该端口的程序，或用/lp选择另一个端口。")
                          .c_str(),
                      static_cast<unsigned>(port));
}
