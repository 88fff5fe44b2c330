// The listener side's reading of whole requests: each command's framing on complete and partial
// input, held against what the command's handler reads, and the deadlines of the further lines
// (moved here from the handlers, which now read what was received).
#include "protocol/request_framing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/apartment.h"
#include "protocol/request_dispatcher.h"
#include "tests/protocol/dispatcher_fixture.h"
#include "tests/support/loopback_connection.h"

namespace {

// A client sent bytes and closed: true when they hold the whole request, and then how many of
// them the reading left unread; lines: the lines it read, one more when a read failed.
bool ReadSent(const std::string& bytes, int& unread, int* lines = nullptr) {
  CHttpBlockingSocket connection;
  connection.SetReceived(bytes);
  const bool whole = CRequestDispatcher::ReadRequest(connection);
  unread = connection.BufferedBytes();
  if (lines != nullptr)
    *lines = static_cast<int>(connection.Request().LineCount()) + (whole ? 0 : 1);
  return whole;
}

// Whole requests of every framing, each as short as it can be: any shorter piece of it is cut.
const char* const kWholeRequests[] = {
    "HBT\r\n",
    "Exit\r\n",
    "ST\r\n",
    "XY\r\n",
    "AD\t1\t9000\r\ng\tA\t2\t100\r\nStatic.Int2\tA\t2\r\nMemory.Int4\tA\t0\r\n",
    "AD\r\ng\tA\t0\r\nh\tN\t1\r\nRamp.Int2\tA\t2\r\n\r\n",
    "AD\t2\r\ng\tA\t0\r\nh\tA\t0\r\n",
    "AD\r\nnameOnly\r\n",  // refused by its form: nothing more is read
    "RM\t2\r\n1\r\n3\r\n",
    "RM\r\n1\r\n\r\n",
    "AC\tA\t1\r\n0\r\n",
    "AC\tN\r\n0\r\n1\r\n\r\n",
    "RF\t7\r\n0\r\n1\r\n\r\n",
    "Q?\r\ng\r\nh\r\n\r\n",
    "SR\t0\t2\t5\r\n0\r\n1\r\n",
    "AR\t0\t3\t5\r\n0\r\n\r\n",
    "SW\t0\t1\r\n0\t5\r\n",
    "AW\t0\t2\t9\r\n0\t1\r\n1\t2\r\n",
    "BR\t10\r\n\r\n\r\n\r\n",
    "IP\r\nRamp.Int2\r\n1\t2\r\n",
};

// Requests whose count or form says that no further line belongs to them.
const char* const kFirstLineOnly[] = {"AD\t0\r\n", "AD\t65536\r\n", "RM\t0\r\n",
                                      "SR\t0\r\n", "SW\t0\t0\r\n",  "HBT\t1\t2\r\n"};

}  // namespace

TEST(RequestFramingTest, WholeRequestsAreReadToTheirEndAndNoFurther) {
  for (const char* request : kWholeRequests) {
    int unread = -1;
    EXPECT_TRUE(ReadSent(std::string(request) + "next\r\n", unread)) << request;
    EXPECT_EQ(unread, 6) << request;
  }
  for (const char* request : kFirstLineOnly) {
    int unread = -1;
    EXPECT_TRUE(ReadSent(std::string(request) + "0\r\n\r\n", unread)) << request;
    EXPECT_EQ(unread, 5) << request;
  }
}

TEST(RequestFramingTest, EveryShorterPieceOfARequestIsCut) {
  for (const std::string request : kWholeRequests) {
    for (std::size_t length = 0; length < request.size(); ++length) {
      int unread = -1;
      EXPECT_FALSE(ReadSent(request.substr(0, length), unread)) << request << " cut at " << length;
    }
  }
}

TEST(RequestFramingTest, LongLineEndsTheReadingForTheHandlerToRefuse) {
  int unread = -1;
  EXPECT_TRUE(ReadSent("RM\r\n1\r\n" + std::string(120, '2') + "\r\n3\r\n\r\n", unread));
  EXPECT_EQ(unread, 5);
}

