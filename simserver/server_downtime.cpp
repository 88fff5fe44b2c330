#include "simserver/server_downtime.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/com/com.h"

namespace {

std::wstring MarkerPath(int instance) {
  wchar_t folder[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH) return std::wstring();
  return std::wstring(folder) + L"quarnix-sim-down-" + std::to_wstring(instance) + L".txt";
}

// The system time in 100 ns units since 1601.
std::uint64_t Now() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace

void NoteServerDowntime(int instance, unsigned seconds) {
  const std::wstring path = MarkerPath(instance);
  if (path.empty()) return;
  FILE* file = _wfopen(path.c_str(), L"w");
  if (file == nullptr) return;
  std::fprintf(file, "%llu\n",
               static_cast<unsigned long long>(Now() + std::uint64_t{seconds} * 10000000u));
  std::fclose(file);
}

bool InServerDowntime(int instance) {
  const std::wstring path = MarkerPath(instance);
  if (path.empty()) return false;
  FILE* file = _wfopen(path.c_str(), L"r");
  if (file == nullptr) return false;
  unsigned long long until = 0;
  const bool read = std::fscanf(file, "%llu", &until) == 1;
  std::fclose(file);
  if (read && Now() < until) return true;
  _wremove(path.c_str());  // over: a later crash writes its own
  return false;
}
