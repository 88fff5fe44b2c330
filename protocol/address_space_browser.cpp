#include "protocol/address_space_browser.h"

#include <algorithm>

#include "opc/server_loss.h"
#include "platform/codepage.h"
#include "protocol/browse_continuation.h"
#include "protocol/handler_text.h"
#include "protocol/list_reply.h"
#include "protocol/opc_value_text.h"

namespace {

constexpr int kMaxDepth = 32;              // levels walked up or down at most
constexpr ULONG kMaxWalkBranches = 10000;  // branches looked at per level of a walk
constexpr std::uint32_t kPhaseBranches = 0;
constexpr std::uint32_t kPhaseLeaves = 1;
constexpr std::uint32_t kPhaseFlat = 2;

using ResultNote = CAddressSpaceBrowser::ResultNote;

struct Entry {
  std::uint32_t phase = kPhaseBranches;
  WideString name;
  std::string id;
};

OPCBROWSETYPE TypeOf(std::uint32_t phase) {
  return phase == kPhaseBranches ? OPC_BRANCH : phase == kPhaseLeaves ? OPC_LEAF : OPC_FLAT;
}

// The names of one listing from position skip on, want at most, appended to names.
HRESULT Fetch(IOPCBrowseServerAddressSpace* browse, const ResultNote& note, OPCBROWSETYPE type,
              const WideString& pattern, DWORD access, ULONG skip, ULONG want,
              std::vector<WideString>& names) {
  ComPtr<IEnumString> strings;
  HRESULT hr = note(browse->BrowseOPCItemIDs(type, pattern.c_str(), VT_EMPTY,
                                             type == OPC_BRANCH ? 0 : access, strings.Put()));
  if (FAILED(hr) || !strings || want == 0) return FAILED(hr) ? hr : S_OK;
  if (skip > 0) {
    hr = note(strings->Skip(skip));
    if (hr != S_OK) return FAILED(hr) ? hr : S_OK;  // S_FALSE: fewer than skip were left
  }
  std::vector<LPOLESTR> block(want, nullptr);
  ULONG fetched = 0;
  hr = note(strings->Next(want, block.data(), &fetched));
  if (FAILED(hr)) return hr;
  fetched = std::min(fetched, want);
  for (ULONG k = 0; k < fetched; ++k) {
    names.emplace_back(block[k] != nullptr ? block[k] : OLESTR(""));
    CoTaskMemFree(block[k]);
  }
  return S_OK;
}

// The ID GetItemID gives for name at the current position; empty when it fails.
HRESULT ItemIdOf(IOPCBrowseServerAddressSpace* browse, const ResultNote& note,
                 const WideString& name, WideString& id) {
  WideString copy = name;
  LPWSTR text = nullptr;
  const HRESULT hr = note(browse->GetItemID(copy.data(), &text));
  id = SUCCEEDED(hr) && text != nullptr ? WideString(text) : WideString();
  CoTaskMemFree(text);
  return hr;
}

// The root: OPC_BROWSE_TO "", or up until the server refuses (servers without OPC_BROWSE_TO).
HRESULT ToRoot(IOPCBrowseServerAddressSpace* browse, const ResultNote& note) {
  HRESULT hr = note(browse->ChangeBrowsePosition(OPC_BROWSE_TO, OLESTR("")));
  for (int k = 0; FAILED(hr) && !IsServerLostCode(hr) && k < kMaxDepth; ++k) {
    hr = note(browse->ChangeBrowsePosition(OPC_BROWSE_UP, OLESTR("")));
    if (FAILED(hr)) return IsServerLostCode(hr) ? hr : S_OK;
  }
  return hr;
}

bool IsNameChar(WideChar c) {
  return (c >= OLESTR('0') && c <= OLESTR('9')) || (c >= OLESTR('A') && c <= OLESTR('Z')) ||
         (c >= OLESTR('a') && c <= OLESTR('z')) || c == OLESTR('_');
}

// For servers without OPC_BROWSE_TO: down from the root, at each level into the branch whose ID
// is the target or begins it (followed by a delimiter). S_OK when the target was reached.
HRESULT WalkDown(IOPCBrowseServerAddressSpace* browse, const ResultNote& note,
                 const WideString& target) {
  HRESULT hr = ToRoot(browse, note);
  for (int depth = 0; SUCCEEDED(hr) && depth < kMaxDepth; ++depth) {
    std::vector<WideString> names;
    hr = Fetch(browse, note, OPC_BRANCH, WideString(), 0, 0, kMaxWalkBranches, names);
    const WideString* next = nullptr;
    bool reached = false;
    for (const WideString& name : names) {
      WideString id;
      hr = ItemIdOf(browse, note, name, id);
      if (IsServerLostCode(hr)) return hr;
      reached = !id.empty() && id == target;
      const bool begins = !id.empty() && target.size() > id.size() &&
                          target.compare(0, id.size(), id) == 0 && !IsNameChar(target[id.size()]);
      if (reached || begins) {
        next = &name;
        break;
      }
    }
    if (next == nullptr) return E_INVALIDARG;
    hr = note(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, next->c_str()));
    if (SUCCEEDED(hr) && reached) return S_OK;
  }
  return FAILED(hr) ? hr : E_INVALIDARG;
}

