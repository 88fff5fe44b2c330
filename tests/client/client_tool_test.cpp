// The command-line client against a fake gateway on 127.0.0.1: output, exit statuses and the
// request bytes it sends; "listen" against canned datagrams.
#include "client/client_tool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <regex>
#include <sstream>
#include <thread>

#include "client/request_builder.h"
#include "tests/client/fake_gateway.h"
#include "tests/net/loopback.h"

namespace {

using testing_loopback::ReadFile;
using testing_loopback::ScratchDirectory;

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

ToolRun RunTool(std::vector<std::string> args) {
  std::ostringstream out;
  std::ostringstream err;
  ToolRun run;
  run.status = RunClientTool(args, out, err);
  run.out = out.str();
  run.err = err.str();
  return run;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (const int value : values) bytes += static_cast<char>(value);
  return bytes;
}

// A TCP port on 127.0.0.1 that is bound but not listening: connections to it are refused.
class CRefusingPort {
public:
  CRefusingPort() {
    m_socket = SocketCreate(kSockStream);
    SocketBind(m_socket, testing_loopback::LoopbackAddress(0));
    m_port = testing_loopback::LocalPort(m_socket);
  }
  ~CRefusingPort() { SocketClose(m_socket); }
  std::string Port() const { return std::to_string(m_port); }

private:
  SocketHandle m_socket = kNoSocket;
  std::uint16_t m_port = 0;
};

class ClientToolTest : public ::testing::Test {
protected:
  ToolRun Ask(std::vector<std::string> args, std::string reply) {
    m_gateway.AddReply(std::move(reply));
    args.push_back("--port");
    args.push_back(std::to_string(m_gateway.Port()));
    return RunTool(args);
  }
  std::string LastRequest() const {
    const auto requests = m_gateway.Requests();
    return requests.empty() ? "<none>" : requests.back();
  }

  CFakeGateway m_gateway;
};

TEST_F(ClientToolTest, HeartbeatPrintsCodeAndTextAndExitsZero) {
  const ToolRun run = Ask({"hbt", "--port", "1"}, "0\tHBT OK!\r\n");  // given twice, the last holds
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "code 0: HBT OK!\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(LastRequest(), "HBT\r\n");
}

TEST_F(ClientToolTest, NonZeroCodeExitsOneAndNegativeCodesShowTheirHex) {
  const ToolRun unknown = Ask({"exit"}, "1\tUnknown command: Exit\r\n");
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.out, "code 1: Unknown command: Exit\n");
  EXPECT_EQ(LastRequest(), "Exit\r\n");

  const ToolRun failed = Ask({"remove", "0"}, "-2147467259\tfailed\r\n");
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out, "code -2147467259 (0x80004005): failed\n");
  EXPECT_EQ(LastRequest(), "RM\t1\r\n0\r\n");
}

TEST_F(ClientToolTest, RawPrintsTheReplysExactBytes) {
  const std::string reply = "0\t\r\n3\r\n4\r\n";
  const ToolRun run = Ask({"--raw", "query", "a", "b"}, reply);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, reply);
  EXPECT_EQ(LastRequest(), "Q?\r\na\r\nb\r\n\r\n");
}

TEST_F(ClientToolTest, DefinePrintsTheIndexOfEachGroup) {
  const ToolRun run = Ask({"define",
                           "--receive-port",
                           "9000",
                           "group",
                           "Boiler",
                           "A",
                           "250",
                           "item",
                           "Static.Int2",
                           "A",
                           "VT_I2",
                           "item",
                           "Random.Real8",
                           "N",
                           "group",
                           "Pumps",
                           "N",
                           "item",
                           "Memory.UInt4",
                           "19"},
                          "0\t\r\n3\r\n4\r\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "code 0\n  group Boiler: index 3\n  group Pumps: index 4\n");
  EXPECT_EQ(LastRequest(),
            "AD\t2\t9000\r\nBoiler\tA\t2\t250\r\nStatic.Int2\tA\t2\r\nRandom.Real8\tN\t0\r\n"
            "Pumps\tN\t1\r\nMemory.UInt4\tA\t19\r\n");
}

TEST_F(ClientToolTest, DefineReadsGroupsFromAFile) {
  ScratchDirectory scratch;
  {
    std::ofstream file("groups.txt");
    file << "# two groups\n"
            "group \"Boiler house\" active 1000\n"
            "  item Static.Int4 A I4   # the counter\n"
            "group item\n";
  }
  const ToolRun run =
      Ask({"define", "--file", "groups.txt", "item", "Ramp.UInt1"}, "0\t\r\n0\r\n1\r\n");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "code 0\n  group Boiler house: index 0\n  group item: index 1\n");
  EXPECT_EQ(LastRequest(),
            "AD\t2\r\nBoiler house\tA\t1\t1000\r\nStatic.Int4\tA\t3\r\nitem\tA\t1\r\n"
            "Ramp.UInt1\tA\t0\r\n");
}

