// A test-side decoder of the typed group datagrams (kinds 0x63 and 0x72), kept apart from the
// client library's so that the end-to-end tests check the gateway's bytes against the layout
// itself.
//
// Error rule: nullopt for anything that is not a whole, consistent typed datagram (other kind,
// length field unlike the size, entries running past the end or not filling it). Thread rule:
// any thread. Ownership: values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct WireTypedEntry {
  std::uint16_t handle = 0;
  std::uint16_t vartype = 0;
  std::uint16_t quality = 0;
  std::uint8_t flags = 0;
  std::int64_t timestamp = 0;  // microseconds since 1970 UTC
  std::int32_t error = 0;
  std::string value;  // the L value bytes

  // The value bytes read as a big-endian signed or unsigned integer, and as IEEE 754 reals.
  std::int64_t Signed() const;
  std::uint64_t Unsigned() const;
  double Real8() const;
  float Real4() const;
};

struct TypedDatagram {
  std::uint8_t kind = 0;
  std::uint32_t transaction = 0;
  std::uint16_t group = 0;
  std::uint32_t masterError = 0;
  std::uint8_t masterQuality = 0;
  std::size_t size = 0;
  std::vector<WireTypedEntry> entries;
};

std::optional<TypedDatagram> DecodeTypedDatagram(const std::string& bytes);
