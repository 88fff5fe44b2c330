#include "net/send_notification.h"

#include <gtest/gtest.h>

#include <regex>

#include "core/activity_log.h"
#include "net/gateway_sockets.h"
#include "tests/net/loopback.h"

using namespace testing_loopback;

namespace {

class SendNotificationTest : public ::testing::Test {
protected:
  void SetUp() override {
    m_sockets.remoteHost = kLoopback;
    m_sockets.remotePort = m_receiver.Port();
    m_sockets.socketNotify.Create(kSockDgram);
  }
  void TearDown() override {
    m_sockets.socketNotify.Close();
    logValueChanges = false;
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
  CGatewaySockets m_sockets;
};

}  // namespace

TEST_F(SendNotificationTest, StartupDatagramGoesToTheDefaultDestinationAs17Bytes) {
  SendNotification(kStartupDatagram, 0, 0, 0, 0, nullptr);
  EXPECT_EQ(std::string("Startup Quarnix\r\n", 17), m_receiver.Receive().value_or(""));
  SendNotification(kExitDatagram, 0, 0, 0, 0, nullptr);
  EXPECT_EQ(std::string("Exit Quarnix\r\n", 14), m_receiver.Receive().value_or(""));
  EXPECT_EQ("", LoggedLine());  // the switch is off
}

TEST_F(SendNotificationTest, GivenPortWithHostZeroGoesToTheRemoteHost) {
  UdpReceiver group;
  SendNotification("grp", 3, 0, 0, group.Port(), "note");
  EXPECT_EQ("grp", group.Receive().value_or(""));
  m_receiver.SendMarker("marker");
  EXPECT_EQ("marker", m_receiver.Receive().value_or(""));  // nothing went to the default port
}

TEST_F(SendNotificationTest, GivenHostAndPortAreUsed) {
  UdpReceiver group;
  m_sockets.remotePort = 0;
  SendNotification("grp", 3, 5, kLoopback, group.Port(), nullptr);
  EXPECT_EQ("grp", group.Receive().value_or(""));
}

TEST_F(SendNotificationTest, RemotePortZeroSilencesOnlyDatagramsWithoutAPort) {
  logValueChanges = true;
  m_sockets.remotePort = 0;
  SendNotification(kStartupDatagram, 0, 0, 0, 0, nullptr);
  EXPECT_EQ("", LoggedLine());  // nothing sent, nothing logged
  UdpReceiver group;
  SendNotification("C", 1, 0, 0, group.Port(), nullptr);
  EXPECT_EQ("C", group.Receive().value_or(""));
}

TEST_F(SendNotificationTest, PayloadWithNulBytesIsSentWholeAndLoggedUpToTheFirstNul) {
  logValueChanges = true;
  const char payload[] = {'C', 0, 0, 0, 7, 'x'};
  SendNotification(payload, 6, 0, 0, 0, "packet 1");
  EXPECT_EQ(std::string(payload, 6), m_receiver.Receive().value_or(""));
  EXPECT_EQ(
      "往2130706433:" + std::to_string(m_receiver.Port()) + "发送值变化通知 C 长度 6 packet 1\n",
      LoggedLine());
}

TEST_F(SendNotificationTest, LogLineShowsTheHostAsASignedNumberAndNullForNoNote) {
  // No socket: the line is written, nothing is sent anywhere.
  m_sockets.socketNotify.Close();
  m_sockets.remoteHost = 0xC0A80114;  // 192.168.1.20
  m_sockets.remotePort = 8088;
  logValueChanges = true;
  SendNotification("abc", 0, 0, 0, 0, nullptr);
  EXPECT_EQ("往-1062731500:8088发送值变化通知 abc 长度 3 (null)\n", LoggedLine());
}

TEST_F(SendNotificationTest, DefaultsLogAs2130706433And8088) {
  m_sockets.socketNotify.Close();
  m_sockets.remotePort = 8088;
  logValueChanges = true;
  SendNotification(kStartupDatagram, 0, 0, 0, 0, nullptr);
  // The datagram's CR LF is a space in the log file, which keeps one entry per line.
  EXPECT_EQ("往2130706433:8088发送值变化通知 Startup Quarnix  长度 17 (null)\n", LoggedLine());
}

TEST_F(SendNotificationTest, PayloadWithoutNulIsNeverReadBeyondItsLength) {
  logValueChanges = true;
  const char payload[4] = {'W', 'X', 'Y', 'Z'};  // no terminator
  SendNotification(payload, 2, 0, 0, 0, nullptr);
  EXPECT_EQ("WX", m_receiver.Receive().value_or(""));
  EXPECT_EQ(
      "往2130706433:" + std::to_string(m_receiver.Port()) + "发送值变化通知 WX 长度 2 (null)\n",
      LoggedLine());
}

TEST_F(SendNotificationTest, FailedSendIsDroppedSilently) {
  const std::string tooBig(70000, 'x');
  SendNotification(tooBig.data(), static_cast<int>(tooBig.size()), 1, 0, 0, nullptr);
  EXPECT_EQ("", LoggedLine());
  SendNotification("after", 0, 0, 0, 0, nullptr);
  EXPECT_EQ("after", m_receiver.Receive().value_or(""));
}

TEST(GatewaySocketsTest, TheLatestInstanceIsTheCurrentOneUntilItGoes) {
  EXPECT_EQ(nullptr, GatewaySockets());
  {
    CGatewaySockets sockets;
    EXPECT_EQ(&sockets, GatewaySockets());
    EXPECT_EQ(8089, sockets.listenPort);
    EXPECT_EQ(8088, sockets.remotePort);
    EXPECT_EQ(0x7F000001u, sockets.remoteHost);
    EXPECT_EQ(kNoSocket, sockets.socketNotify.m_socket);
  }
  EXPECT_EQ(nullptr, GatewaySockets());
}
