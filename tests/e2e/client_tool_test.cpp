// The command-line client's commands against a running gateway: what a user sees.
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/client_tool.h"
#include "tests/e2e/shared_gateway_fixture.h"

namespace {

class ClientToolTest : public SharedGatewayTest {
protected:
  // Runs one command against the gateway; the exit status, and the output in out.
  static int Run(std::vector<std::string> args, std::string& out) {
    args.insert(args.begin(),
                {"--port", std::to_string(Gateway().ListenPort()), "--timeout", "30"});
    std::ostringstream output;
    std::ostringstream errors;
    const int status = RunClientTool(args, output, errors);
    out = output.str() + errors.str();
    return status;
  }
};

TEST_F(ClientToolTest, RequestCommandsPrintTheReplies) {
  std::string out;
  EXPECT_EQ(kExitReplyZero, Run({"hbt"}, out));
  EXPECT_EQ("code 0: HBT OK!\n", out);
  EXPECT_EQ(kExitReplyZero, Run({"--raw", "hbt"}, out));
  EXPECT_EQ("0\tHBT OK!\r\n", out);

  const std::string name = UniqueGroupName("cli");
  ASSERT_EQ(kExitReplyZero, Run({"define", "group", name, "A", "item", "Static.Int2", "A", "item",
                                 "Memory.Int4." + name, "A", "VT_I4"},
                                out))
      << out;
  const std::string prefix = "code 0\n  group " + name + ": index ";
  ASSERT_EQ(0u, out.rfind(prefix, 0)) << out;
  const std::string index = out.substr(prefix.size(), out.size() - prefix.size() - 1);

  EXPECT_EQ(kExitReplyZero, Run({"write", index, "1", "-77"}, out));
  EXPECT_EQ("code 0\n", out);
  EXPECT_EQ(kExitReplyZero, Run({"read", index, "0", "1"}, out));
  EXPECT_EQ("code 0\n  item 0: 300 quality 192 (good)\n  item 1: -77 quality 192 (good)\n", out);
  EXPECT_EQ(kExitReplyZero, Run({"query", name, "no such group"}, out));
  EXPECT_EQ("code 0\n  " + name + ": index " + index + "\n  no such group: not found\n", out);
  EXPECT_EQ(kExitReplyNonZero, Run({"read", "99999", "0"}, out));
  EXPECT_EQ("code 1: Invalid group index: 99999\n", out);
}

TEST_F(ClientToolTest, ListenShowsTheValueChangesOfAnActivatedGroup) {
  std::promise<std::uint16_t> bound;
  std::ostringstream listened;
  std::ostringstream listenErrors;
  int listenStatus = -1;
  std::thread listener([&] {
    ClientToolHooks hooks;
    hooks.onListening = [&](std::uint16_t port) { bound.set_value(port); };
    listenStatus = RunClientTool({"listen", "--bind", "127.0.0.1", "--port", "0", "--count", "1",
                                  "--timeout", "30", "--json"},
                                 listened, listenErrors, hooks);
  });
  auto port = bound.get_future();
  ASSERT_EQ(std::future_status::ready, port.wait_for(std::chrono::seconds(30)));
  const std::string name = UniqueGroupName("cli_listen");
  std::string out;
  EXPECT_EQ(kExitReplyZero, Run({"define", "--receive-port", std::to_string(port.get()), "group",
                                 name, "A", "item", "Static.Int2", "A"},
                                out))
      << out;
  const std::string prefix = "code 0\n  group " + name + ": index ";
  ASSERT_EQ(0u, out.rfind(prefix, 0)) << out;
  const std::string index = out.substr(prefix.size(), out.size() - prefix.size() - 1);
  EXPECT_EQ(kExitReplyZero, Run({"activate", "A", index}, out));
  listener.join();
  EXPECT_EQ(kExitReplyZero, listenStatus) << listenErrors.str();
  const std::string line = listened.str();
  EXPECT_NE(std::string::npos, line.find("\"kind\":\"change\"")) << line;
  EXPECT_NE(std::string::npos, line.find("\"group\":" + index + ",")) << line;
  EXPECT_NE(std::string::npos,
            line.find("\"items\":[{\"handle\":0,\"length\":2,\"value\":300,\"signed\":300}]"))
      << line;
  Run({"activate", "N", index}, out);
}

TEST_F(ClientToolTest, TypedVariantsShowRealsAndStringsWithTheServersTimestamps) {
  std::promise<std::uint16_t> bound;
  std::ostringstream listened;
  std::ostringstream listenErrors;
  int listenStatus = -1;
  std::thread listener([&] {
    ClientToolHooks hooks;
    hooks.onListening = [&](std::uint16_t port) { bound.set_value(port); };
    listenStatus = RunClientTool({"listen", "--bind", "127.0.0.1", "--port", "0", "--count", "1",
                                  "--timeout", "30", "--json"},
                                 listened, listenErrors, hooks);
  });
  auto port = bound.get_future();
  ASSERT_EQ(std::future_status::ready, port.wait_for(std::chrono::seconds(30)));
  const std::string name = UniqueGroupName("cli_typed");
  std::string out;
  EXPECT_EQ(kExitReplyZero,
            Run({"define", "--typed", "--receive-port", std::to_string(port.get()), "group", name,
                 "A", "item", "Static.Real8", "item", "Static.String"},
                out))
      << out;
  const std::string prefix = "code 0\n  group " + name + ": index ";
  ASSERT_EQ(0u, out.rfind(prefix, 0)) << out;
  const std::string index = out.substr(prefix.size(), out.size() - prefix.size() - 1);
  EXPECT_EQ(kExitReplyZero, Run({"activate", "A", index}, out));
  listener.join();
  EXPECT_EQ(kExitReplyZero, listenStatus) << listenErrors.str();
  const std::string line = listened.str();
  EXPECT_NE(std::string::npos, line.find("\"kind\":\"typed-change\"")) << line;
  EXPECT_NE(std::string::npos, line.find("\"type_name\":\"VT_R8\",\"quality\":192,\"timestamp\":"))
      << line;
  EXPECT_NE(std::string::npos, line.find("\"value\":3.25}")) << line;
  EXPECT_NE(std::string::npos, line.find("\"value\":\"Quarnix\"}")) << line;

  for (const char* source : {"--typed", "--cache"}) {
    std::vector<std::string> args{"read", "--typed", index, "0", "1"};
    if (std::string(source) == "--cache") args.insert(args.begin() + 1, "--cache");
    EXPECT_EQ(kExitReplyZero, Run(args, out)) << out;
    EXPECT_EQ(0u, out.rfind("code 0\n  item 0: 3.25 (VT_R8) quality 192 (good)", 0)) << out;
    EXPECT_NE(std::string::npos, out.find("\n  item 1: Quarnix (VT_BSTR) quality 192 (good)"))
        << out;
  }
  Run({"activate", "N", index}, out);
}

}  // namespace
