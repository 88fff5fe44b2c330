// Browsing the OPC server's address space ("BR") and reading item properties ("IP") for remote
// clients: one level per request, paged by the gateway (DA 2.0 has no paging), and every property
// with its own result.
//
// A browse positions the server absolutely every time (OPC_BROWSE_TO; for a server that refuses
// it, a walk down from the root), so concurrent clients never see each other's position. A page
// is read from the server's IEnumString with Skip and Next: only the page's strings (and one to
// learn whether more follow) cross to the gateway. A flat server, or a hierarchical one whose root
// is empty, answers the root with its OPC_FLAT list. Replies carrying entries are list replies
// (list_reply.h); a refusal is one line.
//
// Error rule: returns the reply code and sets the reply text; every server call's result passes
// through the caller's note (loss detection) before it is looked at. Never throws except
// std::bad_alloc. Thread rule: the thread that owns the server connection (the UI thread).
// Ownership: the server is borrowed for the call; nothing from the server is kept.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "opc/opcda.h"

class CAddressSpaceBrowser {
public:
  // Passes a server call's result to the connection's loss detection; returns it unchanged.
  using ResultNote = std::function<HRESULT(HRESULT)>;

  static constexpr int kDefaultPageSize = 100;
  static constexpr int kMaxPageSize = 1000;

  struct BrowseArgs {
    int pageSize = kDefaultPageSize;
    char kind = '*';           // '*' branches and leaves, 'B' branches only, 'L' leaves only
    DWORD access = 0;          // OPC_READABLE and/or OPC_WRITEABLE that leaves must have; 0 any
    std::string branch;        // the branch's ID, as a browse reply gave it; empty for the root
    std::string pattern;       // the server's name filter; empty for every name
    std::string continuation;  // empty for the first page
  };

  // One page of the branch's children. The reply code and text as in docs/protocol.md ("BR").
  int Browse(IOPCServer* server, const ResultNote& note, const BrowseArgs& args,
             std::string& reply);

  // The properties of item: those in ids, or every one the server offers when ids is empty.
  int Properties(IOPCServer* server, const ResultNote& note, const std::string& item,
                 const std::vector<DWORD>& ids, std::string& reply);

  struct Page;  // one page being read (address_space_browser.cpp)

private:
  // The generation of the current server connection: a new server object starts a new one.
  std::uint32_t Generation(IOPCServer* server);
  // Checks args.continuation into page's start; 0, or 1 with the refusal in reply.
  int TakeContinuation(IOPCServer* server, const BrowseArgs& args, Page& page, std::string& reply);
  // Positions the server and reads the page (the flat list at an empty root). S_OK, or the
  // failure with reply set.
  HRESULT ReadBranch(IOPCServer* server, IOPCBrowseServerAddressSpace* browse,
                     const ResultNote& note, const BrowseArgs& args, Page& page,
                     std::string& reply);

  IOPCServer* m_lastServer = nullptr;
  std::uint32_t m_generation = 0;
};
