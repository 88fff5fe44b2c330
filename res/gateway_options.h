// The gateway's command-line options in one table: every option the gateway takes, with its
// line of the usage text. The usage text (IDS_USAGE) is made from it, and the command line
// names words that match no row (app/command_line.h). A new option is one row here (and its
// parsing where its value is read).
//
// Error rule: nothing fails. Thread rule: any thread; constant data. Ownership: static texts.
#pragma once

#include <span>
#include <string>

struct GatewayOption {
  const char* name;   // as written in the usage text; matched without regard to letter case
  const char* usage;  // its usage line without the brackets (UTF-8); null: covered by another row
};

// Every option, in the usage text's order.
std::span<const GatewayOption> GatewayOptions();

// The usage text (UTF-8): a heading, then one bracketed line per row that has one.
std::string GatewayUsageText();
