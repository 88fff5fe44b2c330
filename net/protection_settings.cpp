#include "net/protection_settings.h"

ProtectionSettings& GatewayProtection() {
  static ProtectionSettings settings;
  return settings;
}
