#include "sim/sim_address_space.h"

#include <array>

#include "sim/sim_core_parts.h"
#include "sim/sim_item_catalog.h"

namespace {

using sim_core_detail::Decimal;

constexpr std::array<WideStringView, 8> kBranches = {
    OLESTR("Static"), OLESTR("Ramp"),      OLESTR("Random"),  OLESTR("Memory"),
    OLESTR("Bad"),    OLESTR("Uncertain"), OLESTR("Control"), OLESTR("Many")};
constexpr int kFamilyBranches = 6;  // the first six hold a leaf per type
constexpr int kControlBranch = 6;
constexpr int kManyBranch = 7;

constexpr std::array<WideStringView, 14> kTypeNames = {
    OLESTR("Int1"),  OLESTR("Int2"),    OLESTR("Int4"),  OLESTR("UInt1"),   OLESTR("UInt2"),
    OLESTR("UInt4"), OLESTR("Boolean"), OLESTR("Real4"), OLESTR("Real8"),   OLESTR("String"),
    OLESTR("Int8"),  OLESTR("UInt8"),   OLESTR("Date"),  OLESTR("Currency")};
constexpr std::uint32_t kFlatFamilyItems = kFamilyBranches * kTypeNames.size();
constexpr std::array<WideStringView, 3> kControlNames = {OLESTR("Restart"), OLESTR("Hang"),
                                                         OLESTR("Delay")};

std::uint32_t LeafCount(int branch) {
  if (branch < kFamilyBranches) return kTypeNames.size();
  return branch == kControlBranch ? static_cast<std::uint32_t>(kControlNames.size())
                                  : kSimManyCount;
}

WideString LeafName(int branch, std::uint32_t index) {
  if (branch < kFamilyBranches) return WideString(kTypeNames[index]);
  if (branch == kControlBranch) return WideString(kControlNames[index]);
  return Decimal(index + 1);
}

WideString Join(int branch, const WideString& leaf) {
  WideString id(kBranches[static_cast<std::size_t>(branch)]);
  id += OLESTR('.');
  return id + leaf;
}

// The flat list's item ID at index: the family items, the control items, then Many.1 onwards.
WideString FlatId(std::uint32_t index) {
  if (index < kFlatFamilyItems)
    return Join(static_cast<int>(index / kTypeNames.size()),
                WideString(kTypeNames[index % kTypeNames.size()]));
  if (index < kFlatFamilyItems + kControlNames.size())
    return Join(kControlBranch, WideString(kControlNames[index - kFlatFamilyItems]));
  return Join(kManyBranch, Decimal(static_cast<std::uint32_t>(index - kFlatFamilyItems -
                                                              kControlNames.size() + 1)));
}

// Matches "[...]" at pattern[p] (just after '['): *matched, and the index after ']'; false when
// the set is not closed (the '[' is then an ordinary character).
bool MatchSet(WideStringView pattern, std::size_t p, WideChar c, bool* matched, std::size_t* end) {
  bool negate = p < pattern.size() && pattern[p] == OLESTR('!');
  if (negate) ++p;
  bool found = false;
  const std::size_t first = p;
  while (p < pattern.size() && (pattern[p] != OLESTR(']') || p == first)) {
    if (p + 2 < pattern.size() && pattern[p + 1] == OLESTR('-') && pattern[p + 2] != OLESTR(']')) {
      found = found || (c >= pattern[p] && c <= pattern[p + 2]);
      p += 3;
    } else {
      found = found || c == pattern[p];
      ++p;
    }
  }
  if (p >= pattern.size()) return false;
  *matched = found != negate;
  *end = p + 1;
  return true;
}

bool MatchFrom(WideStringView name, std::size_t n, WideStringView pattern, std::size_t p) {
  while (p < pattern.size()) {
    const WideChar token = pattern[p];
    if (token == OLESTR('*')) {
      for (std::size_t k = n; k <= name.size(); ++k)
        if (MatchFrom(name, k, pattern, p + 1)) return true;
      return false;
    }
    if (n >= name.size()) return false;
    const WideChar c = name[n];
    bool matched = false;
    std::size_t next = p + 1;
    if (token == OLESTR('?'))
      matched = true;
    else if (token == OLESTR('#'))
      matched = c >= OLESTR('0') && c <= OLESTR('9');
    else if (token != OLESTR('[') || !MatchSet(pattern, p + 1, c, &matched, &next))
      matched = c == token;
    if (!matched) return false;
    p = next;
    ++n;
  }
  return n == name.size();
}

bool LeafPasses(const WideString& id, VARTYPE vtFilter, DWORD accessFilter) {
  SimItemInfo info;
  if (FAILED(ParseSimItemId(id, &info))) return false;
  if (vtFilter != VT_EMPTY && info.canonicalType != vtFilter) return false;
  return (info.accessRights & accessFilter) == accessFilter;
}

}  // namespace

