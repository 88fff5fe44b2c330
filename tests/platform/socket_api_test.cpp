#include "platform/socket_api.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

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

namespace {

std::atomic<int> g_interruptions{0};

void CountInterruption(int) {
  ++g_interruptions;
}

}  // namespace

// A signal handler installed without SA_RESTART (as a fuzzer or another library may) interrupts
// a blocking connect with EINTR; the connect itself goes on and must be finished, not failed.
TEST(SocketApiTest, ConnectInterruptedByASignalStillConnects) {
  struct sigaction action {};
  action.sa_handler = CountInterruption;
  sigemptyset(&action.sa_mask);
  struct sigaction previous {};
  ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));
  // A listener whose accept queue is full drops the next handshake: that connect waits for the
  // handshake's retry, a second later, and stays blocked meanwhile.
  SocketHandle listening = SocketCreate(kSockStream);
  ASSERT_TRUE(SocketBind(listening, LoopbackAddress(0)));
  ASSERT_TRUE(SocketListen(listening, 0));
  const SocketAddressIn address = LoopbackAddress(LocalPort(listening));
  SocketHandle first = SocketCreate(kSockStream);
  ASSERT_TRUE(SocketConnect(first, address));
  SocketHandle second = SocketCreate(kSockStream);
  std::atomic<bool> started{false};
  std::atomic<bool> finished{false};
  bool connected = false;
  std::thread connecting([&] {
    started = true;
    connected = SocketConnect(second, address);
    finished = true;
  });
  while (!started) std::this_thread::yield();
  // Signals keep coming for a while, so that some arrive while the connect is blocked.
  const int before = g_interruptions.load();
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (std::chrono::steady_clock::now() < until && !finished) {
    pthread_kill(connecting.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GT(g_interruptions.load(), before);
  SocketAddressIn peer;
  const SocketHandle accepted = SocketAccept(listening, peer);  // makes room for the retry
  connecting.join();
  EXPECT_TRUE(connected);
  for (SocketHandle socket : {accepted, first, second, listening}) SocketClose(socket);
  sigaction(SIGUSR1, &previous, nullptr);
}
