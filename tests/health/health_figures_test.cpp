// The health figures without a running gateway: the metrics port's HTTP rules, the list reply's
// framing of the status lines, the Prometheus text's escapes, and the hand-over of figures from
// the UI thread with its reuse window and deadline.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "health/metrics_http.h"
#include "health/prometheus_text.h"
#include "health/status_snapshots.h"
#include "health/status_text.h"
#include "platform/apartment.h"

namespace {

using namespace std::chrono_literals;

std::optional<GatewayStatus> Connected() {
  GatewayStatus status;
  status.serverConnected = true;
  return status;
}

}  // namespace

TEST(HealthFiguresTest, RequestHeadsAreReadWithinTheirLimit) {
  EXPECT_EQ(HttpHeadScan::kIncomplete, ScanHttpHead("GET /metrics HTTP/1.1\r\nHost: x\r\n"));
  EXPECT_EQ(HttpHeadScan::kComplete, ScanHttpHead("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_EQ(HttpHeadScan::kComplete, ScanHttpHead("GET / HTTP/1.0\n\n"));
  EXPECT_EQ(HttpHeadScan::kTooLong, ScanHttpHead(std::string(kMostHttpHeadBytes, 'a')));

  const auto line = ParseHttpRequestLine("GET /metrics?x=1 HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(line);
  EXPECT_EQ("GET", line->method);
  EXPECT_EQ("/metrics", line->path);
  for (const char* bad :
       {"GET /metrics\r\n\r\n", "GET  /metrics HTTP/1.1\r\n", "GET metrics HTTP/1.1\r\n",
        "get /metrics HTTP/1.1\r\n", "GET /metrics HTTP/2.0\r\n", "GET /a\x01 HTTP/1.1\r\n", ""}) {
    EXPECT_FALSE(ParseHttpRequestLine(bad)) << bad;
  }
}

TEST(HealthFiguresTest, RepliesFollowThePathMethodAndServerState) {
  int asked = 0;
  const StatusSource up = [&] {
    ++asked;
    return Connected();
  };
  const StatusSource down = [] { return std::optional<GatewayStatus>(GatewayStatus{}); };
  const StatusSource hung = [] { return std::optional<GatewayStatus>(); };
  const auto reply = [](const char* head, const StatusSource& source) {
    return MetricsReply(ParseHttpRequestLine(head), source);
  };
  EXPECT_EQ(200, reply("GET /health HTTP/1.1\r\n", up).status);
  EXPECT_EQ(503, reply("GET /health HTTP/1.1\r\n", down).status);
  EXPECT_EQ(503, reply("GET /health HTTP/1.1\r\n", hung).status);
  EXPECT_EQ(503, reply("GET /metrics HTTP/1.1\r\n", hung).status);
  EXPECT_EQ(404, reply("GET /metrics/x HTTP/1.1\r\n", up).status);
  EXPECT_EQ(405, reply("PUT /health HTTP/1.1\r\n", up).status);
  EXPECT_EQ(400, reply("nonsense", up).status);
  EXPECT_EQ(1, asked);  // only the served paths ask for figures

  const HttpReply metrics = reply("HEAD /metrics HTTP/1.1\r\n", up);
  const std::string bytes = metrics.Bytes();
  EXPECT_EQ(0u, bytes.rfind("HTTP/1.0 200 OK\r\nContent-Type: text/plain; version=0.0.4; "
                            "charset=utf-8\r\nContent-Length: " +
                                std::to_string(metrics.body.size()) + "\r\n",
                            0));
  EXPECT_EQ("\r\nConnection: close\r\n\r\n", bytes.substr(bytes.size() - 23));
}

TEST(HealthFiguresTest, StatusLinesHoldEveryFigureAndPrometheusLabelsAreEscaped) {
  GatewayStatus status;
  status.version = "1.0.0";
  status.progId = "A\"b\\c\nd";
  status.lastLossCode = static_cast<std::int32_t>(0x800706BAu);
  status.groupAges = {{3, 0.25}, {7, 12.5}};
  const std::vector<std::string> lines = StatusLines(status);
  EXPECT_EQ("version\t1.0.0", lines.front());
  const auto has = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_TRUE(has("server_last_loss_code\t0x800706BA"));
  EXPECT_TRUE(has("value_age_max_seconds\t12.500"));
  EXPECT_EQ("group_value_age_seconds\t7\t12.500", lines.back());

  const std::string metrics = PrometheusText(status, ProcessFigures{});
  EXPECT_NE(std::string::npos,
            metrics.find("quarnix_server_connected{progid=\"A\\\"b\\\\c\\nd\"} 0\n"));
  EXPECT_NE(std::string::npos, metrics.find("quarnix_server_last_loss_code 2147944122\n"));
  EXPECT_NE(std::string::npos, metrics.find("quarnix_group_value_age_seconds{group=\"7\"} 12.5"));
  EXPECT_EQ(std::string::npos, metrics.find("quarnix_process_"));  // not told: left out
}

// The backup's keys and samples appear only with a backup configured, before the value ages.
TEST(HealthFiguresTest, BackupServerFiguresOnlyWithABackup) {
  GatewayStatus status;
  const std::vector<std::string> plain = StatusLines(status);
  const std::string plainMetrics = PrometheusText(status, ProcessFigures{});
  EXPECT_EQ(std::string::npos, plainMetrics.find("quarnix_server_active"));
  EXPECT_EQ(std::string::npos, plainMetrics.find("failovers"));
  status.backupConfigured = true;
  status.backupActive = true;
  status.activeProgId = "Quarnix.Simulator.2";
  status.failovers = 3;
  const std::vector<std::string> lines = StatusLines(status);
  ASSERT_EQ(plain.size() + 4, lines.size());
  EXPECT_EQ((std::vector<std::string>{"server_active\tbackup",
                                      "server_active_progid\tQuarnix.Simulator.2",
                                      "server_backup_available\t0", "server_failovers\t3"}),
            std::vector<std::string>(lines.end() - 5, lines.end() - 1));
  EXPECT_EQ("value_age_max_seconds\t-", lines.back());
  const std::string metrics = PrometheusText(status, ProcessFigures{});
  for (const char* sample :
       {"quarnix_server_active{server=\"primary\"} 0\n",
        "quarnix_server_active{server=\"backup\"} 1\n", "quarnix_server_backup_available 0\n",
        "quarnix_server_failovers_total 3\n"})
    EXPECT_NE(std::string::npos, metrics.find(sample)) << sample;
}

TEST(HealthFiguresTest, WritesAreCountedByResultAndRefusalReason) {
  GatewayStatus status;
  status.writers = "10.1.2.5";
  status.auditWritable = false;
  status.writes.Count("written", WriteCounts::kInvalid);
  status.writes.Count("refused", WriteCounts::kNotWriter);
  status.writes.Count("refused", WriteCounts::kNotWriter);
  const std::vector<std::string> lines = StatusLines(status);
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "writers\t10.1.2.5"));
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "audit_writable\t0"));
  const std::string metrics = PrometheusText(status, ProcessFigures{});
  for (const char* sample :
       {"quarnix_writers_info{writers=\"10.1.2.5\"} 1\n", "quarnix_audit_writable 0\n",
        "quarnix_writes_total{result=\"written\"} 1\n",
        "quarnix_writes_total{result=\"refused\"} 2\n",
        "quarnix_writes_total{result=\"failed\"} 0\n",
        "quarnix_writes_refused_total{reason=\"not_writer\"} 2\n",
        "quarnix_writes_refused_total{reason=\"audit_unavailable\"} 0\n"}) {
    EXPECT_NE(std::string::npos, metrics.find(sample)) << sample;
  }
}

