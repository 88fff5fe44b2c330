#include "ui/app_icon.h"

// Registers the resources compiled into this static library: the linker keeps their
// registration only when something calls it.
static void InitUiResources() {
  Q_INIT_RESOURCE(ui_resources);
}

QIcon AppIcon() {
  static const bool registered = (InitUiResources(), true);
  (void)registered;
  return QIcon(QStringLiteral(":/quarnix.png"));
}
