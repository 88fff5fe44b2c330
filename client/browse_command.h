// The client tool's "browse" and "properties": a page (or, with --all, every page up to --max
// entries) of a branch of the OPC server's address space ("BR"), and the properties of one item
// ("IP"), printed as lines or, with --json, as one JSON object per entry.
//
// Error rule: nothing throws except CUsageError for arguments the request cannot carry; the
// result is the tool's exit status (0 reply code 0, 1 another code, 2 no well-formed reply).
// Thread rule: the calling thread. Ownership: writes to the streams given.
#pragma once

#include <iosfwd>

#include "client/command_line.h"

namespace CLI {
class App;
}

// Options and arguments of browse and properties.
void AddBrowseArguments(CLI::App& app, CommandLine& line);
void AddPropertiesArguments(CLI::App& app, CommandLine& line);

int RunBrowse(const CommandLine& line, std::ostream& out, std::ostream& err);
int RunProperties(const CommandLine& line, std::ostream& out, std::ostream& err);
