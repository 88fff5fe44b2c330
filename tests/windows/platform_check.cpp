// Checks the Windows side of platform/ (and the socket classes on it) in a real Windows process:
// Winsock start-up, accept, an exclusive port, the close of a listening socket waking a blocked
// accept (also at the end of the listener chain), send and receive timeouts, the named
// semaphore, the console hook, and the ANSI code page. Runs under wine: `wine
// quarnix-platform-check.exe [code-page]`, where code-page names the process's ANSI code page (936
// for a Chinese system, 65001 for UTF-8, anything else skips the code-page cases). Prints one line
// per failed check and ends with the number of failures.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "net/blocking_socket.h"
#include "net/listener.h"
#include "net/response.h"
#include "platform/apartment.h"
#include "platform/codepage.h"
#include "platform/instance_lock.h"
#include "platform/local_time.h"
#include "platform/signal_hook.h"
#include "platform/socket_api.h"
#include "platform/string_format.h"

namespace {

int g_failures = 0;
int g_checks = 0;

void Check(bool condition, const char* what, int line) {
  ++g_checks;
  if (condition) return;
  ++g_failures;
  std::printf("FAILED line %d: %s (last socket error %d)\n", line, what, SocketLastError());
}
#define CHECK(condition) Check((condition), #condition, __LINE__)

constexpr std::uint32_t kLoopback = 0x7F000001;

std::uint16_t LocalPort(SocketHandle socket) {
  SocketAddressIn local;
  if (!SocketGetSockName(socket, local)) return 0;
  return NetToHost16(local.port);
}

// A listening socket on 127.0.0.1 at a port the system chose.
SocketHandle Listening(std::uint16_t& port) {
  const SocketHandle socket = SocketCreate(kSockStream);
  if (socket == kNoSocket) return kNoSocket;
  if (!SocketBind(socket, CSocketAddress(kLoopback, 0).m_addr) || !SocketListen(socket, 5)) {
    SocketClose(socket);
    return kNoSocket;
  }
  port = LocalPort(socket);
  return socket;
}

SocketHandle Connected(std::uint16_t port) {
  const SocketHandle socket = SocketCreate(kSockStream);
  if (!SocketConnect(socket, CSocketAddress(kLoopback, port).m_addr)) {
    SocketClose(socket);
    return kNoSocket;
  }
  return socket;
}

bool IsReady(std::future<bool>& result) {
  return result.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
}

void CheckInetAddr() {
  CHECK(NetToHost32(InetAddr("127.0.0.1")) == 0x7F000001u);
  CHECK(NetToHost32(InetAddr("192.168.1.20")) == 0xC0A80114u);
  CHECK(NetToHost32(InetAddr("127.1")) == 0x7F000001u);
  CHECK(NetToHost32(InetAddr("0x7f.0.0.1")) == 0x7F000001u);
  CHECK(InetAddr("255.255.255.255") == 0xFFFFFFFFu);
  CHECK(InetAddr("localhost") == 0xFFFFFFFFu);
  CHECK(InetAddr("1.2.3.4.5") == 0xFFFFFFFFu);
  CHECK(InetAddr("256.1.1.1") == 0xFFFFFFFFu);
  CHECK(InetAddr(nullptr) == 0xFFFFFFFFu);
}

void CheckAcceptAndExclusivePort() {
  std::uint16_t port = 0;
  const SocketHandle listening = Listening(port);
  CHECK(listening != kNoSocket);
  CHECK(port != 0);

  const SocketHandle client = Connected(port);
  CHECK(client != kNoSocket);
  SocketAddressIn peer;
  const SocketHandle accepted = SocketAccept(listening, peer);
  CHECK(accepted != kNoSocket);
  CHECK(NetToHost32(peer.address) == kLoopback);
  CHECK(NetToHost16(peer.port) == LocalPort(client));

  // Bytes both ways, and the peer's close seen as a receive of 0.
  CHECK(SocketSend(client, "HBT\r\n", 5) == 5);
  CHECK(SocketWaitReadable(accepted, 20) > 0);
  CHECK(SocketReadableBytes(accepted) == 5);
  char buffer[16] = {};
  CHECK(SocketReceive(accepted, buffer, sizeof buffer) == 5);
  CHECK(std::memcmp(buffer, "HBT\r\n", 5) == 0);
  SocketClose(client);
  CHECK(SocketWaitReadable(accepted, 20) > 0);
  CHECK(SocketReceive(accepted, buffer, sizeof buffer) == 0);
  SocketClose(accepted);

  // A second listener on the same port is refused, on the wildcard address too.
  const SocketHandle second = SocketCreate(kSockStream);
  CHECK(!SocketBind(second, CSocketAddress(kLoopback, port).m_addr));
  CHECK(SocketLastError() == kErrorAddressInUse);
  SocketClose(second);
  const SocketHandle wildcard = SocketCreate(kSockStream);
  CHECK(!SocketBind(wildcard, CSocketAddress(0, port).m_addr));
  CHECK(SocketLastError() == kErrorAddressInUse);
  SocketClose(wildcard);

  // The same through the socket class: "Bind" with the code.
  CBlockingSocket third;
  third.Create(kSockStream);
  try {
    third.Bind(CSocketAddress(kLoopback, port));
    CHECK(!"Bind on a port in use succeeded");
  } catch (const CBlockingSocketException& failure) {
    CHECK(failure.m_strOperation == "Bind");
    CHECK(failure.m_nErrorCode == kErrorAddressInUse);
    CHECK(failure.Message() == StringPrintf("error Bind %ud", 10048u));
  }
  third.Close();
  SocketClose(listening);

  // Once the listener is gone the port is free again at once.
  const SocketHandle again = SocketCreate(kSockStream);
  CHECK(SocketBind(again, CSocketAddress(kLoopback, port).m_addr));
  SocketClose(again);
}

void CheckCloseWakesAccept() {
  // The raw call: the blocked accept fails, and the closer's last error is kept.
  std::uint16_t port = 0;
  const SocketHandle listening = Listening(port);
  std::promise<void> entered;
  std::future<bool> woken = std::async(std::launch::async, [&] {
    entered.set_value();
    SocketAddressIn peer;
    return SocketAccept(listening, peer) == kNoSocket;
  });
  entered.get_future().wait();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let it block in accept
  SetSocketLastError(0);
  SocketClose(listening);
  CHECK(SocketLastError() == 0);
  CHECK(IsReady(woken));
  if (woken.valid()) CHECK(woken.get());

  // The socket class: Accept returns false without an exception, as after WSAEINTR.
  CBlockingSocket server;
  server.Create(kSockStream);
  server.Bind(CSocketAddress(kLoopback, 0));
  server.Listen();
  std::promise<void> started;
  std::future<bool> accepted = std::async(std::launch::async, [&] {
    started.set_value();
    CBlockingSocket connection;
    CSocketAddress peer;
    try {
      return !server.Accept(connection, peer) && connection.m_socket == kNoSocket;
    } catch (const CBlockingSocketException& failure) {
      std::printf("Accept threw: %s\n", failure.Message().c_str());
      return false;
    }
  });
  started.get_future().wait();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  server.Close();
  CHECK(IsReady(accepted));
  if (accepted.valid()) CHECK(accepted.get());
}

// One request through the listener chain, then Stop: the listener in Accept ends with the close.
void CheckListenerChain() {
  CHttpBlockingSocket listening;
  listening.Create(kSockStream);
  listening.Bind(CSocketAddress(kLoopback, 0));
  listening.Listen();
  const std::uint16_t port = LocalPort(listening.m_socket);
  std::shared_ptr<CApartment> ui = CApartment::ForCurrentThread();
  GatewayCounters counters;
  CListenerChain chain(counters);
  CHECK(chain.Start(listening, ProtectionSettings(), ui, [](CHttpBlockingSocket& connection) {
    char line[100];
    connection.ReadHeaderLine(line, sizeof line, 100);
    Response(connection, 0, std::string("answered ") + line[0]);
  }));

  std::future<std::string> reply = std::async(std::launch::async, [port] {
    const SocketHandle client = Connected(port);
    std::string bytes;
    if (client == kNoSocket) return bytes;
    SocketSend(client, "HBT\r\n", 5);
    char buffer[64];
    int count;
    while (SocketWaitReadable(client, 20) > 0 &&
           (count = SocketReceive(client, buffer, sizeof buffer)) > 0) {
      bytes.append(buffer, static_cast<std::size_t>(count));
    }
    SocketClose(client);
    return bytes;
  });
  CHECK(ui->RunUntil(
      [&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
      std::chrono::seconds(20)));
  CHECK(reply.get() == "0\tanswered H\r\n");
  CHECK(chain.AcceptingCount() <= 1);
  chain.Stop();
  CHECK(chain.ThreadCount() == 0);
  CHECK(listening.m_socket == kNoSocket);
}

void CheckTimeouts() {
  std::uint16_t port = 0;
  const SocketHandle listening = Listening(port);
  CBlockingSocket client;
  client.m_socket = Connected(port);
  SocketAddressIn peer;
  const SocketHandle accepted = SocketAccept(listening, peer);
  CHECK(client.m_socket != kNoSocket);
  CHECK(accepted != kNoSocket);

  // Nothing to read within a second: "Receive timeout", code 0 when nothing failed before.
  char buffer[8];
  SetSocketLastError(0);
  try {
    client.Receive(buffer, sizeof buffer, 1);
    CHECK(!"Receive without data returned");
  } catch (const CBlockingSocketException& failure) {
    CHECK(failure.m_strOperation == "Receive timeout");
    CHECK(failure.m_nErrorCode == 0);
  }

  // A peer that never reads: the try-send reports a full buffer instead of blocking, and Send
  // gives up after its seconds with "Send timeout".
  static char block[65536];
  long long total = 0;
  int sent = 0;
  while ((sent = SocketTrySend(client.m_socket, block, sizeof block)) > 0 && total < (1LL << 30)) {
    total += sent;
  }
  CHECK(sent < 0);
  CHECK(SocketSendWouldBlock());
  // The system may still grow its buffers a little; Send takes what fits until nothing does.
  bool timedOut = false;
  for (int i = 0; i < 1000 && !timedOut; ++i) {
    try {
      total += client.Send(block, sizeof block, 1);
    } catch (const CBlockingSocketException& failure) {
      CHECK(failure.m_strOperation == "Send timeout");
      timedOut = true;
    }
  }
  CHECK(timedOut);

  // The socket stays blocking for the plain calls: once the peer reads, a Send of everything
  // goes through.
  std::future<bool> drained = std::async(std::launch::async, [&] {
    char sink[65536];
    long long received = 0;
    while (received < total + static_cast<long long>(sizeof block)) {
      const int count = SocketReceive(accepted, sink, sizeof sink);
      if (count <= 0) return false;
      received += count;
    }
    return true;
  });
  CHECK(client.SendAll(block, sizeof block, 20) == static_cast<int>(sizeof block));
  CHECK(IsReady(drained));
  if (drained.valid()) CHECK(drained.get());

  client.Close();
  client.Close();  // twice is harmless
  SocketClose(accepted);
  SocketClose(listening);
}

void CheckDatagrams() {
  const SocketHandle receiver = SocketCreate(kSockDgram);
  CHECK(SocketBind(receiver, CSocketAddress(kLoopback, 0).m_addr));
  const std::uint16_t port = LocalPort(receiver);

  CBlockingSocket sender;
  CHECK(sender.SendDatagram("x", 1, CSocketAddress(kLoopback, port), 1) == 0);  // no socket yet
  sender.Create(kSockDgram);
  CHECK(!SocketGetBroadcast(sender.m_socket));
  CHECK(SocketSetBroadcast(sender.m_socket, true));
  CHECK(SocketGetBroadcast(sender.m_socket));
  CHECK(sender.SendDatagram("Startup Quarnix\r\n", 17, CSocketAddress(kLoopback, port), 100) == 17);
  CHECK(SocketWaitReadable(receiver, 20) > 0);
  char buffer[64] = {};
  SocketAddressIn from;
  CHECK(SocketReceiveFrom(receiver, buffer, sizeof buffer, from) == 17);
  CHECK(std::string(buffer) == "Startup Quarnix\r\n");
  CHECK(NetToHost32(from.address) == kLoopback);
  sender.Close();
  CHECK(sender.SendDatagram("x", 1, CSocketAddress(kLoopback, port), 1) == 0);  // closed
  SocketClose(receiver);

  CHECK(SocketWaitReadable(kNoSocket, 100) < 0);
  CHECK(SocketWaitWritable(kNoSocket, 100) < 0);
}

void CheckInstanceLock() {
  const std::string name =
      StringPrintf("com.vesk.Morvantel.semaphore.check.%u", static_cast<unsigned>(std::rand()));
  CInstanceLock first;
  CInstanceLock second;
  CHECK(first.Acquire(name) == CInstanceLock::Result::kAcquired);
  CHECK(first.IsHeld());
  CHECK(second.Acquire(name) == CInstanceLock::Result::kAlreadyHeld);
  CHECK(!second.IsHeld());
  CHECK(second.Acquire(name + ".other") == CInstanceLock::Result::kAcquired);
  first.Release();
  first.Release();  // twice is harmless
  CHECK(!first.IsHeld());
  {
    CInstanceLock next;
    CHECK(next.Acquire(name) == CInstanceLock::Result::kAcquired);
  }
  CHECK(first.Acquire(name) == CInstanceLock::Result::kAcquired);
}

void CheckSignalHook() {
  CSignalHook hook;
  CHECK(hook.Start([](int) {}));
  CSignalHook other;
  CHECK(!other.Start([](int) {}));  // one hook at a time
  hook.Stop();
  hook.Stop();
  CHECK(other.Start(nullptr));
  other.Stop();
  CHECK(CSignalHook::kTerminate == 15);
  CHECK(CSignalHook::kInterrupt == 2);
}

void CheckTexts() {
  CHECK(FormatLocalTime(0, "%Y-%m-%d %H:%M:%S").size() == 19);
  CHECK(StringPrintf("% d|%x|%s", 8089, 0x80004005u, "a") == " 8089|80004005|a");
}

void CheckCodePage(const char* codePage) {
  const WideString group = OLESTR("组一");
  if (std::strcmp(codePage, "936") == 0) {
    CHECK(SystemText("组") == "\xD7\xE9");
    CHECK(SystemText("只能打开该程序的一个实例") ==
          "\xD6\xBB\xC4\xDC\xB4\xF2\xBF\xAA\xB8\xC3\xB3\xCC\xD0\xF2\xB5\xC4\xD2\xBB\xB8\xF6"
          "\xCA\xB5\xC0\xFD");
    CHECK(MultiByteToWide("\xD7\xE9\xD2\xBB") == group);
    CHECK(WideToMultiByte(group) == "\xD7\xE9\xD2\xBB");
    CHECK(WideToMultiByte(OLESTR("组\x0E01")) == "\xD7\xE9?");  // Thai is not in GBK
  } else if (std::strcmp(codePage, "65001") == 0) {
    CHECK(SystemText("组") == "组");
    CHECK(MultiByteToWide("组一") == group);
    CHECK(WideToMultiByte(group) == "组一");
    const WideChar clef[] = {0xD834, 0xDD1E, 0};  // a surrogate pair
    CHECK(MultiByteToWide("𝄞") == clef);
    CHECK(WideToMultiByte(clef) == "𝄞");
    CHECK(MultiByteToWide("a\xFF"
                          "b") == OLESTR("a\xFFFD"
                                         "b"));
  } else {
    std::printf("code page cases skipped\n");
  }
  CHECK(MultiByteToWide("OPC.SimaticNET") == OLESTR("OPC.SimaticNET"));
  CHECK(WideToMultiByte(OLESTR("Quarnix.Simulator")) == "Quarnix.Simulator");
  CHECK(MultiByteToWide("").empty());
  CHECK(WideToMultiByte(WideString()).empty());
  std::string longText;
  for (int i = 0; i < 2000; ++i) longText += "ab";
  CHECK(MultiByteToWide(longText).size() == 4000);
}

}  // namespace

int main(int argc, char** argv) {
  std::srand(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  CHECK(SocketStartup());
  CheckInetAddr();
  CheckAcceptAndExclusivePort();
  CheckCloseWakesAccept();
  CheckListenerChain();
  CheckTimeouts();
  CheckDatagrams();
  CheckInstanceLock();
  CheckSignalHook();
  CheckTexts();
  CheckCodePage(argc > 1 ? argv[1] : "");
  std::printf("%d checks, %d failed\n", g_checks, g_failures);
  return g_failures == 0 ? 0 : 1;
}
