#include "platform/string_format.h"

#include <gtest/gtest.h>

TEST(StringPrintfTest, FormatsWithTheClassicConversions) {
  EXPECT_EQ("打开网络端口 8089 错误 x", StringPrintf("打开网络端口% d 错误 %s", 8089, "x"));
  EXPECT_EQ("ffffffff", StringPrintf("%x", 0xFFFFFFFFu));
  EXPECT_EQ("-1062731500", StringPrintf("%d", static_cast<int>(0xC0A80114u)));
}

TEST(StringPrintfTest, LongResultsAreWhole) {
  const std::string long_text(5000, 'x');
  const std::string result = StringPrintf("<%s>", long_text.c_str());
  EXPECT_EQ(5002u, result.size());
  EXPECT_EQ('>', result.back());
}
