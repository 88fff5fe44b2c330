// Response: the reply line on a real connection.
#include "net/response.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tests/support/loopback_connection.h"

TEST(ResponseTest, ReplyIsCodeTabTextCrLf) {
  CLoopbackConnection connection;
  Response(connection.Server(), 0, "HBT OK!");
  connection.CloseServer();
  EXPECT_EQ(connection.ReadAll(), "0\tHBT OK!\r\n");
}

TEST(ResponseTest, NegativeCodeAndEmptyText) {
  CLoopbackConnection connection;
  Response(connection.Server(), -2, "");
  connection.CloseServer();
  EXPECT_EQ(connection.ReadAll(), "-2\t\r\n");
}

TEST(ResponseTest, TextIsSentUnescapedAndWhole) {
  const std::string text = "a\tb\r\n%s%d" + std::string(3'000'000, 'x');
  CLoopbackConnection connection;
  std::string received;
  // The client reads while the reply is written: more than the socket buffers hold.
  std::thread reader([&] { received = connection.ReadAll(std::chrono::seconds(60)); });
  Response(connection.Server(), -2147467259, text);
  connection.CloseServer();
  reader.join();
  EXPECT_EQ(received.size(), text.size() + 14);
  EXPECT_TRUE(received == "-2147467259\t" + text + "\r\n");
}

TEST(ResponseTest, SocketFailuresAreAbsorbed) {
  CHttpBlockingSocket never;
  EXPECT_NO_THROW(Response(never, 0, "lost"));
  CLoopbackConnection connection;
  connection.CloseClient();
  // The first write may still be taken by the system; neither may throw.
  EXPECT_NO_THROW(Response(connection.Server(), 0, std::string(100000, 'y')));
  EXPECT_NO_THROW(Response(connection.Server(), 0, std::string(100000, 'y')));
}

TEST(ResponseTest, FormatResponseGivesTheLineBytes) {
  EXPECT_EQ(FormatResponse(-1, ""), "-1\t\r\n");
  EXPECT_EQ(FormatResponse(1, "Unknown command: x"), "1\tUnknown command: x\r\n");
}