TEST_F(ClientToolTest, DefineRefusedByTheGatewayShowsItsText) {
  const ToolRun run = Ask({"define", "group", "G", "item", "Nope"},
                          "-1073479673\tAdd item Nope on group G failed: unknown : c0040007\r\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "code -1073479673 (0xC0040007): Add item Nope on group G failed: unknown : c0040007\n");
}

TEST_F(ClientToolTest, QueryMarksNamesThatWereNotFound) {
  const ToolRun run = Ask({"query", "Boiler", "Nope"}, "0\t\r\n2\r\n-1\r\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "code 0\n  Boiler: index 2\n  Nope: not found\n");
  const ToolRun none = Ask({"query", "Nope"}, "-1\t\r\n-1\r\n");
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, "code -1\n  Nope: not found\n");
}

TEST_F(ClientToolTest, ReadPrintsValueAndQualityOfEachItem) {
  const ToolRun run = Ask({"read", "0", "0", "1"}, "0\t\r\n300\t192\r\n1\t64\r\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "code 0\n  item 0: 300 quality 192 (good)\n  item 1: 1 quality 64 (uncertain)\n");
  EXPECT_EQ(LastRequest(), "SR\t0\t2\t0\r\n0\r\n1\r\n");
}

TEST_F(ClientToolTest, AsyncCommandsAndRefreshPrintTheCancelId) {
  const ToolRun read = Ask({"aread", "1", "7", "3"}, "0\t42\r\n");
  EXPECT_EQ(read.out, "code 0: cancel id 42\n");
  EXPECT_EQ(LastRequest(), "AR\t1\t1\t7\r\n3\r\n");

  const ToolRun write = Ask({"awrite", "1", "4294967295", "0", "300", "2", "-5"}, "0\t43\r\n");
  EXPECT_EQ(write.out, "code 0: cancel id 43\n");
  EXPECT_EQ(LastRequest(), "AW\t1\t2\t-1\r\n0\t300\r\n2\t-5\r\n");

  // Some items failed: their texts, then the cancel id of the rest apart from them.
  const ToolRun failed =
      Ask({"awrite", "1", "7", "0", "1", "2", "2"}, "1\tBad type\tBad rights\t45\r\n");
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out, "code 1: some items failed\n  Bad type\n  Bad rights\ncancel id 45\n");

  const ToolRun refresh = Ask({"refresh", "9", "0", "1"}, "0\t44l\r\n");
  EXPECT_EQ(refresh.out, "code 0: cancel id 44\n");
  EXPECT_EQ(LastRequest(), "RF\t9\r\n0\r\n1\r\n\r\n");
}

TEST_F(ClientToolTest, WriteAndActivateSendTheirFieldsInWireOrder) {
  const ToolRun write = Ask({"write", "0", "0", "300"}, "0\t\r\n");
  EXPECT_EQ(write.status, 0);
  EXPECT_EQ(write.out, "code 0\n");
  EXPECT_EQ(LastRequest(), "SW\t0\t1\r\n0\t300\r\n");

  const ToolRun failed =
      Ask({"write", "0", "0", "300", "2", "1"}, "1\t0: Bad type\t1: Bad rights\t\r\n");
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out, "code 1: 0: Bad type\t1: Bad rights\t\n");

  const ToolRun activate = Ask({"activate", "A", "0", "010"}, "0\t\r\n");
  EXPECT_EQ(activate.status, 0);
  EXPECT_EQ(LastRequest(), "AC\tA\t2\r\n0\r\n10\r\n");  // decimal, leading zeros or not
}

