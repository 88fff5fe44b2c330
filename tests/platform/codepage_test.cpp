#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/net/loopback.h"

namespace {

// Runs the test body under a locale and restores the previous one.
class CodePageTest : public ::testing::Test {
protected:
  void SetUp() override { m_previous = std::setlocale(LC_ALL, nullptr); }
  void TearDown() override {
    std::setlocale(LC_ALL, m_previous.c_str());
    RefreshSystemCodePage();
  }
  bool UseLocale(const char* name) {
    if (std::setlocale(LC_ALL, name) == nullptr) return false;
    RefreshSystemCodePage();
    return true;
  }

  std::string m_previous;
};

}  // namespace

TEST_F(CodePageTest, Utf8LocaleConvertsBothWays) {
  if (!UseLocale("C.UTF-8")) GTEST_SKIP() << "no C.UTF-8 locale";
  EXPECT_EQ(u"OPC.SimaticNET", MultiByteToWide("OPC.SimaticNET"));
  EXPECT_EQ(u"组一", MultiByteToWide("组一"));
  EXPECT_EQ("组一", WideToMultiByte(u"组一"));
  EXPECT_EQ(u"𝄞", MultiByteToWide("𝄞"));  // a surrogate pair
  EXPECT_EQ("𝄞", WideToMultiByte(u"𝄞"));
  EXPECT_EQ("只能打开该程序的一个实例", SystemText("只能打开该程序的一个实例"));
}

TEST_F(CodePageTest, PlainCLocaleCountsAsUtf8) {
  ASSERT_TRUE(UseLocale("C"));
  EXPECT_EQ(u"组一", MultiByteToWide("组一"));
  EXPECT_EQ("组一", WideToMultiByte(u"组一"));
  EXPECT_EQ("尝试启动监听线程", SystemText("尝试启动监听线程"));
}

TEST_F(CodePageTest, BadBytesBecomeReplacementCharacters) {
  ASSERT_TRUE(UseLocale("C"));
  EXPECT_EQ(u"a\uFFFDb", MultiByteToWide("a\xFF"
                                         "b"));
  EXPECT_EQ(u"a\uFFFD", MultiByteToWide("a\xE7\xBB"));  // cut in the middle of a character
  const char16_t lone[] = {u'a', 0xD800, u'b', 0};
  EXPECT_EQ("a?b", WideToMultiByte(lone));
  EXPECT_EQ(u"", MultiByteToWide(""));
  EXPECT_EQ("", WideToMultiByte(u""));
}

// A Chinese system's code page. The locale is compiled into a scratch folder when the system
// has none installed.
TEST_F(CodePageTest, GbkLocaleConvertsOurTexts) {
  testing_loopback::ScratchDirectory scratch;
  if (!UseLocale("zh_CN.GBK")) {
    const std::string command =
        "localedef -i zh_CN -f GBK '" + scratch.Path().string() + "/zh_CN.GBK' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << "no GBK locale can be made";
    ::setenv("LOCPATH", scratch.Path().c_str(), 1);
    const bool ok = UseLocale("zh_CN.GBK");
    ::unsetenv("LOCPATH");
    if (!ok) GTEST_SKIP() << "no GBK locale can be made";
  }
  EXPECT_EQ("\xD7\xE9", SystemText("组"));
  EXPECT_EQ(u"组", MultiByteToWide("\xD7\xE9"));
  EXPECT_EQ("\xD7\xE9??", WideToMultiByte(u"组\U0001F600\u0E01"));  // not in GBK
}

TEST_F(CodePageTest, LongTextsPassWhole) {
  ASSERT_TRUE(UseLocale("C"));
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "值";
  const std::u16string wide = MultiByteToWide(text);
  EXPECT_EQ(2000u, wide.size());
  EXPECT_EQ(text, WideToMultiByte(wide));
}
