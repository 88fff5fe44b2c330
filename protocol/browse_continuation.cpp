#include "protocol/browse_continuation.h"

#include <cstdio>
#include <random>

namespace {

constexpr std::size_t kLength = 1 + 8 + 8 + 16 + 16;

std::uint64_t Secret() {
  static const std::uint64_t secret = [] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
  }();
  return secret;
}

// A 64-bit mix (splitmix64 finaliser).
std::uint64_t Mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

std::uint64_t Checksum(const BrowseContinuation& v) {
  std::uint64_t h = Mix(Secret() ^ v.phase);
  h = Mix(h ^ v.position);
  h = Mix(h ^ v.generation);
  return Mix(h ^ v.scope ^ Secret());
}

std::uint64_t HashText(std::uint64_t h, std::string_view text) {
  for (unsigned char c : text) h = (h ^ c) * 0x100000001B3ull;  // FNV-1a
  return Mix(h ^ text.size());
}

bool ParseHex(std::string_view text, std::uint64_t* value) {
  std::uint64_t v = 0;
  for (char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (digit < 0) return false;
    v = (v << 4) | static_cast<unsigned>(digit);
  }
  *value = v;
  return true;
}

}  // namespace

std::uint64_t BrowseScopeHash(std::string_view branch, std::string_view pattern, char kind,
                              unsigned access) {
  std::uint64_t h = HashText(0xCBF29CE484222325ull, branch);
  h = HashText(h, pattern);
  return Mix(h ^ (static_cast<std::uint64_t>(static_cast<unsigned char>(kind)) << 8) ^ access);
}

std::string EncodeContinuation(const BrowseContinuation& value) {
  char text[kLength + 1];
  std::snprintf(text, sizeof text, "%01x%08x%08x%016llx%016llx", value.phase & 0xF,
                static_cast<unsigned>(value.position), static_cast<unsigned>(value.generation),
                static_cast<unsigned long long>(value.scope),
                static_cast<unsigned long long>(Checksum(value)));
  return text;
}

ContinuationCheck DecodeContinuation(std::string_view text, std::uint32_t generation,
                                     std::uint64_t scope, BrowseContinuation* value) {
  std::uint64_t phase = 0, position = 0, gen = 0, hash = 0, checksum = 0;
  if (text.size() != kLength || !ParseHex(text.substr(0, 1), &phase) ||
      !ParseHex(text.substr(1, 8), &position) || !ParseHex(text.substr(9, 8), &gen) ||
      !ParseHex(text.substr(17, 16), &hash) || !ParseHex(text.substr(33, 16), &checksum))
    return ContinuationCheck::kMalformed;
  value->phase = static_cast<std::uint32_t>(phase);
  value->position = static_cast<std::uint32_t>(position);
  value->generation = static_cast<std::uint32_t>(gen);
  value->scope = hash;
  if (Checksum(*value) != checksum || value->phase > 2) return ContinuationCheck::kAltered;
  if (value->generation != generation) return ContinuationCheck::kStale;
  if (value->scope != scope) return ContinuationCheck::kOtherScope;
  return ContinuationCheck::kValid;
}
