// The queue on disk: order and acknowledgement across reopening, torn tails, limits and bad
// directories.
#include "mqtt/disk_queue.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace {

namespace fs = std::filesystem;

class DiskQueueTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quarnix-queue-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    m_dir = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(m_dir, ignored);
  }
  std::unique_ptr<CDiskQueue> Open(CDiskQueue::Limits limits = {}) {
    auto queue = std::make_unique<CDiskQueue>(
        m_dir.string(), limits, [this](const std::string& line) { m_log += line + "\n"; });
    std::string error;
    EXPECT_TRUE(queue->Open(&error)) << error;
    return queue;
  }
  std::vector<fs::path> Segments() const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(m_dir)) {
      if (entry.path().extension() == ".seg") found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end());
    return found;
  }
  static std::string Payload(int n) { return "{\"value\":" + std::to_string(n) + "}"; }

  fs::path m_dir;
  std::string m_log;
};

TEST_F(DiskQueueTest, KeepsOrderAndAcknowledgementAcrossReopeningAndRewinds) {
  {
    auto queue = Open();
    for (int n = 1; n <= 100; ++n) ASSERT_TRUE(queue->Append("q/Ramp", Payload(n), 1000 + n));
    EXPECT_EQ(queue->Count(), 100u);
    EXPECT_EQ(queue->OldestMs(), 1001);
    for (int n = 1; n <= 40; ++n) {
      const auto entry = queue->Next(0);
      ASSERT_TRUE(entry);
      EXPECT_EQ(entry->sequence, static_cast<std::uint64_t>(n));
      EXPECT_EQ(entry->payload, Payload(n));
      EXPECT_EQ(entry->topic, "q/Ramp");
    }
    queue->Acknowledge(30, 1030);
    // The connection broke: 31..40 were sent, not acknowledged, and come again.
    queue->Rewind();
    EXPECT_EQ(queue->Next(0)->sequence, 31u);
    EXPECT_EQ(queue->Count(), 70u);
  }  // closed as a stop does: written and synced
  auto queue = Open();
  EXPECT_EQ(queue->Count(), 70u);
  EXPECT_EQ(queue->Next(0)->sequence, 31u);
  ASSERT_TRUE(queue->Append("q/Ramp", Payload(101), 2000));
  for (std::uint64_t n = 32; n <= 100; ++n) ASSERT_EQ(queue->Next(0)->sequence, n);
  const auto newest = queue->Next(0);
  ASSERT_TRUE(newest);
  EXPECT_EQ(newest->sequence, 101u);  // numbers go on across restarts
  EXPECT_FALSE(queue->Next(0));
  queue->Acknowledge(101, 2000);
  EXPECT_EQ(queue->Count(), 0u);
  EXPECT_FALSE(queue->OldestMs());
  EXPECT_LT(queue->Bytes(), 64u * 1024) << "acknowledged segments are deleted";
}

TEST_F(DiskQueueTest, ATornTailIsCutOffAndLoggedAndTheGoodPartKept) {
  {
    auto queue = Open();
    for (int n = 1; n <= 10; ++n) ASSERT_TRUE(queue->Append("q/Ramp", Payload(n), n));
  }
  const auto segments = Segments();
  ASSERT_EQ(segments.size(), 1u);
  // The last entry cut in half, as a power cut leaves it, then bytes of a later garbage write.
  const auto size = fs::file_size(segments[0]);
  fs::resize_file(segments[0], size - 5);
  std::ofstream(segments[0], std::ios::app) << std::string("\x13\x00\x00\x00garbage", 11);
  auto queue = Open();
  EXPECT_EQ(queue->Count(), 9u);
  EXPECT_GT(queue->SkippedBytes(), 0u);
  EXPECT_NE(m_log.find("cannot be read (a write cut short by a crash or a power cut): skipped, "
                       "the 9 entries before them kept"),
            std::string::npos)
      << m_log;
  ASSERT_TRUE(queue->Append("q/Ramp", Payload(11), 11));
  for (int n = 1; n <= 9; ++n) EXPECT_EQ(queue->Next(0)->payload, Payload(n));
  const auto after = queue->Next(0);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->payload, Payload(11));
  // The cut entry may have been sent before the crash: its number is not used again.
  EXPECT_GT(after->sequence, 10u);
  EXPECT_FALSE(queue->Next(0));

  // A file of an unknown format is left alone, not replayed as garbage.
  std::ofstream(m_dir / "queue-00000000000000000500.seg")
      << std::string("QNXQ\x02\x00\x00\x00whatever", 16);
  auto again = Open();
  EXPECT_NE(m_log.find("is not of this version's format"), std::string::npos) << m_log;
  EXPECT_TRUE(fs::exists(m_dir / "queue-00000000000000000500.seg"));
}

TEST_F(DiskQueueTest, AFullQueueDropsTheOldestOrRefusesNewOnesAndCountsThem) {
  CDiskQueue::Limits limits;
  limits.maxBytes = 64 * 1024;
  const std::string padding(200, 'x');
  {
    auto queue = Open(limits);
    for (int n = 1; n <= 2000; ++n) queue->Append("q/Ramp", Payload(n) + padding, n);
    EXPECT_LE(queue->Bytes(), limits.maxBytes);
    EXPECT_GT(queue->Dropped(), 1000u);
    EXPECT_EQ(queue->Count() + queue->Dropped(), 2000u);
    const auto oldest = queue->Next(0);
    ASSERT_TRUE(oldest);
    EXPECT_EQ(oldest->sequence, queue->Dropped() + 1) << "the oldest went, in order";
    EXPECT_EQ(*queue->OldestMs(), static_cast<std::int64_t>(queue->Dropped() + 1));
    // Too old: dropped at the next expiry.
    queue->Expire(2000 + limits.maxAgeS * 1000 + 1);
    EXPECT_EQ(queue->Count(), 0u);
    EXPECT_EQ(queue->Dropped(), 2000u);
  }
  TearDown();
  SetUp();
  limits.dropNew = true;
  auto queue = Open(limits);
  for (int n = 1; n <= 2000; ++n) queue->Append("q/Ramp", Payload(n) + padding, n);
  EXPECT_GT(queue->Dropped(), 1000u);
  EXPECT_EQ(queue->Next(0)->sequence, 1u) << "the first ones are kept";
}

TEST_F(DiskQueueTest, AMissingOrReadOnlyDirectoryIsRefusedByName) {
  CDiskQueue missing((m_dir / "nowhere").string(), {}, [](const std::string&) {});
  std::string error;
  EXPECT_FALSE(missing.Open(&error));
  EXPECT_NE(error.find("state_dir " + (m_dir / "nowhere").string() + ": No such file"),
            std::string::npos)
      << error;
  if (::geteuid() == 0) GTEST_SKIP() << "root writes everywhere";
  ::chmod(m_dir.c_str(), 0500);
  CDiskQueue readOnly(m_dir.string(), {}, [](const std::string&) {});
  EXPECT_FALSE(readOnly.Open(&error));
  EXPECT_NE(error.find("cannot be written"), std::string::npos) << error;
  ::chmod(m_dir.c_str(), 0700);
}

TEST(Crc32Test, MatchesTheKnownCheckValue) {
  EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
}

}  // namespace
