// The listener chain over real loopback connections, with the UI side driven on the test
// thread through its apartment.
#include "net/listener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/activity_log.h"
#include "core/frame_view.h"
#include "net/protection_settings.h"
#include "net/response.h"
#include "tests/net/loopback.h"

namespace {

using namespace std::chrono_literals;
using testing_loopback::LocalPort;
using testing_loopback::ScratchDirectory;
using testing_loopback::TcpClient;
using testing_loopback::WaitUntil;

// Records the status-bar texts and log lines (which reach it on the UI thread).
class CRecordingFrame : public IFrameView {
public:
  void LogToWindow(std::string text) override {
    std::lock_guard lock(m_mutex);
    m_logLines.push_back(std::move(text));
  }
  void SetMessageText(std::string text) override {
    std::lock_guard lock(m_mutex);
    m_statusTexts.push_back(std::move(text));
  }
  void ShowErrorMessage(const std::string& text) override { LogToWindow(text); }
  void PostCloseRequest() override {}

  std::vector<std::string> StatusTexts() const {
    std::lock_guard lock(m_mutex);
    return m_statusTexts;
  }
  std::vector<std::string> LogLines() const {
    std::lock_guard lock(m_mutex);
    return m_logLines;
  }

private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_statusTexts;
  std::vector<std::string> m_logLines;
};

// Everything the client receives until the gateway side closes (or the deadline passes).
std::string ReadUntilClosed(TcpClient& client, std::chrono::milliseconds timeout = 20s) {
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[1024];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return received + "<timeout>";
    if (SocketWaitReadableMs(client.Handle(), static_cast<int>(left.count())) <= 0) continue;
    const int count = SocketReceive(client.Handle(), buffer, sizeof buffer);
    if (count <= 0) return received;
    received.append(buffer, static_cast<std::size_t>(count));
  }
}

class ListenerChainTest : public ::testing::Test {
protected:
  void SetUp() override {
    m_apartment = CApartment::ForCurrentThread();
    m_apartment->Reopen();
    m_listen.Create(kSockStream);
    m_listen.Bind(CSocketAddress(0x7F000001, 0));
    m_port = LocalPort(m_listen.m_socket);
    pMainFrame = &m_frame;
  }

  void TearDown() override {
    m_chain.reset();
    m_listen.Close();
    m_apartment->RunPending();
    m_apartment->Reopen();
    pMainFrame = nullptr;
  }

  void StartChain(ListenerTimes times = {}) {
    m_listen.Listen();
    StartChainOnly(times);
  }

  void StartChainOnly(ListenerTimes times) {
    m_chain = std::make_unique<CListenerChain>(m_counters, times);
    ASSERT_TRUE(m_chain->Start(m_listen, m_protection, m_apartment,
                               [this](CHttpBlockingSocket& connection) { Answer(connection); }));
  }

  // The UI side of these tests: reads the first line and echoes it, or throws a socket failure
  // on demand.
  void Answer(CHttpBlockingSocket& connection) {
    char line[100];
    const int count = connection.ReadHeaderLine(line, sizeof line, 100);
    std::string text(line, static_cast<std::size_t>(count));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    m_handled.push_back(text);
    if (m_throwSocket) throw CBlockingSocketException("ReadHeaderLine of a very long name", 104);
    Response(connection, 0, m_longReply.empty() ? "echo " + text : m_longReply);
  }

  // Connects, sends the bytes and collects the reply on another thread.
  std::future<std::string> AskAsync(std::string bytes) {
    return std::async(std::launch::async, [port = m_port, bytes = std::move(bytes)] {
      TcpClient client(port);
      client.Send(bytes);
      return ReadUntilClosed(client);
    });
  }

  // Runs the UI side until the reply has come back.
  std::string AnswerAndGet(std::future<std::string>& reply) {
    m_apartment->RunUntil([&] { return reply.wait_for(0s) == std::future_status::ready; }, 20s);
    return reply.get();
  }

