// The bridge's queue on disk: value messages that could not go to the broker, kept in order
// until the broker has acknowledged them.
//
// Layout: the state directory holds segment files "queue-<first sequence number>.seg" and one
// file "acked" (the highest sequence number the broker acknowledged, with a checksum). A segment
// starts with the 8 bytes "QNXQ" and a version (1, little-endian u32); each entry is
//   u32 body length, u32 CRC-32 of the body, body = u64 sequence number, i64 milliseconds since
//   1970 when the bridge received the change, u16 topic length, topic, message text.
// Entries are only ever appended; a segment is deleted whole once every entry in it is
// acknowledged, dropped or too old. Sequence numbers grow by one per entry and go on across
// restarts: a consumer tells a repeat by a sequence number it has already seen.
//
// Write and sync policy: Append keeps entries in a buffer that Flush (every turn of the
// bridge's loop, at most 100 ms apart) hands to the kernel, and Sync (once a second and at the
// end) forces to the disk with the acknowledged position. A killed bridge loses at most what the
// last turn appended; a power cut at most the last second. At opening, a segment is read through
// and cut at its first entry whose length or checksum is wrong (a torn write): the good part is
// kept, what follows counted and logged, and the sequence numbers the cut part could have held
// are not used again. A segment of a newer version is left alone and logged.
//
// Limits: at most maxBytes on disk (entries dropped by whole segments: the oldest, or the new
// ones refused, as the policy says); entries older than maxAgeS are dropped. A write that fails
// (a full disk) counts like a full queue. Every drop is counted; the owner logs the counts.
//
// Error rule: nothing throws except std::bad_alloc; Open returns false with a message naming the
// directory. Thread rule: one thread. Ownership: owns its files' descriptors.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

struct QueuedEntry {
  std::uint64_t sequence = 0;
  std::int64_t receivedMs = 0;
  std::string topic;
  std::string payload;
};

class CDiskQueue {
public:
  struct Limits {
    std::uint64_t maxBytes = 1024ull * 1024 * 1024;
    std::int64_t maxAgeS = 7 * 24 * 3600;
    bool dropNew = false;  // true: a full queue refuses new entries; false: drops the oldest
  };
  using Log = std::function<void(const std::string&)>;

  CDiskQueue(std::string directory, Limits limits, Log log);
  ~CDiskQueue();
  CDiskQueue(const CDiskQueue&) = delete;
  CDiskQueue& operator=(const CDiskQueue&) = delete;

  bool Open(std::string* error);
  // False when the entry was dropped (queue full, disk full).
  bool Append(const std::string& topic, const std::string& payload, std::int64_t receivedMs);
  void Flush();
  void Sync();
  // The next entry not yet handed out since the last Rewind (oldest first), or nullopt.
  std::optional<QueuedEntry> Next(std::int64_t nowMs);
  // Everything up to and including the sequence number reached the broker; receivedMs is that
  // entry's (for OldestMs).
  void Acknowledge(std::uint64_t sequence, std::int64_t receivedMs);
  // The connection broke: entries handed out but not acknowledged are handed out again.
  void Rewind();
  // Drops what is older than the age limit.
  void Expire(std::int64_t nowMs);

  std::uint64_t Count() const;  // entries not yet acknowledged
  std::uint64_t Bytes() const;
  std::optional<std::int64_t> OldestMs() const;
  std::uint64_t Dropped() const { return m_dropped; }
  std::uint64_t SkippedBytes() const { return m_skipped; }  // unreadable at opening

private:
  struct Segment {
    std::string path;
    std::uint64_t first = 0;  // sequence number of its first entry
    std::uint64_t last = 0;   // of its last; first - 1 while empty
    std::int64_t firstMs = 0;
    std::int64_t lastMs = 0;
    std::uint64_t bytes = 0;
  };
  bool Scan(const std::string& path, Segment* segment);
  bool StartSegment();
  void DropOldestSegment();
  bool WriteOut();
  void WriteAcked();
  void Tidy();
  std::uint64_t Pending(const Segment& segment) const;

  std::string m_directory;
  Limits m_limits;
  Log m_log;
  std::deque<Segment> m_segments;  // oldest first; the last one is written
  int m_writeFd = -1;
  std::string m_buffer;  // appended, not yet written
  std::uint64_t m_nextSequence = 1;
  std::uint64_t m_acked = 0;  // highest acknowledged (or dropped) sequence number
  std::int64_t m_ackedMs = 0;
  std::uint64_t m_ackedSynced = 0;
  std::uint64_t m_handedOut = 0;  // highest sequence number handed out by Next
  std::uint64_t m_bytes = 0;
  std::uint64_t m_buffered = 0;  // entries in m_buffer
  bool m_newSegment = false;     // a segment was made since the last Sync
  std::uint64_t m_segmentLimit = 0;
  std::uint64_t m_dropped = 0;
  std::uint64_t m_skipped = 0;
  std::uint64_t m_skipSequences = 0;
  // Reading: the segment and offset of the entry after m_handedOut.
  int m_readFd = -1;
  std::string m_readPath;
  std::uint64_t m_readOffset = 0;
};

// CRC-32 (the polynomial of zlib and Ethernet).
std::uint32_t Crc32(const void* data, std::size_t size);
