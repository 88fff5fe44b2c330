#include "core/activity_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include "platform/local_time.h"
#include "tests/net/loopback.h"

using namespace testing_loopback;

namespace {

const std::regex kStamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})");

std::vector<std::string> PaneLines(const CTextLogPane& pane) {
  std::vector<std::string> lines;
  const std::string& text = pane.Text();
  std::size_t start = 0;
  for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", start)) {
    lines.push_back(text.substr(start, at - start));
    start = at + 2;
  }
  lines.push_back(text.substr(start));
  return lines;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

TEST(LogTimeStampTest, IsLocalTimeWithZeroPaddedFields) {
  EXPECT_TRUE(std::regex_match(LogTimeStamp(), kStamp)) << LogTimeStamp();
  std::tm parts{};
  parts.tm_year = 2026 - 1900;
  parts.tm_mon = 2;
  parts.tm_mday = 7;
  parts.tm_hour = 9;
  parts.tm_min = 5;
  parts.tm_sec = 3;
  parts.tm_isdst = -1;
  EXPECT_EQ("2026-03-07 09:05:03", FormatLocalTime(std::mktime(&parts), "%Y-%m-%d %H:%M:%S"));
}

TEST(LogSwitchesTest, StartAsFalseFalseTrueFalse) {
  const LogSwitches switches;
  EXPECT_FALSE(switches.logValueChanges);
  EXPECT_FALSE(switches.logValueWrites);
  EXPECT_TRUE(switches.logGroupOps);
  EXPECT_FALSE(switches.logItemOps);
}

TEST(LogToFileTest, WritesStampSpaceTextAndLineEndAndAppends) {
  ScratchDirectory scratch;
  LogToFile("尝试打开套接字端口8089");
  LogToFile("");
  const std::string content = ReadFile(scratch.Path() / "RV_Morvantel.log");
  EXPECT_TRUE(std::regex_match(
      content, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} 尝试打开套接字端口8089\n)"
                          R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \n)")))
      << content;
  LogToFile("third");
  EXPECT_TRUE(EndsWith(ReadFile(scratch.Path() / "RV_Morvantel.log"), " third\n"));
  EXPECT_EQ(0, content.compare(0, content.size(), ReadFile(scratch.Path() / "RV_Morvantel.log"), 0,
                               content.size()));
}

// A failed write's pane entry holds a line break ("%s \r\n\t失败：%s"): the pane keeps it, the
// file gets the entry on one line, so that every line begins with its time stamp.
TEST(LogToFileTest, LineBreaksInAnEntryAreFoldedIntoOneLine) {
  ScratchDirectory scratch;
  const std::string entry = "Memory.Int4 同步写入新值 7 \r\n\t失败：bad\rtype\nend";
  CTextLogPane pane;
  LogToPane(pane, entry);
  MirrorPaneEntryToFile(entry);
  LogToFile(entry);  // the caller's own copy of the mirrored line: not written twice
  EXPECT_NE(std::string::npos, pane.Text().find(" " + entry + "\r\n"));
  const std::string content = ReadFile(scratch.Path() / "RV_Morvantel.log");
  EXPECT_TRUE(std::regex_match(
      content, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )"
                          R"(Memory\.Int4 同步写入新值 7  \t失败：bad type end\n)")))
      << content;
}

TEST(LogToFileTest, EntriesFromSeveralThreadsStayWhole) {
  ScratchDirectory scratch;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) LogToFile(std::string(200, static_cast<char>('a' + t)));
    });
  }
  for (auto& thread : threads) thread.join();
  const std::string content = ReadFile(scratch.Path() / "RV_Morvantel.log");
  std::size_t lines = 0;
  std::size_t start = 0;
  for (std::size_t at = content.find('\n'); at != std::string::npos;
       at = content.find('\n', start)) {
    const std::string line = content.substr(start, at - start);
    ASSERT_EQ(20u + 200u, line.size());
    EXPECT_EQ(std::string(200, line[20]), line.substr(20));
    start = at + 1;
    ++lines;
  }
  EXPECT_EQ(200u, lines);
}

