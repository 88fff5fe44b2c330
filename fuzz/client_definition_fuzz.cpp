// Fuzzes the client's group-definition parser: any definition text must split into words and
// parse into groups, or be refused with a reason, without undefined behaviour; a parsed
// definition never holds more than 65535 items in a group.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "client/group_definition_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string reason;
  const auto words = SplitDefinitionWords(text, &reason);
  if (!words) {
    if (reason.empty()) std::abort();
    return 0;
  }
  for (const std::string& word : *words) (void)ParseDataType(word);
  reason.clear();
  const auto groups = ParseGroupDefinitions(*words, &reason);
  if (!groups) {
    if (reason.empty()) std::abort();
    return 0;
  }
  for (const GroupDefinition& group : *groups) {
    if (group.items.size() > 65535) std::abort();
  }
  return 0;
}
