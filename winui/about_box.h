// The About box: the modal dialog of resource 100 ("关于...", 248 x 77 dialog units, 9-point
// "宋体") with the application icon, the product line "Quarnix 1.0.0 版", the maker's notice and
// the default button "确定".
//
// Centred over its owner when the owner is visible, else on the screen; closed by its OK button
// (or Escape and the close box).
// Error rule: returns false when the dialog cannot be shown. Thread rule: UI thread only.
// Ownership: the dialog exists only while ShowAboutBox runs; the owner is borrowed.
#pragma once

#include "winui/win32_headers.h"

// Shows the About box modally over owner until the operator closes it.
bool ShowAboutBox(HWND owner);

// The About box's caption, for finding it on the screen.
extern const wchar_t kAboutBoxCaption[];
