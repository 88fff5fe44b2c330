#include "net/received_request.h"

#include "platform/socket_api.h"

void CReceivedRequest::AddLine(std::string_view kept, int length, bool empty, bool refused) {
  if (m_lines.empty()) {
    // Room for a request of a few dozen lines at once: most requests then take three
    // allocations, not one per line and field.
    m_text.reserve(kReservedText);
    m_lines.reserve(kReservedLines);
    m_fieldStarts.reserve(kReservedFields);
  }
  Line line;
  line.length = length;
  line.empty = empty;
  line.refused = refused;
  line.text = static_cast<std::uint32_t>(m_text.size());
  line.kept = static_cast<std::uint32_t>(kept.size());
  line.firstField = static_cast<std::uint32_t>(m_fieldStarts.size());
  m_text.append(kept);
  m_text.push_back('\0');
  m_lines.push_back(line);
}

void CReceivedRequest::AddField(std::uint32_t offset, std::uint32_t size) {
  Line& line = m_lines.back();
  const std::uint32_t start = line.text + offset;
  m_fieldStarts.push_back(start);
  ++line.fieldCount;
  // The byte after a field is a separator or the line's own NUL.
  m_text[start + size] = '\0';
}

void CReceivedRequest::Finish(const std::optional<CBlockingSocketException>& failure) {
  m_end = failure;
  m_framed = true;
  m_linesTaken = 0;
}

void CReceivedRequest::ThrowPastEnd() const {
  if (m_end) {
    SetSocketLastError(m_end->m_nErrorCode);
    throw *m_end;
  }
  throw CBlockingSocketException("Receive timeout");
}

void CReceivedRequest::Clear() {
  m_text.clear();
  m_fieldStarts.clear();
  m_lines.clear();
  m_end.reset();
  m_framed = false;
  m_linesTaken = 0;
}
