#include "bench/mqtt_bench_support.h"

#include <vector>

#include "client/gateway_reply.h"
#include "client/request_builder.h"

LatencyFigures WriteLatency(const CRunningGateway& gateway, CCountingSubscriber& subscriber,
                            int firstValue) {
  const ExchangeResult defined = gateway.Exchange(DefineGroupsRequest({GroupDefinition{
      "writer" + std::to_string(firstValue), true, 1000, {ItemDefinition{kMemoryItem, true, 3}}}}));
  const auto indices = ReplyIndices(defined.reply.text);
  if (!defined.Ok() || !indices || indices->empty()) return {};
  std::vector<double> samples;
  for (int n = 0; n < kLatencySamples; ++n) {
    const int value = firstValue + n;
    subscriber.Await(value);
    const auto sent = BenchClock::now();
    gateway.Exchange(WriteSyncRequest(indices->front(), {ItemWrite{0, std::to_string(value)}}));
    if (!WaitUntil([&] { return subscriber.Seen(); }, std::chrono::seconds(5))) continue;
    samples.push_back(ElapsedMs(sent, subscriber.SeenAt()));
  }
  return Summarize(samples);
}

void PrintLatency(const char* when, const LatencyFigures& figures) {
  PrintLine("write to message latency, %s: p50 %.1f ms, p99 %.1f ms, max %.1f ms (%zu of %d)", when,
            figures.p50Ms, figures.p99Ms, figures.maxMs, figures.count, kLatencySamples);
}
