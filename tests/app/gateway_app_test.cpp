#include "app/gateway_app.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/headless_frame.h"
#include "core/activity_log.h"
#include "opc/server_connection.h"
#include "platform/instance_lock.h"
#include "platform/string_format.h"
#include "res/gateway_options.h"
#include "res/resource.h"
#include "res/strings.h"
#include "tests/net/loopback.h"

using namespace testing_loopback;

namespace {

std::vector<std::string> PaneLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", start)) {
    lines.push_back(text.substr(start + 20, at - start - 20));  // without the stamp and its space
    start = at + 2;
  }
  return lines;
}

std::vector<std::string> FileLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', start)) {
    lines.push_back(text.substr(start + 20, at - start - 20));
    start = at + 1;
  }
  return lines;
}

std::string GuardName(std::uint16_t port) {
  return "com.vesk.Morvantel.semaphore." + std::to_string(port);
}

// One application per test, in a scratch working directory that also holds the lock files.
class GatewayAppTest : public ::testing::Test {
protected:
  void SetUp() override {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    m_hadRuntimeDir = saved != nullptr;
    if (saved != nullptr) m_savedRuntimeDir = saved;
    ::setenv("XDG_RUNTIME_DIR", m_scratch.Path().c_str(), 1);
    m_port = FreeTcpPort();
    m_app = std::make_unique<CGatewayApp>();
    m_app->SetFrameFactory([this](const std::u16string& progId, const FailoverSettings&,
                                  bool backgroundMode, CDatagramSender&) {
      auto frame = std::make_shared<CHeadlessFrame>(backgroundMode);
      m_frame = frame.get();
      m_frameProgId = progId;
      m_frameBackground = backgroundMode;
      return MainWindow{frame};
    });
    m_app->SetMessageBox([this](const std::string& text) { m_messageBoxes.push_back(text); });
  }
  void TearDown() override {
    m_app->DestroyMainFrame();
    m_app->ExitInstance();
    m_app.reset();
    if (m_hadRuntimeDir) {
      ::setenv("XDG_RUNTIME_DIR", m_savedRuntimeDir.c_str(), 1);
    } else {
      ::unsetenv("XDG_RUNTIME_DIR");
    }
  }

  std::string Ports() const {
    return " /lp " + std::to_string(m_port) + " /rp " + std::to_string(m_receiver.Port());
  }
  // Starts with the given options, capturing standard output.
  bool Init(const std::string& options) {
    testing::internal::CaptureStdout();
    const bool started = m_app->InitInstance("/usr/bin/quarnix " + options);
    m_stdout = testing::internal::GetCapturedStdout();
    return started;
  }
  std::string LogFile() const { return ReadFile(m_scratch.Path() / kLogFileName); }
  bool NothingArrived() {
    m_receiver.SendMarker("marker");
    return m_receiver.Receive().value_or("") == "marker";
  }

  ScratchDirectory m_scratch;
  UdpReceiver m_receiver;
  std::uint16_t m_port = 0;
  std::unique_ptr<CGatewayApp> m_app;
  CHeadlessFrame* m_frame = nullptr;
  std::u16string m_frameProgId;
  bool m_frameBackground = false;
  std::vector<std::string> m_messageBoxes;
  std::string m_stdout;
  bool m_hadRuntimeDir = false;
  std::string m_savedRuntimeDir;
};

// The line that follows the start record here: the default ProgID is not registered in these
// tests (the simulator is not), so the start says so.
std::string UnregisteredServerLine() {
  std::string text;
  EXPECT_FALSE(CServerConnection::ProgIdRegistered(u"OPC.SimaticNET", text));
  return text;
}

}  // namespace

