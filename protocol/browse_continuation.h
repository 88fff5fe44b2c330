// The continuation value of a browse page ("BR"): where the next page starts, bound to the branch
// and filters it was given for, to the OPC server connection it was read from, and to this run of
// the gateway. To the client it is an opaque word of 49 hexadecimal digits.
//
// It holds the part of the listing (branches, leaves or the flat list), the position in it, the
// connection's generation, a hash of the scope (branch, pattern, kind and access filters) and a
// checksum over all of that keyed with a secret drawn when the gateway starts, so that a value
// that was altered, made up or kept from an earlier gateway run is refused.
//
// Error rule: Decode returns a result code, never throws. Thread rule: any thread; the key is
// made once, thread-safely. Ownership: values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct BrowseContinuation {
  std::uint32_t phase = 0;     // which listing: 0 branches, 1 leaves, 2 flat
  std::uint32_t position = 0;  // entries of that listing already sent
  std::uint32_t generation = 0;
  std::uint64_t scope = 0;
};

enum class ContinuationCheck { kValid, kMalformed, kAltered, kStale, kOtherScope };

// The hash of a browse's scope: the same text fields give the same value within a run.
std::uint64_t BrowseScopeHash(std::string_view branch, std::string_view pattern, char kind,
                              unsigned access);

std::string EncodeContinuation(const BrowseContinuation& value);

// Decodes text into *value and checks it against the current generation and scope.
ContinuationCheck DecodeContinuation(std::string_view text, std::uint32_t generation,
                                     std::uint64_t scope, BrowseContinuation* value);
