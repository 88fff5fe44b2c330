// The MQTT bridge's queue on disk, alone: how fast changes go into it (appended, handed to the
// system every 1,000 entries as the bridge's loop does, forced to the disk once a second), how
// many disk bytes one change takes, how fast they come out again in order (read and
// acknowledged), and the process's memory as 10 million changes go in (target: flat, under
// 100 MB: it must not grow with the queue). The baseline writes the same bytes with plain write()
// calls of the same sizes.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>

#include "bench/bench_support.h"
#include "mqtt/disk_queue.h"

namespace {

constexpr int kChanges = 10'000'000;
// Where the memory is read while the queue fills.
constexpr int kMemoryPoints[] = {100'000, 1'000'000, 5'000'000, 10'000'000};
// A typical change of a typed group's real item.
const std::string kTopic = "quarnix/Random.Real8";
const std::string kPayload =
    "{\"value\":21.700000000000003,\"quality\":192,\"quality_text\":\"good\","
    "\"timestamp\":\"2026-12-08T09:00:00.123Z\",\"received\":\"2026-12-08T09:00:00.131Z\"}";

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main() {
  namespace fs = std::filesystem;
  std::string pattern = (fs::temp_directory_path() / "quarnix-queue-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  const fs::path dir = pattern;
  PrintTitle("MQTT bridge queue on disk (" + std::to_string(kChanges) + " changes)");

  // Baseline: the same bytes written in the same chunks, synced once a second.
  const std::size_t entryBytes = 8 + 18 + kTopic.size() + kPayload.size();
  double baselineRate = 0;
  {
    const std::string chunk(entryBytes * 1000, 'x');
    const int fd = ::open((dir / "raw").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    const auto start = std::chrono::steady_clock::now();
    auto nextSync = start + std::chrono::seconds(1);
    for (int n = 0; n < kChanges / 1000; ++n) {
      if (::write(fd, chunk.data(), chunk.size()) < 0) return 1;
      if (std::chrono::steady_clock::now() >= nextSync) {
        ::fdatasync(fd);
        nextSync += std::chrono::seconds(1);
      }
    }
    ::fdatasync(fd);
    baselineRate = kChanges / Seconds(start);
    ::close(fd);
    fs::remove(dir / "raw");
  }

  CDiskQueue::Limits limits;
  limits.maxBytes = 4ull << 30;  // room for every change: none is dropped
  CDiskQueue queue(dir.string(), limits,
                   [](const std::string& line) { PrintLine("%s", line.c_str()); });
  std::string error;
  if (!queue.Open(&error)) {
    PrintLine("%s", error.c_str());
    return 1;
  }
  const long residentAtStart = ResidentKiB(static_cast<int>(::getpid()));
  std::string memory;
  const int* nextPoint = std::begin(kMemoryPoints);
  const auto start = std::chrono::steady_clock::now();
  auto nextSync = start + std::chrono::seconds(1);
  for (int n = 1; n <= kChanges; ++n) {
    queue.Append(kTopic, kPayload, 1'796'000'000'000 + n);
    if (n % 1000 == 0) {
      queue.Flush();
      if (std::chrono::steady_clock::now() >= nextSync) {
        queue.Sync();
        nextSync += std::chrono::seconds(1);
      }
    }
    if (nextPoint != std::end(kMemoryPoints) && n == *nextPoint) {
      memory += (memory.empty() ? "" : ", ") + std::to_string(n / 1000) +
                "k: " + std::to_string(ResidentKiB(static_cast<int>(::getpid()))) + " KiB";
      ++nextPoint;
    }
  }
  queue.Sync();
  const double appendRate = kChanges / Seconds(start);
  PrintComparison("changes queued", appendRate, baselineRate, "changes/s", "queue", "raw write");
  PrintLine("disk bytes per change: %.1f (message %zu bytes, topic %zu bytes)",
            static_cast<double>(queue.Bytes()) / kChanges, kPayload.size(), kTopic.size());
  PrintLine(
      "memory resident as the queue fills: at the start %ld KiB; %s (target: flat, under "
      "100 MB)",
      residentAtStart, memory.c_str());

  const auto replayStart = std::chrono::steady_clock::now();
  std::uint64_t replayed = 0;
  std::optional<QueuedEntry> last;
  while (auto entry = queue.Next(0)) {
    ++replayed;
    if (replayed % 100 == 0) queue.Acknowledge(entry->sequence, entry->receivedMs);
    last = std::move(entry);
  }
  if (last) queue.Acknowledge(last->sequence, last->receivedMs);
  queue.Sync();
  PrintLine("read back in order and acknowledged: %.0f changes/s (%llu changes)",
            static_cast<double>(replayed) / Seconds(replayStart),
            static_cast<unsigned long long>(replayed));
  PrintLine("left after acknowledging: %llu entries, %llu bytes",
            static_cast<unsigned long long>(queue.Count()),
            static_cast<unsigned long long>(queue.Bytes()));
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  return replayed == static_cast<std::uint64_t>(kChanges) ? 0 : 1;
}