TEST_F(GatewayAppTest, StartsListensAnnouncesAndShutsDownInOrder) {
  ASSERT_TRUE(Init("/s" + Ports()));
  EXPECT_EQ("", m_stdout);
  EXPECT_EQ("Startup Quarnix\r\n", m_receiver.Receive().value_or(""));
  ASSERT_NE(nullptr, m_frame);
  EXPECT_EQ(m_frame, pMainFrame);
  const std::string port = std::to_string(m_port);
  const std::string unregistered = UnregisteredServerLine();
  EXPECT_NE(std::string::npos, unregistered.find("OPC.SimaticNET")) << unregistered;
  EXPECT_NE(std::string::npos, unregistered.find("Quarnix.Simulator")) << unregistered;
  EXPECT_EQ((std::vector<std::string>{"成功启动监听线程后发送成功启动广播", "尝试启动监听线程",
                                      "成功打开套接字端口" + port, "尝试打开套接字端口" + port,
                                      unregistered}),
            PaneLines(m_frame->Pane().Text()));
  // Background mode: the start's record, then every pane line, each once.
  const std::string started = "Quarnix 1.0.0 启动，选项：/rh 127.0.0.1 /rp " +
                              std::to_string(m_receiver.Port()) + " /lp " + port +
                              " /progId OPC.SimaticNET /s /maxconn 256 /maxgroups 10000 /maxitems "
                              "1000000";
  EXPECT_EQ((std::vector<std::string>{started, unregistered, "尝试打开套接字端口" + port,
                                      "成功打开套接字端口" + port, "尝试启动监听线程",
                                      "成功启动监听线程后发送成功启动广播"}),
            FileLines(LogFile()));
  TcpClient client(m_port);
  EXPECT_TRUE(client.Connected());
  CInstanceLock other;
  EXPECT_EQ(CInstanceLock::Result::kAlreadyHeld, other.Acquire(GuardName(m_port)));

  m_app->DestroyMainFrame();
  EXPECT_EQ(nullptr, pMainFrame);
  EXPECT_EQ(0, m_app->ExitInstance());
  EXPECT_EQ("Exit Quarnix\r\n", m_receiver.Receive().value_or(""));
  EXPECT_EQ("Quarnix 1.0.0 正常停止", FileLines(LogFile()).back());
  EXPECT_EQ(kNoSocket, m_app->socketListen.m_socket);
  EXPECT_EQ(kNoSocket, m_app->socketNotify.m_socket);
  EXPECT_EQ(0, m_app->listenPort);
  EXPECT_EQ(0, m_app->remotePort);
  EXPECT_EQ(0u, m_app->remoteHost);
  EXPECT_EQ(CInstanceLock::Result::kAcquired, other.Acquire(GuardName(m_port)));
  TcpClient late(m_port);
  EXPECT_FALSE(late.Connected());
}

// The defined line, then which port another gateway serves; on record in the log file too.
TEST_F(GatewayAppTest, SecondInstanceOnTheSamePortIsRefusedOnStandardOutput) {
  CInstanceLock first;
  ASSERT_EQ(CInstanceLock::Result::kAcquired, first.Acquire(GuardName(m_port)));
  EXPECT_FALSE(Init("/s" + Ports()));
  const std::string served = "端口" + std::to_string(m_port) +
                             "已由另一个正在运行的Quarnix网关使用，它在该端口接受请求。"
                             "不必再启动一个；要再运行一个网关，请用/lp选择另一个端口。";
  EXPECT_EQ(LoadResString(IDS_ONE_INSTANCE_ONLY) + "\n" + served + "\n", m_stdout);
  EXPECT_EQ(0u, m_stdout.find("只能打开该程序的一个实例\n"));
  EXPECT_EQ((std::vector<std::string>{"只能打开该程序的一个实例", served}), FileLines(LogFile()));
  EXPECT_EQ(nullptr, m_frame);
  EXPECT_EQ(1, m_app->ExitInstance());
  EXPECT_TRUE(NothingArrived());
}

TEST_F(GatewayAppTest, RefusalInWindowModeGoesToTheMessageBox) {
  CInstanceLock first;
  ASSERT_EQ(CInstanceLock::Result::kAcquired, first.Acquire(GuardName(m_port)));
  EXPECT_FALSE(Init(Ports()));
  EXPECT_EQ("", m_stdout);
  ASSERT_EQ(1u, m_messageBoxes.size());
  EXPECT_EQ(0u, m_messageBoxes[0].find("只能打开该程序的一个实例\n端口" + std::to_string(m_port)))
      << m_messageBoxes[0];
  EXPECT_EQ(2u, FileLines(LogFile()).size());
}

