// "BR" (browse one level of the server's address space) and "IP" (item properties): the request
// lines, read and checked before any server call, handed to CAddressSpaceBrowser.
#include "protocol/address_space_browser.h"
#include "protocol/handler_text.h"
#include "protocol/request_dispatcher.h"

namespace {

// The first field of the next line, or "" for an empty or missing line.
std::string TakeLineField(CRequestTokenizer& line) {
  line.ReadLine();
  if (line.IsEmptyLine()) return std::string();
  const char* field = line.NextToken();
  return field != nullptr ? field : "";
}

// The first line's optional fields of "BR": page size, kind, access. False with the refusal.
bool TakeBrowseOptions(CRequestTokenizer& line, CAddressSpaceBrowser::BrowseArgs& args,
                       std::string& reply) {
  using Browser = CAddressSpaceBrowser;
  const char* size = line.NextToken();
  if (size != nullptr) {
    args.pageSize = CRequestTokenizer::ToInt(size);
    if (args.pageSize < 1 || args.pageSize > Browser::kMaxPageSize) {
      reply = StringPrintf("Invalid page size: %s (1 to %d)", size, Browser::kMaxPageSize);
      return false;
    }
  }
  const char* kindField = line.NextToken();
  const std::string kind = kindField != nullptr ? kindField : "*";
  if (kind == "B" || kind == "L" || kind == "*") {
    args.kind = kind[0];
  } else {
    reply = StringPrintf("Invalid browse kind: %s (* for all, B branches, L leaves)", kind.c_str());
    return false;
  }
  const char* access = line.NextToken();
  const std::string rights = access != nullptr ? access : "*";
  if (rights == "R" || rights == "W" || rights == "RW" || rights == "*") {
    args.access = (rights.find('R') != rights.npos ? OPC_READABLE : 0) |
                  (rights.find('W') != rights.npos ? OPC_WRITEABLE : 0);
    return true;
  }
  reply = StringPrintf("Invalid access filter: %s (* for all, R, W or RW)", rights.c_str());
  return false;
}

}  // namespace

int CRequestDispatcher::BrowseCommand(CHttpBlockingSocket&, CRequestTokenizer& line,
                                      std::string& reply) {
  CAddressSpaceBrowser::BrowseArgs args;
  if (!TakeBrowseOptions(line, args, reply)) return 1;
  args.branch = TakeLineField(line);
  args.pattern = TakeLineField(line);
  args.continuation = TakeLineField(line);
  return m_browser.Browse(
      m_connection.Server(), [this](HRESULT hr) { return m_connection.NoteServerResult(hr); }, args,
      reply);
}

int CRequestDispatcher::PropertiesCommand(CHttpBlockingSocket&, CRequestTokenizer& line,
                                          std::string& reply) {
  const std::string item = TakeLineField(line);
  if (item.empty()) {
    reply = "Missing item ID";
    return 1;
  }
  std::vector<DWORD> ids;
  line.ReadLine();
  for (const char* field = line.IsEmptyLine() ? nullptr : line.NextToken(); field != nullptr;
       field = line.NextToken()) {
    const std::int32_t id = CRequestTokenizer::ToInt(field);
    if (id <= 0 || field[0] < '0' || field[0] > '9') {
      reply = StringPrintf("Invalid property id: %s", field);
      return 1;
    }
    ids.push_back(static_cast<DWORD>(id));
  }
  return m_browser.Properties(
      m_connection.Server(), [this](HRESULT hr) { return m_connection.NoteServerResult(hr); }, item,
      ids, reply);
}