  std::shared_ptr<CApartment> m_apartment;
  CHttpBlockingSocket m_listen;
  std::uint16_t m_port = 0;
  CRecordingFrame m_frame;
  ProtectionSettings m_protection;  // handed to the chain at its start
  GatewayCounters m_counters;       // the chain's
  std::unique_ptr<CListenerChain> m_chain;
  std::vector<std::string> m_handled;  // UI thread only
  bool m_throwSocket = false;
  std::string m_longReply;  // replied instead of the echo when set
  ScratchDirectory m_scratch;
};

TEST_F(ListenerChainTest, RefusedClientsAreClosedUnreadAndLoggedOnceAMinute) {
  ProtectionSettings onlyOther;
  ASSERT_TRUE(onlyOther.allowList.Parse("127.0.0.2"));
  m_protection = onlyOther;
  StartChain();
  m_protection = ProtectionSettings();  // the chain took its copy at Start
  for (int i = 0; i < 3; ++i) {
    auto reply = AskAsync("HBT\r\n");
    EXPECT_EQ("", reply.get());  // closed without the UI thread
  }
  m_apartment->RunUntil([&] { return !m_frame.LogLines().empty(); }, 20s);
  m_apartment->RunPending();
  EXPECT_TRUE(m_handled.empty());
  // Counted by reason on the chain's counters (after the close, so waited for).
  EXPECT_TRUE(WaitUntil([&] { return m_counters.refusedNotAllowed.load() == 3; }));
  EXPECT_EQ(0u, m_counters.refusedTooMany.load() + m_counters.refusedNoRoom.load());
  const std::vector<std::string> lines = m_frame.LogLines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find("127.0.0.1")) << lines[0];
  std::ifstream file(m_scratch.Path() / kLogFileName);
  const std::string logged((std::istreambuf_iterator<char>(file)), {});
  EXPECT_EQ(logged.find("127.0.0.1"), logged.rfind("127.0.0.1")) << logged;
  EXPECT_NE(std::string::npos, logged.find(lines[0])) << logged;
}

TEST_F(ListenerChainTest, OneThreadWaitsInAcceptWhileRequestsAreQueued) {
  StartChain();
  auto first = AskAsync("HBT\r\n");
  auto second = AskAsync("HBT\r\n");
  auto third = AskAsync("HBT\r\n");
  ASSERT_TRUE(WaitUntil([&] { return m_apartment->PendingCount() == 3; }));
  ASSERT_TRUE(WaitUntil([&] { return m_chain->AcceptingCount() == 1; }));
  EXPECT_EQ(m_chain->ThreadCount(), 4u);
  EXPECT_EQ(m_chain->MostAcceptingAtOnce(), 1);

  EXPECT_EQ(AnswerAndGet(first), "0\techo HBT\r\n");
  EXPECT_EQ(AnswerAndGet(second), "0\techo HBT\r\n");
  EXPECT_EQ(AnswerAndGet(third), "0\techo HBT\r\n");
  ASSERT_TRUE(WaitUntil([&] { return m_chain->ThreadCount() == 1; }));
  EXPECT_EQ(m_chain->MostAcceptingAtOnce(), 1);
}

TEST_F(ListenerChainTest, AnsweredListenersParkAndTakeTheAcceptRoleInTurn) {
  StartChain();
  auto first = AskAsync("HBT\r\n");
  auto second = AskAsync("HBT\r\n");
  ASSERT_TRUE(WaitUntil([&] { return m_apartment->PendingCount() == 2; }));
  EXPECT_EQ(AnswerAndGet(first), "0\techo HBT\r\n");
  EXPECT_EQ(AnswerAndGet(second), "0\techo HBT\r\n");
  ASSERT_TRUE(WaitUntil([&] { return m_chain->ParkedCount() == 2; }));
  EXPECT_EQ(m_chain->ThreadCount(), 1u);

  // Each later request hands the accept role to a parked listener: no thread is added.
  for (int i = 0; i < 3; ++i) {
    auto next = AskAsync("again\r\n");
    EXPECT_EQ(AnswerAndGet(next), "0\techo again\r\n");
    ASSERT_TRUE(WaitUntil([&] { return m_chain->ParkedCount() == 2; }));
    EXPECT_EQ(m_chain->ThreadCount(), 1u);
  }
  EXPECT_EQ(m_chain->MostAcceptingAtOnce(), 1);
  m_chain->Stop();
  EXPECT_EQ(m_chain->ParkedCount(), 0);
  EXPECT_EQ(m_chain->ThreadCount(), 0u);
}

