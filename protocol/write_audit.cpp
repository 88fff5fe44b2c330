#include "protocol/write_audit.h"

#include <algorithm>
#include <utility>

#include "core/activity_log.h"
#include "platform/codepage.h"
#include "platform/string_format.h"
#include "platform/text_line.h"

const char kAuditFileName[] = "RV_Morvantel.audit.log";

namespace {

void AppendHexByte(std::string& out, unsigned byte) {
  out += StringPrintf("\\x%02X", byte & 0xFFu);
}

// One character of a field, escaped where it could split a field or a line.
void AppendCodePoint(std::string& out, char32_t c) {
  switch (c) {
    case U'\\':
      out += "\\\\";
      return;
    case U'\t':
      out += "\\t";
      return;
    case U'\r':
      out += "\\r";
      return;
    case U'\n':
      out += "\\n";
      return;
    default:
      break;
  }
  if (c < 0x20 || c == 0x7F) {
    AppendHexByte(out, static_cast<unsigned>(c));
  } else if (c < 0x80) {
    out += static_cast<char>(c);
  } else if ((c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
             (c >= 0xD800 && c <= 0xDFFF)) {
    // Line breaks to some readers (and unpaired surrogates, which are no text).
    out += StringPrintf("\\u%04X", static_cast<unsigned>(c));
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// "2026-12-09T03:30:01.123Z" (the civil date from the day count, so no time-zone call is
// needed).
std::string UtcTimeText(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
  long long days = ms / 86400000;
  long long inDay = ms % 86400000;
  if (inDay < 0) {
    inDay += 86400000;
    --days;
  }
  const long long z = days + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long day = doy - (153 * mp + 2) / 5 + 1;
  const long long month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  return StringPrintf("%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ", year, month, day,
                      inDay / 3600000, inDay / 60000 % 60, inDay / 1000 % 60, inDay % 1000);
}

}  // namespace

CWriteAudit::CWriteAudit(std::string fileName) : m_fileName(std::move(fileName)) {}

bool CWriteAudit::Ready() {
  const auto now = std::chrono::steady_clock::now();
  std::error_code failed;
  std::filesystem::path directory = std::filesystem::current_path(failed);
  if (m_file.IsOpen() && directory != m_directory) m_file.Close();
  if (m_file.IsOpen() && now >= m_nextCheck) {
    if (!m_file.StillAt(m_fileName.c_str())) m_file.Close();
    m_nextCheck = now + kLogFileCheckInterval;
  }
  if (!m_file.IsOpen()) {
    m_writable = m_file.Open(m_fileName.c_str());
    if (!m_writable) return false;
    m_directory = std::move(directory);
    m_nextCheck = now + kLogFileCheckInterval;
  }
  return true;
}

bool CWriteAudit::Record(const AuditEntry& entry) {
  try {
    if (!Ready()) return false;
    std::string line = Line(entry, std::chrono::system_clock::now());
    line += kTextLineEnd;
    // One write per line, so that a line is never split.
    m_writable = m_file.Append(line.data(), line.size());
    if (!m_writable) m_file.Close();
    return m_writable;
  } catch (...) {
    return false;  // no memory for the line
  }
}

std::string CWriteAudit::Line(const AuditEntry& entry, std::chrono::system_clock::time_point when) {
  std::string line = UtcTimeText(when);
  const auto add = [&line](const std::string& field) {
    line += '\t';
    line += field;
  };
  add(Field(entry.client));
  add(Field(entry.command));
  add(Field(entry.groupIndex));
  add(Field(entry.groupName));
  add(Field(entry.result));
  add(Field(entry.reason));
  add(std::to_string(entry.items.size()));
  for (const AuditedItem& item : entry.items) {
    add(Field(item.index));
    add(Field(item.itemId));
    add(Field(item.value));
    add(Field(item.outcome));
  }
  return line;
}

std::string CWriteAudit::Field(std::string_view codePageText) {
  const WideString wide = MultiByteToWide(codePageText);
  // Text when it converts back to the same bytes and holds no character that stands for bytes
  // the code page does not define (a Windows code page maps them into the private use area).
  const bool text = WideToMultiByte(wide) == codePageText &&
                    std::none_of(wide.begin(), wide.end(), [](WideChar c) {
                      const auto unit = static_cast<char16_t>(c);
                      return unit == 0xFFFD || (unit >= 0xE000 && unit <= 0xF8FF);
                    });
  if (text) return Field(WideStringView(wide));
  // Not text of the code page: every byte outside printable ASCII is written as its value.
  std::string out;
  for (const char byte : codePageText) {
    const auto c = static_cast<unsigned char>(byte);
    if (c >= 0x80)
      AppendHexByte(out, c);
    else
      AppendCodePoint(out, c);
  }
  return out;
}

std::string CWriteAudit::Field(WideStringView text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    char32_t c = static_cast<char16_t>(text[at]);
    if (c >= 0xD800 && c <= 0xDBFF && at + 1 < text.size()) {
      const char32_t low = static_cast<char16_t>(text[at + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++at;
      }
    }
    AppendCodePoint(out, c);
  }
  return out;
}
