#include "net/http_blocking_socket.h"

#include <gtest/gtest.h>

#include <future>

#include "tests/net/loopback.h"

using namespace testing_loopback;

namespace {

// A request connection over loopback: client is the peer, connection the gateway's side.
class LineReaderTest : public ::testing::Test {
protected:
  void SetUp() override {
    m_listening.Create(kSockStream);
    m_listening.Bind(CSocketAddress(kLoopback, 0));
    m_listening.Listen();
    m_client = std::make_unique<TcpClient>(LocalPort(m_listening.m_socket));
    ASSERT_TRUE(m_client->Connected());
    CSocketAddress peer;
    ASSERT_TRUE(m_listening.Accept(m_connection, peer));
  }
  void TearDown() override {
    m_connection.Close();
    m_listening.Close();
  }

  // Sends bytes and waits until all of them are waiting at the connection.
  void Deliver(const std::string& bytes) {
    const int before = SocketReadableBytes(m_connection.m_socket);
    m_client->Send(bytes);
    ASSERT_TRUE(WaitUntil([&] {
      return SocketReadableBytes(m_connection.m_socket) >= before + static_cast<int>(bytes.size());
    }));
  }

  std::string ReadLine(int capacity = 100, int seconds = 100) {
    std::vector<char> line(static_cast<std::size_t>(capacity) + 8, 'z');
    const int count = m_connection.ReadHeaderLine(line.data(), capacity, seconds);
    EXPECT_EQ('\0', line[static_cast<std::size_t>(count)]);
    return std::string(line.data(), static_cast<std::size_t>(count));
  }

  std::string FailureOfRead(int seconds = 100) {
    try {
      ReadLine(100, seconds);
    } catch (const CBlockingSocketException& e) {
      return e.m_strOperation;
    }
    return "(nothing thrown)";
  }

  CBlockingSocket m_listening;
  std::unique_ptr<TcpClient> m_client;
  CHttpBlockingSocket m_connection;
};

}  // namespace

TEST_F(LineReaderTest, TwoLinesInOneSegmentComeOutOneByOneWithoutAnotherReceive) {
  Deliver("HBT\r\nAD\t1\r\n");
  m_client->Close();  // a further receive would now see the close and throw
  EXPECT_EQ("HBT\r\n", ReadLine());
  EXPECT_EQ("AD\t1\r\n", ReadLine());
  EXPECT_EQ(0, m_connection.BufferedBytes());
}

TEST_F(LineReaderTest, LineInPiecesIsAssembled) {
  Deliver("H");
  auto line = std::async(std::launch::async, [this] { return ReadLine(); });
  // The first piece is taken by the reader before the rest is sent.
  ASSERT_TRUE(WaitUntil([&] { return SocketReadableBytes(m_connection.m_socket) == 0; }));
  m_client->Send("BT");
  ASSERT_TRUE(WaitUntil([&] { return SocketReadableBytes(m_connection.m_socket) == 0; }));
  m_client->Send("\r\nnext");
  EXPECT_EQ("HBT\r\n", line.get());
  EXPECT_EQ(4, m_connection.BufferedBytes());  // "next" stays for the following line
}

TEST_F(LineReaderTest, LineOf150BytesIsCutTo99AndTheRestDiscarded) {
  Deliver(std::string(148, 'a') + "\r\n" + "SR\r\n");
  EXPECT_EQ(std::string(99, 'a'), ReadLine(100));
  EXPECT_EQ("SR\r\n", ReadLine(100));
}

TEST_F(LineReaderTest, LineOfExactlyCapacityIsCutByOne) {
  Deliver(std::string(98, 'b') + "\r\n");
  EXPECT_EQ(std::string(98, 'b') + "\r", ReadLine(100));
  Deliver(std::string(97, 'c') + "\r\n");
  EXPECT_EQ(std::string(97, 'c') + "\r\n", ReadLine(100));
}

TEST_F(LineReaderTest, CrLfAloneReturnsTwo) {
  Deliver("\r\n");
  EXPECT_EQ("\r\n", ReadLine());
}

TEST_F(LineReaderTest, PeerClosingBeforeTheLineFeedThrowsReadHeaderLine) {
  Deliver("abc");
  m_client->Close();
  EXPECT_EQ("ReadHeaderLine", FailureOfRead());
  EXPECT_EQ(3, m_connection.BufferedBytes());  // what was buffered stays
}

TEST_F(LineReaderTest, ThousandBytesWithoutLineFeedAndMoreWaitingThrowsReadHeaderLine) {
  Deliver(std::string(1000, 'x') + "y");
  EXPECT_EQ("ReadHeaderLine", FailureOfRead());
  EXPECT_EQ(1000, m_connection.BufferedBytes());
}

TEST_F(LineReaderTest, ThousandBytesWithoutLineFeedAndNothingMoreTimesOut) {
  Deliver(std::string(1000, 'x'));
  EXPECT_EQ("Receive timeout", FailureOfRead(1));
}