TEST_F(ListenerChainTest, TwoClientsAtOnceAreBothAnsweredInOrder) {
  StartChain();
  auto first = AskAsync("first\r\n");
  ASSERT_TRUE(WaitUntil([&] { return m_apartment->PendingCount() == 1; }));
  auto second = AskAsync("second\r\n");
  ASSERT_TRUE(WaitUntil([&] { return m_apartment->PendingCount() == 2; }));

  EXPECT_EQ(AnswerAndGet(first), "0\techo first\r\n");
  EXPECT_EQ(AnswerAndGet(second), "0\techo second\r\n");
  EXPECT_EQ(m_handled, (std::vector<std::string>{"first", "second"}));
}

TEST_F(ListenerChainTest, SilentClientDoesNotStallAnotherClientsRequest) {
  StartChain();
  TcpClient silent(m_port);
  ASSERT_TRUE(silent.Connected());
  ASSERT_TRUE(WaitUntil([&] { return m_chain->ThreadCount() == 2; }));

  auto other = AskAsync("HBT\r\n");
  EXPECT_EQ(AnswerAndGet(other), "0\techo HBT\r\n");
  EXPECT_EQ(m_handled, std::vector<std::string>{"HBT"});
  // Stop does not wait out the silent client's 60 seconds.
  m_chain->Stop();
  EXPECT_EQ(m_chain->ThreadCount(), 0u);
  EXPECT_EQ(ReadUntilClosed(silent), "");
}

// A client that does not read its reply holds up neither the UI side nor other clients: the
// listener finishes the reply.
TEST_F(ListenerChainTest, ReplyLargerThanTheSocketTakesIsFinishedByTheListener) {
  StartChain();
  m_longReply = std::string(8 << 20, 'r');
  TcpClient slow(m_port);
  slow.Send("big\r\n");
  ASSERT_TRUE(WaitUntil([&] { return m_apartment->PendingCount() == 1; }));
  m_apartment->RunPending();  // returns although the client has read nothing
  EXPECT_EQ(m_handled, std::vector<std::string>{"big"});
  m_longReply.clear();
  auto other = AskAsync("HBT\r\n");
  EXPECT_EQ(AnswerAndGet(other), "0\techo HBT\r\n");
  EXPECT_EQ(ReadUntilClosed(slow), "0\t" + std::string(8 << 20, 'r') + "\r\n");
}

// Near the open-file limit the connections silent for longest are closed to make room, so that
// silent clients cannot lock everyone out.
TEST_F(ListenerChainTest, NearTheOpenFileLimitTheLongestSilentConnectionsMakeRoom) {
  ProtectionSettings few;
  few.openFileLimit = CConnectionGuard::kReservedFiles + 8;  // room for 8 connections
  m_protection = few;
  StartChain();
  std::vector<std::unique_ptr<TcpClient>> silent;
  for (int i = 0; i < 8; ++i) silent.push_back(std::make_unique<TcpClient>(m_port));
  ASSERT_TRUE(WaitUntil([&] { return m_chain->EvictedCount() >= 1; }));
  EXPECT_EQ(ReadUntilClosed(*silent[0], 5s), "");  // the oldest went first
  auto other = AskAsync("HBT\r\n");
  EXPECT_EQ(AnswerAndGet(other), "0\techo HBT\r\n");
}

