#include "mqtt/disk_queue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr char kMagic[4] = {'Q', 'N', 'X', 'Q'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kEntryHead = 8;          // length, checksum
constexpr std::size_t kBodyFixed = 8 + 8 + 2;  // sequence, time, topic length
constexpr std::uint32_t kLongestBody = 1u << 20;
constexpr std::size_t kBufferLimit = 256 * 1024;

const std::array<std::uint32_t, 256>& CrcTable() {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  return table;
}

void Put(std::string& out, std::uint64_t value, int bytes) {
  for (int k = 0; k < bytes; ++k) out += static_cast<char>((value >> (8 * k)) & 0xFF);
}

std::uint64_t Get(const char* at, int bytes) {
  std::uint64_t value = 0;
  for (int k = bytes - 1; k >= 0; --k) value = (value << 8) | static_cast<unsigned char>(at[k]);
  return value;
}

bool ReadWhole(const std::string& path, std::string* text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char chunk[65536];
  ssize_t got = 0;
  while ((got = ::read(fd, chunk, sizeof chunk)) > 0) text->append(chunk, got);
  ::close(fd);
  return got == 0;
}

bool PreadAll(int fd, char* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t got = ::pread(fd, data, size, static_cast<off_t>(offset));
    if (got <= 0) return false;
    data += got, size -= static_cast<std::size_t>(got), offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

// The body of the entry at `offset` of an open segment, checked; nullopt when it is not whole.
std::optional<std::string> ReadBody(int fd, std::uint64_t offset) {
  char head[kEntryHead];
  if (!PreadAll(fd, head, sizeof head, offset)) return std::nullopt;
  const auto length = static_cast<std::uint32_t>(Get(head, 4));
  if (length < kBodyFixed || length > kLongestBody) return std::nullopt;
  std::string body(length, '\0');
  if (!PreadAll(fd, body.data(), length, offset + kEntryHead)) return std::nullopt;
  if (Crc32(body.data(), body.size()) != static_cast<std::uint32_t>(Get(head + 4, 4))) {
    return std::nullopt;
  }
  return body;
}

std::optional<QueuedEntry> Decode(const std::string& body) {
  QueuedEntry entry;
  entry.sequence = Get(body.data(), 8);
  entry.receivedMs = static_cast<std::int64_t>(Get(body.data() + 8, 8));
  const std::size_t topicLength = Get(body.data() + 16, 2);
  if (kBodyFixed + topicLength > body.size()) return std::nullopt;
  entry.topic = body.substr(kBodyFixed, topicLength);
  entry.payload = body.substr(kBodyFixed + topicLength);
  return entry;
}

}  // namespace

