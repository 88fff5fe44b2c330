// The frame's client pane: an empty child window over the client area above the status bar.
//
// It draws nothing of its own: a sunken client edge around the window colour (its class has
// CS_DBLCLKS, CS_HREDRAW and CS_VREDRAW, the arrow cursor and COLOR_WINDOW as background; its
// paint handler only begins and ends painting). It clips its siblings, so the log pane that lies
// on top of it is never painted over.
//
// Error rule: Create returns false when the window cannot be made. Thread rule: UI thread only.
// Ownership: the window is a child of the frame and goes with it.
#pragma once

#include "winui/win32_headers.h"

class CClientPane {
public:
  // Creates the pane as a child of parent with the given size and child id.
  bool Create(HWND parent, int width, int height, UINT id);
  HWND Window() const { return m_pane; }

  static const wchar_t kClassName[];

private:
  static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  HWND m_pane = nullptr;
};
