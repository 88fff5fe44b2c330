#include "protocol/list_reply.h"

std::string ListReplyText(std::string_view words, const std::vector<std::string>& lines) {
  std::string text = std::to_string(lines.size());
  text += ' ';
  text += words;
  for (const std::string& line : lines) {
    text += "\r\n";
    text += line;
  }
  return text;
}

std::string ListField(std::string_view text) {
  std::string field(text);
  for (char& c : field)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return field;
}
