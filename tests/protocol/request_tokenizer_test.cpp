#include "protocol/request_tokenizer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/loopback_connection.h"

namespace {

std::vector<std::string> Tokens(CRequestTokenizer& line) {
  std::vector<std::string> tokens;
  while (const char* token = line.NextToken()) tokens.emplace_back(token);
  return tokens;
}

std::vector<std::string> TokensOf(const std::string& text) {
  CRequestTokenizer line;
  line.SetLine(text);
  return Tokens(line);
}

using Strings = std::vector<std::string>;

}  // namespace

TEST(RequestTokenizerTest, FieldsAreSeparatedByTabCrAndLfButNotSpace) {
  EXPECT_EQ(TokensOf("AD\t2\t9000\r\n"), (Strings{"AD", "2", "9000"}));
  EXPECT_EQ(TokensOf("a b\tc d\n"), (Strings{"a b", "c d"}));
  EXPECT_EQ(TokensOf("x\ry\nz"), (Strings{"x", "y", "z"}));
}

TEST(RequestTokenizerTest, RunsOfSeparatorsAreSkippedLikeStrtok) {
  EXPECT_EQ(TokensOf("\t\tSR\t\t0\t\t\r\n"), (Strings{"SR", "0"}));
  EXPECT_EQ(TokensOf("\t\r\n"), Strings{});
  EXPECT_EQ(TokensOf(""), Strings{});
}

TEST(RequestTokenizerTest, NoTokenStaysNoToken) {
  CRequestTokenizer line;
  line.SetLine("HBT\r\n");
  EXPECT_STREQ(line.NextToken(), "HBT");
  EXPECT_EQ(line.NextToken(), nullptr);
  EXPECT_EQ(line.NextToken(), nullptr);
}

TEST(RequestTokenizerTest, NewLineRestartsTokenization) {
  CRequestTokenizer line;
  line.SetLine("a\tb\r\n");
  EXPECT_STREQ(line.NextToken(), "a");
  line.SetLine("c\r\n");
  EXPECT_STREQ(line.NextToken(), "c");
  EXPECT_EQ(line.NextToken(), nullptr);
}

TEST(RequestTokenizerTest, EmbeddedNulEndsTheLineForTokens) {
  CRequestTokenizer line;
  line.SetLine(std::string("HB\0T\tx\r\n", 8));
  EXPECT_EQ(line.LineLength(), 8);
  EXPECT_EQ(Tokens(line), Strings{"HB"});
}

TEST(RequestTokenizerTest, EmptyLineIsAtMostTwoCharacters) {
  CRequestTokenizer line;
  line.SetLine("\r\n");
  EXPECT_TRUE(line.IsEmptyLine());
  line.SetLine("x\n");
  EXPECT_TRUE(line.IsEmptyLine());
  line.SetLine("xy\n");
  EXPECT_FALSE(line.IsEmptyLine());
}

TEST(RequestTokenizerTest, ToIntReadsLikeAtoi) {
  EXPECT_EQ(CRequestTokenizer::ToInt("42"), 42);
  EXPECT_EQ(CRequestTokenizer::ToInt("  -17abc"), -17);
  EXPECT_EQ(CRequestTokenizer::ToInt("+5"), 5);
  EXPECT_EQ(CRequestTokenizer::ToInt("\v\f 7"), 7);
  EXPECT_EQ(CRequestTokenizer::ToInt("x"), 0);
  EXPECT_EQ(CRequestTokenizer::ToInt(""), 0);
  EXPECT_EQ(CRequestTokenizer::ToInt("-"), 0);
  EXPECT_EQ(CRequestTokenizer::ToInt("+-5"), 0);
  EXPECT_EQ(CRequestTokenizer::ToInt("1 2"), 1);
  EXPECT_EQ(CRequestTokenizer::ToInt(nullptr), 0);
}