// The gateway reads integers from the leading digits ("12abc" writes 12, "abc" 0), so the tool
// refuses such values, and values outside the type the user names, before anything is sent.
TEST_F(ClientToolTest, WriteValuesThatAreNoDecimalIntegerOrDoNotFitTheTypeAreRefusedUnsent) {
  const std::vector<std::vector<std::string>> refused = {
      {"write", "0", "0", "abc"},
      {"write", "0", "0", "12abc"},
      {"write", "0", "0", "5", "1", "1.5"},
      {"write", "0", "0", "-"},
      {"awrite", "0", "7", "0", " 3"},
      {"write", "--type", "VT_I1", "0", "0", "128"},
      {"write", "--type", "UI1", "0", "0", "-1"},
      {"write", "--type", "I2", "0", "0", "32768"},
      {"write", "--type", "18", "0", "0", "65536"},
      {"write", "--type", "UI4", "0", "0", "4294967296"},
      {"awrite", "--type", "BOOL", "0", "7", "0", "2"},
      {"write", "0", "0", "2147483648"},
      {"awrite", "0", "7", "0", "-2147483649"},
  };
  for (auto args : refused) {
    args.insert(args.end(), {"--port", std::to_string(m_gateway.Port())});
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.status, 64) << ::testing::PrintToString(args);
    EXPECT_EQ(run.err.rfind("quarnix-client: value \"", 0), 0u) << run.err;
  }
  EXPECT_EQ(LastRequest(), "<none>");
  EXPECT_EQ(RunTool({"write", "--type", "I2", "0", "0", "12abc"}).err,
            "quarnix-client: value \"12abc\" for item 0 is not a decimal integer (--raw sends it "
            "as it is) (quarnix-client --help lists the commands)\n");
  EXPECT_EQ(RunTool({"write", "--type", "VT_I1", "0", "3", "-129"}).err,
            "quarnix-client: value \"-129\" for item 3 does not fit VT_I1 (-128 to 127) "
            "(quarnix-client --help lists the commands)\n");

  // Without --type a value must fit 32 bits; the refusal says what the gateway does with bits.
  const std::string beyond = RunTool({"write", "0", "0", "4294967295"}).err;
  EXPECT_NE(std::string::npos, beyond.find("outside -2147483648 to 2147483647")) << beyond;
  EXPECT_NE(std::string::npos, beyond.find("--type")) << beyond;
  EXPECT_NE(std::string::npos, beyond.find("low bits")) << beyond;
  EXPECT_EQ(Ask({"write", "0", "0", "-2147483648", "1", "2147483647"}, "0\t\r\n").status, 0);

  // Values at the limits pass; --raw sends any value as typed.
  EXPECT_EQ(Ask({"write", "--type", "VT_I1", "0", "0", "-128", "1", "+127"}, "0\t\r\n").status, 0);
  EXPECT_EQ(LastRequest(), "SW\t0\t2\r\n0\t-128\r\n1\t+127\r\n");
  EXPECT_EQ(Ask({"awrite", "--type", "bool", "0", "7", "0", "-1"}, "0\t5\r\n").status, 0);
  EXPECT_EQ(LastRequest(), "AW\t0\t1\t7\r\n0\t-1\r\n");
  EXPECT_EQ(Ask({"write", "--type", "UI4", "0", "0", "4294967295"}, "0\t\r\n").status, 0);
  EXPECT_EQ(Ask({"write", "--type", "R8", "0", "0", "21.7", "1", "-1e3"}, "0\t\r\n").status, 0);
  EXPECT_EQ(LastRequest(), "SW\t0\t2\r\n0\t21.7\r\n1\t-1e3\r\n");
  EXPECT_EQ(RunTool({"write", "--type", "VT_R4", "0", "0", "21.7C"}).err,
            "quarnix-client: value \"21.7C\" for item 0 is not a finite decimal number (--raw "
            "sends it as it is) (quarnix-client --help lists the commands)\n");
  EXPECT_EQ(Ask({"write", "--type", "BSTR", "0", "0", "Pump 3 on"}, "0\t\r\n").status, 0);
  EXPECT_EQ(LastRequest(), "SW\t0\t1\r\n0\tPump 3 on\r\n");
  EXPECT_EQ(Ask({"write", "--raw", "0", "0", "12abc"}, "0\t\r\n").out, "0\t\r\n");
  EXPECT_EQ(LastRequest(), "SW\t0\t1\r\n0\t12abc\r\n");
}

