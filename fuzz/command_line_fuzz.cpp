// Fuzzes the gateway's command line with the protection options: any line must parse without
// undefined behaviour; a line without an error leaves every limit at 1 or more, and an allow
// list that was given allows something. The allow-list parser is also fed the raw bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const CommandLineOptions options = ParseCommandLine(bytes);
  if (options.optionError.empty()) {
    if (options.protection.maxConnections < 1 || options.requests.maxGroups < 1 ||
        options.requests.maxItems < 1)
      std::abort();
  }
  CAllowList list;
  if (list.Parse(bytes)) {
    // Every entry is an address of the list: its own first address is allowed.
    std::uint32_t first = 0;
    const std::string_view entry = bytes.substr(0, bytes.find_first_of(",/"));
    if (!CAllowList::ParseAddress(entry, first) || !list.Allows(first)) std::abort();
  } else if (!list.Empty()) {
    std::abort();  // a refused text leaves the list as it was
  }
  return 0;
}
