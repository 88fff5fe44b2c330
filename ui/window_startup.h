// What the application calls around the window at start-up: whether a display exists, the
// message for standard error when none does, Qt's own translations, and the window steps of the
// start-up (icon, placement, size, no maximize button, shown normally).
//
// Error rule: nothing throws; InstallQtTranslations reports whether a translation was found.
// Thread rule: UI thread. IsDisplayAvailable and kNoDisplayMessage need no QApplication (call
// them before creating one); the others need it. Ownership: the translator belongs to the
// application object it was installed on.
#pragma once

#include <QLocale>

class CMainFrame;
class QCoreApplication;

// The text for standard error when the window cannot be shown and /s was not given.
extern const char kNoDisplayMessage[];

// True when Qt can open a window here: a display is named (DISPLAY, WAYLAND_DISPLAY) for the
// platform that QT_QPA_PLATFORM chooses, or that platform needs none (for example offscreen).
bool IsDisplayAvailable();

// Loads Qt's own texts (message box buttons and the like) for the locale, from Qt's
// translations folder, and installs them on app. False when there is no translation for it.
bool InstallQtTranslations(QCoreApplication& app, const QLocale& locale = QLocale::system());

// The start-up's window steps outside background mode: the application icon, position
// (100, 300), size 600 x 300, no maximize button, shown normally.
void ShowMainWindow(CMainFrame& frame);
