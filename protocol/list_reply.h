// The text of a reply that carries a list (docs/protocol.md, section 1.3): the count of lines
// first, a blank and words, then each line. Response() writes it after the code and a TAB and
// ends it with CR LF, so the wire holds "0\t<N> <words>\r\n" followed by N lines ending in CR LF.
// A failure is never a list: its reply stays the one defined line.
//
// Error rule: never fails except std::bad_alloc. Thread rule: any thread. Ownership: values.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// "<N> <words>" and each of the N lines, joined by CR LF (the last line's CR LF is Response's).
std::string ListReplyText(std::string_view words, const std::vector<std::string>& lines);

// A field for a list line: TAB, CR and LF (and other control characters) become blanks, so that
// a server's name or text can neither split a line nor add one.
std::string ListField(std::string_view text);
