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
