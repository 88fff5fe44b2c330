#include "protocol/request_tokenizer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/loopback_connection.h"

namespace {

std::vector<std::string> Tokens(CRequestTokenizer& line) {
  std::vector<std::string> tokens;
  while (const char* token = line.NextToken()) tokens.emplace_back(token);
  return tokens;
}

// A cursor on a request of one first line.
struct FirstLine {
  explicit FirstLine(std::string_view text) {
    AddFirstLine(request, text);
    line.ReadLine();
  }
  CReceivedRequest request;
  CRequestTokenizer line{request};
};

std::vector<std::string> TokensOf(const std::string& text) {
  FirstLine first(text);
  return Tokens(first.line);
}

// The lines of a loopback connection, received into a request as the listener side does.
struct ReceivedLines {
  explicit ReceivedLines(CHttpBlockingSocket& connection) : receiver(connection, request) {}
  CReceivedRequest request;
  CRequestReceiver receiver;
  CRequestTokenizer line{request};
};

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
  FirstLine first("HBT\r\n");
  CRequestTokenizer& line = first.line;
  EXPECT_STREQ(line.NextToken(), "HBT");
  EXPECT_EQ(line.NextToken(), nullptr);
  EXPECT_EQ(line.NextToken(), nullptr);
}

TEST(RequestTokenizerTest, NewLineRestartsTokenizationAndASecondCursorReadsTheSameFields) {
  CLoopbackConnection connection;
  ASSERT_TRUE(connection.Send("a\tb\r\nc\r\n"));
  ReceivedLines lines(connection.Server());
  lines.receiver.ReceiveLine();
  lines.receiver.ReceiveLine();
  CRequestTokenizer& line = lines.line;
  line.ReadLine();
  EXPECT_STREQ(line.NextToken(), "a");
  line.ReadLine();
  EXPECT_STREQ(line.NextToken(), "c");
  EXPECT_EQ(line.NextToken(), nullptr);
  // The audit reads a request again from its first line: the fields are there as received.
  CRequestTokenizer again(lines.request);
  again.ReadLine();
  EXPECT_EQ(Tokens(again), (Strings{"a", "b"}));
  again.ReadLine();
  EXPECT_EQ(Tokens(again), Strings{"c"});
}

TEST(RequestTokenizerTest, EmbeddedNulEndsTheLineForTokens) {
  FirstLine first(std::string("HB\0T\tx\r\n", 8));
  EXPECT_EQ(first.line.LineLength(), 8);
  EXPECT_EQ(Tokens(first.line), Strings{"HB"});
}

TEST(RequestTokenizerTest, EmptyLineIsAtMostTwoCharacters) {
  EXPECT_TRUE(FirstLine("\r\n").line.IsEmptyLine());
  EXPECT_TRUE(FirstLine("x\n").line.IsEmptyLine());
  EXPECT_FALSE(FirstLine("xy\n").line.IsEmptyLine());
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

TEST(RequestTokenizerTest, AddFirstLineKeeps99Characters) {
  FirstLine first(std::string(150, 'a'));
  EXPECT_EQ(first.line.LineLength(), 99);
  EXPECT_EQ(std::string(first.line.NextToken()), std::string(99, 'a'));
}

TEST(RequestTokenizerTest, AFirstLineOf150BytesIsCutTo99AndTheNextLineKept) {
  CLoopbackConnection connection;
  const std::string longLine = "AD\t" + std::string(145, 'n') + "\r\n";  // 150 bytes
  ASSERT_TRUE(connection.Send(longLine + "HBT\r\n"));
  ReceivedLines lines(connection.Server());
  lines.receiver.ReceiveLine();
  lines.receiver.ReceiveLine();
  CRequestTokenizer& line = lines.line;
  EXPECT_EQ(line.ReadLine(), 99);
  EXPECT_STREQ(line.NextToken(), "AD");
  EXPECT_EQ(std::string(line.NextToken()), std::string(96, 'n'));
  EXPECT_EQ(line.NextToken(), nullptr);
  EXPECT_EQ(line.ReadLine(), 5);
  EXPECT_STREQ(line.NextToken(), "HBT");
}

TEST(RequestTokenizerTest, ALaterLineOf150BytesRefusesTheRequestWhereTheCursorMeetsIt) {
  CLoopbackConnection connection;
  ASSERT_TRUE(connection.Send("SW\t0\t1\r\n0\t" + std::string(146, 'v') + "\r\n"));
  ReceivedLines lines(connection.Server());
  lines.receiver.ReceiveLine();
  EXPECT_THROW(lines.receiver.ReceiveLine(), CRequestLineTooLong);
  CRequestTokenizer& line = lines.line;
  EXPECT_EQ(line.ReadLine(), 8);
  try {
    line.ReadLine();
    ADD_FAILURE() << "the refused line was read";
  } catch (const CRequestLineTooLong& tooLong) {
    EXPECT_EQ(tooLong.Start(), "0\t" + std::string(97, 'v'));
  }
  EXPECT_TRUE(line.IsEmptyLine());
  EXPECT_EQ(line.NextToken(), nullptr);
}

TEST(RequestTokenizerTest, ARefusedLineKeepsANulByteOfItsStart) {
  CLoopbackConnection connection;
  const std::string start = std::string("0\t", 2) + '\0' + std::string(96, 'v');
  ASSERT_TRUE(connection.Send("SW\t0\t1\r\n" + start + std::string(60, 'v') + "\r\n"));
  ReceivedLines lines(connection.Server());
  lines.receiver.ReceiveLine();
  EXPECT_THROW(lines.receiver.ReceiveLine(), CRequestLineTooLong);
  lines.line.ReadLine();
  try {
    lines.line.ReadLine();
    ADD_FAILURE() << "the refused line was read";
  } catch (const CRequestLineTooLong& tooLong) {
    EXPECT_EQ(tooLong.Start(), start);
  }
}

TEST(RequestTokenizerTest, ReadLineOfCrLfOnlyIsEmptyAndHasNoToken) {
  CLoopbackConnection connection;
  ASSERT_TRUE(connection.Send("\r\n"));
  ReceivedLines lines(connection.Server());
  lines.receiver.ReceiveLine();
  EXPECT_EQ(lines.line.ReadLine(), 2);
  EXPECT_TRUE(lines.line.IsEmptyLine());
  EXPECT_EQ(lines.line.NextToken(), nullptr);
}

TEST(RequestTokenizerTest, ReadingPastWhatArrivedThrowsWhatEndedTheReceivingAndLeavesAnEmptyLine) {
  CLoopbackConnection connection;
  ASSERT_TRUE(connection.Send("old\tline\r\nabc"));
  connection.CloseClient();
  ReceivedLines lines(connection.Server());
  lines.receiver.ReceiveLine();
  std::optional<CBlockingSocketException> failure;
  try {
    lines.receiver.ReceiveLine();
  } catch (const CBlockingSocketException& e) {
    failure = e;
  }
  ASSERT_TRUE(failure.has_value());
  lines.request.Finish(failure);
  CRequestTokenizer& line = lines.line;
  line.ReadLine();
  EXPECT_STREQ(line.NextToken(), "old");
  try {
    line.ReadLine();
    ADD_FAILURE() << "read past the last line";
  } catch (const CBlockingSocketException& e) {
    EXPECT_EQ(e.Message(), failure->Message());
  }
  EXPECT_TRUE(line.IsEmptyLine());
  EXPECT_EQ(line.NextToken(), nullptr);
}