TEST_F(GatewayAppTest, UsageReachesStandardOutputOnlyWhenSComesFirst) {
  EXPECT_FALSE(Init("/s /?" + Ports()));
  EXPECT_EQ(LoadResString(IDS_USAGE) + "\n", m_stdout);
  EXPECT_TRUE(m_messageBoxes.empty());
  EXPECT_EQ(nullptr, m_frame);
  EXPECT_EQ(0, m_app->ExitInstance());  // asked for, not a failure

  CGatewayApp windowed;
  std::vector<std::string> boxes;
  windowed.SetMessageBox([&](const std::string& text) { boxes.push_back(text); });
  EXPECT_FALSE(windowed.InitInstance("quarnix /? /s"));
  EXPECT_EQ(std::vector<std::string>{LoadResString(IDS_USAGE)}, boxes);
  windowed.ExitInstance();
}

// A /writers address outside /allow could never connect: the start ends, naming it.
TEST_F(GatewayAppTest, WritersOutsideTheAllowListEndTheStart) {
  EXPECT_FALSE(Init("/s /allow 10.1.2.0/24 /writers 10.1.2.5,10.1.3.7" + Ports()));
  EXPECT_NE(std::string::npos,
            m_stdout.find("选项 /writers 的值“10.1.2.5,10.1.3.7”无效：“10.1.3.7”"))
      << m_stdout;
  EXPECT_EQ(nullptr, m_frame);
  EXPECT_EQ(1, m_app->ExitInstance());
}

TEST_F(GatewayAppTest, BadProtectionValueEndsTheStartWithItsMessage) {
  EXPECT_FALSE(Init("/s /allow 10.1.2" + Ports()));
  EXPECT_NE(std::string::npos, m_stdout.find("/allow")) << m_stdout;
  EXPECT_NE(std::string::npos, m_stdout.find("10.1.2")) << m_stdout;

  // On record for a service, whose standard output nobody reads.
  EXPECT_EQ(std::vector<std::string>{m_stdout.substr(0, m_stdout.size() - 1)},
            FileLines(LogFile()));
  EXPECT_EQ(nullptr, m_frame);
  EXPECT_EQ(1, m_app->ExitInstance());
  EXPECT_TRUE(NothingArrived());

  // An address this machine does not have; in window mode the message box tells.
  CGatewayApp windowed;
  std::vector<std::string> boxes;
  windowed.SetMessageBox([&](const std::string& text) { boxes.push_back(text); });
  EXPECT_FALSE(windowed.InitInstance("quarnix /bind 192.0.2.1" + Ports()));
  ASSERT_EQ(1u, boxes.size());
  EXPECT_NE(std::string::npos, boxes[0].find("/bind")) << boxes[0];
  EXPECT_NE(std::string::npos, boxes[0].find("192.0.2.1")) << boxes[0];
  EXPECT_EQ(1, windowed.ExitInstance());
}

TEST_F(GatewayAppTest, WorkDirHoldsTheLogFileAndIsInTheStartRecord) {
  const std::filesystem::path folder = m_scratch.Path() / "data";
  std::filesystem::create_directory(folder);
  ASSERT_TRUE(Init("/s /workdir " + folder.string() + Ports()));
  EXPECT_EQ(folder, std::filesystem::current_path());
  const std::vector<std::string> lines = FileLines(ReadFile(folder / kLogFileName));
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(std::string::npos,
            lines[0].find(" /progId OPC.SimaticNET /workdir " + folder.string() + " /s"))
      << lines[0];
  EXPECT_EQ(0, m_app->ExitInstance());

  // A folder that is not there, a relative one, a missing value: refused before anything runs.
  for (const std::string& bad : {folder.string() + "/gone", std::string("data"), std::string()}) {
    CGatewayApp refused;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(refused.InitInstance("quarnix /s" + Ports() + " /workdir " + bad));
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, said.find("/workdir 的值“" + bad + "”无效")) << said;
    EXPECT_EQ(1, refused.ExitInstance());
  }
  EXPECT_TRUE(ReadFile(m_scratch.Path() / kLogFileName).empty());
}