CSimNameList::CSimNameList(Source source, int branch, std::vector<std::uint32_t> selection,
                           bool selected)
    : m_source(source), m_branch(branch), m_selection(std::move(selection)), m_selected(selected) {}

std::size_t CSimNameList::Count() const {
  return m_selected ? m_selection.size() : SourceCount();
}

WideString CSimNameList::Name(std::size_t index) const {
  return SourceName(m_selected ? m_selection[index] : static_cast<std::uint32_t>(index));
}

std::size_t CSimNameList::SourceCount() const {
  switch (m_source) {
    case Source::kRootBranches:
      return kBranches.size();
    case Source::kLeaves:
      return LeafCount(m_branch);
    case Source::kFlat:
      return kFlatFamilyItems + kControlNames.size() + kSimManyCount;
    case Source::kNone:
      break;
  }
  return 0;
}

WideString CSimNameList::SourceName(std::uint32_t index) const {
  switch (m_source) {
    case Source::kRootBranches:
      return WideString(kBranches[index]);
    case Source::kLeaves:
      return LeafName(m_branch, index);
    case Source::kFlat:
      return FlatId(index);
    case Source::kNone:
      break;
  }
  return WideString();
}

bool FindSimBranch(WideStringView id, int* branch) {
  if (id.empty()) {
    *branch = kSimRootBranch;
    return true;
  }
  for (std::size_t k = 0; k < kBranches.size(); ++k) {
    if (kBranches[k] == id) {
      *branch = static_cast<int>(k);
      return true;
    }
  }
  return false;
}

std::shared_ptr<const CSimNameList> BrowseSimNames(int branch, bool flat, OPCBROWSETYPE type,
                                                   WideStringView pattern, VARTYPE vtFilter,
                                                   DWORD accessFilter) {
  using Source = CSimNameList::Source;
  Source source = Source::kNone;
  if (type == OPC_FLAT || (flat && type == OPC_LEAF))
    source = Source::kFlat;
  else if (!flat && type == OPC_BRANCH && branch == kSimRootBranch)
    source = Source::kRootBranches;
  else if (!flat && type == OPC_LEAF && branch != kSimRootBranch)
    source = Source::kLeaves;
  const bool leaves = source == Source::kFlat || source == Source::kLeaves;
  const bool trivialPattern = pattern.empty() || pattern == WideStringView(OLESTR("*"));
  const bool filtered = !trivialPattern || (leaves && (vtFilter != VT_EMPTY || accessFilter != 0));
  auto all = std::make_shared<CSimNameList>(source, branch, std::vector<std::uint32_t>(), false);
  if (!filtered) return all;
  std::vector<std::uint32_t> selection;
  for (std::uint32_t k = 0; k < all->Count(); ++k) {
    const WideString name = all->Name(k);
    if (!trivialPattern && !MatchSimPattern(name, pattern)) continue;
    if (leaves) {
      const WideString id = source == Source::kFlat ? name : Join(branch, name);
      if (!LeafPasses(id, vtFilter, accessFilter)) continue;
    }
    selection.push_back(k);
  }
  return std::make_shared<CSimNameList>(source, branch, std::move(selection), true);
}

HRESULT SimItemIdOf(int branch, bool flat, WideStringView name, WideString* id) {
  if (flat || branch == kSimRootBranch) {
    // The root's names are the branches' IDs; a flat server's names are item IDs already.
    int found = kSimRootBranch;
    const bool isBranch = !flat && !name.empty() && FindSimBranch(name, &found);
    if (!isBranch && FAILED(ParseSimItemId(name, nullptr))) return E_INVALIDARG;
    *id = WideString(name);
    return S_OK;
  }
  if (name.empty()) {
    *id = WideString(kBranches[static_cast<std::size_t>(branch)]);
    return S_OK;
  }
  WideString joined = Join(branch, WideString(name));
  SimItemInfo info;
  if (FAILED(ParseSimItemId(joined, &info)) || info.family == SimFamily::kMemory) {
    // Memory's own suffixes ("Memory.Int4.x") are valid IDs but not names in the tree.
    const bool plainType = branch < kFamilyBranches && name.find(OLESTR('.')) == name.npos;
    if (!plainType || FAILED(ParseSimItemId(joined, nullptr))) return E_INVALIDARG;
  }
  *id = std::move(joined);
  return S_OK;
}

bool MatchSimPattern(WideStringView name, WideStringView pattern) {
  return pattern.empty() || MatchFrom(name, 0, pattern, 0);
}
