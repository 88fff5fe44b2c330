#include "client/group_definition_parser.h"

#include <cctype>

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::optional<long long> WholeNumber(const std::string& word) {
  if (word.empty() || word.size() > 11) return std::nullopt;
  std::size_t at = word[0] == '-' ? 1 : 0;
  if (at == word.size()) return std::nullopt;
  long long value = 0;
  for (; at < word.size(); ++at) {
    if (!std::isdigit(static_cast<unsigned char>(word[at]))) return std::nullopt;
    value = value * 10 + (word[at] - '0');
  }
  return word[0] == '-' ? -value : value;
}

std::optional<bool> ActiveFlag(const std::string& word) {
  const std::string lower = Lower(word);
  if (lower == "a" || lower == "active") return true;
  if (lower == "n" || lower == "inactive") return false;
  return std::nullopt;
}

struct DataTypeName {
  const char* name;
  std::uint16_t type;
};

constexpr DataTypeName kDataTypes[] = {
    {"empty", 0}, {"i2", 2},   {"i4", 3},   {"r4", 4},    {"r8", 5},
    {"cy", 6},    {"date", 7}, {"bstr", 8}, {"bool", 11}, {"i1", 16},
    {"ui1", 17},  {"ui2", 18}, {"ui4", 19}, {"i8", 20},   {"ui8", 21},
};

}  // namespace

std::optional<std::uint16_t> ParseDataType(const std::string& word) {
  if (const auto number = WholeNumber(word)) {
    if (*number < 0 || *number > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(*number);
  }
  std::string name = Lower(word);
  if (name.rfind("vt_", 0) == 0) name = name.substr(3);
  for (const DataTypeName& entry : kDataTypes) {
    if (name == entry.name) return entry.type;
  }
  return std::nullopt;
}

std::optional<std::vector<GroupDefinition>> ParseGroupDefinitions(
    const std::vector<std::string>& words, std::string* reason) {
  auto fail = [reason](std::string text) -> std::optional<std::vector<GroupDefinition>> {
    if (reason != nullptr) *reason = std::move(text);
    return std::nullopt;
  };
  std::vector<GroupDefinition> groups;
  std::size_t at = 0;
  while (at < words.size()) {
    const std::string keyword = Lower(words[at]);
    if (keyword != "group" && keyword != "item") {
      return fail("expected \"group\" or \"item\", found \"" + words[at] + "\"");
    }
    if (at + 1 >= words.size()) return fail("\"" + words[at] + "\" without a name");
    const std::string name = words[at + 1];
    at += 2;
    std::optional<bool> active;
    if (at < words.size()) {
      active = ActiveFlag(words[at]);
      if (active) ++at;
    }
    const bool nextIsKeyword =
        at >= words.size() || Lower(words[at]) == "group" || Lower(words[at]) == "item";
    if (keyword == "group") {
      GroupDefinition group;
      group.name = name;
      group.active = active.value_or(true);
      if (!nextIsKeyword) {
        const auto rate = WholeNumber(words[at]);
        if (!rate || *rate < INT32_MIN || *rate > INT32_MAX) {
          return fail("group \"" + name + "\": \"" + words[at] +
                      "\" is neither A/N nor an update rate in milliseconds");
        }
        group.updateRate = static_cast<std::int32_t>(*rate);
        ++at;
      }
      groups.push_back(std::move(group));
    } else {
      if (groups.empty()) return fail("item \"" + name + "\" comes before any group");
      ItemDefinition item;
      item.itemId = name;
      item.active = active.value_or(true);
      if (!nextIsKeyword) {
        const auto type = ParseDataType(words[at]);
        if (!type) {
          return fail("item \"" + name + "\": \"" + words[at] +
                      "\" is neither A/N nor a data type (a VARTYPE number or a name like VT_I4)");
        }
        item.dataType = *type;
        ++at;
      }
      groups.back().items.push_back(std::move(item));
    }
  }
  if (groups.empty()) return fail("no group given");
  return groups;
}

std::optional<std::vector<std::string>> SplitDefinitionWords(const std::string& text,
                                                             std::string* reason) {
  std::vector<std::string> words;
  std::size_t at = 0;
  int line = 1;
  while (at < text.size()) {
    const char c = text[at];
    if (c == '\n') {
      ++line;
      ++at;
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r') {
      ++at;
      continue;
    }
    if (c == '#') {
      while (at < text.size() && text[at] != '\n') ++at;
      continue;
    }
    std::string word;
    if (c == '"') {
      const std::size_t end = text.find('"', at + 1);
      if (end == std::string::npos || text.find('\n', at) < end) {
        if (reason != nullptr) *reason = "line " + std::to_string(line) + ": unclosed quote";
        return std::nullopt;
      }
      word = text.substr(at + 1, end - at - 1);
      at = end + 1;
    } else {
      while (at < text.size() && text[at] != ' ' && text[at] != '\t' && text[at] != '\r' &&
             text[at] != '\n') {
        word += text[at++];
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}
