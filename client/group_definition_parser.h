// Reads group definitions for "define" from words, as given on the command line or in a file.
//
// Grammar (words, case-insensitive keywords):
//   group NAME [A|N|active|inactive] [RATE]      a group; RATE in milliseconds
//   item  ID   [A|N|active|inactive] [TYPE]      an item of the group before it
// TYPE is a VARTYPE number or name (VT_I2 or I2, ...); absent: 0, the server's own type. The
// word after "group" or "item" is always the name, so a group may be called "item". In a file,
// words are separated by blanks and line ends, double quotes keep blanks inside a word, and a
// word starting with # comments out the rest of its line.
//
// Error rule: nothing throws; nullopt with a reason naming the word at fault.
// Thread rule: any thread. Ownership: values returned.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/request_builder.h"

std::optional<std::vector<GroupDefinition>> ParseGroupDefinitions(
    const std::vector<std::string>& words, std::string* reason);

// Splits a definition file's text into words.
std::optional<std::vector<std::string>> SplitDefinitionWords(const std::string& text,
                                                             std::string* reason);

// A VARTYPE given as a number (0 to 65535) or a name such as VT_I4, I4, VT_BOOL.
std::optional<std::uint16_t> ParseDataType(const std::string& word);
