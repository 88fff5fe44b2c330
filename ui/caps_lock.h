// The Caps Lock state for the status bar's "CAP" indicator.
//
// Read from the X11 server through Qt's X11 native interface; other platforms (offscreen,
// Wayland) have no such reading and report "unknown".
// Error rule: never fails. Thread rule: UI thread only, after the QGuiApplication exists.
// Ownership: none.
#pragma once

// True when the keyboard state can be read here (an X11 display is open).
bool CanReadCapsLock();
// The Caps Lock state; false when it cannot be read.
bool IsCapsLockOn();