TEST_F(ClientToolTest, TypedVariantsSendTdAndTrAndPrintTypesAndTimestamps) {
  const ToolRun define =
      Ask({"define", "--typed", "group", "G", "item", "Static.Real8", "item", "Static.String"},
          "0\t\r\n0\r\n");
  EXPECT_EQ(define.status, 0);
  EXPECT_EQ(define.out, "code 0\n  group G: index 0\n");
  EXPECT_EQ(LastRequest(), "TD\t1\r\nG\tA\t2\r\nStatic.Real8\tA\t0\r\nStatic.String\tA\t0\r\n");

  const ToolRun read = Ask({"read", "--typed", "--cache", "0", "0", "3", "4"},
                           "0\t3 values\r\n0\t5\t192\t2026-12-09T01:02:03.456Z\t0\t21.7\r\n"
                           "3\t0\t0\t\t-1073479673\t\r\n4\t8\t192\t\t0\ta\\tb\r\n");
  EXPECT_EQ(read.status, 0);
  EXPECT_EQ(read.out,
            "code 0\n  item 0: 21.7 (VT_R8) quality 192 (good) at 2026-12-09T01:02:03.456Z\n"
            "  item 3: failed, error -1073479673 (0xC0040007) quality 0 (bad)\n"
            "  item 4: a\\tb (VT_BSTR) quality 192 (good)\n");
  EXPECT_EQ(LastRequest(), "TR\t0\t3\tC\r\n0\r\n3\r\n4\r\n");
  EXPECT_EQ(Ask({"read", "--typed", "2", "1"}, "1\tInvalid item index: 1\r\n").out,
            "code 1: Invalid item index: 1\n");
  EXPECT_EQ(LastRequest(), "TR\t2\t1\r\n1\r\n");  // from the device: no third field

  const ToolRun cacheAlone = RunTool({"read", "--cache", "0", "0"});
  EXPECT_EQ(cacheAlone.status, 64);
  EXPECT_NE(cacheAlone.err.find("--cache needs --typed"), std::string::npos) << cacheAlone.err;
}

TEST_F(ClientToolTest, PropertiesNameTheCanonicalTypeApartFromThePropertysOwnType) {
  const ToolRun run = Ask({"properties", "Static.Real8"},
                          "0\t3 properties, 1 failed\r\n1\t0\t2\tItem Canonical DataType\t5\r\n"
                          "2\t0\t5\tItem Value\t3.25\r\n"
                          "102\t-1073479165\t0\t\tThe property ID is not valid for the item.\r\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "  1 Item Canonical DataType: VT_R8 (5)  (held as VT_I2)\n"
            "  2 Item Value: 3.25  (held as VT_R8)\n"
            "  102 : failed, The property ID is not valid for the item.\n");
  EXPECT_EQ(LastRequest(), "IP\r\nStatic.Real8\r\n\r\n");
  const ToolRun json = Ask({"properties", "--json", "Static.Real8", "1"},
                           "0\t1 properties, 0 failed\r\n1\t0\t2\tItem Canonical DataType\t5\r\n");
  EXPECT_EQ(json.out,
            "{\"id\":1,\"code\":0,\"type\":2,\"type_name\":\"VT_I2\",\"description\":\"Item "
            "Canonical DataType\",\"value\":\"5\",\"value_name\":\"VT_R8\"}\n");
}

