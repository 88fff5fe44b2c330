// Request builders: the exact bytes of every request the gateway understands.
//
// Each function returns the whole request of one connection: the first line with the command
// and its TAB-separated arguments, then the argument lines, every line ended by CR LF. Counts
// are derived from the lists given. Requests whose list ends at an empty line (refresh, query,
// and an empty activation or removal list) end with that empty line.
//
// Error rule: a request the gateway could not read as meant throws std::invalid_argument with
// the reason: a text holding TAB, CR, LF or NUL, a line longer than the gateway keeps (99
// characters with its CR LF), a list longer than 65535 entries, an empty name, item ID or
// value, and a read or write without items.
// Thread rule: any thread. Ownership: values returned.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// One item of a group definition (an "AD" item line).
struct ItemDefinition {
  std::string itemId;          // in the gateway's code page
  bool active = true;          // sent as "A" or "N"
  std::uint16_t dataType = 0;  // requested VARTYPE; 0 asks for the server's canonical type
};

// One group of a definition request (an "AD" group line and its item lines).
struct GroupDefinition {
  std::string name;                        // in the gateway's code page
  bool active = true;                      // sent as "A" or "N"
  std::optional<std::int32_t> updateRate;  // milliseconds; the gateway uses 500 when absent
  std::vector<ItemDefinition> items;
};

// One item line of a write request: item index and the value as decimal text.
struct ItemWrite {
  std::uint16_t item = 0;
  std::string value;
};

// The longest line the gateway keeps whole, CR LF included.
constexpr std::size_t kLongestRequestLine = 99;

std::string HeartbeatRequest();  // "HBT"
std::string ExitRequest();       // "Exit"
std::string StatusRequest();     // "ST"
// "AD": the group count, then the receive port when it is not 0 (0: the gateway's default).
std::string DefineGroupsRequest(const std::vector<GroupDefinition>& groups,
                                std::uint16_t receivePort = 0);
// "TD": as "AD"; the groups' value-change and read-complete datagrams are the typed kinds.
std::string DefineTypedGroupsRequest(const std::vector<GroupDefinition>& groups,
                                     std::uint16_t receivePort = 0);
// "RM": the count and one index per line; an empty list is sent as "RM" and an empty line.
std::string RemoveGroupsRequest(const std::vector<int>& groups);
// "AC": the state ("A" or "N"), the count, one index per line; an empty list as for "RM".
std::string SetGroupsActiveRequest(bool active, const std::vector<int>& groups);
// "AC" with the state field as given (the gateway activates when it begins with "A").
std::string SetGroupsStateRequest(const std::string& state, const std::vector<int>& groups);
// "RF": the transaction number (unsigned), one index per line, an empty line.
std::string RefreshGroupsRequest(std::uint32_t transactionId, const std::vector<int>& groups);
// "Q?": one name per line, an empty line.
std::string QueryGroupIndexesRequest(const std::vector<std::string>& names);
// "SR": group, item count, transaction id (unused by the gateway), one item index per line.
std::string ReadSyncRequest(int group, const std::vector<std::uint16_t>& items,
                            std::uint32_t transactionId = 0);
// "AR": as "SR"; the read-complete datagrams carry the transaction id.
std::string ReadAsyncRequest(int group, const std::vector<std::uint16_t>& items,
                             std::uint32_t transactionId);
// "TR": group, item count, "C" when the values come from the server's cache (else the device),
// one item index per line.
std::string ReadTypedRequest(int group, const std::vector<std::uint16_t>& items, bool fromCache);
// "SW": group, item count, then "index TAB value" per line.
std::string WriteSyncRequest(int group, const std::vector<ItemWrite>& items);
// "AW": group, item count, transaction id, then the item lines.
std::string WriteAsyncRequest(int group, const std::vector<ItemWrite>& items,
                              std::uint32_t transactionId);

// One "BR" request: a page of a branch's children.
struct BrowseQuery {
  std::string branch;        // the branch's ID from an earlier page; empty for the root
  std::string pattern;       // the server's name filter; empty for every name
  std::string continuation;  // from the previous page's reply; empty for the first page
  int pageSize = 100;        // 1 to 1000
  char kind = '*';           // '*' all, 'B' branches, 'L' leaves
  std::string access = "*";  // "*", "R", "W" or "RW"
};
// "BR": page size, kind and access on the first line, then the branch, the pattern and the
// continuation on a line each (an empty line for an empty one).
std::string BrowseRequest(const BrowseQuery& query);
// "IP": the item ID, then the property ids TAB-separated (an empty line for every property).
std::string ItemPropertiesRequest(const std::string& itemId, const std::vector<std::uint32_t>& ids);
