#include "net/frame_view.h"

IFrameView* pMainFrame = nullptr;