TEST_F(ClientToolTest, MultiLineTextOfAnotherShapeIsPrintedLineByLine) {
  const ToolRun run = Ask({"read", "0", "0"}, "0\t\r\n300\t192\r\n1\t192\r\n");
  EXPECT_EQ(run.out, "code 0\n  300\t192\n  1\t192\n");  // two values for one item asked
}

TEST_F(ClientToolTest, ReplyTimeoutIsAConnectionFailure) {
  m_gateway.AddReply("", CFakeGateway::Mode::kSilent);
  const std::string port = std::to_string(m_gateway.Port());
  const ToolRun run = RunTool({"hbt", "--port", port, "--timeout", "0.3"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "quarnix-client: no reply from 127.0.0.1:" + port + " within 0.3 s\n");
}

TEST_F(ClientToolTest, ConnectionClosedWithoutReplyIsAConnectionFailure) {
  m_gateway.AddReply("");
  const std::string port = std::to_string(m_gateway.Port());
  const ToolRun run = RunTool({"hbt", "--port", port});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "quarnix-client: the gateway at 127.0.0.1:" + port +
                         " closed the connection without a reply (it does so when this "
                         "computer's address is not in its /allow list, or when this address "
                         "holds /maxconn connections already)\n");
}

TEST_F(ClientToolTest, GatewayClosingAtOnceIsAConnectionFailure) {
  m_gateway.AddReply("", CFakeGateway::Mode::kCloseAtOnce);
  const ToolRun run = RunTool({"hbt", "--port", std::to_string(m_gateway.Port())});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err.rfind("quarnix-client: ", 0), 0u) << run.err;
  EXPECT_EQ(run.err.find('\n'), run.err.size() - 1);
}

TEST_F(ClientToolTest, MalformedReplyIsNamedAndExitsTwo) {
  const ToolRun run = Ask({"hbt"}, "HBT OK!\r\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "quarnix-client: malformed reply: no TAB after the reply code\n");

  const ToolRun cut = Ask({"--raw", "hbt"}, "0\tHBT");
  EXPECT_EQ(cut.status, 2);
  EXPECT_EQ(cut.out, "0\tHBT");
  EXPECT_EQ(cut.err,
            "quarnix-client: malformed reply: the reply does not end with CR LF (cut short?)\n");
}

TEST(ClientToolUsageTest, RefusedConnectionExitsTwo) {
  CRefusingPort refusing;
  const ToolRun run = RunTool({"hbt", "--port", refusing.Port()});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "quarnix-client: connection refused by 127.0.0.1:" + refusing.Port() +
                         " (no gateway listens there)\n");
}

TEST(ClientToolUsageTest, BadCommandLinesExit64WithOneLine) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"nonsense"},
      {"read", "0"},
      {"read", "x", "1"},
      {"read", "0", "65536"},
      {"write", "0", "1"},
      {"write", "0", "1", "2", "3"},
      {"aread", "0", "99999999999", "1"},
      {"hbt", "extra"},
      {"hbt", "--port", "70000"},
      {"hbt", "--timeout", "0"},
      {"hbt", "--bogus"},
      {"hbt", "--json"},  // an option of another command
      {"--raw", "listen"},
      {"define"},
      {"define", "item", "X"},
      {"define", "group", "G", "fast"},
      {"define", "group", "G", "item", "X", "VT_NOPE"},
      {"define", "--file", "no-such-file.txt"},
      {"query", "a\tb"},
      {"write", "--type", "VT_NOPE", "0", "0", "1"},
  };
  for (const auto& args : bad) {
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.status, 64) << ::testing::PrintToString(args);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("quarnix-client: ", 0), 0u) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
  }
  EXPECT_EQ(RunTool({"nonsense"}).err,
            "quarnix-client: unknown command \"nonsense\" (quarnix-client --help lists the "
            "commands)\n");
  EXPECT_EQ(RunTool({"hbt", "extra", "--bogus"}).err,
            "quarnix-client: The following arguments were not expected: extra --bogus "
            "(quarnix-client --help lists the commands)\n");
  EXPECT_EQ(RunTool({"hbt", "--port", "70000"}).err,
            "quarnix-client: --port: \"70000\" is not a port number 0 to 65535 (quarnix-client "
            "--help lists the commands)\n");
}