// At the thread limit the listeners keep a reserve free for the rest of the gateway: the
// connections silent for longest are closed and their threads end, and clients are still served.
TEST_F(ListenerChainTest, AtTheThreadLimitTheListenersLeaveAReserveFree) {
  constexpr std::size_t kCeiling = 4;
  ProtectionSettings few;
  few.threadLimit = static_cast<int>(CListenerChain::kThreadReserve + kCeiling);
  m_protection = few;
  StartChain();
  std::vector<std::unique_ptr<TcpClient>> silent;
  for (std::size_t i = 0; i <= CListenerChain::kThreadReserve + kCeiling; ++i)
    silent.push_back(std::make_unique<TcpClient>(m_port));
  ASSERT_TRUE(WaitUntil([&] { return m_chain->EvictedCount() >= 1; }));
  EXPECT_EQ(ReadUntilClosed(*silent[0], 5s), "");  // the oldest went first
  ASSERT_TRUE(WaitUntil([&] { return m_chain->ThreadCount() <= kCeiling; }));
  auto other = AskAsync("HBT\r\n");
  EXPECT_EQ(AnswerAndGet(other), "0\techo HBT\r\n");
  EXPECT_LE(m_chain->ThreadCount() + static_cast<std::size_t>(m_chain->ParkedCount()), kCeiling);
}

TEST_F(ListenerChainTest, SilentClientIsClosedWithoutReplyAfterItsWait) {
  ListenerTimes times;
  times.firstLineWait = 1s;
  StartChain(times);
  TcpClient silent(m_port);
  EXPECT_EQ(ReadUntilClosed(silent), "");
  EXPECT_EQ(m_apartment->PendingCount(), 0u);
  EXPECT_TRUE(m_frame.StatusTexts().empty());
}

TEST_F(ListenerChainTest, LineInPiecesIsHandedOverWhenItsLineFeedArrives) {
  StartChain();
  TcpClient client(m_port);
  client.Send("HB");
  ASSERT_TRUE(WaitUntil([&] { return m_chain->ThreadCount() == 2; }));
  EXPECT_EQ(m_apartment->PendingCount(), 0u);
  client.Send("T\r\n");
  ASSERT_TRUE(WaitUntil([&] { return m_apartment->PendingCount() == 1; }));
  m_apartment->RunPending();
  EXPECT_EQ(ReadUntilClosed(client), "0\techo HBT\r\n");
}

TEST_F(ListenerChainTest, ClientLeavingMidRequestLeavesTheChainServing) {
  StartChain();
  {
    TcpClient early(m_port);  // leaves before its first line is complete
    early.Send("HB");
  }
  TcpClient late(m_port);  // leaves before the UI side has answered
  late.Send("X\r\n");
  ASSERT_TRUE(WaitUntil([&] { return m_apartment->PendingCount() == 1; }));
  late.Close();
  auto next = AskAsync("HBT\r\n");
  EXPECT_EQ(AnswerAndGet(next), "0\techo HBT\r\n");
  EXPECT_EQ(m_handled, (std::vector<std::string>{"X", "HBT"}));
  EXPECT_TRUE(m_frame.StatusTexts().empty());
}

TEST_F(ListenerChainTest, StopWhileWaitingInAcceptEndsWithoutReplyOrLogLine) {
  StartChain();
  ASSERT_TRUE(WaitUntil([&] { return m_chain->AcceptingCount() == 1; }));
  m_chain->Stop();
  EXPECT_EQ(m_chain->ThreadCount(), 0u);
  EXPECT_EQ(m_listen.m_socket, kNoSocket);
  m_apartment->RunPending();
  EXPECT_TRUE(m_frame.StatusTexts().empty());
  EXPECT_TRUE(m_frame.LogLines().empty());
  EXPECT_FALSE(std::filesystem::exists(m_scratch.Path() / kLogFileName));
  m_chain->Stop();  // a second Stop does nothing
}

