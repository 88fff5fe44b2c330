#include "net/blocking_socket.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <vector>

#include "tests/net/loopback.h"

using namespace testing_loopback;

namespace {

// A listening socket on 127.0.0.1 and the port the system gave it.
std::uint16_t ListenOnLoopback(CBlockingSocket& listening) {
  listening.Create(kSockStream);
  listening.Bind(CSocketAddress(kLoopback, 0));
  listening.Listen();
  return LocalPort(listening.m_socket);
}

std::string OperationOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CBlockingSocketException& e) {
    return e.m_strOperation;
  }
  return "(nothing thrown)";
}

}  // namespace

TEST(SocketAddressTest, ConvertsHostOrderToTheSystemRecord) {
  const CSocketAddress address(0x7F000001, 8089);
  const unsigned char expected[8] = {0x1F, 0x99, 127, 0, 0, 1, 0, 0};
  EXPECT_EQ(kAfInet, address.m_addr.family);
  EXPECT_EQ(0,
            std::memcmp(reinterpret_cast<const unsigned char*>(&address.m_addr) + 2, expected, 6));
  EXPECT_EQ(0x7F000001u, address.HostOrderAddress());
  EXPECT_EQ(8089, address.HostOrderPort());
  const CSocketAddress any;
  EXPECT_EQ(0u, any.HostOrderAddress());
  EXPECT_EQ(0, any.HostOrderPort());
}

TEST(SocketAddressTest, DottedAddressFillsAtMostSixteenBytes) {
  EXPECT_STREQ("255.255.255.255", CSocketAddress(0xFFFFFFFF, 0).GetDottedAddress().get());
  EXPECT_STREQ("0.0.0.0", CSocketAddress(0, 0).GetDottedAddress().get());
  EXPECT_STREQ("192.168.1.20", CSocketAddress(0xC0A80114, 1).GetDottedAddress().get());
}

TEST(BlockingSocketExceptionTest, ErrorMessageFormsDependOnTheCode) {
  char text[64];
  CBlockingSocketException("Bind", 98).GetErrorMessage(text, sizeof text);
  EXPECT_STREQ("error Bind 98d", text);
  CBlockingSocketException("ReadHeaderLine", 0).GetErrorMessage(text, sizeof text);
  EXPECT_STREQ("Error ReadHeaderLine", text);
  EXPECT_EQ("error Send 4294967295d", CBlockingSocketException("Send", -1).Message());
}

TEST(BlockingSocketExceptionTest, CapacityEightGivesErrorRAndANul) {
  char text[16];
  std::memset(text, 'z', sizeof text);
  EXPECT_TRUE(CBlockingSocketException("Receive timeout", 0).GetErrorMessage(text, 8));
  EXPECT_EQ(0, std::memcmp("Error R\0zz", text, 10));
}

TEST(BlockingSocketExceptionTest, ThirtyTwoByteBufferKeepsThirtyOneCharacters) {
  char text[32];
  CBlockingSocketException("ReadHeaderLine", 1234567890).GetErrorMessage(text, sizeof text);
  EXPECT_STREQ("error ReadHeaderLine 1234567890", text);
  CBlockingSocketException("Receive timeout", 2147483647).GetErrorMessage(text, sizeof text);
  EXPECT_STREQ("error Receive timeout 214748364", text);
}

TEST(BlockingSocketExceptionTest, ConstructionReadsTheLastError) {
  SetSocketLastError(111);
  const CBlockingSocketException e("Send");
  EXPECT_EQ(111, e.m_nErrorCode);
  SetSocketLastError(0);
}

TEST(BlockingSocketTest, CloseTwiceDoesNothingTheSecondTime) {
  CBlockingSocket socket;
  socket.Close();  // never created
  socket.Create(kSockDgram);
  EXPECT_NE(kNoSocket, socket.m_socket);
  socket.Close();
  EXPECT_EQ(kNoSocket, socket.m_socket);
  socket.Close();
  EXPECT_EQ(kNoSocket, socket.m_socket);
}

TEST(BlockingSocketTest, SendDatagramAfterCloseSendsNothing) {
  UdpReceiver receiver;
  CBlockingSocket socket;
  socket.Create(kSockDgram);
  socket.Close();
  EXPECT_EQ(0, socket.SendDatagram("lost", 4, CSocketAddress(kLoopback, receiver.Port()), 1));
  receiver.SendMarker("marker");
  EXPECT_EQ("marker", receiver.Receive().value_or(""));
}

TEST(BlockingSocketTest, SendDatagramFailureThrowsSendDatagram) {
  CBlockingSocket socket;
  socket.Create(kSockDgram);
  const std::string tooBig(70000, 'x');  // larger than any datagram
  EXPECT_EQ("SendDatagram", OperationOf([&] {
              socket.SendDatagram(tooBig.data(), static_cast<int>(tooBig.size()),
                                  CSocketAddress(kLoopback, 9), 1);
            }));
  socket.Close();
}

