// The frame's status bar (comctl32): the message pane and the Caps Lock indicator.
//
// Two parts: the message pane takes the width left of the indicator, which is just wide enough
// for "CAP" and shows it while Caps Lock is on. The bar lies at the bottom of its parent and
// follows the parent's size (RecalcLayout).
//
// Error rule: Create returns false when the control cannot be made; the other calls do nothing
// without a control. Thread rule: UI thread only. Ownership: the window is a child of the frame
// and goes with it.
#pragma once

#include <string>

#include "winui/win32_headers.h"

class CStatusBar {
public:
  // Creates the bar at the bottom of parent with child id, and sets its two panes.
  bool Create(HWND parent, UINT id);
  HWND Window() const { return m_bar; }

  // Fits the bar to the parent's client area; returns its height.
  int RecalcLayout();
  void SetMessageText(const std::wstring& text);
  std::wstring MessageText() const;
  // Shows or clears "CAP" in the indicator pane.
  void SetCapsLock(bool on);

private:
  void SetParts();

  HWND m_bar = nullptr;
  bool m_capsLock = false;
};