// Logs "after" until the entry lands in a new file under the log file's name (the rotation
// check runs at most once a second); false when none appears within 5 s.
bool LogUntilNewFile(const std::filesystem::path& logFile) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    LogToFile("after");
    if (std::filesystem::exists(logFile)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// The file stays open between entries; one renamed or removed by a rotation is noticed within
// a second, and the next entry starts a new file.
TEST(LogToFileTest, RenamedOrRemovedLogFileIsFollowedByANewOne) {
  ScratchDirectory scratch;
  const auto logFile = scratch.Path() / "RV_Morvantel.log";
  LogToFile("before");
  std::filesystem::rename(logFile, scratch.Path() / "rotated.log");
  ASSERT_TRUE(LogUntilNewFile(logFile));
  EXPECT_NE(std::string::npos, ReadFile(scratch.Path() / "rotated.log").find(" before\n"));
  const std::string fresh = ReadFile(logFile);
  EXPECT_TRUE(EndsWith(fresh, " after\n"));
  EXPECT_EQ(std::string::npos, fresh.find("before"));

  std::filesystem::remove(logFile);
  ASSERT_TRUE(LogUntilNewFile(logFile));
  EXPECT_TRUE(EndsWith(ReadFile(logFile), " after\n"));
}

// Background mode copies pane entries to the file; a caller's own file copy of the same line,
// right after it, is not written again, but any other entry is.
TEST(LogToFileTest, MirroredPaneEntryIsOnFileOnce) {
  ScratchDirectory scratch;
  MirrorPaneEntryToFile("both");
  LogToFile("both");
  MirrorPaneEntryToFile("pane only");
  LogToFile("file only");
  LogToFile("file only");
  MirrorPaneEntryToFile("twice");
  MirrorPaneEntryToFile("twice");
  LogToFile("twice");
  std::thread other([] { LogToFile("twice"); });  // another thread's entry is its own
  other.join();
  const std::string content = ReadFile(scratch.Path() / "RV_Morvantel.log");
  std::vector<std::string> texts;
  std::size_t start = 0;
  for (std::size_t at = content.find('\n'); at != std::string::npos;
       at = content.find('\n', start)) {
    texts.push_back(content.substr(start + 20, at - start - 20));
    start = at + 1;
  }
  EXPECT_EQ((std::vector<std::string>{"both", "pane only", "file only", "file only", "twice",
                                      "twice", "twice"}),
            texts);
}

TEST(LogToFileTest, UnwritableLogFileDropsTheEntrySilently) {
  ScratchDirectory scratch;
  // A folder in the file's place cannot be opened for appending, whoever runs the test.
  std::filesystem::create_directory(scratch.Path() / "RV_Morvantel.log");
  LogToFile("lost");
  EXPECT_TRUE(std::filesystem::is_directory(scratch.Path() / "RV_Morvantel.log"));
}

TEST(LogToPaneTest, FirstEntryBecomesTheOnlyLineOfTwo) {
  CTextLogPane pane;
  EXPECT_EQ(1, pane.GetLineCount());
  LogToPane(pane, "成功启动监听线程后发送成功启动广播");
  EXPECT_EQ(2, pane.GetLineCount());
  const auto lines = PaneLines(pane);
  ASSERT_EQ(2u, lines.size());
  EXPECT_TRUE(std::regex_match(lines[0].substr(0, 19), kStamp));
  EXPECT_EQ(" 成功启动监听线程后发送成功启动广播", lines[0].substr(19));
  EXPECT_EQ("", lines[1]);
}

TEST(LogToPaneTest, EmptyTextGivesTheStampAndOneSpace) {
  CTextLogPane pane;
  LogToPane(pane, "");
  EXPECT_TRUE(
      std::regex_match(pane.Text(), std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \r\n)")));
}

TEST(LogToPaneTest, HundredTwentyEntriesLeaveTheNewest99NewestFirst) {
  CTextLogPane pane;
  for (int i = 1; i <= 120; ++i) LogToPane(pane, "entry " + std::to_string(i));
  const auto lines = PaneLines(pane);
  ASSERT_EQ(100u, lines.size());
  EXPECT_EQ(100, pane.GetLineCount());
  for (int k = 0; k < 99; ++k) {
    EXPECT_TRUE(EndsWith(lines[static_cast<std::size_t>(k)], " entry " + std::to_string(120 - k)))
        << lines[static_cast<std::size_t>(k)];
  }
  EXPECT_EQ("", lines[99]);
}

TEST(LogToPaneTest, PruningCountsPaneLinesSoMultiLineEntriesArePartlyKept) {
  CTextLogPane pane;
  LogToPane(pane, "old first\r\nold second");
  for (int i = 1; i <= 97; ++i) LogToPane(pane, "entry " + std::to_string(i));
  ASSERT_EQ(100, pane.GetLineCount());
  LogToPane(pane, "new");
  const auto lines = PaneLines(pane);
  ASSERT_EQ(100u, lines.size());
  EXPECT_TRUE(EndsWith(lines[0], " new"));
  EXPECT_EQ("", lines[99]);
  EXPECT_TRUE(EndsWith(lines[98], " old first"));  // "old second" went first
}

TEST(CTextLogPaneTest, AnswersLikeAnEditControl) {
  CTextLogPane pane;
  pane.InsertAtStart("b1\r\n");
  pane.InsertAtStart("a12\r\n");
  EXPECT_EQ(3, pane.GetLineCount());
  EXPECT_EQ(0, pane.LineIndex(0));
  EXPECT_EQ(5, pane.LineIndex(1));
  EXPECT_EQ(9, pane.LineIndex(2));
  EXPECT_EQ(-1, pane.LineIndex(3));
  EXPECT_EQ(3, pane.LineLength(0));
  EXPECT_EQ(3, pane.LineLength(4));  // the line feed belongs to the line before it
  EXPECT_EQ(2, pane.LineLength(5));
  EXPECT_EQ(0, pane.LineLength(9));
  pane.DeleteRange(5, 9);
  EXPECT_EQ("a12\r\n", pane.Text());
}
