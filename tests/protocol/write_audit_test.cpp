// The audit trail's line: its fields, its time stamp and the escapes that keep one entry on one
// line whatever a client sent; and the file, which follows a rotation.
#include "protocol/write_audit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

std::string FileText(const char* name) {
  std::ifstream file(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(WriteAuditTest, ALineHoldsEveryFieldSeparatedByTabs) {
  AuditEntry entry;
  entry.client = "10.1.2.5:50412";
  entry.command = "SW";
  entry.groupIndex = "3";
  entry.groupName = u"Boiler";
  entry.result = "failed";
  entry.reason = "1: denied\t";
  entry.items = {{"0", u"Memory.Int4", "42", "written"},
                 {"1", u"Static.Int2", "5", "failed: denied"}};
  // 2026-12-09 03:30:01.123 UTC
  const std::chrono::system_clock::time_point when{std::chrono::milliseconds(1796787001123LL)};
  EXPECT_EQ(
      "2026-12-09T03:30:01.123Z\t10.1.2.5:50412\tSW\t3\tBoiler\tfailed\t1: denied\\t\t2\t"
      "0\tMemory.Int4\t42\twritten\t1\tStatic.Int2\t5\tfailed: denied",
      CWriteAudit::Line(entry, when));
  EXPECT_EQ("1970-01-01T00:00:00.000Z\t\t\t\t\t\t\t0",
            CWriteAudit::Line(AuditEntry{}, std::chrono::system_clock::time_point{}));
}

TEST(WriteAuditTest, FieldsEscapeWhatCouldSplitThemAndKeepOtherText) {
  EXPECT_EQ("a\\\\b\\tc\\rd\\ne\\x01\\x7F",
            CWriteAudit::Field(std::string_view("a\\b\tc\rd\ne\x01\x7f")));
  EXPECT_EQ("Kessel\xC3\xBC",
            CWriteAudit::Field(std::string_view("Kessel\xC3\xBC")));  // UTF-8 kept
  // Bytes that are no UTF-8: each byte outside printable ASCII by its value.
  EXPECT_EQ("7\\xFF\\xC3\\t", CWriteAudit::Field(std::string_view("7\xff\xc3\t")));
  EXPECT_EQ("\xE6\xB8\xA9\\u2028\\u0085\xF0\x9F\x94\xA5",
            CWriteAudit::Field(WideStringView(u"\u6E29\u2028\u0085\U0001F525")));
  EXPECT_EQ("x\\uD800y", CWriteAudit::Field(WideStringView(u"x\xD800y")));  // unpaired surrogate
}

TEST(WriteAuditTest, RecordAppendsOneLineAndFollowsARotation) {
  const char* name = "write_audit_test.audit.log";
  std::filesystem::remove(name);
  std::filesystem::remove("write_audit_test.audit.log.1");
  CWriteAudit audit(name);
  AuditEntry entry;
  entry.command = "SW";
  ASSERT_TRUE(audit.Record(entry));
  ASSERT_TRUE(audit.Record(entry));
  const std::string text = FileText(name);
  EXPECT_EQ(2, std::count(text.begin(), text.end(), '\n'));
  std::filesystem::rename(name, "write_audit_test.audit.log.1");
  // Within a second the next line may still go to the renamed file; then a new one begins.
  for (int k = 0; k < 30 && !std::filesystem::exists(name); ++k) {
    ASSERT_TRUE(audit.Record(entry));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(std::filesystem::exists(name));
  EXPECT_TRUE(audit.Writable());
  std::filesystem::remove(name);
  std::filesystem::remove("write_audit_test.audit.log.1");

  // Where the file cannot be made, nothing is written and the audit says so.
  std::filesystem::create_directory(name);
  CWriteAudit blocked(name);
  EXPECT_FALSE(blocked.Ready());
  EXPECT_FALSE(blocked.Record(entry));
  EXPECT_FALSE(blocked.Writable());
  std::filesystem::remove(name);
}
