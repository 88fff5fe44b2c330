#include "app/main_window.h"

#include "protocol/request_dispatcher.h"

namespace {

// The dispatcher is declared first so that it outlives the window.
struct CMainWindowParts {
  std::shared_ptr<CRequestDispatcher> dispatcher;
  std::shared_ptr<IFrameView> frame;
};

// The dispatcher of the current main window, for requests handed over by the listeners.
std::weak_ptr<CRequestDispatcher> g_dispatcher;

}  // namespace

std::shared_ptr<IFrameView> AssembleMainWindow(std::shared_ptr<IFrameView> frame, CFrameCore& core,
                                               const WideString& progId) {
  auto parts = std::make_shared<CMainWindowParts>();
  parts->frame = std::move(frame);
  parts->dispatcher = std::make_shared<CRequestDispatcher>(*parts->frame, progId);
  CRequestDispatcher* dispatcher = parts->dispatcher.get();
  core.SetCreateOpcServerHandler([dispatcher] { dispatcher->OnCreateOpcServer(); });
  core.SetDestroyOpcServerHandler([dispatcher] { dispatcher->OnDestroyOpcServer(); });
  core.SetWindowDestroyingHandler([dispatcher] { dispatcher->DestroyOpcSide(); });
  g_dispatcher = parts->dispatcher;
  IFrameView* view = parts->frame.get();
  return std::shared_ptr<IFrameView>(parts, view);
}

void AnswerRequest(CHttpBlockingSocket& connection) {
  if (auto dispatcher = g_dispatcher.lock()) dispatcher->OnRequest(connection);
}