TEST(ClientToolUsageTest, HelpIsGivenForTheToolAndEachCommand) {
  const ToolRun overview = RunTool({"--help"});
  EXPECT_EQ(overview.status, 0);
  EXPECT_EQ(overview.out.rfind("Usage: quarnix-client", 0), 0u);
  for (const char* command : {"hbt", "define", "remove", "activate", "refresh", "query", "read",
                              "aread", "write", "awrite", "exit", "listen"}) {
    const ToolRun help = RunTool({command, "--help"});
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_EQ(help.out.rfind(std::string("Usage: quarnix-client ") + command, 0), 0u) << command;
    EXPECT_NE(overview.out.find(std::string("  ") + command), std::string::npos) << command;
  }
}

// ---------------------------------------------------------------------------------------------
// listen

const std::string kChange =
    Bytes({0x43, 0x00, 0x19, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00,
           0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x01, 0x2C, 0x00, 0x01, 0x01, 0x01});
const std::string kRead =
    Bytes({0x52, 0x00, 0x1A, 0x00, 0x00, 0x00, 0x07, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00,
           0x00, 0x01, 0x01, 0x00, 0x04, 0x02, 0xFF, 0xFE, 0x40, 0xC0, 0x04, 0x00, 0x07});
const std::string kWrite =
    Bytes({0x57, 0x00, 0x00, 0x00, 0x07, 0x00, 0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x01});
const std::string kCancel = Bytes({0x4E, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x02});
const std::string kShort = Bytes({0x43, 0x00, 0x03});

// Typed change, group 2: item 0 a VT_R8 of 21.7 stamped 2026-12-09T01:02:03.456Z, item 1
// "Quarnix" flagged as cut without timestamp.
const std::string kTypedChange =
    Bytes({0x63, 0x00, 0x49, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00,
           0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0xC0, 0x00, 0x00, 0x06, 0x62, 0x29, 0x01, 0xC9, 0xEE,
           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x40, 0x35, 0xB3, 0x33, 0x33, 0x33, 0x33, 0x33,
           0x00, 0x01, 0x00, 0x08, 0x00, 0xC0, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
           0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x51, 0x75, 0x61, 0x72, 0x6E, 0x69, 0x78});
// Typed read, transaction 7, group 1: item 3 a VT_R8 NaN with error 0xC0040007 and quality 0,
// item 4 a VT_I8 of -1, item 5 a VT_BOOL true.
const std::string kTypedRead =
    Bytes({0x72, 0x00, 0x60, 0x00, 0x00, 0x00, 0x07, 0x00, 0x01, 0x00, 0x03, 0x00, 0x00, 0x00,
           0x01, 0x01, 0x00, 0x03, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
           0x00, 0x00, 0x00, 0xC0, 0x04, 0x00, 0x07, 0x00, 0x08, 0x7F, 0xF8, 0x00, 0x00, 0x00,
           0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x14, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00,
           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0xFF, 0xFF, 0xFF, 0xFF,
           0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x05, 0x00, 0x0B, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00,
           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01});

// Runs "listen" on a free port on another thread and sends the datagrams once it is bound.
ToolRun Listen(std::vector<std::string> args, const std::vector<std::string>& datagrams) {
  std::promise<std::uint16_t> bound;
  ClientToolHooks hooks;
  hooks.onListening = [&bound](std::uint16_t port) { bound.set_value(port); };
  std::ostringstream out;
  std::ostringstream err;
  ToolRun run;
  args.insert(args.begin(), {"listen", "--bind", "127.0.0.1", "--port", "0"});
  std::thread listener([&] { run.status = RunClientTool(args, out, err, hooks); });
  auto port = bound.get_future();
  if (port.wait_for(std::chrono::seconds(20)) == std::future_status::ready) {
    const std::uint16_t value = port.get();
    for (const std::string& datagram : datagrams) CFakeGateway::SendDatagram(value, datagram);
  }
  listener.join();
  run.out = out.str();
  run.err = err.str();
  return run;
}

