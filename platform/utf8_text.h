// UTF-8 texts of UTF-16 texts and back, whatever the system code page: the typed commands and
// datagrams carry UTF-8 on every system (platform/codepage.h converts to the code page instead).
//
// Error rule: never fails except std::bad_alloc; an unpaired surrogate (UTF-16) and a byte that
// does not continue a valid sequence (UTF-8: stray continuation bytes, overlong forms, encoded
// surrogates, values past U+10FFFF, a sequence cut short) each become U+FFFD, so that the result
// is always valid. Thread rule: any thread. Ownership: values returned.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/wide_string.h"

std::string Utf16ToUtf8(WideStringView text);
WideString Utf8ToUtf16(std::string_view text);

// The length of the longest prefix of valid UTF-8 text that has at most limit bytes and ends at a
// character boundary (text.size() when it fits whole).
std::size_t Utf8PrefixLength(std::string_view text, std::size_t limit);
