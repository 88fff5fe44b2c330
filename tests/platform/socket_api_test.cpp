#include "platform/socket_api.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>

#include "tests/net/loopback.h"

using namespace testing_loopback;

TEST(InetAddrTest, FollowsTheClassicDottedRules) {
  EXPECT_EQ(0x7F000001u, NetToHost32(InetAddr("127.0.0.1")));
  EXPECT_EQ(0xC0A80114u, NetToHost32(InetAddr("192.168.1.20")));
  EXPECT_EQ(0x7F000001u, NetToHost32(InetAddr("127.1")));       // short form
  EXPECT_EQ(0x7F000001u, NetToHost32(InetAddr("0x7f.0.0.1")));  // hex part
  EXPECT_EQ(0xFFFFFFFFu, InetAddr("255.255.255.255"));
  EXPECT_EQ(0xFFFFFFFFu, InetAddr("localhost"));
  EXPECT_EQ(0xFFFFFFFFu, InetAddr("1.2.3.4.5"));
  EXPECT_EQ(0xFFFFFFFFu, InetAddr("256.1.1.1"));
  EXPECT_EQ(0xFFFFFFFFu, InetAddr(nullptr));
}

TEST(SocketApiTest, WaitOnAClosedHandleFailsAtOnce) {
  EXPECT_LT(SocketWaitReadable(kNoSocket, 100), 0);
  EXPECT_LT(SocketWaitWritable(kNoSocket, 100), 0);
}

TEST(SocketApiTest, CloseFromAnotherThreadWakesAcceptAndKeepsTheLastError) {
  SocketHandle listening = SocketCreate(kSockStream);
  ASSERT_TRUE(SocketBind(listening, LoopbackAddress(0)));
  ASSERT_TRUE(SocketListen(listening, 5));
  auto accepted = std::async(std::launch::async, [listening] {
    SocketAddressIn peer;
    return SocketAccept(listening, peer);
  });
  SetSocketLastError(0);
  SocketClose(listening);
  EXPECT_EQ(0, SocketLastError());
  ASSERT_EQ(std::future_status::ready, accepted.wait_for(std::chrono::seconds(20)));
  EXPECT_EQ(kNoSocket, accepted.get());
}
