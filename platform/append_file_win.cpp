#include "platform/append_file.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

// Volume and file index: what tells two names of one file apart from two files.
bool FileIdentity(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
  return ::GetFileInformationByHandle(file, &info) != 0;
}

}  // namespace

CAppendFile::~CAppendFile() {
  Close();
}

bool CAppendFile::Open(const char* path) {
  Close();
  // Shared for delete, so that a rotation can rename or remove the file while it is open.
  HANDLE file =
      ::CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  m_handle = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool CAppendFile::Append(const char* data, std::size_t size) {
  if (m_handle == kNoHandle) return false;
  HANDLE file = reinterpret_cast<HANDLE>(m_handle);
  while (size > 0) {
    DWORD written = 0;
    const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    if (!::WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

bool CAppendFile::StillAt(const char* path) const {
  if (m_handle == kNoHandle) return false;
  HANDLE named = ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION openInfo{};
  BY_HANDLE_FILE_INFORMATION namedInfo{};
  const bool same = FileIdentity(reinterpret_cast<HANDLE>(m_handle), openInfo) &&
                    FileIdentity(named, namedInfo) &&
                    openInfo.dwVolumeSerialNumber == namedInfo.dwVolumeSerialNumber &&
                    openInfo.nFileIndexHigh == namedInfo.nFileIndexHigh &&
                    openInfo.nFileIndexLow == namedInfo.nFileIndexLow;
  ::CloseHandle(named);
  return same;
}

void CAppendFile::Close() {
  if (m_handle == kNoHandle) return;
  ::CloseHandle(reinterpret_cast<HANDLE>(m_handle));
  m_handle = kNoHandle;
}
