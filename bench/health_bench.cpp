// Health outlets: what the metrics port costs the requests, and what one scrape costs with
// 10,000 active groups.
//
// - HBT with /metrics on and scraped 10 times a second against a gateway without /metrics, in
//   the same run, 4 clients, alternating rounds (target: ratio >= 0.97); the same with 500
//   scrapes a second, for the bound of a scrape flood.
// - One scrape with 10,000 active groups (one value-age series each): its wall time and size,
//   and the UI thread's share (quarnix_status_copy_seconds, target <= 1 ms), against the same
//   gateway with no group.
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "client/request_builder.h"
#include "tests/e2e/running_gateway.h"

namespace {

const std::string kHeartbeat = "HBT\r\n";
const std::string kHeartbeatReply = "0\tHBT OK!\r\n";
const std::string kScrape = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// Scrapes port every period on a thread of its own until destroyed; counts good scrapes.
class CScraper {
public:
  CScraper(std::uint16_t port, std::chrono::microseconds period)
      : m_thread([this, port, period] {
          auto next = BenchClock::now();
          while (!m_stop) {
            std::string reply;
            if (OneRequest(port, kScrape, reply) && reply.rfind("HTTP/1.0 200", 0) == 0)
              ++good;
            else
              ++bad;
            next += period;
            std::this_thread::sleep_until(next);
          }
        }) {}
  ~CScraper() {
    m_stop = true;
    m_thread.join();
  }
  std::atomic<int> good{0};
  std::atomic<int> bad{0};

private:
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

bool RateWithScrapes(int scrapesPerSecond) {
  PrintTitle("Request rate: HBT with /metrics scraped " + std::to_string(scrapesPerSecond) +
             " times a second against no /metrics, 4 clients" +
             (scrapesPerSecond <= 10 ? " (target: ratio >= 0.97)" : ""));
  const std::uint16_t metricsPort = FreeLoopbackPort();
  CRunningGateway plain;
  CRunningGateway watched({"/metrics", std::to_string(metricsPort)});
  if (!plain.Ready() || !watched.Ready()) return false;
  std::string reply;
  OneRequest(plain.ListenPort(), kHeartbeat, reply);
  OneRequest(watched.ListenPort(), kHeartbeat, reply);
  const auto request = [](int, std::uint64_t) { return kHeartbeat; };
  const auto check = [](int, std::uint64_t, const std::string& r) { return r == kHeartbeatReply; };
  double plainRate = 0;
  double watchedRate = 0;
  std::size_t failures = 0;
  int scrapes = 0;
  int badScrapes = 0;
  // Alternating rounds, each side first in turn, so that both see the same noise.
  const auto plainRound = [&] {
    const LoadFigures a = RunLoad(plain.ListenPort(), 4, std::chrono::seconds(2), request, check);
    plainRate += a.requestsPerSecond;
    failures += a.failures;
  };
  const auto watchedRound = [&] {
    CScraper scraper(metricsPort, std::chrono::microseconds(1000000 / scrapesPerSecond));
    const LoadFigures b = RunLoad(watched.ListenPort(), 4, std::chrono::seconds(2), request, check);
    watchedRate += b.requestsPerSecond;
    failures += b.failures;
    scrapes += scraper.good;
    badScrapes += scraper.bad;
  };
  for (int round = 0; round < 4; ++round) {
    if (round % 2 == 0) plainRound();
    watchedRound();
    if (round % 2 == 1) plainRound();
  }
  PrintComparison("HBT requests/s", watchedRate / 4, plainRate / 4, "requests/s", "scraped",
                  "without /metrics");
  PrintLine("%-44s %d good, %d failed", "scrapes", scrapes, badScrapes);
  PrintLine("%-44s %zu", "failed requests", failures);
  return failures == 0 && badScrapes == 0;
}

// The value of a sample line "name value" in a scrape, or -1.
double Sample(const std::string& scrape, const std::string& name) {
  const std::size_t at = scrape.find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::atof(scrape.c_str() + at + name.size() + 2);
}

struct ScrapeFigures {
  LatencyFigures wall;
  LatencyFigures copy;  // the UI thread's share
  std::size_t bytes = 0;
};

ScrapeFigures MeasureScrapes(std::uint16_t port) {
  std::vector<double> wall;
  std::vector<double> copy;
  ScrapeFigures figures;
  for (int i = 0; i < 30; ++i) {
    // Apart by more than the 100 ms reuse window: every scrape makes a new copy.
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    const auto begin = BenchClock::now();
    std::string reply;
    OneRequest(port, kScrape, reply);
    wall.push_back(ElapsedMs(begin, BenchClock::now()));
    figures.bytes = reply.size();
    copy.push_back(1000 * Sample(reply, "quarnix_status_copy_seconds"));
  }
  figures.wall = Summarize(wall);
  figures.copy = Summarize(copy);
  return figures;
}

bool DefineActiveGroups(const CRunningGateway& gateway, int count) {
  constexpr int kPerRequest = 100;
  for (int first = 0; first < count; first += kPerRequest) {
    std::vector<GroupDefinition> groups;
    std::vector<int> indices;
    for (int g = first; g < first + kPerRequest; ++g) {
      groups.push_back({"scraped" + std::to_string(g), true, 1000, {{"Static.Int4", true, 0}}});
      indices.push_back(g);
    }
    const ExchangeResult defined =
        gateway.Exchange(DefineGroupsRequest(groups), std::chrono::seconds(120));
    const ExchangeResult activated = gateway.Exchange(SetGroupsActiveRequest(true, indices));
    if (!defined.Ok() || defined.reply.code != 0 || !activated.Ok() || activated.reply.code != 0) {
      PrintLine("cannot define or activate groups %d and on: %s", first,
                defined.raw.substr(0, 200).c_str());
      return false;
    }
  }
  return true;
}

bool ScrapeWithManyGroups() {
  PrintTitle("One scrape with 10,000 active groups against none (target: UI thread <= 1 ms)");
  const std::uint16_t metricsPort = FreeLoopbackPort();
  CRunningGateway gateway({"/metrics", std::to_string(metricsPort)});
  if (!gateway.Ready()) return false;
  std::string reply;
  OneRequest(gateway.ListenPort(), kHeartbeat, reply);
  const ScrapeFigures empty = MeasureScrapes(metricsPort);
  if (!DefineActiveGroups(gateway, 10000)) return false;
  const ScrapeFigures full = MeasureScrapes(metricsPort);
  PrintComparison("scrape wall time p50", full.wall.p50Ms, empty.wall.p50Ms, "ms", "10,000 groups",
                  "no group");
  PrintComparison("scrape wall time p99", full.wall.p99Ms, empty.wall.p99Ms, "ms", "10,000 groups",
                  "no group");
  PrintComparison("UI thread per scrape p50", full.copy.p50Ms, empty.copy.p50Ms, "ms",
                  "10,000 groups", "no group");
  PrintComparison("UI thread per scrape (largest)", full.copy.maxMs, empty.copy.maxMs, "ms",
                  "10,000 groups", "no group");
  PrintLine("%-44s %zu bytes (no group: %zu)", "scrape size", full.bytes, empty.bytes);
  return full.copy.maxMs > 0;
}

}  // namespace

int main() {
  bool ok = RateWithScrapes(10);
  ok = RateWithScrapes(500) && ok;
  ok = ScrapeWithManyGroups() && ok;
  return ok ? 0 : 1;
}