TEST(BlockingSocketTest, AcceptReturnsFalseWhenTheSocketIsClosedFromAnotherThread) {
  CBlockingSocket listening;
  ListenOnLoopback(listening);
  CBlockingSocket connection;
  auto accepted = std::async(std::launch::async, [&] {
    CSocketAddress peer;
    return listening.Accept(connection, peer);
  });
  listening.Close();
  ASSERT_EQ(std::future_status::ready, accepted.wait_for(std::chrono::seconds(20)));
  EXPECT_FALSE(accepted.get());
  EXPECT_EQ(kNoSocket, connection.m_socket);
  connection.Close();
}

TEST(BlockingSocketTest, AcceptFillsTheConnectionAndThePeer) {
  CBlockingSocket listening;
  const std::uint16_t port = ListenOnLoopback(listening);
  TcpClient client(port);
  ASSERT_TRUE(client.Connected());
  CBlockingSocket connection;
  CSocketAddress peer;
  ASSERT_TRUE(listening.Accept(connection, peer));
  EXPECT_NE(kNoSocket, connection.m_socket);
  EXPECT_EQ(kLoopback, peer.HostOrderAddress());
  EXPECT_EQ(LocalPort(client.Handle()), peer.HostOrderPort());
  CSocketAddress asked;
  connection.GetPeerName(asked);
  EXPECT_STREQ("127.0.0.1", asked.GetDottedAddress().get());
  EXPECT_EQ(peer.HostOrderPort(), asked.HostOrderPort());
  connection.Close();
  listening.Close();
}

TEST(BlockingSocketTest, FailuresNameTheirOperation) {
  CBlockingSocket first;
  const std::uint16_t port = ListenOnLoopback(first);
  CBlockingSocket second;
  second.Create(kSockStream);
  CBlockingSocketException bindFailure("", 0);
  try {
    second.Bind(CSocketAddress(kLoopback, port));
  } catch (const CBlockingSocketException& e) {
    bindFailure = e;
  }
  EXPECT_EQ("Bind", bindFailure.m_strOperation);
  EXPECT_EQ(kErrorAddressInUse, bindFailure.m_nErrorCode);
  CSocketAddress peer;
  EXPECT_EQ("GetPeerName", OperationOf([&] { second.GetPeerName(peer); }));
  second.Close();
  first.Close();
  char byte;
  EXPECT_EQ("Receive", OperationOf([&] { second.Receive(&byte, 1, 100); }));  // closed: at once
  EXPECT_EQ("Send", OperationOf([&] { second.Send("x", 1, 100); }));
}

TEST(BlockingSocketTest, ReceiveTimesOutAndReportsPeerClose) {
  CBlockingSocket listening;
  TcpClient client(ListenOnLoopback(listening));
  CBlockingSocket connection;
  CSocketAddress peer;
  ASSERT_TRUE(listening.Accept(connection, peer));
  char buffer[8];
  EXPECT_EQ("Receive timeout", OperationOf([&] { connection.Receive(buffer, 8, 1); }));
  client.Send("abc");
  EXPECT_EQ(3, connection.Receive(buffer, 8, 100));
  client.Close();
  EXPECT_EQ(0, connection.Receive(buffer, 8, 100));
  connection.Close();
  listening.Close();
}

TEST(BlockingSocketTest, SendAllDeliversEverythingWhileThePeerReads) {
  CBlockingSocket listening;
  TcpClient client(ListenOnLoopback(listening));
  CBlockingSocket connection;
  CSocketAddress peer;
  ASSERT_TRUE(listening.Accept(connection, peer));
  std::string data(4 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  auto received = std::async(std::launch::async, [&] {
    std::string all;
    char buffer[65536];
    for (;;) {
      const int count = SocketReceive(client.Handle(), buffer, sizeof buffer);
      if (count <= 0) break;
      all.append(buffer, static_cast<std::size_t>(count));
    }
    return all;
  });
  EXPECT_EQ(static_cast<int>(data.size()),
            connection.SendAll(data.data(), static_cast<int>(data.size()), 100));
  EXPECT_EQ(0, connection.SendAll("", 0, 100));
  connection.Close();
  EXPECT_TRUE(received.get() == data);
  listening.Close();
}

TEST(BlockingSocketTest, SendToAPeerThatDoesNotReadTimesOut) {
  CBlockingSocket listening;
  TcpClient client(ListenOnLoopback(listening));
  CBlockingSocket connection;
  CSocketAddress peer;
  ASSERT_TRUE(listening.Accept(connection, peer));
  const std::string chunk(1 << 20, 'x');
  std::string failure;
  for (int i = 0; i < 256 && failure.empty(); ++i) {
    failure =
        OperationOf([&] { connection.SendAll(chunk.data(), static_cast<int>(chunk.size()), 1); });
    if (failure == "(nothing thrown)") failure.clear();
  }
  EXPECT_EQ("Send timeout", failure);
  connection.Close();
  listening.Close();
}
