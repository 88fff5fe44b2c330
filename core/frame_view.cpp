#include "core/frame_view.h"

#include "core/activity_log.h"
#include "platform/codepage.h"
#include "res/strings.h"

IFrameView* pMainFrame = nullptr;

void LogCloseDeclined(IFrameView& frame) {
  const std::string line = SystemText(CloseDeclinedText());
  frame.LogToWindow(line);
  LogToFile(line);
}
