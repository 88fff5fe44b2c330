#include "res/gateway_options.h"

namespace {

const GatewayOption kOptions[] = {
    {"/rh", "/rh 接收OPC数据的远程计算机IP地址，默认为127.0.0.1"},
    {"/rp", "/rp 远程计算机上接收OPC通知的网络端口，默认为8088"},
    {"/lp", "/lp 本机接收OPC请求的网络端口，默认为8089"},
    {"/s", "/s 后台服务模式，不显示图形界面，默认不启用"},
    {"/progId",
     "/progId OPC服务器名称，默认为OPC.SimaticNET，"
     "其他已知的服务器有S7200.OPCServer、Kepware.KEPServerEX.V5"},
    {"/bind", "/bind 接收OPC请求的本机IPv4地址，默认为本机所有网络接口"},
    {"/allow",
     "/allow 允许发送请求的客户端IPv4地址或CIDR网段，以逗号分隔，"
     "例如10.1.2.0/24,10.1.3.7，默认允许所有地址"},
    {"/writers",
     "/writers 允许写入（SW、AW，以及删除其他地址定义的组）的客户端IPv4地址或CIDR网段，"
     "须在/allow之内，默认允许所有客户端"},
    {"/readonly", "/readonly 只读模式，拒绝SW和AW写入请求，默认不启用"},
    {"/maxconn", "/maxconn 每个客户端地址同时保持的最大连接数，默认为256"},
    {"/maxgroups", "/maxgroups 组列表的最大条目数，默认为10000"},
    {"/maxitems", "/maxitems 所有组的数据项总数上限，默认为1000000"},
    {"/calltimeout",
     "/calltimeout 每次调用OPC服务器的时限（秒，1到600），超时即取消该调用，默认为10"},
    {"/statuscheck",
     "/statuscheck 向OPC服务器查询状态（GetStatus）的间隔（秒，1到600），"
     "据此发现失去的服务器，默认为10"},
    {"/connect",
     "/connect 启动时即创建OPC服务器连接并保持（失败时按重新连接的间隔重试），"
     "默认在收到第一个请求时才创建"},
    {"/backup",
     "/backup "
     "备用OPC服务器的ProgID（须与/progId不同）：主服务器失去或不在运行状态超过/failover秒后，"
     "全部组在备用服务器上按原索引重新加入，默认没有备用服务器"},
    {"/backuphost",
     "/backuphost 仅限Windows：备用OPC服务器所在的计算机（通过DCOM创建），默认为本机"},
    {"/failover",
     "/failover 主OPC服务器失去多少秒（0到600）仍未恢复即切换到备用服务器，0为立即切换，默认为5"},
    {"/failback",
     "/failback 备用服务器服务期间，主OPC服务器持续正常多少秒后切换回主服务器，"
     "0为一直使用备用服务器直到它失去，默认为60"},
    {"/metrics",
     "/metrics 提供Prometheus指标和健康检查（/health）的HTTP端口（1到65535），默认不打开"},
    {"/workdir",
     "/workdir 工作目录（日志文件RV_Morvantel.log所在的已有文件夹的完整路径），默认为启动时的目录"},
    // The Windows service's options (quarnix.exe only).
    {"/install",
     "/install 仅限Windows：把本程序注册为自动启动的Windows服务Quarnix，"
     "其后的参数即服务的参数，需管理员权限"},
    {"/uninstall", "/uninstall 仅限Windows：停止并删除Windows服务Quarnix"},
    {"/service", "/service 仅限Windows：由服务管理器启动服务Quarnix时使用，隐含/s"},
    {"/?", "/? 或 --help、-h 显示本说明后结束"},
    {"--help", nullptr},
    {"-h", nullptr},
};

}  // namespace

std::span<const GatewayOption> GatewayOptions() {
  return kOptions;
}

std::string GatewayUsageText() {
  std::string text = "Quarnix 命令行参数：";
  for (const GatewayOption& option : kOptions) {
    if (option.usage == nullptr) continue;
    text += "\n[";
    text += option.usage;
    text += ']';
  }
  return text;
}
