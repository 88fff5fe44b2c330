#include "platform/process_figures.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

namespace {

std::int64_t ResidentBytes() {
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return -1;
  long long size = 0;
  long long resident = 0;
  const int read = std::fscanf(statm, "%lld %lld", &size, &resident);
  std::fclose(statm);
  if (read != 2) return -1;
  return resident * static_cast<std::int64_t>(::sysconf(_SC_PAGESIZE));
}

std::int64_t OpenFiles() {
  DIR* folder = ::opendir("/proc/self/fd");
  if (folder == nullptr) return -1;
  std::int64_t count = 0;
  while (const dirent* entry = ::readdir(folder)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(folder);
  return count - 1;  // the listing's own descriptor
}

}  // namespace

ProcessFigures ReadProcessFigures() {
  ProcessFigures figures;
  figures.residentBytes = ResidentBytes();
  figures.openFiles = OpenFiles();
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    figures.maxFiles = static_cast<std::int64_t>(limit.rlim_cur);
  return figures;
}
