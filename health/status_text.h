// The status request's reply lines, framed as a list reply by protocol/list_reply.h.
//
// The status lines are "key TAB value", one figure each, in a fixed order, then one
// "group_value_age_seconds TAB index TAB seconds" line per active group (docs/protocol.md).
//
// Error rule: nothing fails. Thread rule: any thread. Ownership: values returned.
#pragma once

#include <string>
#include <vector>

#include "health/gateway_status.h"

// The status figures as list lines.
std::vector<std::string> StatusLines(const GatewayStatus& status);