TEST(ClientToolListenTest, EachDatagramIsOneLine) {
  const ToolRun run = Listen({"--count", "6", "--timeout", "20"},
                             {kChange, kRead, kWrite, kCancel, "Startup Quarnix\r\n", kShort});
  EXPECT_EQ(run.status, 1);  // one datagram was malformed
  const std::regex sender("malformed from 127\\.0\\.0\\.1:[0-9]+:");
  const std::string out = std::regex_replace(run.out, sender, "malformed from SENDER:");
  EXPECT_EQ(out,
            "change trans=0 group=2 entries=2 master-error=0x00000000 master-quality=0x00"
            " | 0:300 | 1:1\n"
            "read trans=7 group=1 entries=1 master-error=0x00000001 master-quality=0x01"
            " | 4:65534(-2) q=64 err=0xC0040007\n"
            "write trans=7 group=1 items=5 master-error=0x00000001\n"
            "cancel trans=4294967295 group=2\n"
            "startup \"Startup Quarnix\\r\\n\"\n"
            "malformed from SENDER: too short for a value-change datagram: 3 bytes, its header "
            "alone has 16\n");
  EXPECT_NE(run.err.find("listening on 127.0.0.1:"), std::string::npos);
  EXPECT_NE(run.err.find("1 malformed datagram"), std::string::npos);
}

TEST(ClientToolListenTest, JsonModeWritesOneObjectPerLine) {
  const ToolRun run = Listen({"--json", "--count", "4", "--timeout", "20"},
                             {kChange, kWrite, "Exit Quarnix\r\n", kShort});
  EXPECT_EQ(run.status, 1);
  const std::regex sender("\"from\":\"127\\.0\\.0\\.1:[0-9]+\"");
  const std::string out = std::regex_replace(run.out, sender, "\"from\":\"S\"");
  EXPECT_EQ(out,
            "{\"kind\":\"change\",\"from\":\"S\",\"trans\":0,\"group\":2,\"masterError\":0,"
            "\"masterQuality\":0,\"items\":[{\"handle\":0,\"length\":2,\"value\":300,\"signed\":"
            "300},{\"handle\":1,\"length\":1,\"value\":1,\"signed\":1}]}\n"
            "{\"kind\":\"write\",\"from\":\"S\",\"trans\":7,\"group\":1,\"count\":5,"
            "\"masterError\":1}\n"
            "{\"kind\":\"exit\",\"from\":\"S\",\"text\":\"Exit Quarnix\\r\\n\"}\n"
            "{\"kind\":\"malformed\",\"from\":\"S\",\"size\":3,\"reason\":\"too short for a "
            "value-change datagram: 3 bytes, its header alone has 16\"}\n");
}

