// The application icon (icon resource 128), compiled into the program as a Qt resource.
//
// Error rule: a missing resource gives a null icon. Thread rule: UI thread only (QIcon needs
// the QGuiApplication). Ownership: values returned.
#pragma once

#include <QIcon>

QIcon AppIcon();
