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

bool CAllowList::Parse(std::string_view text, std::string* badEntry) {
  std::vector<Block> blocks;
  for (;;) {
    const std::size_t comma = text.find(',');
    std::string_view entry = text.substr(0, comma);
    const auto refuse = [&] {
      if (badEntry != nullptr) *badEntry = std::string(text.substr(0, comma));
      return false;
    };
    unsigned prefix = 32;
    const std::size_t slash = entry.find('/');
    if (slash != std::string_view::npos) {
      if (!ParseSmallNumber(entry.substr(slash + 1), 32, prefix)) return refuse();
      entry = entry.substr(0, slash);
    }
    std::uint32_t address = 0;
    if (!ParseAddress(entry, address)) return refuse();
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

bool CAllowList::Covers(const CAllowList& other) const {
  if (m_blocks.empty()) return true;
  const std::vector<Block> everything{Block{0, 0}};
  const std::vector<Block>& wantedBlocks = other.m_blocks.empty() ? everything : other.m_blocks;
  const auto inside = [](const Block& inner, const Block& outer) {
    return inner.mask >= outer.mask && (inner.network & outer.mask) == outer.network;
  };
  // Two blocks are nested or apart. A wanted block is covered when a block here holds it, or
  // when the outermost blocks here inside it (which are apart) fill it.
  for (const Block& wanted : wantedBlocks) {
    const std::uint64_t wantedSize = std::uint64_t{~wanted.mask} + 1;
    std::uint64_t filled = 0;
    bool held = false;
    for (std::size_t k = 0; k < m_blocks.size() && !held; ++k) {
      const Block& block = m_blocks[k];
      held = inside(wanted, block);
      if (held || !inside(block, wanted)) continue;
      bool counted = false;  // within another block here, or the same block given before
      for (std::size_t j = 0; j < m_blocks.size() && !counted; ++j) {
        const Block& outer = m_blocks[j];
        counted = j != k && inside(block, outer) && (outer.mask < block.mask || j < k);
      }
      if (!counted) filled += std::uint64_t{~block.mask} + 1;
    }
    if (!held && filled < wantedSize) return false;
  }
  return true;
}