std::vector<std::uint32_t> PhasesOf(char kind, bool flat) {
  if (flat) return {kPhaseFlat};
  if (kind == 'B') return {kPhaseBranches};
  if (kind == 'L') return {kPhaseLeaves};
  return {kPhaseBranches, kPhaseLeaves};
}

}  // namespace

struct CAddressSpaceBrowser::Page {
  bool flat = false;
  std::uint32_t phase = kPhaseBranches;  // where the page starts
  std::uint32_t position = 0;
  std::vector<Entry> entries;
  bool more = false;
  std::uint32_t nextPhase = 0;
  std::uint32_t nextPosition = 0;
};

namespace {

using Page = CAddressSpaceBrowser::Page;

// Fills page from its start: each listing of the kind in turn, one more name than fits asked
// for, so that the page knows whether more follow and where.
HRESULT ReadPage(IOPCBrowseServerAddressSpace* browse, const ResultNote& note,
                 const CAddressSpaceBrowser::BrowseArgs& args, Page& page) {
  const WideString pattern = MultiByteToWide(args.pattern);
  ULONG remaining = static_cast<ULONG>(args.pageSize);
  for (const std::uint32_t phase : PhasesOf(args.kind, page.flat)) {
    if (phase < page.phase) continue;
    const ULONG skip = phase == page.phase ? page.position : 0;
    std::vector<WideString> names;
    const HRESULT hr =
        Fetch(browse, note, TypeOf(phase), pattern, args.access, skip, remaining + 1, names);
    if (FAILED(hr)) return hr;
    const ULONG take = std::min<ULONG>(static_cast<ULONG>(names.size()), remaining);
    for (ULONG k = 0; k < take; ++k) page.entries.push_back(Entry{phase, names[k], {}});
    if (names.size() > remaining) {
      page.more = true;
      page.nextPhase = phase;
      page.nextPosition = skip + remaining;
      return S_OK;
    }
    remaining -= take;
  }
  return S_OK;
}

// Each entry's fully qualified ID (GetItemID at the position; a flat list's names are IDs).
HRESULT FillIds(IOPCBrowseServerAddressSpace* browse, const ResultNote& note, Page& page) {
  for (Entry& entry : page.entries) {
    WideString id = entry.name;
    if (entry.phase != kPhaseFlat) {
      const HRESULT hr = ItemIdOf(browse, note, entry.name, id);
      if (IsServerLostCode(hr)) return hr;
    }
    entry.id = WideToMultiByte(id);
  }
  return S_OK;
}

// Whether the hierarchical root (the position now) holds nothing at all.
bool RootIsEmpty(IOPCBrowseServerAddressSpace* browse, const ResultNote& note) {
  std::vector<WideString> names;
  if (FAILED(Fetch(browse, note, OPC_BRANCH, WideString(), 0, 0, 1, names))) return false;
  if (FAILED(Fetch(browse, note, OPC_LEAF, WideString(), 0, 0, 1, names))) return false;
  return names.empty();
}

std::string PageText(const Page& page, const std::string& continuation) {
  std::vector<std::string> lines;
  lines.reserve(page.entries.size());
  for (const Entry& entry : page.entries)
    lines.push_back((entry.phase == kPhaseBranches ? "B\t" : "L\t") +
                    ListField(WideToMultiByte(entry.name)) + "\t" + ListField(entry.id));
  const std::string words =
      page.more ? "entries, more with " + continuation : std::string("entries, the last page");
  return ListReplyText(words, lines);
}

std::string ContinuationRefusal(ContinuationCheck check) {
  switch (check) {
    case ContinuationCheck::kStale:
      return "Stale continuation value: the OPC server was connected again since; browse the "
             "branch again from its first page";
    case ContinuationCheck::kOtherScope:
      return "Continuation value of another branch or filter: send it with the branch and "
             "filters of the page that gave it";
    default:
      return "Invalid continuation value: altered, or from an earlier run of the gateway; browse "
             "the branch again from its first page";
  }
}

}  // namespace