// The handlers meet a failed read where it happened, with the code it carried.
TEST(RequestFramingTest, HandlerReadsWhatArrivedAndThenTheFailure) {
  CHttpBlockingSocket connection;
  connection.SetReceived("RM\r\n1\r\n");
  EXPECT_FALSE(CRequestDispatcher::ReadRequest(connection));
  CRequestTokenizer line(connection.Request());
  EXPECT_EQ(line.ReadLine(), 4);
  EXPECT_EQ(line.ReadLine(), 3);
  try {
    line.ReadLine();
    ADD_FAILURE() << "nothing thrown";
  } catch (const CBlockingSocketException& failure) {
    EXPECT_EQ(failure.m_strOperation, "ReadHeaderLine");
  }
}

// Lines that trickle in are waited for up to a second after the first line; a later one fails
// the request with "Receive timeout" after that second, not after the handler's 100 s.
TEST(RequestFramingTest, TrickledLinesAreReadAndALateLineTimesOutWithinItsSecond) {
  using namespace std::chrono;
  CLoopbackConnection trickled;
  const std::string request = "AD\t1\r\ng\tA\t1\r\nStatic.Int2\tA\t2\r\n";
  ASSERT_TRUE(trickled.Send(request.substr(0, 4)));
  auto sender = std::async(std::launch::async, [&] {
    for (std::size_t at = 4; at < request.size(); at += 4) {
      std::this_thread::sleep_for(milliseconds(20));  // the pace of the client, not a wait
      trickled.Send(request.substr(at, 4));
    }
  });
  EXPECT_TRUE(CRequestDispatcher::ReadRequest(trickled.Server()));
  sender.get();

  CLoopbackConnection late;
  ASSERT_TRUE(late.Send("AD\t1\r\ng\tA\t1\r\n"));
  const auto start = steady_clock::now();
  EXPECT_FALSE(CRequestDispatcher::ReadRequest(late.Server()));
  const auto took = steady_clock::now() - start;
  EXPECT_GE(took, milliseconds(900));
  EXPECT_LT(took, milliseconds(3000));
  CRequestTokenizer line(late.Server().Request());
  line.ReadLine();
  line.ReadLine();
  try {
    line.ReadLine();
    ADD_FAILURE() << "nothing thrown";
  } catch (const CBlockingSocketException& failure) {
    EXPECT_EQ(failure.m_strOperation, "Receive timeout");
  }
}

namespace {

// Requests of every command, each whole and for groups that exist, so that the handler reads
// every line of it (whatever it answers then): "AD" of kGroups defined group 0 (active, two items)
// and group 1 (inactive, one item). A command of the command table without an entry here fails the
// test below.
const std::map<std::string, std::vector<std::string>, std::less<>> kRequestsByCommand = {
    {"SW", {"SW\t0\t2\r\n0\t5\r\n1\t7\r\n"}},
    {"HBT", {"HBT\r\n"}},
    {"Q?", {"Q?\r\ng\r\nh\r\n\r\n"}},
    {"AD",
     {"AD\t1\t9000\r\nk\tA\t1\t100\r\nMemory.Int2.f\tA\t2\r\n",
      "AD\r\nk\tA\t0\r\nm\tN\t1\r\nMemory.Int2.f\tA\t2\r\n\r\n"}},
    {"RF", {"RF\t7\r\n0\r\n\r\n"}},
    {"AW", {"AW\t0\t2\t9\r\n0\t1\r\n1\t2\r\n"}},
    {"SR", {"SR\t0\t2\t5\r\n0\r\n1\r\n"}},
    {"AR", {"AR\t0\t2\t5\r\n0\r\n1\r\n"}},
    {"AC", {"AC\tA\t2\r\n0\r\n1\r\n", "AC\tN\r\n0\r\n\r\n"}},
    {"RM", {"RM\t2\r\n0\r\n1\r\n", "RM\r\n1\r\n\r\n"}},
    {"Exit", {"Exit\r\n"}},
    {"BR", {"BR\t10\r\n\r\n\r\n\r\n"}},
    {"IP", {"IP\r\nMemory.Int2.f\r\n1\t2\r\n"}},
    {"ST", {"ST\r\n"}},
    {"TD", {"TD\t1\t9000\r\nk\tA\t1\r\nMemory.Int2.f\tA\t2\r\n"}},
    {"TR", {"TR\t0\t2\r\n0\r\n1\r\n", "TR\t0\t1\tC\r\n1\r\n"}},
};

constexpr char kGroups[] =
    "AD\t2\t9000\r\ng\tA\t2\r\nMemory.Int2.f\tA\t2\r\nMemory.UInt4.f\tA\t0\r\n"
    "h\tN\t1\r\nMemory.Real8.f\tA\t5\r\n";

// A gateway of its own for one request, with the groups of kGroups defined.
class CFreshGateway {
public:
  CFreshGateway()
      : m_dispatcher(m_frame, CFaultyOpcServer::kProgId,
                     {m_datagrams.sender, m_settings, m_datagrams.counters, m_datagrams.log}) {
    pMainFrame = &m_frame;
    EXPECT_EQ(Answer(kGroups).rfind("0\t", 0), 0u);
  }
  ~CFreshGateway() {
    m_dispatcher.Registry().DestroyOpcSide();
    CApartment::ForCurrentThread()->RunPending();
    pMainFrame = nullptr;
  }
  CFreshGateway(const CFreshGateway&) = delete;
  CFreshGateway& operator=(const CFreshGateway&) = delete;

