#include "res/strings.h"

#include "platform/codepage.h"
#include "platform/signal_hook.h"
#include "res/resource.h"

const char kProductName[] = "Quarnix";
const char kProductVersion[] = "1.0.0";

std::string CloseDeclinedText() {
  return std::string("后台模式下收到关闭请求，已忽略；请用") + CSignalHook::kStopRequestNames +
         "结束程序";
}

namespace {

const char kUsage[] =
    "Quarnix 命令行参数：\n"
    "[/rh 接收OPC数据的远程计算机IP地址，默认为127.0.0.1]\n"
    "[/rp 远程计算机上接收OPC通知的网络端口，默认为8088]\n"
    "[/lp 本机接收OPC请求的网络端口，默认为8089]\n"
    "[/s 后台服务模式，不显示图形界面，默认不启用]\n"
    "[/progId OPC服务器名称，默认为OPC.SimaticNET，"
    "其他已知的服务器有S7200.OPCServer、Kepware.KEPServerEX.V5]\n"
    "[/bind 接收OPC请求的本机IPv4地址，默认为本机所有网络接口]\n"
    "[/allow 允许发送请求的客户端IPv4地址或CIDR网段，以逗号分隔，"
    "例如10.1.2.0/24,10.1.3.7，默认允许所有地址]\n"
    "[/readonly 只读模式，拒绝SW和AW写入请求，默认不启用]\n"
    "[/maxconn 每个客户端地址同时保持的最大连接数，默认为256]\n"
    "[/maxgroups 组列表的最大条目数，默认为10000]\n"
    "[/maxitems 所有组的数据项总数上限，默认为1000000]\n"
    "[/calltimeout 每次调用OPC服务器的时限（秒，1到600），超时即取消该调用，默认为10]\n"
    "[/statuscheck 向OPC服务器查询状态（GetStatus）的间隔（秒，1到600），"
    "据此发现失去的服务器，默认为10]\n"
    // The Windows service's options (quarnix.exe only).
    "[/install 仅限Windows：把本程序注册为自动启动的Windows服务Quarnix，"
    "其后的参数即服务的参数，需管理员权限]\n"
    "[/uninstall 仅限Windows：停止并删除Windows服务Quarnix]\n"
    "[/service 仅限Windows：由服务管理器启动服务Quarnix时使用，隐含/s]";

struct StringEntry {
  int id;
  const char* text;
};

const StringEntry kStrings[] = {
    {IDS_SOCKETS_INIT_FAILED, "Windows 通信端口初始化失败。"},
    {IDR_MAINFRAME, "Quarnix"},
    {IDS_UNKNOWN_ERROR, "未知程序错误"},
    {IDS_USAGE, kUsage},
    {IDS_ONE_INSTANCE_ONLY, "只能打开该程序的一个实例"},
    {ID_VIEW_HIDE, "最小化到系统托盘区"},
    {ID_VIEW_LOG_VALUE_CHANGES, "在窗口中显示变量值改变通知发送信息"},
    {AFX_IDS_APP_TITLE, "Quarnix"},
};

}  // namespace

std::string LoadResString(int id) {
  for (const StringEntry& entry : kStrings) {
    if (entry.id == id) return SystemText(entry.text);
  }
  return {};
}