std::uint32_t Crc32(const void* data, std::size_t size) {
  const auto& table = CrcTable();
  std::uint32_t c = 0xFFFFFFFFu;
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t k = 0; k < size; ++k) c = table[(c ^ bytes[k]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

CDiskQueue::CDiskQueue(std::string directory, Limits limits, Log log)
    : m_directory(std::move(directory)), m_limits(limits), m_log(std::move(log)) {
  // Several segments within the budget, so that dropping one frees a small part of it.
  m_segmentLimit = std::clamp<std::uint64_t>(m_limits.maxBytes / 8, 4096, 8u << 20);
}

CDiskQueue::~CDiskQueue() {
  if (m_writeFd >= 0) {
    Sync();
    ::close(m_writeFd);
  }
  if (m_readFd >= 0) ::close(m_readFd);
}

bool CDiskQueue::Open(std::string* error) {
  struct stat info {};
  if (::stat(m_directory.c_str(), &info) != 0) {
    *error = "state_dir " + m_directory + ": " + std::strerror(errno) +
             " (create it, writable by the bridge)";
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    *error = "state_dir " + m_directory + ": not a directory";
    return false;
  }
  if (::access(m_directory.c_str(), W_OK | X_OK) != 0) {
    *error = "state_dir " + m_directory + ": cannot be written: " + std::strerror(errno);
    return false;
  }
  std::string acked;
  if (ReadWhole(m_directory + "/acked", &acked) && acked.size() == 12 &&
      Crc32(acked.data(), 8) == static_cast<std::uint32_t>(Get(acked.data() + 8, 4))) {
    m_acked = m_ackedSynced = Get(acked.data(), 8);
  }
  std::vector<std::pair<std::uint64_t, std::string>> files;
  if (DIR* dir = ::opendir(m_directory.c_str())) {
    while (const dirent* found = ::readdir(dir)) {
      unsigned long long first = 0;
      char tail[8] = {};
      if (std::sscanf(found->d_name, "queue-%20llu.%4s", &first, tail) == 2 &&
          std::string(tail) == "seg") {
        files.emplace_back(first, m_directory + "/" + found->d_name);
      }
    }
    ::closedir(dir);
  }
  std::sort(files.begin(), files.end());
  for (const auto& [first, path] : files) {
    Segment segment;
    segment.path = path;
    segment.first = first;
    if (!Scan(path, &segment)) continue;
    if (segment.last < segment.first || segment.last <= m_acked) {
      ::unlink(path.c_str());
      continue;
    }
    m_bytes += segment.bytes;
    m_segments.push_back(segment);
    m_nextSequence = std::max(m_nextSequence, segment.last + 1);
  }
  m_nextSequence = std::max(m_nextSequence, m_acked + 1) + m_skipSequences;
  m_handedOut = m_acked;
  if (!StartSegment()) {
    *error = "state_dir " + m_directory + ": cannot create a queue file: " + std::strerror(errno);
    return false;
  }
  return true;
}

bool CDiskQueue::Scan(const std::string& path, Segment* segment) {
  std::string text;
  if (!ReadWhole(path, &text)) {
    m_log("queue file " + path + " cannot be read (" + std::strerror(errno) + "): left alone");
    return false;
  }
  if (text.size() < kHeaderSize) {
    // Made just before a crash: nothing in it.
    ::unlink(path.c_str());
    return false;
  }
  if (text.compare(0, 4, kMagic, 4) != 0 || Get(text.data() + 4, 4) != kVersion) {
    m_log("queue file " + path +
          " is not of this version's format (from a newer bridge?): left alone, not replayed");
    return false;
  }
  std::size_t offset = kHeaderSize;
  std::uint64_t expected = segment->first;
  std::uint64_t entries = 0;
  while (offset + kEntryHead <= text.size()) {
    const auto length = static_cast<std::uint32_t>(Get(text.data() + offset, 4));
    if (length < kBodyFixed || length > kLongestBody ||
        offset + kEntryHead + length > text.size()) {
      break;
    }
    const char* body = text.data() + offset + kEntryHead;
    if (Crc32(body, length) != static_cast<std::uint32_t>(Get(text.data() + offset + 4, 4)) ||
        Get(body, 8) != expected) {
      break;
    }
    const auto at = static_cast<std::int64_t>(Get(body + 8, 8));
    if (entries == 0) segment->firstMs = at;
    segment->lastMs = at;
    ++entries, ++expected;
    offset += kEntryHead + length;
  }
  segment->last = segment->first + entries - 1;
  segment->bytes = offset;
  if (offset < text.size()) {
    const std::uint64_t lost = text.size() - offset;
    m_skipped += lost;
    // The cut entries may have gone out before the crash: their numbers are never used again.
    m_skipSequences += lost / (kEntryHead + kBodyFixed) + 1;
    m_log("queue file " + path + ": its last " + std::to_string(lost) +
          " bytes cannot be read (a write cut short by a crash or a power cut): skipped, the " +
          std::to_string(entries) + " entries before them kept");
    if (::truncate(path.c_str(), static_cast<off_t>(offset)) != 0) {
      m_log("queue file " + path + " cannot be shortened: " + std::strerror(errno));
    }
  }
  return true;
}

bool CDiskQueue::StartSegment() {
  if (m_writeFd >= 0) {
    WriteOut();
    ::fdatasync(m_writeFd);
    ::close(m_writeFd);
    m_writeFd = -1;
  }
  char name[64];
  std::snprintf(name, sizeof name, "/queue-%020llu.seg",
                static_cast<unsigned long long>(m_nextSequence));
  Segment segment;
  segment.path = m_directory + name;
  segment.first = m_nextSequence;
  segment.last = m_nextSequence - 1;
  m_writeFd =
      ::open(segment.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0640);
  if (m_writeFd < 0) return false;
  std::string header(kMagic, 4);
  Put(header, kVersion, 4);
  if (::write(m_writeFd, header.data(), header.size()) != static_cast<ssize_t>(header.size())) {
    ::close(m_writeFd);
    m_writeFd = -1;
    ::unlink(segment.path.c_str());
    return false;
  }
  segment.bytes = kHeaderSize;
  m_bytes += segment.bytes;
  m_segments.push_back(segment);
  m_newSegment = true;
  return true;
}

std::uint64_t CDiskQueue::Pending(const Segment& segment) const {
  const std::uint64_t from = std::max(segment.first, m_acked + 1);
  return segment.last >= from ? segment.last - from + 1 : 0;
}

void CDiskQueue::DropOldestSegment() {
  const Segment& oldest = m_segments.front();
  m_dropped += Pending(oldest);
  if (oldest.last > m_acked) m_acked = oldest.last, m_ackedMs = oldest.lastMs;
  m_handedOut = std::max(m_handedOut, m_acked);
  if (m_readPath == oldest.path && m_readFd >= 0) {
    ::close(m_readFd);
    m_readFd = -1;
    m_readPath.clear();
  }
  ::unlink(oldest.path.c_str());
  m_bytes -= oldest.bytes;
  m_segments.pop_front();
}

bool CDiskQueue::Append(const std::string& topic, const std::string& payload,
                        std::int64_t receivedMs) {
  if (m_writeFd < 0 && !StartSegment()) {
    ++m_dropped;
    return false;
  }
  const std::size_t size = kEntryHead + kBodyFixed + topic.size() + payload.size();
  if (size - kEntryHead > kLongestBody || topic.size() > 0xFFFF) {
    ++m_dropped;
    return false;
  }
  if (m_bytes + size > m_limits.maxBytes) {
    if (m_limits.dropNew) {
      ++m_dropped;
      return false;
    }
    while (m_bytes + size > m_limits.maxBytes && m_segments.size() > 1) DropOldestSegment();
    if (m_bytes + size > m_limits.maxBytes && m_segments.back().last >= m_segments.back().first) {
      if (StartSegment()) {
        while (m_bytes + size > m_limits.maxBytes && m_segments.size() > 1) DropOldestSegment();
      }
    }
    if (m_bytes + size > m_limits.maxBytes) {
      ++m_dropped;
      return false;
    }
  }
  if (m_segments.back().bytes + size > m_segmentLimit &&
      m_segments.back().last >= m_segments.back().first) {
    if (!StartSegment()) {
      ++m_dropped;
      return false;
    }
  }
  std::string body;
  body.reserve(size - kEntryHead);
  Put(body, m_nextSequence, 8);
  Put(body, static_cast<std::uint64_t>(receivedMs), 8);
  Put(body, topic.size(), 2);
  body += topic;
  body += payload;
  Put(m_buffer, body.size(), 4);
  Put(m_buffer, Crc32(body.data(), body.size()), 4);
  m_buffer += body;
  ++m_buffered;
  Segment& segment = m_segments.back();
  if (segment.last < segment.first) segment.firstMs = receivedMs;
  segment.last = m_nextSequence++;
  segment.lastMs = receivedMs;
  segment.bytes += size;
  m_bytes += size;
  if (m_buffer.size() >= kBufferLimit) return WriteOut();
  return true;
}

bool CDiskQueue::WriteOut() {
  if (m_buffer.empty() || m_writeFd < 0) return true;
  std::size_t written = 0;
  while (written < m_buffer.size()) {
    const ssize_t done = ::write(m_writeFd, m_buffer.data() + written, m_buffer.size() - written);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) break;
    written += static_cast<std::size_t>(done);
  }
  if (written == m_buffer.size()) {
    m_buffer.clear();
    m_buffered = 0;
    return true;
  }
  // A full disk (or a failing one): the buffered entries are lost; the file is cut back to
  // what was whole, and the oldest segment goes to make room unless new entries are refused.
  Segment& segment = m_segments.back();
  const std::uint64_t before = segment.bytes - m_buffer.size();
  if (::ftruncate(m_writeFd, static_cast<off_t>(before)) != 0) {
    // Left as it is: the next opening cuts it at the torn entry.
  }
  m_dropped += m_buffered;
  segment.last -= m_buffered;
  m_bytes -= m_buffer.size();
  segment.bytes = before;
  m_buffer.clear();
  m_buffered = 0;
  if (!m_limits.dropNew && m_segments.size() > 1) DropOldestSegment();
  return false;
}

void CDiskQueue::Flush() {
  WriteOut();
}

void CDiskQueue::WriteAcked() {
  if (m_acked == m_ackedSynced) return;
  std::string text;
  Put(text, m_acked, 8);
  Put(text, Crc32(text.data(), 8), 4);
  const std::string temporary = m_directory + "/acked.new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (fd < 0) return;
  const bool whole = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  if (whole && ::rename(temporary.c_str(), (m_directory + "/acked").c_str()) == 0) {
    m_ackedSynced = m_acked;
  }
}

void CDiskQueue::Sync() {
  WriteOut();
  if (m_writeFd >= 0) ::fdatasync(m_writeFd);
  if (m_newSegment) {
    const int dir = ::open(m_directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      ::fsync(dir);
      ::close(dir);
    }
    m_newSegment = false;
  }
  WriteAcked();
}

std::optional<QueuedEntry> CDiskQueue::Next(std::int64_t) {
  WriteOut();
  std::uint64_t want = std::max(m_handedOut, m_acked) + 1;
  for (const Segment& segment : m_segments) {
    if (segment.last < want || segment.last < segment.first) continue;
    want = std::max(want, segment.first);
    if (m_readPath != segment.path || m_readFd < 0) {
      if (m_readFd >= 0) ::close(m_readFd);
      m_readFd = ::open(segment.path.c_str(), O_RDONLY | O_CLOEXEC);
      m_readPath = segment.path;
      m_readOffset = kHeaderSize;
      if (m_readFd < 0) {
        m_log("queue file " + segment.path + " cannot be read: " + std::strerror(errno) +
              ": its entries are skipped");
        m_handedOut = segment.last;
        continue;
      }
    }
    while (m_readOffset < segment.bytes) {
      const auto body = ReadBody(m_readFd, m_readOffset);
      auto entry = body ? Decode(*body) : std::nullopt;
      if (!entry) break;
      m_readOffset += kEntryHead + body->size();
      if (entry->sequence < want) continue;
      m_handedOut = entry->sequence;
      return entry;
    }
    // What is left of this segment cannot be read (changed under the bridge): skipped.
    m_log("queue file " + segment.path + " cannot be read past byte " +
          std::to_string(m_readOffset) + ": its remaining entries are skipped");
    m_handedOut = segment.last;
    want = segment.last + 1;
  }
  return std::nullopt;
}

void CDiskQueue::Acknowledge(std::uint64_t sequence, std::int64_t receivedMs) {
  if (sequence <= m_acked) return;
  m_acked = sequence;
  m_ackedMs = receivedMs;
  m_handedOut = std::max(m_handedOut, m_acked);
  Tidy();
}

void CDiskQueue::Tidy() {
  while (m_segments.size() > 1 && m_segments.front().last <= m_acked) {
    const Segment& done = m_segments.front();
    if (m_readPath == done.path && m_readFd >= 0) {
      ::close(m_readFd);
      m_readFd = -1;
      m_readPath.clear();
    }
    ::unlink(done.path.c_str());
    m_bytes -= done.bytes;
    m_segments.pop_front();
  }
  // The written segment once all of it went out and it holds a fair amount: a fresh one, so the
  // disk is freed (not for every few entries, which would make a file each time).
  const Segment& last = m_segments.back();
  if (m_segments.size() == 1 && last.last >= last.first && last.last <= m_acked &&
      m_buffer.empty() && last.bytes >= std::min<std::uint64_t>(m_segmentLimit, 64 * 1024)) {
    StartSegment();
    Tidy();
  }
}

void CDiskQueue::Rewind() {
  m_handedOut = m_acked;
  if (m_readFd >= 0) ::close(m_readFd);
  m_readFd = -1;
  m_readPath.clear();
}

void CDiskQueue::Expire(std::int64_t nowMs) {
  const std::int64_t limit = nowMs - m_limits.maxAgeS * 1000;
  while (!m_segments.empty() && Pending(m_segments.front()) > 0 &&
         m_segments.front().lastMs < limit) {
    if (m_segments.size() == 1 && !StartSegment()) return;
    DropOldestSegment();
  }
}

std::uint64_t CDiskQueue::Count() const {
  std::uint64_t count = 0;
  for (const Segment& segment : m_segments) count += Pending(segment);
  return count;
}

std::uint64_t CDiskQueue::Bytes() const {
  return m_bytes;
}

std::optional<std::int64_t> CDiskQueue::OldestMs() const {
  for (const Segment& segment : m_segments) {
    if (Pending(segment) == 0) continue;
    return segment.first > m_acked ? segment.firstMs : std::max(segment.firstMs, m_ackedMs);
  }
  return std::nullopt;
}
