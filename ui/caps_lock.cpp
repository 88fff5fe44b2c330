#include "ui/caps_lock.h"

#include <QGuiApplication>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>

namespace {

Display* X11Display() {
  auto* app = qGuiApp;
  if (app == nullptr) return nullptr;
  auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>();
  // Present but without a display on the offscreen platform.
  return x11 != nullptr ? x11->display() : nullptr;
}

}  // namespace

bool CanReadCapsLock() {
  return X11Display() != nullptr;
}

bool IsCapsLockOn() {
  Display* display = X11Display();
  if (display == nullptr) return false;
  // The indicator named "Caps Lock"; keymaps without that name fall back to the first
  // indicator, which is Caps Lock on the usual keymaps.
  static Display* atomDisplay = nullptr;
  static Atom capsLock = 0;
  if (atomDisplay != display) {
    capsLock = XInternAtom(display, "Caps Lock", False);
    atomDisplay = display;
  }
  Bool on = False;
  if (capsLock != 0 && XkbGetNamedIndicator(display, capsLock, nullptr, &on, nullptr, nullptr)) {
    return on != False;
  }
  unsigned int indicators = 0;
  if (XkbGetIndicatorState(display, XkbUseCoreKbd, &indicators) != Success) return false;
  return (indicators & 0x1u) != 0;
}