TEST(RequestTokenizerTest, ToIntSaturatesAtTheSigned32BitLimits) {
  EXPECT_EQ(CRequestTokenizer::ToInt("2147483647"), INT32_MAX);
  EXPECT_EQ(CRequestTokenizer::ToInt("2147483648"), INT32_MAX);
  EXPECT_EQ(CRequestTokenizer::ToInt("99999999999999999999999999"), INT32_MAX);
  EXPECT_EQ(CRequestTokenizer::ToInt("-2147483648"), INT32_MIN);
  EXPECT_EQ(CRequestTokenizer::ToInt("-2147483649"), INT32_MIN);
  EXPECT_EQ(CRequestTokenizer::ToInt("-99999999999999999999999999"), INT32_MIN);
}

TEST(RequestTokenizerTest, ToUnsignedReadsLikeStrtoulWith32BitLong) {
  EXPECT_EQ(CRequestTokenizer::ToUnsigned("7"), 7u);
  EXPECT_EQ(CRequestTokenizer::ToUnsigned(" 4294967295"), 4294967295u);
  EXPECT_EQ(CRequestTokenizer::ToUnsigned("4294967296"), 4294967295u);
  EXPECT_EQ(CRequestTokenizer::ToUnsigned("123456789012345678901234"), 4294967295u);
  EXPECT_EQ(CRequestTokenizer::ToUnsigned("-1"), 4294967295u);
  EXPECT_EQ(CRequestTokenizer::ToUnsigned("-4294967295"), 1u);
  EXPECT_EQ(CRequestTokenizer::ToUnsigned("-4294967296"), 4294967295u);
  EXPECT_EQ(CRequestTokenizer::ToUnsigned("abc"), 0u);
  EXPECT_EQ(CRequestTokenizer::ToUnsigned(nullptr), 0u);
}

TEST(RequestTokenizerTest, SetLineKeeps99Characters) {
  CRequestTokenizer line;
  line.SetLine(std::string(150, 'a'));
  EXPECT_EQ(line.LineLength(), 99);
  EXPECT_EQ(std::string(line.NextToken()), std::string(99, 'a'));
}

TEST(RequestTokenizerTest, ReadLineCutsALineOf150BytesTo99AndKeepsTheNextLine) {
  CLoopbackConnection connection;
  const std::string longLine = "AD\t" + std::string(145, 'n') + "\r\n";  // 150 bytes
  ASSERT_TRUE(connection.Send(longLine + "HBT\r\n"));
  CRequestTokenizer line;
  EXPECT_EQ(line.ReadLine(connection.Server()), 99);
  EXPECT_STREQ(line.NextToken(), "AD");
  EXPECT_EQ(std::string(line.NextToken()), std::string(96, 'n'));
  EXPECT_EQ(line.NextToken(), nullptr);
  EXPECT_EQ(line.ReadLine(connection.Server()), 5);
  EXPECT_STREQ(line.NextToken(), "HBT");
}

TEST(RequestTokenizerTest, ReadLineOfCrLfOnlyIsEmptyAndHasNoToken) {
  CLoopbackConnection connection;
  ASSERT_TRUE(connection.Send("\r\n"));
  CRequestTokenizer line;
  EXPECT_EQ(line.ReadLine(connection.Server()), 2);
  EXPECT_TRUE(line.IsEmptyLine());
  EXPECT_EQ(line.NextToken(), nullptr);
}

TEST(RequestTokenizerTest, ReadLineThrowsWhenTheClientClosesAndLeavesAnEmptyLine) {
  CLoopbackConnection connection;
  ASSERT_TRUE(connection.Send("abc"));
  connection.CloseClient();
  CRequestTokenizer line;
  line.SetLine("old\tline\r\n");
  EXPECT_THROW(line.ReadLine(connection.Server()), CBlockingSocketException);
  EXPECT_TRUE(line.IsEmptyLine());
  EXPECT_EQ(line.NextToken(), nullptr);
}