TEST_F(GatewayAppTest, UsageTextNamesEveryOptionAndDefault) {
  const std::string usage = LoadResString(IDS_USAGE);
  EXPECT_EQ(0u, usage.find("Quarnix"));
  for (const char* part : {"[/rh ",
                           "127.0.0.1",
                           "[/rp ",
                           "8088",
                           "[/lp ",
                           "8089",
                           "[/s ",
                           "[/progId ",
                           "OPC.SimaticNET",
                           "S7200.OPCServer",
                           "Kepware.KEPServerEX.V5",
                           "[/bind ",
                           "[/allow ",
                           "[/writers ",
                           "[/readonly ",
                           "[/maxconn ",
                           "256",
                           "[/maxgroups ",
                           "10000",
                           "[/maxitems ",
                           "1000000",
                           "[/statuscheck "}) {
    EXPECT_NE(std::string::npos, usage.find(part)) << part;
  }
  // Every option the gateway takes is in it.
  for (const GatewayOption& option : GatewayOptions())
    EXPECT_NE(std::string::npos, usage.find(option.name)) << option.name;
  for (const char* name : {"[/metrics ", "[/workdir ", "[/connect ", "[/calltimeout "})
    EXPECT_NE(std::string::npos, usage.find(name)) << name;
}

TEST_F(GatewayAppTest, PortInUseFailsInBackgroundModeWithTheErrorOnStandardOutput) {
  CBlockingSocket occupant;
  occupant.Create(kSockStream);
  occupant.Bind(CSocketAddress(0, m_port));
  occupant.Listen();
  EXPECT_FALSE(Init("/s" + Ports()));
  // The defined error text, then which port and that another program holds it.
  const std::string port = std::to_string(m_port);
  const std::string taken = "端口" + port +
                            "已被另一个程序占用，Quarnix无法在该端口监听请求。"
                            "请结束占用该端口的程序，或用/lp选择另一个端口。";
  EXPECT_EQ(
      StringPrintf("error Bind %ud\n", static_cast<unsigned>(kErrorAddressInUse)) + taken + "\n",
      m_stdout);
  // The guard is given up at once, not only at exit.
  CInstanceLock next;
  EXPECT_EQ(CInstanceLock::Result::kAcquired, next.Acquire(GuardName(m_port)));
  next.Release();
  std::vector<std::string> lines = FileLines(LogFile());
  ASSERT_EQ(5u, lines.size()) << LogFile();
  lines.erase(lines.begin(), lines.begin() + 2);  // the start's record, the unregistered ProgID
  EXPECT_EQ((std::vector<std::string>{"尝试打开套接字端口" + port,
                                      StringPrintf("打开网络端口 %d 错误 error Bind %ud", m_port,
                                                   static_cast<unsigned>(kErrorAddressInUse)),
                                      taken}),
            lines);
  m_app->DestroyMainFrame();
  EXPECT_EQ(1, m_app->ExitInstance());
  EXPECT_EQ(std::string::npos, LogFile().find("正常停止"));  // a failed start is no normal stop
  // No startup datagram; the UDP socket existed, so the exit datagram still goes out.
  EXPECT_EQ("Exit Quarnix\r\n", m_receiver.Receive().value_or(""));
  occupant.Close();
}

