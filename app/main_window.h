// The main window assembled with the OPC side and the request handling it carries, the same for
// the Qt and the Win32 programs.
//
// AssembleMainWindow puts a front end's frame and a new request dispatcher together: the
// dispatcher reaches the window through the frame's IFrameView, the window's File-menu commands
// and its teardown reach the dispatcher through the frame core's callbacks, and the dispatcher
// outlives the window, whose destruction tears the OPC side down through it. AnswerRequest hands
// a request to the dispatcher of the current main window.
//
// Error rule: nothing fails. Thread rule: UI thread. Ownership: the returned pointer owns both
// the frame and the dispatcher and points at the frame.
#pragma once

#include <memory>

#include "core/frame_core.h"
#include "net/http_blocking_socket.h"
#include "platform/wide_string.h"

// frame and core are the front end's window and its core; progId names the OPC server.
std::shared_ptr<IFrameView> AssembleMainWindow(std::shared_ptr<IFrameView> frame, CFrameCore& core,
                                               const WideString& progId);

// Answers a request with the current main window's dispatcher; nothing once it is gone.
void AnswerRequest(CHttpBlockingSocket& connection);
