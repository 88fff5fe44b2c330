#include "protocol/request_settings.h"

RequestSettings& GatewayRequestSettings() {
  static RequestSettings settings;
  return settings;
}
