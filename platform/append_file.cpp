#include "platform/append_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

CAppendFile::~CAppendFile() {
  Close();
}

bool CAppendFile::Open(const char* path) {
  Close();
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  m_handle = fd;
  return true;
}

bool CAppendFile::Append(const char* data, std::size_t size) {
  if (m_handle == kNoHandle) return false;
  const int fd = static_cast<int>(m_handle);
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool CAppendFile::StillAt(const char* path) const {
  if (m_handle == kNoHandle) return false;
  struct stat open {};
  struct stat named {};
  if (::fstat(static_cast<int>(m_handle), &open) != 0) return false;
  if (::stat(path, &named) != 0) return false;
  return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

void CAppendFile::Close() {
  if (m_handle == kNoHandle) return;
  ::close(static_cast<int>(m_handle));
  m_handle = kNoHandle;
}
