// Shared fixture of the request handler tests: a request dispatcher over the simulator (through
// the recording, fault-injecting decorator), a window that records what it is told, and one real
// loopback connection per request.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/activity_log.h"
#include "core/frame_view.h"
#include "net/response.h"
#include "platform/apartment.h"
#include "protocol/request_dispatcher.h"
#include "tests/support/faulty_opc_server.h"
#include "tests/support/loopback_connection.h"
#include "tests/support/unsent_datagrams.h"

// The window as the core sees it: records log lines, status texts, error boxes and closes.
class CRecordingFrame : public IFrameView {
public:
  void LogToWindow(std::string text) override { windowLines.push_back(std::move(text)); }
  void SetMessageText(std::string text) override { statusTexts.push_back(std::move(text)); }
  void ShowErrorMessage(const std::string& text) override { errorBoxes.push_back(text); }
  void PostCloseRequest() override {
    ++closeRequests;
    if (onClose) onClose();
  }

  // Whether some window line contains text.
  bool Logged(std::string_view text) const {
    for (const std::string& line : windowLines)
      if (line.find(text) != std::string::npos) return true;
    return false;
  }

  std::vector<std::string> windowLines;
  std::vector<std::string> statusTexts;
  std::vector<std::string> errorBoxes;
  int closeRequests = 0;
  std::function<void()> onClose;  // runs inside PostCloseRequest
};

class DispatcherTest : public ::testing::Test {
protected:
  DispatcherTest()
      : m_dispatcher(m_frame, CFaultyOpcServer::kProgId,
                     {m_datagrams.sender, m_settings, m_datagrams.counters, m_datagrams.log}) {
    pMainFrame = &m_frame;
  }

  ~DispatcherTest() override {
    m_dispatcher.Registry().DestroyOpcSide();
    // Callbacks the server queued to this thread hold their sink until they run (and are
    // dropped, their groups being gone).
    CApartment::ForCurrentThread()->RunPending();
    // Every interface the handlers obtained was released with its group.
    EXPECT_TRUE(m_opc.AllReleased()) << m_opc.LiveObjectCount() << " objects alive";
    EXPECT_EQ(m_opc.HeldSinkCount(), 0u);
    pMainFrame = nullptr;
  }

  // One request on its own connection: the client sends bytes, the request is read whole as
  // the listener reads it, the dispatcher answers, the reply is finished and the connection
  // closed as the listener does, and the test gets every byte the client received.
  std::string Request(std::string_view bytes) {
    CLoopbackConnection connection;
    EXPECT_TRUE(connection.Send(bytes));
    m_lastResult = Answer(connection.Server());
    connection.CloseServer();
    return connection.ReadAll();
  }

  // The same, but the client closes its side after sending (a client that gives up).
  int RequestThenHangUp(std::string_view bytes) {
    CLoopbackConnection connection;
    EXPECT_TRUE(connection.Send(bytes));
    connection.CloseClient();
    return Answer(connection.Server());
  }

  // The listener's part and the UI thread's part of one request.
  int Answer(CHttpBlockingSocket& connection) {
    CRequestDispatcher::ReadRequest(connection);
    const int result = m_dispatcher.OnRequest(connection);
    connection.SendPending(kResponseSeconds);
    return result;
  }

  // Defines groups with "AD" and expects success; returns the reply.
  std::string Define(std::string_view lines) {
    std::string reply = Request(lines);
    EXPECT_EQ(reply.rfind("0\t", 0), 0u) << reply;
    return reply;
  }

  // The newest group of the server with that name (removed ones included).
  RecordedGroup ServerGroup(const std::u16string& name) {
    auto group = m_opc.GroupByName(name);
    EXPECT_TRUE(group.has_value());
    return group.value_or(RecordedGroup{});
  }

  GroupRecord* Group(std::size_t index) { return m_dispatcher.Registry().GetGroup(index); }
  std::size_t GroupCount() { return m_dispatcher.Registry().GroupCount(); }

  CFaultyOpcServer m_opc;
  CRecordingFrame m_frame;
  CUnsentDatagrams m_datagrams;
  LogSwitches& m_log = m_datagrams.log;  // the dispatcher's switches; a test turns them
  RequestSettings m_settings;  // the options in effect; a test sets them before its requests
  CRequestDispatcher m_dispatcher;
  int m_lastResult = -1;
};
