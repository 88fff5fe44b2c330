#include "app/headless_frame.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/apartment.h"
#include "res/strings.h"
#include "tests/net/loopback.h"

using namespace testing_loopback;

TEST(HeadlessFrameTest, BackgroundModeDeclinesCloseRequestsAndSaysSo) {
  ScratchDirectory scratch;
  bool closed = false;
  CHeadlessFrame frame(true, [&] { closed = true; });
  frame.PostCloseRequest();
  CApartment::ForCurrentThread()->RunPending();
  EXPECT_FALSE(closed);
  const std::string& pane = frame.Pane().Text();
  EXPECT_NE(std::string::npos, pane.find(" " + CloseDeclinedText() + "\r\n"));
  const std::string file = ReadFile(scratch.Path() / "RV_Morvantel.log");
  EXPECT_NE(std::string::npos, file.find(" " + CloseDeclinedText() + "\n"));
}

// Nobody sees the pane in background mode, so its lines go to the log file too; a window's
// pane stays its own.
TEST(HeadlessFrameTest, BackgroundModeCopiesPaneLinesToTheLogFile) {
  ScratchDirectory scratch;
  CHeadlessFrame(true).LogToWindow("创建失败：no such server");
  CHeadlessFrame(false).LogToWindow("window only");
  const std::string file = ReadFile(scratch.Path() / "RV_Morvantel.log");
  EXPECT_NE(std::string::npos, file.find(" 创建失败：no such server\n")) << file;
  EXPECT_EQ(std::string::npos, file.find("window only")) << file;
}

TEST(HeadlessFrameTest, WindowModeRunsTheCloseHandlerAfterTheCurrentEvent) {
  int closed = 0;
  CHeadlessFrame frame(false, [&] { ++closed; });
  frame.PostCloseRequest();
  EXPECT_EQ(0, closed);  // never inside the call
  CApartment::ForCurrentThread()->RunPending();
  EXPECT_EQ(1, closed);
}

TEST(HeadlessFrameTest, ErrorMessagesGoToStandardOutput) {
  CHeadlessFrame frame(true);
  testing::internal::CaptureStdout();
  frame.ShowErrorMessage("Error ReadHeaderLine");
  EXPECT_EQ("Error ReadHeaderLine\n", testing::internal::GetCapturedStdout());
}
