#include "app/main_window.h"

#include "protocol/request_dispatcher.h"

namespace {

// The dispatcher is declared first so that it outlives the window.
struct CMainWindowParts {
  std::unique_ptr<CRequestDispatcher> dispatcher;
  std::shared_ptr<IFrameView> frame;
};

}  // namespace

MainWindow AssembleMainWindow(std::shared_ptr<IFrameView> frame, CFrameCore& core,
                              const WideString& progId, CDatagramSender& sender,
                              const FailoverSettings& failover) {
  auto parts = std::make_shared<CMainWindowParts>();
  parts->frame = std::move(frame);
  parts->dispatcher = std::make_unique<CRequestDispatcher>(*parts->frame, progId, sender, failover);
  CGroupRegistry* registry = &parts->dispatcher->Registry();
  core.SetCreateOpcServerHandler([registry] { registry->OnCreateOpcServer(); });
  core.SetDestroyOpcServerHandler([registry] { registry->OnDestroyOpcServer(); });
  core.SetWindowDestroyingHandler([registry] { registry->DestroyOpcSide(); });
  CRequestDispatcher* dispatcher = parts->dispatcher.get();
  IFrameView* view = parts->frame.get();
  return MainWindow{std::shared_ptr<IFrameView>(parts, view), dispatcher};
}
