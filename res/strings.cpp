#include "res/strings.h"

#include "platform/codepage.h"
#include "platform/signal_hook.h"
#include "res/gateway_options.h"
#include "res/resource.h"

const char kProductName[] = "Quarnix";
const char kProductVersion[] = "1.0.0";

std::string CloseDeclinedText() {
  return std::string("后台模式下收到关闭请求，已忽略；请用") + CSignalHook::kStopRequestNames +
         "结束程序";
}

namespace {

struct StringEntry {
  int id;
  const char* text;
};

const StringEntry kStrings[] = {
    {IDS_SOCKETS_INIT_FAILED, "Windows 通信端口初始化失败。"},
    {IDR_MAINFRAME, "Quarnix"},
    {IDS_UNKNOWN_ERROR, "未知程序错误"},
    {IDS_ONE_INSTANCE_ONLY, "只能打开该程序的一个实例"},
    {ID_VIEW_HIDE, "最小化到系统托盘区"},
    {ID_VIEW_LOG_VALUE_CHANGES, "在窗口中显示变量值改变通知发送信息"},
    {AFX_IDS_APP_TITLE, "Quarnix"},
};

}  // namespace

std::string LoadResString(int id) {
  if (id == IDS_USAGE) return SystemText(GatewayUsageText());
  for (const StringEntry& entry : kStrings) {
    if (entry.id == id) return SystemText(entry.text);
  }
  return {};
}