TEST_F(LineReaderTest, NothingSentTimesOutWithTheErrorForm) {
  SetSocketLastError(0);
  try {
    ReadLine(100, 1);
    FAIL() << "no timeout";
  } catch (const CBlockingSocketException& e) {
    EXPECT_EQ("Receive timeout", e.m_strOperation);
    EXPECT_EQ(0, e.m_nErrorCode);
    EXPECT_EQ("Error Receive timeout", e.Message());
  }
}

TEST_F(LineReaderTest, LongestLineOf1000BytesIsRead) {
  Deliver(std::string(998, 'l') + "\r\n");
  EXPECT_EQ(std::string(99, 'l'), ReadLine(100));
  Deliver(std::string(998, 'm') + "\r\n");
  EXPECT_EQ(std::string(998, 'm') + "\r\n", ReadLine(1001));
}

TEST_F(LineReaderTest, ReadAfterCloseFailsAtOnce) {
  m_connection.Close();
  EXPECT_EQ("Receive", FailureOfRead(100));
}

TEST_F(LineReaderTest, WaitForLineKeepsTheLineForTheReader) {
  using Wait = CHttpBlockingSocket::LineWait;
  Deliver("AC\t0\t1\r\nrest");
  EXPECT_EQ(Wait::kLine, m_connection.WaitForLine(100));
  EXPECT_EQ(Wait::kLine, m_connection.WaitForLine(100));  // already buffered: no receive
  EXPECT_EQ("AC\t0\t1\r\n", ReadLine());
  EXPECT_EQ(4, m_connection.BufferedBytes());
}

TEST_F(LineReaderTest, WaitForLineAssemblesPieces) {
  Deliver("HB");
  auto waited = std::async(std::launch::async, [this] { return m_connection.WaitForLine(100); });
  ASSERT_TRUE(WaitUntil([&] { return SocketReadableBytes(m_connection.m_socket) == 0; }));
  m_client->Send("T\r\n");
  EXPECT_EQ(CHttpBlockingSocket::LineWait::kLine, waited.get());
  EXPECT_EQ("HBT\r\n", ReadLine());
}

TEST_F(LineReaderTest, WaitForLineTellsSilencePeerCloseAndFullBufferApart) {
  using Wait = CHttpBlockingSocket::LineWait;
  EXPECT_EQ(Wait::kTimedOut, m_connection.WaitForLine(1));
  Deliver(std::string(1000, 'x'));
  EXPECT_EQ(Wait::kBufferFull, m_connection.WaitForLine(100));
  CHttpBlockingSocket closedEarly;
  EXPECT_EQ(Wait::kPeerClosed, closedEarly.WaitForLine(100));  // no socket
}

TEST_F(LineReaderTest, FedBytesAreReadAsReceivedOnesUpToTheBufferSize) {
  CHttpBlockingSocket fed;
  EXPECT_EQ(3, fed.Feed("ab\n", 3));
  EXPECT_EQ(CHttpBlockingSocket::LineWait::kLine, fed.WaitForLine(100));
  char line[100];
  EXPECT_EQ(3, fed.ReadHeaderLine(line, sizeof line, 100));
  EXPECT_STREQ("ab\n", line);
  const std::string many(1001, 'x');
  EXPECT_EQ(1000, fed.Feed(many.data(), 1001));
  EXPECT_EQ(0, fed.Feed("y", 1));
}

TEST_F(LineReaderTest, WaitForLineSeesThePeerCloseAtOnce) {
  Deliver("HB");
  m_client->Close();
  EXPECT_EQ(CHttpBlockingSocket::LineWait::kPeerClosed, m_connection.WaitForLine(100));
  EXPECT_EQ(2, m_connection.BufferedBytes());
}

TEST_F(LineReaderTest, DeadlinesBoundWaitingAndTakingButNotBytesAlreadyThere) {
  using Clock = std::chrono::steady_clock;
  char line[100];
  const auto past = Clock::now() - std::chrono::seconds(1);
  const auto later = Clock::now() + std::chrono::seconds(30);
  // Past the wait deadline, bytes that arrived are still taken, and the length is the whole
  // line's also when the copy is cut.
  Deliver("first\r\n" + std::string(120, 'x') + "\r\n");
  EXPECT_EQ(7, m_connection.ReadHeaderLine(line, sizeof line, past, later));
  EXPECT_STREQ("first\r\n", line);
  EXPECT_EQ(99, m_connection.ReadHeaderLine(line, sizeof line, past, later));
  EXPECT_EQ(122, m_connection.LastLineLength());
  // A half line is not waited for past the wait deadline, nor taken past the limit.
  Deliver("half");
  try {
    m_connection.ReadHeaderLine(line, sizeof line, Clock::now() + std::chrono::milliseconds(50),
                                later);
    ADD_FAILURE() << "nothing thrown";
  } catch (const CBlockingSocketException& e) {
    EXPECT_EQ("Receive timeout", e.m_strOperation);
  }
  Deliver(" done\r\n");
  try {
    m_connection.ReadHeaderLine(line, sizeof line, later, past);
    ADD_FAILURE() << "nothing thrown";
  } catch (const CBlockingSocketException& e) {
    EXPECT_EQ("Receive timeout", e.m_strOperation);
  }
  EXPECT_EQ(11, m_connection.ReadHeaderLine(line, sizeof line, later, later));
  EXPECT_STREQ("half done\r\n", line);
}
