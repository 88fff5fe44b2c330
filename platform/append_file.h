// A file kept open for appending, which can tell when its name no longer leads to it (renamed
// or removed by a log rotation), so that its owner can start a new one.
//
// Each Append is one write call straight to the system (no buffer of our own, no flush to disk),
// so nothing written is lost when the process stops, however it stops.
//
// Error rule: nothing throws; Open and Append report failure in their result. Thread rule: one
// thread at a time (the owner locks). Ownership: the object owns its one handle and closes it in
// Close or its destructor.
#pragma once

#include <cstddef>
#include <cstdint>

class CAppendFile {
public:
  CAppendFile() = default;
  ~CAppendFile();
  CAppendFile(const CAppendFile&) = delete;
  CAppendFile& operator=(const CAppendFile&) = delete;

  // Opens path for appending, creating it when missing (the one open before is closed). False
  // when it cannot be opened.
  bool Open(const char* path);
  bool IsOpen() const { return m_handle != kNoHandle; }
  // Appends the bytes in one write. False when the file is not open or the write failed.
  bool Append(const char* data, std::size_t size);
  // True when path still names the open file; false when it was renamed, removed or replaced.
  bool StillAt(const char* path) const;
  // Idempotent.
  void Close();

private:
  static constexpr std::intptr_t kNoHandle = -1;
  std::intptr_t m_handle = kNoHandle;
};
