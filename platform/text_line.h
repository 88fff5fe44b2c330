// The end of a line in the text files the gateway writes (the log file): CR LF on Windows, where
// the operators' editors expect it, LF elsewhere.
//
// Error rule: none. Thread rule: any thread. Ownership: a constant.
#pragma once

#ifdef _WIN32
inline constexpr char kTextLineEnd[] = "\r\n";
#else
inline constexpr char kTextLineEnd[] = "\n";
#endif
