// Fuzzes the request dispatcher and every command handler over the simulator (through the
// recording test server).
//
// Each input is a sequence of requests separated by the byte 0xFF. Every run starts from a
// gateway with two defined groups (items of several types, one of them read-only) and sends each
// request on its own in-memory connection (no socket, no thread), the client closing after its
// bytes, as a client that gives up would: the request is read whole as the listener reads it,
// then answered as the UI thread answers it. Whatever the bytes, the dispatcher must answer or
// refuse without crashing, hanging or leaking, the reply must be one whole line or nothing, the
// group list must stay consistent, and every interface that the handlers obtained, and every
// sink the server held, must be given back when the gateway is torn down and the callbacks
// queued to this thread have run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/activity_log.h"
#include "core/frame_view.h"
#include "net/http_blocking_socket.h"
#include "platform/apartment.h"
#include "platform/socket_api.h"
#include "protocol/request_dispatcher.h"
#include "tests/support/faulty_opc_server.h"
#include "tests/support/silent_frame_view.h"
#include "tests/support/unsent_datagrams.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void Send(CRequestDispatcher& dispatcher, std::string_view bytes) {
  CHttpBlockingSocket connection;
  connection.SetReceived(bytes);
  connection.SetPeer(CSocketAddress(0x7F000001, 50000));
  CRequestDispatcher::ReadRequest(connection);
  dispatcher.OnRequest(connection);
  const std::string& reply = connection.QueuedReply();
  Check(reply.empty() || (reply.size() >= 3 && reply.compare(reply.size() - 2, 2, "\r\n") == 0));
}

void CheckConsistent(const CRequestDispatcher& dispatcher) {
  for (std::size_t i = 0; i < dispatcher.Registry().GroupCount(); ++i) {
    const GroupRecord* group = dispatcher.Registry().GetGroup(i);
    if (group == nullptr) continue;
    Check(group->szName != nullptr);
    Check(group->wItemsDefined == group->wItemCount);  // no half-defined group is kept
    Check(group->wItemCount == 0 || group->pItemDefs != nullptr);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The gateway writes its log file to the working directory.
  const auto directory = std::filesystem::temp_directory_path() / "quarnix-dispatcher-fuzz";
  std::filesystem::create_directories(directory);
  std::filesystem::current_path(directory);
  SocketStartup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 16384) return 0;
  CSilentFrameView frame;
  pMainFrame = &frame;
  {
    CFaultyOpcServer server;
    CUnsentDatagrams datagrams;
    datagrams.log.logGroupOps = false;
    datagrams.log.logItemOps = false;
    datagrams.log.logValueWrites = true;
    const RequestSettings settings;
    CRequestDispatcher dispatcher(frame, CFaultyOpcServer::kProgId,
                                  {datagrams.sender, settings, datagrams.counters, datagrams.log});
    Send(dispatcher,
         "AD\t2\t9000\r\ng\tA\t4\r\nMemory.Int2.f\tA\t2\r\nStatic.Boolean\tA\t11\r\n"
         "Memory.String.f\tA\t8\r\nMemory.UInt4.f\tA\t0\r\nh\tN\t1\r\nMemory.Real8.f\tA\t5\r\n");

    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    for (int request = 0; request < 8 && start <= input.size(); ++request) {
      std::size_t end = input.find('\xff', start);
      if (end == std::string_view::npos) end = input.size();
      Send(dispatcher, input.substr(start, end - start));
      CheckConsistent(dispatcher);
      start = end + 1;
    }
    dispatcher.Registry().DestroyOpcSide();
    CApartment::ForCurrentThread()->RunPending();
    Check(server.AllReleased());
    Check(server.HeldSinkCount() == 0);
  }
  pMainFrame = nullptr;
  return 0;
}
