// The status reply on the client side: the list framing is checked before any figure is read,
// and the verdict follows the connection and the largest value age.
#include <gtest/gtest.h>

#include <sstream>

#include "client/status_report.h"

TEST(StatusReportTest, ListRepliesAreTakenOnlyWithTheirAnnouncedLineCount) {
  const auto lines = ReplyListLines("2 lines of status\r\na\t1\r\nb\t2\t3");
  ASSERT_TRUE(lines);
  EXPECT_EQ((std::vector<std::vector<std::string>>{{"a", "1"}, {"b", "2", "3"}}), *lines);
  EXPECT_TRUE(ReplyListLines("0 lines"));
  for (const char* bad : {"3 lines\r\na\t1\r\nb\t2", "1 line\r\na\t1\r\nb\t2", "x lines\r\na\t1",
                          "", " 1\r\na\t1", "-1 lines"}) {
    EXPECT_FALSE(ReplyListLines(bad)) << bad;
  }
  EXPECT_FALSE(ReadStatusReport("1 lines\r\nno tab here"));
  EXPECT_FALSE(ReadStatusReport("1 lines\r\ngroup_value_age_seconds\t2"));
}

TEST(StatusReportTest, HealthyMeansConnectedAndNoActiveGroupStale) {
  const auto report = ReadStatusReport(
      "3 lines of status\r\nserver_connected\t1\r\ngroup_value_age_seconds\t0\t0.250\r\n"
      "group_value_age_seconds\t4\t75.500");
  ASSERT_TRUE(report);
  EXPECT_EQ(75.5, report->LargestValueAge());
  EXPECT_FALSE(report->Healthy(60));
  EXPECT_TRUE(report->Healthy(80));
  std::ostringstream json;
  PrintStatusJson(json, *report, 60);
  EXPECT_EQ(
      "{\"server_connected\":1,\"group_value_ages\":[{\"group\":0,\"seconds\":0.25},"
      "{\"group\":4,\"seconds\":75.5}],\"healthy\":false}\n",
      json.str());
  const auto idle = ReadStatusReport("1 lines of status\r\nserver_connected\t1");
  ASSERT_TRUE(idle);
  EXPECT_TRUE(idle->Healthy(60));  // no active group: nothing can be stale
  EXPECT_FALSE(ReadStatusReport("1 lines of status\r\nserver_connected\t0")->Healthy(60));
}