TEST(ClientToolListenTest, TypedDatagramsShowTypesTimestampsAndJsonValues) {
  const ToolRun run = Listen({"--count", "2", "--timeout", "20"}, {kTypedChange, kTypedRead});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "typed-change trans=0 group=2 entries=2 master-error=0x00000000 master-quality=0x00"
            " | 0:21.7 (VT_R8) q=192 t=2026-12-09T01:02:03.456Z | 1:Quarnix (VT_BSTR) q=192 t=- "
            "cut\n"
            "typed-read trans=7 group=1 entries=3 master-error=0x00000001 master-quality=0x01"
            " | 3:nan (VT_R8) q=0 t=- err=0xC0040007 | 4:-1 (VT_I8) q=192 t=- | 5:1 (VT_BOOL) "
            "q=192 t=-\n");

  const ToolRun json =
      Listen({"--json", "--count", "2", "--timeout", "20"}, {kTypedChange, kTypedRead});
  EXPECT_EQ(json.status, 0) << json.err;
  const std::regex sender("\"from\":\"127\\.0\\.0\\.1:[0-9]+\"");
  EXPECT_EQ(std::regex_replace(json.out, sender, "\"from\":\"S\""),
            "{\"kind\":\"typed-change\",\"from\":\"S\",\"trans\":0,\"group\":2,\"masterError\":0,"
            "\"masterQuality\":0,\"items\":[{\"handle\":0,\"type\":5,\"type_name\":\"VT_R8\","
            "\"quality\":192,\"timestamp\":\"2026-12-09T01:02:03.456Z\",\"value\":21.7},"
            "{\"handle\":1,\"type\":8,\"type_name\":\"VT_BSTR\",\"quality\":192,\"timestamp\":null,"
            "\"value\":\"Quarnix\",\"cut\":true}]}\n"
            "{\"kind\":\"typed-read\",\"from\":\"S\",\"trans\":7,\"group\":1,\"masterError\":1,"
            "\"masterQuality\":1,\"items\":[{\"handle\":3,\"type\":5,\"type_name\":\"VT_R8\","
            "\"quality\":0,\"timestamp\":null,\"value\":null,\"value_text\":\"nan\",\"error\":"
            "3221487623},{\"handle\":4,\"type\":20,\"type_name\":\"VT_I8\",\"quality\":192,"
            "\"timestamp\":null,\"value\":-1},{\"handle\":5,\"type\":11,\"type_name\":\"VT_BOOL\","
            "\"quality\":192,\"timestamp\":null,\"value\":true}]}\n");
}

TEST(ClientToolListenTest, WellFormedDatagramsExitZeroAndTooFewExitOne) {
  const ToolRun enough = Listen({"--count", "1", "--timeout", "20"}, {kCancel});
  EXPECT_EQ(enough.status, 0);
  EXPECT_EQ(enough.out, "cancel trans=4294967295 group=2\n");

  const ToolRun tooFew = Listen({"--count", "2", "--timeout", "0.3"}, {kCancel});
  EXPECT_EQ(tooFew.status, 1);
  EXPECT_NE(tooFew.err.find("1 of 2 datagrams came within 0.3 s"), std::string::npos);

  const ToolRun timedOut = Listen({"--timeout", "0.2"}, {});
  EXPECT_EQ(timedOut.status, 0);
  EXPECT_EQ(timedOut.out, "");
}

TEST(ClientToolListenTest, PortInUseExitsTwo) {
  testing_loopback::UdpReceiver taken;
  std::ostringstream out;
  std::ostringstream err;
  const int status = RunClientTool(
      {"listen", "--bind", "127.0.0.1", "--port", std::to_string(taken.Port()), "--count", "1"},
      out, err);
  EXPECT_EQ(status, 2);
  EXPECT_EQ(err.str().rfind("quarnix-client: cannot bind UDP 127.0.0.1:", 0), 0u) << err.str();
}

// ---------------------------------------------------------------------------------------------
// The built executable

int RunExecutable(const std::string& arguments) {
  const std::string command =
      std::string("\"") + QUARNIX_CLIENT_PATH + "\" " + arguments + " >out.txt 2>err.txt";
  const int status = std::system(command.c_str());
  return (status >> 8) & 0xFF;  // the shell's wait status holds the exit status in its second byte
}

TEST(ClientExecutableTest, ExitStatusesReachTheShell) {
  ScratchDirectory scratch;
  CFakeGateway gateway;
  gateway.AddReply("0\tHBT OK!\r\n");
  EXPECT_EQ(RunExecutable("hbt --port " + std::to_string(gateway.Port())), 0);
  EXPECT_EQ(ReadFile("out.txt"), "code 0: HBT OK!\n");

  gateway.AddReply("1\tUnknown command: x\r\n");
  EXPECT_EQ(RunExecutable("--port " + std::to_string(gateway.Port()) + " exit"), 1);

  CRefusingPort refusing;
  EXPECT_EQ(RunExecutable("hbt --port " + refusing.Port()), 2);
  EXPECT_NE(ReadFile("err.txt").find("connection refused"), std::string::npos);

  EXPECT_EQ(RunExecutable("read"), 64);
  EXPECT_EQ(RunExecutable("--help"), 0);
}

}  // namespace
