#include "tests/e2e/typed_datagram.h"

#include <cstring>

namespace {

std::uint64_t BigEndian(const std::string& bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t k = 0; k < width; ++k)
    value = (value << 8) | static_cast<std::uint8_t>(bytes[at + k]);
  return value;
}

}  // namespace

std::int64_t WireTypedEntry::Signed() const {
  if (value.empty() || value.size() > 8) return 0;
  const std::uint64_t raw = BigEndian(value, 0, value.size());
  const unsigned shift = static_cast<unsigned>(64 - 8 * value.size());
  return static_cast<std::int64_t>(raw << shift) >> shift;
}

std::uint64_t WireTypedEntry::Unsigned() const {
  return value.empty() || value.size() > 8 ? 0 : BigEndian(value, 0, value.size());
}

double WireTypedEntry::Real8() const {
  const std::uint64_t bits = value.size() == 8 ? BigEndian(value, 0, 8) : 0;
  double real = 0;
  std::memcpy(&real, &bits, sizeof real);
  return real;
}

float WireTypedEntry::Real4() const {
  const auto bits = static_cast<std::uint32_t>(value.size() == 4 ? BigEndian(value, 0, 4) : 0);
  float real = 0;
  std::memcpy(&real, &bits, sizeof real);
  return real;
}

std::optional<TypedDatagram> DecodeTypedDatagram(const std::string& bytes) {
  if (bytes.size() < 16) return std::nullopt;
  TypedDatagram datagram;
  datagram.kind = static_cast<std::uint8_t>(bytes[0]);
  if (datagram.kind != 0x63 && datagram.kind != 0x72) return std::nullopt;
  datagram.size = BigEndian(bytes, 1, 2);
  if (datagram.size != bytes.size()) return std::nullopt;
  datagram.transaction = static_cast<std::uint32_t>(BigEndian(bytes, 3, 4));
  datagram.group = static_cast<std::uint16_t>(BigEndian(bytes, 7, 2));
  const std::size_t count = BigEndian(bytes, 9, 2);
  datagram.masterError = static_cast<std::uint32_t>(BigEndian(bytes, 11, 4));
  datagram.masterQuality = static_cast<std::uint8_t>(bytes[15]);
  std::size_t at = 16;
  for (std::size_t k = 0; k < count; ++k) {
    if (at + 21 > bytes.size()) return std::nullopt;
    WireTypedEntry entry;
    entry.handle = static_cast<std::uint16_t>(BigEndian(bytes, at, 2));
    entry.vartype = static_cast<std::uint16_t>(BigEndian(bytes, at + 2, 2));
    entry.quality = static_cast<std::uint16_t>(BigEndian(bytes, at + 4, 2));
    entry.flags = static_cast<std::uint8_t>(bytes[at + 6]);
    entry.timestamp = static_cast<std::int64_t>(BigEndian(bytes, at + 7, 8));
    entry.error = static_cast<std::int32_t>(BigEndian(bytes, at + 15, 4));
    const std::size_t length = BigEndian(bytes, at + 19, 2);
    at += 21;
    if (at + length > bytes.size()) return std::nullopt;
    entry.value = bytes.substr(at, length);
    at += length;
    datagram.entries.push_back(std::move(entry));
  }
  if (at != bytes.size()) return std::nullopt;
  return datagram;
}