TEST_F(ListenerChainTest, StopWakesListenerWaitingForItsAnswer) {
  StartChain();
  TcpClient client(m_port);
  client.Send("HBT\r\n");
  ASSERT_TRUE(WaitUntil([&] { return m_apartment->PendingCount() == 1; }));
  m_chain->Stop();
  EXPECT_EQ(m_chain->ThreadCount(), 0u);
  EXPECT_EQ(ReadUntilClosed(client), "");
  // The call still queued finds its listener gone and leaves the closed connection alone.
  m_apartment->RunPending();
  EXPECT_TRUE(m_handled.empty());
}

TEST_F(ListenerChainTest, UnansweredRequestIsClosedAfterTheAnswerWait) {
  ListenerTimes times;
  times.answerWait = 200ms;
  StartChain(times);
  TcpClient client(m_port);
  client.Send("HBT\r\n");
  EXPECT_EQ(ReadUntilClosed(client), "");
  ASSERT_TRUE(WaitUntil([&] { return m_chain->ThreadCount() == 1; }));
  m_apartment->RunPending();
  EXPECT_TRUE(m_handled.empty());
}

TEST_F(ListenerChainTest, FailedPostRepliesMinusTwoAndUnknownError) {
  StartChain();
  m_apartment->Close();
  auto reply = AskAsync("HBT\r\n");
  EXPECT_EQ(reply.get(), "-2\t未知程序错误\r\n");
  EXPECT_TRUE(m_handled.empty());
}

TEST_F(ListenerChainTest, ChainCanBeStartedAgainAfterStop) {
  StartChain();
  m_chain->Stop();
  m_listen.Create(kSockStream);
  m_listen.Bind(CSocketAddress(0x7F000001, 0));
  m_port = LocalPort(m_listen.m_socket);
  m_listen.Listen();
  ASSERT_TRUE(m_chain->Start(m_listen, m_protection, m_apartment,
                             [this](CHttpBlockingSocket& connection) { Answer(connection); }));
  auto reply = AskAsync("again\r\n");
  EXPECT_EQ(AnswerAndGet(reply), "0\techo again\r\n");
}

TEST_F(ListenerChainTest, StartRefusesAClosedListeningSocket) {
  CHttpBlockingSocket closed;
  GatewayCounters counters;
  CListenerChain chain(counters);
  EXPECT_FALSE(chain.Start(closed, ProtectionSettings(), m_apartment, [](CHttpBlockingSocket&) {}));
  EXPECT_EQ(chain.ThreadCount(), 0u);
}

TEST_F(ListenerChainTest, AcceptFailureIsShownAndTheChainKeepsAccepting) {
  ListenerTimes times;
  times.acceptRetryDelay = 20ms;
  // Accept on a socket that does not listen yet fails with EINVAL.
  StartChainOnly(times);
  // Shown through the UI thread, as every status text of a listener is.
  m_apartment->RunUntil([&] { return !m_frame.StatusTexts().empty(); }, 20s);
  ASSERT_FALSE(m_frame.StatusTexts().empty());
  EXPECT_EQ(m_frame.StatusTexts().front(), "error Accept 22d");
  m_listen.Listen();
  auto reply = AskAsync("HBT\r\n");
  EXPECT_EQ(AnswerAndGet(reply), "0\techo HBT\r\n");
}

TEST_F(ListenerChainTest, SocketFailureOnTheUiSideShowsItsTextCutTo31Characters) {
  StartChain();
  m_throwSocket = true;
  auto reply = AskAsync("HBT\r\n");
  EXPECT_EQ(AnswerAndGet(reply), "");
  ASSERT_EQ(m_frame.StatusTexts().size(), 1u);
  EXPECT_EQ(m_frame.StatusTexts().front(), "error ReadHeaderLine of a very ");
  EXPECT_EQ(m_frame.StatusTexts().front().size(), 31u);
}

}  // namespace
