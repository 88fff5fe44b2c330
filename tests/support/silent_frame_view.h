// A window that shows nothing: for the tests, benchmarks and fuzz targets that run the gateway's
// core without an operator to tell anything.
//
// Error rule: none. Thread rule: as IFrameView. Ownership: none.
#pragma once

#include <string>

#include "core/frame_view.h"

class CSilentFrameView final : public IFrameView {
public:
  void LogToWindow(std::string) override {}
  void SetMessageText(std::string) override {}
  void ShowErrorMessage(const std::string&) override {}
  void PostCloseRequest() override {}
};
