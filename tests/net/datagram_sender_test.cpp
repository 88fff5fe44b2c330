#include "net/datagram_sender.h"

#include <gtest/gtest.h>

#include <regex>

#include "core/activity_log.h"
#include "net/blocking_socket.h"
#include "net/gateway_counters.h"
#include "tests/net/loopback.h"

using namespace testing_loopback;

namespace {

// Each test makes its sender as the application does: socket, default destination, log switch
// and counters of its own.
class DatagramSenderTest : public ::testing::Test {
protected:
  void SetUp() override { m_socket.Create(kSockDgram); }
  void TearDown() override { m_socket.Close(); }

  CDatagramSender Sender(DatagramAddress destination,
                         std::chrono::seconds timeout = CDatagramSender::kDefaultTimeout) {
    return CDatagramSender(m_socket, destination, m_logValueChanges, m_counters, timeout);
  }
  DatagramAddress Default() const { return {kLoopback, m_receiver.Port()}; }
  static CDatagramSender::Bytes BytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
  }

  // The log file's only line without its time stamp, or "" when there is no file.
  std::string LoggedLine() {
    const std::string content = ReadFile(m_scratch.Path() / "RV_Morvantel.log");
    if (content.size() < 21) return content;
    EXPECT_TRUE(std::regex_match(content.substr(0, 19),
                                 std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})")));
    return content.substr(20);
  }

  ScratchDirectory m_scratch;
  UdpReceiver m_receiver;
  CBlockingSocket m_socket;
  bool m_logValueChanges = false;
  GatewayCounters m_counters;
};

}  // namespace

TEST_F(DatagramSenderTest, StartupDatagramGoesToTheDefaultDestinationAs17Bytes) {
  CDatagramSender sender = Sender(Default());
  sender.SendText(kStartupDatagram);
  EXPECT_EQ(std::string("Startup Quarnix\r\n", 17), m_receiver.Receive().value_or(""));
  sender.SendText(kExitDatagram);
  EXPECT_EQ(std::string("Exit Quarnix\r\n", 14), m_receiver.Receive().value_or(""));
  EXPECT_EQ("", LoggedLine());  // the switch is off
  EXPECT_EQ(2u, m_counters.datagramsSent.load());
}

TEST_F(DatagramSenderTest, GroupWithPortOnlyGoesToTheDefaultHost) {
  UdpReceiver group;
  CDatagramSender sender = Sender(Default());
  sender.SendTo(BytesOf("grp"), sender.GroupDestination(0, group.Port()), "note");
  EXPECT_EQ("grp", group.Receive().value_or(""));
  m_receiver.SendMarker("marker");
  EXPECT_EQ("marker", m_receiver.Receive().value_or(""));  // nothing went to the default port
}

TEST_F(DatagramSenderTest, GroupHostAndPortAreUsed) {
  UdpReceiver group;
  CDatagramSender sender = Sender({0x0A000001, 0}, std::chrono::seconds(5));
  const DatagramAddress destination = sender.GroupDestination(kLoopback, group.Port());
  EXPECT_EQ(kLoopback, destination.host);
  sender.SendTo(BytesOf("grp"), destination);
  EXPECT_EQ("grp", group.Receive().value_or(""));
}

TEST_F(DatagramSenderTest, RemotePortZeroSilencesOnlyDatagramsWithoutAPort) {
  m_logValueChanges = true;
  CDatagramSender sender = Sender({kLoopback, 0});
  sender.SendText(kStartupDatagram);
  sender.SendTo(BytesOf("G"), sender.GroupDestination(0, 0));
  EXPECT_EQ("", LoggedLine());  // nothing sent, nothing logged
  EXPECT_EQ(0u, m_counters.datagramsSent.load() + m_counters.datagramFailures.load());
  m_logValueChanges = false;
  UdpReceiver group;
  sender.SendTo(BytesOf("C"), sender.GroupDestination(0, group.Port()));
  EXPECT_EQ("C", group.Receive().value_or(""));
}

TEST_F(DatagramSenderTest, PayloadWithNulBytesIsSentWholeAndLoggedUpToTheFirstNul) {
  m_logValueChanges = true;
  const char payload[] = {'C', 0, 0, 0, 7, 'x'};
  Sender(Default()).SendTo(BytesOf({payload, 6}), Default(), "packet 1");
  EXPECT_EQ(std::string(payload, 6), m_receiver.Receive().value_or(""));
  EXPECT_EQ(
      "往2130706433:" + std::to_string(m_receiver.Port()) + "发送值变化通知 C 长度 6 packet 1\n",
      LoggedLine());
}

TEST_F(DatagramSenderTest, LogLineShowsTheHostAsASignedNumberAndNullForNoNote) {
  // No socket: the line is written, nothing is sent anywhere.
  m_socket.Close();
  m_logValueChanges = true;
  Sender({0xC0A80114, 8088}).SendText("abc");  // 192.168.1.20
  EXPECT_EQ("往-1062731500:8088发送值变化通知 abc 长度 3 (null)\n", LoggedLine());
}

TEST_F(DatagramSenderTest, DefaultsLogAs2130706433And8088) {
  m_socket.Close();
  m_logValueChanges = true;
  Sender({0x7F000001, 8088}).SendText(kStartupDatagram);
  // The datagram's CR LF is a space in the log file, which keeps one entry per line.
  EXPECT_EQ("往2130706433:8088发送值变化通知 Startup Quarnix  长度 17 (null)\n", LoggedLine());
}

TEST_F(DatagramSenderTest, PayloadWithoutNulIsNeverReadBeyondItsLength) {
  m_logValueChanges = true;
  const char payload[4] = {'W', 'X', 'Y', 'Z'};  // no terminator
  Sender(Default()).SendTo(BytesOf({payload, 2}), Default());
  EXPECT_EQ("WX", m_receiver.Receive().value_or(""));
  EXPECT_EQ(
      "往2130706433:" + std::to_string(m_receiver.Port()) + "发送值变化通知 WX 长度 2 (null)\n",
      LoggedLine());
}

TEST_F(DatagramSenderTest, FailedSendIsDroppedSilentlyAndCounted) {
  CDatagramSender sender = Sender(Default(), std::chrono::seconds(1));
  const std::string tooBig(70000, 'x');
  sender.SendTo(BytesOf(tooBig), Default());
  EXPECT_EQ("", LoggedLine());
  EXPECT_EQ(1u, m_counters.datagramFailures.load());
  sender.SendText("after");
  EXPECT_EQ("after", m_receiver.Receive().value_or(""));
  EXPECT_EQ(1u, m_counters.datagramsSent.load());
}