std::uint32_t CAddressSpaceBrowser::Generation(IOPCServer* server) {
  if (server != m_lastServer) {
    m_lastServer = server;
    ++m_generation;
  }
  return m_generation;
}

int CAddressSpaceBrowser::TakeContinuation(IOPCServer* server, const BrowseArgs& args, Page& page,
                                           std::string& reply) {
  page.phase = page.flat ? kPhaseFlat : args.kind == 'L' ? kPhaseLeaves : kPhaseBranches;
  if (args.continuation.empty()) return 0;
  BrowseContinuation value;
  const ContinuationCheck check = DecodeContinuation(
      args.continuation, Generation(server),
      BrowseScopeHash(args.branch, args.pattern, args.kind, args.access), &value);
  if (check != ContinuationCheck::kValid) {
    reply = ContinuationRefusal(check);
    return 1;
  }
  // A flat page of a hierarchical server continues only where a flat list stood in: the root.
  if (value.phase == kPhaseFlat && !args.branch.empty()) {
    reply = ContinuationRefusal(ContinuationCheck::kOtherScope);
    return 1;
  }
  page.flat = page.flat || value.phase == kPhaseFlat;
  page.phase = value.phase;
  page.position = value.position;
  return 0;
}

HRESULT CAddressSpaceBrowser::ReadBranch(IOPCServer* server, IOPCBrowseServerAddressSpace* browse,
                                         const ResultNote& note, const BrowseArgs& args, Page& page,
                                         std::string& reply) {
  const WideString branch = MultiByteToWide(args.branch);
  HRESULT hr = S_OK;
  if (!page.flat) {
    hr = args.branch.empty() ? ToRoot(browse, note)
                             : note(browse->ChangeBrowsePosition(OPC_BROWSE_TO, branch.c_str()));
    if (FAILED(hr) && !IsServerLostCode(hr) && !args.branch.empty()) {
      const HRESULT walked = WalkDown(browse, note, branch);
      if (SUCCEEDED(walked) || IsServerLostCode(walked)) hr = walked;
    }
    if (FAILED(hr)) {
      reply = StringPrintf("Cannot browse to branch %s: %s", ListField(args.branch).c_str(),
                           ServerErrorText(server, hr).c_str());
      return hr;
    }
  }
  hr = ReadPage(browse, note, args, page);
  const bool atEmptyRoot = SUCCEEDED(hr) && !page.flat && args.branch.empty() &&
                           args.continuation.empty() && page.entries.empty() && args.kind != 'B';
  if (atEmptyRoot && RootIsEmpty(browse, note)) {
    page = Page{};
    page.flat = true;
    page.phase = kPhaseFlat;
    hr = ReadPage(browse, note, args, page);
  }
  if (SUCCEEDED(hr)) hr = FillIds(browse, note, page);
  if (FAILED(hr))
    reply = StringPrintf("Cannot list branch %s: %s", ListField(args.branch).c_str(),
                         ServerErrorText(server, hr).c_str());
  return hr;
}