// Window mode: the pane's line, and (deliberately) a message box and the log file with it, since
// the window goes at once.
TEST_F(GatewayAppTest, PortInUseInWindowModeShowsAMessageBoxAndLogsToTheFile) {
  CBlockingSocket occupant;
  occupant.Create(kSockStream);
  occupant.Bind(CSocketAddress(0, m_port));
  occupant.Listen();
  EXPECT_FALSE(Init("/readonly /allow 10.1.2.0/24 /maxconn 3 /calltimeout 30" + Ports()));
  EXPECT_EQ("", m_stdout);
  ASSERT_NE(nullptr, m_frame);
  const std::string port = std::to_string(m_port);
  const std::string failed = StringPrintf("打开网络端口 %d 错误 error Bind %ud", m_port,
                                          static_cast<unsigned>(kErrorAddressInUse));
  const std::string taken = "端口" + port +
                            "已被另一个程序占用，Quarnix无法在该端口监听请求。"
                            "请结束占用该端口的程序，或用/lp选择另一个端口。";
  const auto lines = PaneLines(m_frame->Pane().Text());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(failed, lines[0]);
  EXPECT_EQ(std::vector<std::string>{failed + "\n" + taken}, m_messageBoxes);
  const std::string started = "Quarnix 1.0.0 启动，选项：/rh 127.0.0.1 /rp " +
                              std::to_string(m_receiver.Port()) + " /lp " + port +
                              " /progId OPC.SimaticNET /allow 10.1.2.0/24 /readonly /maxconn 3 "
                              "/maxgroups 10000 /maxitems 1000000 /calltimeout 30";
  EXPECT_EQ((std::vector<std::string>{started, UnregisteredServerLine(),
                                      "尝试打开套接字端口" + port, failed, taken}),
            FileLines(LogFile()));
  m_app->DestroyMainFrame();
  EXPECT_EQ(1, m_app->ExitInstance());
  EXPECT_EQ(std::string::npos, LogFile().find("正常停止"));
  occupant.Close();
}

// Window mode records its start and its normal stop as background mode does.
TEST_F(GatewayAppTest, WindowModeRecordsStartAndStop) {
  ASSERT_TRUE(Init("/bind 127.0.0.1" + Ports()));
  EXPECT_EQ(0u, FileLines(LogFile()).at(0).find("Quarnix 1.0.0 启动，选项：/rh 127.0.0.1"));
  EXPECT_NE(std::string::npos, FileLines(LogFile()).at(0).find(" /bind 127.0.0.1 /maxconn"));
  m_app->DestroyMainFrame();
  EXPECT_EQ(0, m_app->ExitInstance());
  EXPECT_EQ("Quarnix 1.0.0 正常停止", FileLines(LogFile()).back());
}

TEST_F(GatewayAppTest, BroadcastIsOnOnlyForTheAllOnesHost) {
  ASSERT_TRUE(Init("/s /lp " + std::to_string(m_port) + " /rh 255.255.255.255 /rp 0"));
  EXPECT_TRUE(SocketGetBroadcast(m_app->socketNotify.m_socket));
  m_app->DestroyMainFrame();
  m_app->ExitInstance();

  CGatewayApp invalidHost;
  invalidHost.SetFrameFactory(
      [](const std::u16string&, const FailoverSettings&, bool, CDatagramSender&) {
        return MainWindow{std::make_shared<CHeadlessFrame>(true)};
      });
  testing::internal::CaptureStdout();
  ASSERT_TRUE(
      invalidHost.InitInstance("q /s /lp " + std::to_string(m_port) + " /rh not-an-address /rp 0"));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(0xFFFFFFFFu, invalidHost.remoteHost);
  EXPECT_TRUE(SocketGetBroadcast(invalidHost.socketNotify.m_socket));
  invalidHost.DestroyMainFrame();
  invalidHost.ExitInstance();
}

// /lp abc once listened on a port the system chose, and /lp 99999 on 34463: now refused.
TEST_F(GatewayAppTest, BadListenPortEndsTheStartNamingTheValue) {
  EXPECT_FALSE(Init("/s /lp 99999 /rp " + std::to_string(m_receiver.Port())));
  EXPECT_NE(std::string::npos, m_stdout.find("选项 /lp 的值“99999”无效")) << m_stdout;
  EXPECT_EQ(nullptr, m_frame);
  EXPECT_EQ(1, m_app->ExitInstance());
  EXPECT_TRUE(NothingArrived());
}

TEST_F(GatewayAppTest, FrameIsMadeWithTheProgIdAndTheMode) {
  ASSERT_TRUE(Init("/progId Quarnix.Simulator /s" + Ports()));
  EXPECT_EQ(u"Quarnix.Simulator", m_frameProgId);
  EXPECT_EQ(u"Quarnix.Simulator", m_app->ProgId());
  EXPECT_TRUE(m_frameBackground);
  EXPECT_TRUE(m_app->BackgroundMode());
}

TEST_F(GatewayAppTest, ConstructorResetsTheValueChangeSwitch) {
  logValueChanges = true;
  CGatewayApp app;
  EXPECT_FALSE(logValueChanges);
}
