// Browsing: all 50,000 leaves of the simulator's branch Many in pages of 1,000 through "BR"
// (target: under 2 s), and the time of one page early and late in the branch (a late page costs
// the server a skip, not a walk over the pages before it). The baseline is a raw server that
// answers the same 1,000-entry reply bytes to a request of the same four lines.
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "client/gateway_reply.h"
#include "client/request_builder.h"
#include "tests/e2e/running_gateway.h"

namespace {

constexpr int kPageSize = 1000;
constexpr int kPageSamples = 20;

// The continuation value in a page's reply bytes, empty on the last page.
std::string NextOf(const std::string& reply) {
  const std::size_t end = reply.find("\r\n");
  const std::size_t at = reply.find("more with ");
  if (at == std::string::npos || at > end) return std::string();
  return reply.substr(at + 10, end - at - 10);
}

// Every page of Many; the pages' requests (for the page timings) and the entry count.
bool WalkMany(std::uint16_t port, std::vector<std::string>& requests, std::size_t& entries,
              double& ms) {
  BrowseQuery query;
  query.branch = "Many";
  query.pageSize = kPageSize;
  entries = 0;
  const auto start = BenchClock::now();
  for (;;) {
    const std::string request = BrowseRequest(query);
    std::string reply;
    if (!OneRequest(port, request, reply)) return false;
    const auto parsed = ParseReply(reply);
    const auto list = parsed ? ReplyList(parsed->text) : std::nullopt;
    if (!list || parsed->code != 0) return false;
    requests.push_back(request);
    entries += list->lines.size();
    query.continuation = NextOf(reply);
    if (query.continuation.empty()) break;
  }
  ms = ElapsedMs(start, BenchClock::now());
  return true;
}

LatencyFigures PageTimes(std::uint16_t port, const std::string& request, std::string* sample) {
  std::vector<double> times;
  for (int k = 0; k < kPageSamples; ++k) {
    std::string reply;
    const auto start = BenchClock::now();
    if (!OneRequest(port, request, reply)) continue;
    times.push_back(ElapsedMs(start, BenchClock::now()));
    if (sample != nullptr) *sample = reply;
  }
  return Summarize(times);
}

}  // namespace

int main() {
  PrintTitle("Browse: all 50,000 leaves of Many in pages of 1,000 (target: under 2 s)");
  CRunningGateway gateway;
  if (!gateway.Ready()) {
    PrintLine("the gateway did not start");
    return 1;
  }
  std::vector<std::string> requests;
  std::size_t entries = 0;
  double walkMs = 0;
  if (!WalkMany(gateway.ListenPort(), requests, entries, walkMs) || requests.empty()) {
    PrintLine("a page failed");
    return 1;
  }
  std::string firstReply;
  const LatencyFigures first = PageTimes(gateway.ListenPort(), requests.front(), &firstReply);
  const LatencyFigures last = PageTimes(gateway.ListenPort(), requests.back(), nullptr);
  CRawRequestServer raw(firstReply, 4);
  const LatencyFigures baseline = PageTimes(raw.Port(), requests.front(), nullptr);
  PrintLine("%zu entries in %zu pages: %.0f ms (%s)", entries, requests.size(), walkMs,
            walkMs < 2000 ? "within the target" : "OVER the target");
  PrintComparison("first page p50", first.p50Ms, baseline.p50Ms, "ms");
  PrintComparison("last page p50", last.p50Ms, baseline.p50Ms, "ms");
  PrintLine("first page p99 %.2f ms, last page p99 %.2f ms", first.p99Ms, last.p99Ms);
  return entries == 50000 && walkMs < 2000 ? 0 : 1;
}