int CAddressSpaceBrowser::Browse(IOPCServer* server, const ResultNote& note, const BrowseArgs& args,
                                 std::string& reply) {
  ComPtr<IOPCBrowseServerAddressSpace> browse;
  HRESULT hr = note(server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse.PutVoid()));
  if (FAILED(hr) || !browse) {
    reply = hr == E_NOINTERFACE
                ? "The OPC server does not offer browsing (no IOPCBrowseServerAddressSpace)"
                : StringPrintf("Cannot open IOPCBrowseServerAddressSpace : %x",
                               static_cast<unsigned>(hr));
    return FAILED(hr) ? hr : E_NOINTERFACE;
  }
  OPCNAMESPACETYPE organization = OPC_NS_HIERARCHIAL;
  hr = note(browse->QueryOrganization(&organization));
  if (IsServerLostCode(hr)) {
    reply = StringPrintf("IOPCBrowseServerAddressSpace::QueryOrganization failed : %x",
                         static_cast<unsigned>(hr));
    return hr;
  }
  Page page;
  page.flat = SUCCEEDED(hr) && organization == OPC_NS_FLAT;
  if (page.flat && !args.branch.empty()) {
    reply = StringPrintf(
        "The OPC server's address space is flat: it has no branch %s; browse "
        "its root",
        ListField(args.branch).c_str());
    return 1;
  }
  if (TakeContinuation(server, args, page, reply) != 0) return 1;
  hr = ReadBranch(server, browse.Get(), note, args, page, reply);
  if (FAILED(hr)) return hr;
  BrowseContinuation next;
  next.phase = page.nextPhase;
  next.position = page.nextPosition;
  next.generation = Generation(server);
  next.scope = BrowseScopeHash(args.branch, args.pattern, args.kind, args.access);
  reply = PageText(page, page.more ? EncodeContinuation(next) : std::string());
  return 0;
}

// --- Item properties ----------------------------------------------------------------------------

