#include "protocol/request_dispatcher.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "tests/protocol/dispatcher_fixture.h"

using enum OpcMethod;

namespace {

std::string ReadLogFile() {
  std::ifstream file(kLogFileName, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

TEST_F(DispatcherTest, HeartbeatIsAnsweredHbtOk) {
  EXPECT_EQ(Request("HBT\r\n"), "0\tHBT OK!\r\n");
  EXPECT_EQ(m_lastResult, 0);
}

TEST_F(DispatcherTest, HeartbeatWithLineFeedOnlyIsAnswered) {
  EXPECT_EQ(Request("HBT\n"), "0\tHBT OK!\r\n");
}

TEST_F(DispatcherTest, FirstRequestCreatesTheServerOnceAndRegistersNoGroup) {
  EXPECT_EQ(Request("HBT\r\n"), "0\tHBT OK!\r\n");
  EXPECT_EQ(Request("HBT\r\n"), "0\tHBT OK!\r\n");
  EXPECT_EQ(m_opc.CountOf(kCreateInstance), 1);
  EXPECT_EQ(m_opc.CountOf(kAddGroup), 0);
  EXPECT_NE(m_dispatcher.Connection().Server(), nullptr);
  ASSERT_FALSE(m_frame.windowLines.empty());
  EXPECT_EQ(m_frame.windowLines.front(), "处理请求 HBT 前尝试创建OpcServer");
}

TEST_F(DispatcherTest, CommandsAreComparedWithLetterCase) {
  EXPECT_EQ(Request("hbt\r\n"), "1\tUnknown command: hbt\r\n");
  EXPECT_EQ(Request("exit\r\n"), "1\tUnknown command: exit\r\n");
  EXPECT_EQ(m_frame.closeRequests, 0);
}

TEST_F(DispatcherTest, SpaceBelongsToTheCommandToken) {
  EXPECT_EQ(Request("HBT \r\n"), "1\tUnknown command: HBT \r\n");
}

TEST_F(DispatcherTest, ExtraFieldsAfterHeartbeatAreIgnored) {
  EXPECT_EQ(Request("HBT\tx\t\ty z\r\n"), "0\tHBT OK!\r\n");
}

TEST_F(DispatcherTest, LineOfSeparatorsIsAnEmptyUnknownCommand) {
  EXPECT_EQ(Request("\t\t\r\n"), "1\tUnknown command: \r\n");
}

TEST_F(DispatcherTest, FirstLineLongerThan99CharactersIsCutBeforeTheCommandIsTaken) {
  const std::string command(120, 'X');
  EXPECT_EQ(Request(command + "\r\n"), "1\tUnknown command: " + std::string(99, 'X') + "\r\n");
}

TEST_F(DispatcherTest, ShortFirstLinesGetNoReplyAndCreateNoServer) {
  EXPECT_EQ(Request("\r\n"), "");
  EXPECT_EQ(m_lastResult, 1);
  EXPECT_EQ(Request("x\n"), "");
  EXPECT_EQ(Request("\n"), "");
  EXPECT_EQ(m_opc.CountOf(kCreateInstance), 0);
  EXPECT_TRUE(m_frame.errorBoxes.empty());
}

TEST_F(DispatcherTest, ThreeCharacterLineIsHandled) {
  EXPECT_EQ(Request("X\r\n"), "1\tUnknown command: X\r\n");
}

TEST_F(DispatcherTest, ClientThatClosesBeforeALineGetsNoReplyAndTheOperatorSeesWhy) {
  EXPECT_EQ(RequestThenHangUp("HB"), 1);
  ASSERT_EQ(m_frame.errorBoxes.size(), 1u);
  EXPECT_NE(m_frame.errorBoxes[0].find("ReadHeaderLine"), std::string::npos);
  EXPECT_EQ(m_opc.CountOf(kCreateInstance), 0);
}

TEST_F(DispatcherTest, ExitRepliesFirstAndThenPostsACloseRequest) {
  CLoopbackConnection connection;
  ASSERT_TRUE(connection.Send("Exit\r\n"));
  std::string replyAtClose;
  m_frame.onClose = [&] { replyAtClose = connection.ReadUntil("\r\n"); };
  EXPECT_EQ(m_dispatcher.OnRequest(connection.Server()), 0);
  EXPECT_EQ(m_frame.closeRequests, 1);
  EXPECT_EQ(replyAtClose, "0\t\r\n");
}

TEST_F(DispatcherTest, ExitWithExtraFieldsStillCloses) {
  EXPECT_EQ(Request("Exit\tnow\r\n"), "0\t\r\n");
  EXPECT_EQ(m_frame.closeRequests, 1);
}

TEST_F(DispatcherTest, UnknownCommandDoesNotClose) {
  EXPECT_EQ(Request("Exit2\r\n"), "1\tUnknown command: Exit2\r\n");
  EXPECT_EQ(m_frame.closeRequests, 0);
}

class DispatcherWithoutServerTest : public ::testing::Test {
protected:
  DispatcherWithoutServerTest()
      : m_dispatcher(m_frame, u"Quarnix.NoSuchServer",
                     {m_datagrams.sender, m_settings, m_datagrams.counters, m_datagrams.log}) {}
  ~DispatcherWithoutServerTest() override { m_dispatcher.Registry().DestroyOpcSide(); }

  std::string Request(std::string_view bytes) {
    CLoopbackConnection connection;
    EXPECT_TRUE(connection.Send(bytes));
    m_dispatcher.OnRequest(connection.Server());
    connection.CloseServer();
    return connection.ReadAll();
  }

  CRecordingFrame m_frame;
  CUnsentDatagrams m_datagrams;
  RequestSettings m_settings;  // the options in effect; a test sets them before its requests
  CRequestDispatcher m_dispatcher;
};

TEST_F(DispatcherWithoutServerTest, HeartbeatGetsTheCreationFailure) {
  const std::string text = "创建OpcServer错误：获取 Quarnix.NoSuchServer 的CLSID失败";
  // CO_E_CLASSSTRING as a signed decimal.
  EXPECT_EQ(Request("HBT\r\n"), "-2147221005\t" + text + "\r\n");
  EXPECT_EQ(m_dispatcher.Connection().Server(), nullptr);
  EXPECT_TRUE(m_frame.Logged(text));
  EXPECT_TRUE(m_frame.Logged("处理请求 HBT 前尝试创建OpcServer"));
}

TEST_F(DispatcherWithoutServerTest, ExitGetsTheCreationFailureAndDoesNotClose) {
  EXPECT_EQ(Request("Exit\r\n").rfind("-2147221005\t创建OpcServer错误：", 0), 0u);
  EXPECT_EQ(m_frame.closeRequests, 0);
}

TEST_F(DispatcherWithoutServerTest, UnknownCommandAlsoGetsTheCreationFailure) {
  EXPECT_EQ(Request("nothing\r\n").rfind("-2147221005\t", 0), 0u);
}

TEST_F(DispatcherWithoutServerTest, EveryRequestTriesTheCreationAgain) {
  Request("HBT\r\n");
  Request("HBT\r\n");
  int attempts = 0;
  for (const std::string& line : m_frame.windowLines)
    if (line == "处理请求 HBT 前尝试创建OpcServer") ++attempts;
  EXPECT_EQ(attempts, 2);
}

TEST_F(DispatcherTest, FailingServerObjectCreationIsAnsweredWithItsCode) {
  m_opc.SetFailure(kCreateInstance, E_OUTOFMEMORY);
  EXPECT_EQ(Request("HBT\r\n"), "-2147024882\t创建OpcServer错误：创建 IOPCServer 对象失败\r\n");
  m_opc.ClearFailure(kCreateInstance);
  EXPECT_EQ(Request("HBT\r\n"), "0\tHBT OK!\r\n");
}

TEST_F(DispatcherTest, ThrowingServerFactoryIsNeverAnsweredAsSuccess) {
  m_opc.SetFactoryThrows(true);
  const std::string reply = Request("HBT\r\n");
  EXPECT_NE(
      reply.find("\t创建OpcServer错误：创建 OpcServer Quarnix.FaultyServer 请求出错。错误代码："),
      std::string::npos)
      << reply;
  EXPECT_NE(reply.rfind("0\t", 0), 0u) << reply;
  EXPECT_EQ(m_dispatcher.Connection().Server(), nullptr);
}

TEST_F(DispatcherTest, ExceptionInAHandlerIsAnsweredWithEFailAndLogged) {
  // A line that does not end within the 1000-byte line buffer makes the read throw while the
  // client still listens for the reply.
  const std::string request = "AD\r\ng\tA\t1\r\n" + std::string(1100, 'z');
  const std::string text = "AD 请求时，程序抛出了异常。错误代码：80004005";
  EXPECT_EQ(Request(request), "-2147467259\t" + text + "\r\n");
  EXPECT_TRUE(m_frame.Logged(text));
  EXPECT_NE(ReadLogFile().find(text), std::string::npos);
  // The group of the aborted request is not left behind half-defined.
  EXPECT_EQ(GroupCount(), 0u);
  EXPECT_EQ(m_opc.CountOf(kAddGroup), 0);
  EXPECT_EQ(Request("HBT\r\n"), "0\tHBT OK!\r\n");
}

TEST_F(DispatcherTest, BrowseAndPropertiesSayWhenTheServerDoesNotOfferThem) {
  // The recording decorator offers IOPCServer only, as a server without browsing does.
  EXPECT_EQ(
      "-2147467262\tThe OPC server does not offer browsing (no "
      "IOPCBrowseServerAddressSpace)\r\n",
      Request("BR\t10\r\n\r\n\r\n\r\n"));
  EXPECT_EQ(
      "-2147467262\tThe OPC server does not offer item properties (no IOPCItemProperties)\r\n",
      Request("IP\r\nStatic.Int4\r\n\r\n"));
  EXPECT_EQ("1\tUnknown command: BRX\r\n", Request("BRX\r\n"));
  EXPECT_FALSE(m_dispatcher.Connection().ServerLost());
}
