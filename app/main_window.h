// The main window assembled with the OPC side and the request handling it carries, the same for
// the Qt and the Win32 programs.
//
// AssembleMainWindow puts a front end's frame and a new request dispatcher together: the
// dispatcher reaches the window through the frame's IFrameView, the window's File-menu commands
// and its teardown reach the dispatcher's group list through the frame core's callbacks, and the
// dispatcher outlives the window, whose destruction tears the OPC side down through it. The
// application hands the dispatcher's entry to the listener chain.
//
// Error rule: nothing fails. Thread rule: UI thread. Ownership: MainWindow::frame owns both the
// frame and the dispatcher and points at the frame; MainWindow::dispatcher lives as long.
#pragma once

#include <memory>

#include "core/frame_core.h"
#include "core/frame_view.h"
#include "opc/failover_settings.h"
#include "platform/wide_string.h"

class CDatagramSender;
class CRequestDispatcher;

struct MainWindow {
  std::shared_ptr<IFrameView> frame;
  CRequestDispatcher* dispatcher = nullptr;  // null: requests are closed without a reply
};

// frame and core are the front end's window and its core; progId names the OPC server and
// failover its backup; the OPC side sends its datagrams through sender, which must outlive the
// window.
MainWindow AssembleMainWindow(std::shared_ptr<IFrameView> frame, CFrameCore& core,
                              const WideString& progId, CDatagramSender& sender,
                              const FailoverSettings& failover = {});