TEST(HealthFiguresTest, SnapshotsComeFromTheApartmentThreadWithinTheDeadline) {
  const auto apartment = CApartment::ForCurrentThread();
  int fills = 0;
  const auto fill = [&](GatewayStatus& status) {
    ++fills;
    status.groupEntries = static_cast<std::size_t>(fills);
  };
  CStatusSnapshots snapshots(apartment, fill, 1h);
  // No one drains the apartment: the deadline ends the wait.
  std::optional<GatewayStatus> taken = GatewayStatus{};
  std::thread scraper([&] { taken = snapshots.Take(CStatusSnapshots::Clock::now() + 100ms); });
  scraper.join();
  EXPECT_FALSE(taken);
  // The fill still queued runs when the thread comes back; a second scrape shares it.
  std::optional<GatewayStatus> first;
  std::optional<GatewayStatus> second;
  std::thread a([&] { first = snapshots.Take(CStatusSnapshots::Clock::now() + 10s); });
  std::thread b([&] { second = snapshots.Take(CStatusSnapshots::Clock::now() + 10s); });
  EXPECT_TRUE(apartment->RunUntil([&] { return fills >= 1; }, 10s));
  a.join();
  b.join();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(1u, first->groupEntries);
  // Within the reuse window, no new fill is posted.
  std::thread c([&] { first = snapshots.Take(CStatusSnapshots::Clock::now() + 10s); });
  c.join();
  EXPECT_EQ(0u, apartment->PendingCount());
  EXPECT_EQ(1u, first->groupEntries);
  // A closed apartment gives no figures, at once.
  CStatusSnapshots unreused(apartment, fill, 0ms);
  apartment->Close();
  std::thread d([&] { first = unreused.Take(CStatusSnapshots::Clock::now() + 10s); });
  d.join();
  EXPECT_FALSE(first);
  apartment->Reopen();
}
