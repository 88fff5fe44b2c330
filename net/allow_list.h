// The client allow-list of /allow: IPv4 addresses and CIDR blocks that may open request
// connections.
//
// Parse takes the option's text: entries separated by commas, each a dotted address of four
// decimal parts ("10.1.3.7") or a block ("10.1.2.0/24", prefix 0 to 32; host bits beyond the
// prefix are ignored). Nothing else is accepted: no blanks, no empty entry, no short forms such
// as "10.1.2", no octal or hex parts. An empty list allows every address.
//
// The same syntax serves /writers, whose entries must lie within /allow (Covers).
//
// Error rule: Parse returns false and leaves the list unchanged for a text it refuses.
// Thread rule: build on one thread; Allows is safe from any number of threads afterwards.
// Ownership: a value type.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CAllowList {
public:
  // Replaces the list by the entries of text. False when text is not a valid list; badEntry,
  // when given, then holds the first entry refused (empty for an empty entry).
  bool Parse(std::string_view text, std::string* badEntry = nullptr);

  // True when the list is empty or an entry holds the address (host byte order).
  bool Allows(std::uint32_t hostOrderAddress) const;

  // True when every address that other allows is allowed here (always, when this list is
  // empty); an empty other stands for every address.
  bool Covers(const CAllowList& other) const;

  bool Empty() const { return m_blocks.empty(); }
  std::size_t Size() const { return m_blocks.size(); }

  // A strict dotted address "a.b.c.d" (decimal, 0 to 255 each) in host byte order.
  static bool ParseAddress(std::string_view text, std::uint32_t& hostOrderAddress);

private:
  struct Block {
    std::uint32_t network;  // host byte order, host bits cleared
    std::uint32_t mask;
  };
  std::vector<Block> m_blocks;
};
