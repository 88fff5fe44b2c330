// Messages for the operator on standard output (background mode's replacement for message
// boxes).
//
// Error rule: a standard output that is closed or not attached drops the text silently.
// Thread rule: any thread. Ownership: borrows the text.
#pragma once

#include <string>

// Writes the text and a line end, and flushes.
void WriteStandardOutput(const std::string& text);