namespace {

struct Property {
  DWORD id = 0;
  VARTYPE type = VT_EMPTY;
  std::string description;
  HRESULT error = S_OK;
  std::string text;  // the value's, or the error's
};

// The properties the server offers for item, or its failure.
HRESULT Available(IOPCItemProperties* properties, const ResultNote& note, WideString& item,
                  std::vector<Property>& list) {
  DWORD count = 0;
  CoTaskPtr<DWORD> ids;
  CoTaskPtr<LPWSTR> descriptions;
  CoTaskPtr<VARTYPE> types;
  const HRESULT hr = note(properties->QueryAvailableProperties(item.data(), &count, ids.Put(),
                                                               descriptions.Put(), types.Put()));
  for (DWORD k = 0; SUCCEEDED(hr) && k < count; ++k) {
    Property property;
    property.id = ids.Get() != nullptr ? ids[k] : 0;
    property.type = types.Get() != nullptr ? types[k] : VARTYPE{VT_EMPTY};
    if (descriptions.Get() != nullptr) property.description = Narrow(descriptions[k]);
    list.push_back(std::move(property));
  }
  for (DWORD k = 0; descriptions.Get() != nullptr && k < count; ++k) CoTaskMemFree(descriptions[k]);
  return hr;
}

// GetItemProperties for ids; the per-property results into list (in the same order).
HRESULT ReadValues(IOPCServer* server, IOPCItemProperties* properties, const ResultNote& note,
                   WideString& item, std::vector<DWORD>& ids, std::vector<Property>& list) {
  CoTaskPtr<VARIANT> values;
  CoTaskPtr<HRESULT> errors;
  const HRESULT hr = note(properties->GetItemProperties(item.data(), static_cast<DWORD>(ids.size()),
                                                        ids.data(), values.Put(), errors.Put()));
  for (std::size_t k = 0; k < ids.size(); ++k) {
    Property& property = list[k];
    property.error = FAILED(hr) ? hr : errors.Get() != nullptr ? errors[k] : E_FAIL;
    if (SUCCEEDED(property.error) && values.Get() != nullptr)
      property.text = OpcValueText(values[k]);
    else
      property.text = ServerErrorText(server, property.error);
    if (SUCCEEDED(hr) && values.Get() != nullptr) VariantClear(&values[k]);
  }
  return hr;
}

std::string PropertiesText(const std::vector<Property>& list) {
  std::vector<std::string> lines;
  std::size_t failed = 0;
  for (const Property& p : list) {
    failed += FAILED(p.error) ? 1 : 0;
    lines.push_back(StringPrintf("%u\t%d\t%u\t", static_cast<unsigned>(p.id),
                                 static_cast<int>(p.error), static_cast<unsigned>(p.type)) +
                    ListField(p.description) + "\t" + ListField(p.text));
  }
  return ListReplyText(StringPrintf("properties, %u failed", static_cast<unsigned>(failed)), lines);
}

}  // namespace

int CAddressSpaceBrowser::Properties(IOPCServer* server, const ResultNote& note,
                                     const std::string& item, const std::vector<DWORD>& ids,
                                     std::string& reply) {
  ComPtr<IOPCItemProperties> properties;
  HRESULT hr = note(server->QueryInterface(IID_IOPCItemProperties, properties.PutVoid()));
  if (FAILED(hr) || !properties) {
    reply = hr == E_NOINTERFACE
                ? "The OPC server does not offer item properties (no IOPCItemProperties)"
                : StringPrintf("Cannot open IOPCItemProperties : %x", static_cast<unsigned>(hr));
    return FAILED(hr) ? hr : E_NOINTERFACE;
  }
  WideString wideItem = MultiByteToWide(item);
  std::vector<Property> offered;
  hr = Available(properties.Get(), note, wideItem, offered);
  if (FAILED(hr)) {
    reply = StringPrintf("Cannot read the properties of %s: %s", ListField(item).c_str(),
                         ServerErrorText(server, hr).c_str());
    return hr;
  }
  std::vector<Property> list;
  std::vector<DWORD> wanted = ids;
  for (const Property& p : offered)
    if (ids.empty()) wanted.push_back(p.id);
  for (DWORD id : wanted) {
    const auto found = std::find_if(offered.begin(), offered.end(),
                                    [id](const Property& p) { return p.id == id; });
    list.push_back(found != offered.end() ? *found : Property{id, VT_EMPTY, {}, S_OK, {}});
  }
  if (!wanted.empty()) hr = ReadValues(server, properties.Get(), note, wideItem, wanted, list);
  // A server that fails the whole call for one property: each one alone, so the others stand.
  for (std::size_t k = 0; FAILED(hr) && !IsServerLostCode(hr) && k < wanted.size(); ++k) {
    std::vector<DWORD> one{wanted[k]};
    std::vector<Property> single{list[k]};
    ReadValues(server, properties.Get(), note, wideItem, one, single);
    list[k] = std::move(single[0]);
  }
  if (IsServerLostCode(hr)) {
    reply = StringPrintf("IOPCItemProperties::GetItemProperties failed : %x",
                         static_cast<unsigned>(hr));
    return hr;
  }
  reply = PropertiesText(list);
  return 0;
}
