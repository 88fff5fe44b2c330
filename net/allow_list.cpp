#include "net/allow_list.h"

#include <utility>

namespace {

// A decimal number of 1 to 3 digits, at most max. False for anything else.
bool ParseSmallNumber(std::string_view text, unsigned max, unsigned& value) {
  if (text.empty() || text.size() > 3) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value <= max;
}

}  // namespace

bool CAllowList::ParseAddress(std::string_view text, std::uint32_t& hostOrderAddress) {
  std::uint32_t address = 0;
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = text.find('.');
    const bool last = part == 3;
    if (last != (dot == std::string_view::npos)) return false;
    unsigned value = 0;
    if (!ParseSmallNumber(text.substr(0, dot), 255, value)) return false;
    address = (address << 8) | value;
    if (!last) text.remove_prefix(dot + 1);
  }
  hostOrderAddress = address;
  return true;
}

bool CAllowList::Parse(std::string_view text) {
  std::vector<Block> blocks;
  for (;;) {
    const std::size_t comma = text.find(',');
    std::string_view entry = text.substr(0, comma);
    unsigned prefix = 32;
    const std::size_t slash = entry.find('/');
    if (slash != std::string_view::npos) {
      if (!ParseSmallNumber(entry.substr(slash + 1), 32, prefix)) return false;
      entry = entry.substr(0, slash);
    }
    std::uint32_t address = 0;
    if (!ParseAddress(entry, address)) return false;
    const std::uint32_t mask = prefix == 0 ? 0u : ~std::uint32_t{0} << (32 - prefix);
    blocks.push_back({address & mask, mask});
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  m_blocks = std::move(blocks);
  return true;
}

bool CAllowList::Allows(std::uint32_t hostOrderAddress) const {
  if (m_blocks.empty()) return true;
  for (const Block& block : m_blocks) {
    if ((hostOrderAddress & block.mask) == block.network) return true;
  }
  return false;
}
