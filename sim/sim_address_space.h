// The simulator's address space as a browsing client sees it (IOPCBrowseServerAddressSpace).
//
// Hierarchical: the root holds the branches Static, Ramp, Random, Memory, Bad, Uncertain, Control
// and Many, and no leaves; a family branch holds a leaf per type ("Int1" ... "String"), Control
// the leaf "Restart", Many the leaves "1" to "50000". A branch's ID is its name; a leaf's ID is
// "<branch>.<leaf>". Flat (the ProgID Quarnix.Simulator.Flat): every item ID, in that order, as
// the OPC_FLAT list of the one level there is.
//
// Error rule: returns HRESULTs or bools as stated; nothing throws except std::bad_alloc.
// Thread rule: pure functions and immutable lists, any thread. Ownership: lists are shared and
// immutable; names are returned by value.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "opc/opcda.h"
#include "platform/wide_string.h"

// The browse position "the root".
inline constexpr int kSimRootBranch = -1;

// An immutable list of browse names: the result of one BrowseOPCItemIDs. Names are made when
// asked for, so that a list of 50,000 leaves costs nothing until it is read.
class CSimNameList {
public:
  enum class Source { kRootBranches, kLeaves, kFlat, kNone };
  CSimNameList(Source source, int branch, std::vector<std::uint32_t> selection, bool selected);

  std::size_t Count() const;
  // The name at index (below Count()).
  WideString Name(std::size_t index) const;

private:
  std::size_t SourceCount() const;
  WideString SourceName(std::uint32_t index) const;

  Source m_source;
  int m_branch;
  std::vector<std::uint32_t> m_selection;  // source indices that passed the filters
  bool m_selected;                         // whether m_selection applies
};

// The branch whose ID is id ("" is the root): true with *branch set, false when there is none.
bool FindSimBranch(WideStringView id, int* branch);

// The names at branch (kSimRootBranch for the root) that BrowseOPCItemIDs gives for the filters;
// flat for the flat address space. Never null.
std::shared_ptr<const CSimNameList> BrowseSimNames(int branch, bool flat, OPCBROWSETYPE type,
                                                   WideStringView pattern, VARTYPE vtFilter,
                                                   DWORD accessFilter);

// GetItemID: the fully qualified ID of the name at branch ("" at a branch: the branch's own ID).
// S_OK, or E_INVALIDARG when nothing of that name is there.
HRESULT SimItemIdOf(int branch, bool flat, WideStringView name, WideString* id);

// Whether name matches pattern: '*' any run, '?' one character, '#' one digit, "[abc]", "[a-z]"
// and "[!abc]" one character of (or not of) the set; an empty pattern matches everything.
// Letter case counts.
bool MatchSimPattern(WideStringView name, WideStringView pattern);
