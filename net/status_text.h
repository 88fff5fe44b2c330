// The status request's reply text, and the framing of a reply that carries a list.
//
// A list reply keeps the defined reply line ("code TAB text CR LF"); on success its text begins
// with the decimal count N of the lines that follow, a blank and words, and exactly N lines
// follow, each ending CR LF, fields separated by TAB. The gateway then closes the connection.
// ListReplyText builds such a text for Response (which adds the last CR LF).
//
// The status lines are "key TAB value", one figure each, in a fixed order, then one
// "group_value_age_seconds TAB index TAB seconds" line per active group (docs/protocol.md).
//
// Error rule: nothing fails. Thread rule: any thread. Ownership: values returned.
#pragma once

#include <string>
#include <vector>

#include "net/gateway_status.h"

// "N words" and each line after a CR LF; no CR LF after the last line (Response adds it).
std::string ListReplyText(const std::vector<std::string>& lines, const std::string& words);

// The status figures as list lines.
std::vector<std::string> StatusLines(const GatewayStatus& status);