  // The bytes of a client that sent them and closed: read as the listener reads them, then
  // answered as the UI thread answers them. The reply; lines the lines the handler read of the
  // received request, one more when it read past them.
  std::string Answer(std::string_view bytes, int* lines = nullptr) {
    CHttpBlockingSocket connection;
    connection.SetReceived(bytes);
    connection.SetPeer(CSocketAddress(0x7F000001, 50000));
    CRequestDispatcher::ReadRequest(connection);
    m_dispatcher.OnRequest(connection);
    if (lines != nullptr) *lines = static_cast<int>(connection.Request().LinesTaken());
    return connection.QueuedReply();
  }

private:
  CFaultyOpcServer m_opc;
  CRecordingFrame m_frame;
  CUnsentDatagrams m_datagrams;
  RequestSettings m_settings;  // the options in effect; a test sets them before its requests
  CRequestDispatcher m_dispatcher;
};

std::vector<std::string> CommandNames() {
  std::vector<std::string> names;
  for (const CRequestDispatcher::CommandRow& row : CRequestDispatcher::CommandTable())
    names.emplace_back(row.name);
  return names;
}

class CommandRowFramingTest : public ::testing::TestWithParam<std::string> {};

}  // namespace

// Whatever the point where a client stops sending, the listener side reads exactly the lines
// that the command's handler reads of the received request: no further (lines the handler leaves
// would have been waited for in vain) and no less (the handler would run past what was received).
// A whole request followed by another line is read to its end, the line after it by neither.
TEST_P(CommandRowFramingTest, RequestCutAtAnyLengthIsFramedAsItsHandlerReadsIt) {
  const auto requests = kRequestsByCommand.find(GetParam());
  ASSERT_NE(requests, kRequestsByCommand.end()) << "no request of " << GetParam() << " here";
  for (const std::string& request : requests->second) {
    for (std::size_t length = 0; length <= request.size(); ++length) {
      const std::string sent =
          length < request.size() ? request.substr(0, length) : request + "next\r\n";
      int framedUnread = -1;
      int framedLines = -1;
      const bool whole = ReadSent(sent, framedUnread, &framedLines);
      EXPECT_EQ(whole, length == request.size()) << request << " cut at " << length;
      CFreshGateway gateway;
      int handlerLines = -1;
      const std::string reply = gateway.Answer(sent, &handlerLines);
      EXPECT_EQ(handlerLines, framedLines) << request << " cut at " << length << ": " << reply;
      if (length == request.size()) {
        EXPECT_EQ(framedUnread, 6) << request;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryCommand, CommandRowFramingTest, ::testing::ValuesIn(CommandNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (c == '?') c = 'Q';
                           return name;
                         });
