// Browsing ("BR") and item properties ("IP") through a running gateway with the simulator: the
// list framing byte for byte, paging through all of Many, the filters, the flat variant and the
// refusals.
#include <gmock/gmock.h>

#include <set>
#include <string>
#include <vector>

#include "tests/e2e/shared_gateway_fixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Page {
  int code = -1;
  std::string text;
  std::vector<std::vector<std::string>> lines;
  std::string next;  // the continuation value, empty on the last page
};

Page ReadPage(CRunningGateway& gateway, const BrowseQuery& query) {
  Page page;
  const ExchangeResult result = gateway.Exchange(BrowseRequest(query));
  EXPECT_TRUE(result.Ok()) << result.message;
  page.code = result.reply.code;
  page.text = result.reply.text;
  if (page.code != 0) return page;
  const auto list = ReplyList(result.reply.text);
  EXPECT_TRUE(list) << result.raw;
  if (!list) return page;
  page.lines = list->lines;
  const std::size_t at = list->words.find("more with ");
  if (at != std::string::npos) page.next = list->words.substr(at + 10);
  return page;
}

BrowseQuery Query(const std::string& branch, int pageSize = 100) {
  BrowseQuery query;
  query.branch = branch;
  query.pageSize = pageSize;
  return query;
}

std::vector<std::string> Names(const Page& page) {
  std::vector<std::string> names;
  for (const auto& line : page.lines) names.push_back(line.size() > 1 ? line[1] : "");
  return names;
}

class BrowseTest : public SharedGatewayTest {};

TEST_F(BrowseTest, RootListsTheBranchesAsAListReply) {
  EXPECT_EQ(
      "0\t8 entries, the last page\r\n"
      "B\tStatic\tStatic\r\nB\tRamp\tRamp\r\nB\tRandom\tRandom\r\nB\tMemory\tMemory\r\n"
      "B\tBad\tBad\r\nB\tUncertain\tUncertain\r\nB\tControl\tControl\r\nB\tMany\tMany\r\n",
      Raw("BR\r\n\r\n\r\n\r\n"));
}

TEST_F(BrowseTest, BranchListsItsLeavesWithTheirItemIds) {
  const Page page = ReadPage(Gateway(), Query("Static"));
  ASSERT_EQ(0, page.code) << page.text;
  ASSERT_EQ(14u, page.lines.size());
  EXPECT_THAT(page.lines[0], ElementsAre("L", "Int1", "Static.Int1"));
  EXPECT_THAT(page.lines[9], ElementsAre("L", "String", "Static.String"));
  EXPECT_THAT(page.lines[13], ElementsAre("L", "Currency", "Static.Currency"));
  EXPECT_TRUE(page.next.empty());
}

TEST_F(BrowseTest, PagesWithContinuationsCoverAllOfManyOnce) {
  BrowseQuery query = Query("Many", 1000);
  std::set<std::string> ids;
  int pages = 0;
  for (;; ++pages) {
    const Page page = ReadPage(Gateway(), query);
    ASSERT_EQ(0, page.code) << page.text;
    for (const auto& line : page.lines) ids.insert(line.at(2));
    if (page.next.empty()) break;
    EXPECT_EQ(1000u, page.lines.size());
    query.continuation = page.next;
  }
  EXPECT_EQ(49, pages);  // 50 pages in all
  EXPECT_EQ(50000u, ids.size());
  EXPECT_EQ(1u, ids.count("Many.1"));
  EXPECT_EQ(1u, ids.count("Many.50000"));
}

TEST_F(BrowseTest, FiltersNarrowThePage) {
  BrowseQuery query = Query("Many");
  query.pattern = "4999?";
  EXPECT_EQ(10u, ReadPage(Gateway(), query).lines.size());  // 49990 to 49999
  query = Query("");
  query.kind = 'B';
  query.pattern = "R*";
  EXPECT_THAT(Names(ReadPage(Gateway(), query)), ElementsAre("Ramp", "Random"));
  query = Query("Memory");
  query.access = "W";
  EXPECT_EQ(14u, ReadPage(Gateway(), query).lines.size());
  query.branch = "Static";
  EXPECT_EQ(0u, ReadPage(Gateway(), query).lines.size());
  query.kind = 'B';  // no branches below a family
  query.access = "*";
  EXPECT_EQ("0 entries, the last page", ReadPage(Gateway(), query).text);
}

TEST_F(BrowseTest, BadArgumentsAndContinuationsAreRefused) {
  EXPECT_EQ("1\tInvalid page size: 0 (1 to 1000)\r\n", Raw("BR\t0\r\n\r\n\r\n\r\n"));
  EXPECT_EQ("1\tInvalid page size: 1000000000 (1 to 1000)\r\n",
            Raw("BR\t1000000000\r\n\r\n\r\n\r\n"));
  EXPECT_THAT(Raw("BR\t10\tX\r\n\r\n\r\n\r\n"), StartsWith("1\tInvalid browse kind: X"));
  const Page first = ReadPage(Gateway(), Query("Many", 10));
  ASSERT_FALSE(first.next.empty());
  BrowseQuery other = Query("Static", 10);
  other.continuation = first.next;
  EXPECT_THAT(ReadPage(Gateway(), other).text, StartsWith("Continuation value of another branch"));
  BrowseQuery forged = Query("Many", 10);
  forged.continuation = first.next;
  forged.continuation[3] = forged.continuation[3] == '0' ? '1' : '0';
  const Page refused = ReadPage(Gateway(), forged);
  EXPECT_EQ(1, refused.code);
  EXPECT_THAT(refused.text, StartsWith("Invalid continuation value"));
  forged.continuation = "nonsense";
  EXPECT_THAT(ReadPage(Gateway(), forged).text, StartsWith("Invalid continuation value"));
}

TEST_F(BrowseTest, UnknownBranchGivesTheServersError) {
  EXPECT_EQ("-2147024809\tCannot browse to branch Nope: An argument is not valid.\r\n",
            Raw("BR\r\nNope\r\n\r\n\r\n"));
}

TEST_F(BrowseTest, PropertiesOfANumericAndAStringItem) {
  const std::string numeric = Raw("IP\r\nStatic.Int4\r\n\r\n");
  EXPECT_THAT(numeric,
              StartsWith("0\t10 properties, 0 failed\r\n1\t0\t2\tItem Canonical DataType\t3\r\n"
                         "2\t0\t12\tItem Value\t70000\r\n3\t0\t2\tItem Quality\t192\r\n"));
  EXPECT_THAT(numeric, HasSubstr("\r\n5\t0\t3\tItem Access Rights\t1\r\n"));
  EXPECT_THAT(numeric, HasSubstr("\r\n102\t0\t5\tHigh EU\t2147483647\r\n"
                                 "103\t0\t5\tLow EU\t-2147483648\r\n"));
  // Chosen ids; one the item does not have fails alone with its code and text.
  EXPECT_EQ(
      "0\t3 properties, 1 failed\r\n"
      "2\t0\t12\tItem Value\tQuarnix\r\n"
      "102\t-1073479165\t0\t\tThe property ID is not valid for the item.\r\n"
      "101\t0\t8\tItem Description\tFixed value\r\n",
      Raw("IP\r\nStatic.String\r\n2\t102\t101\r\n"));
  EXPECT_EQ(
      "-1073479673\tCannot read the properties of Foo.Int4: The item ID is not defined in "
      "the server.\r\n",
      Raw("IP\r\nFoo.Int4\r\n\r\n"));
  EXPECT_EQ("1\tMissing item ID\r\n", Raw("IP\r\n\r\n"));
}

// The flat variant: the root answers every item ID, paged the same way.
class FlatBrowseTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    s_flat = std::make_unique<CRunningGateway>(
        std::vector<std::string>{"/progId", "Quarnix.Simulator.Flat"});
  }
  static void TearDownTestSuite() { s_flat.reset(); }
  inline static std::unique_ptr<CRunningGateway> s_flat;
};

TEST_F(FlatBrowseTest, RootPagesThroughEveryItemId) {
  ASSERT_TRUE(s_flat && s_flat->Ready());
  BrowseQuery query = Query("", 1000);
  std::size_t count = 0;
  Page page = ReadPage(*s_flat, query);
  ASSERT_EQ(0, page.code) << page.text;
  EXPECT_THAT(page.lines[0], ElementsAre("L", "Static.Int1", "Static.Int1"));
  for (count = page.lines.size(); !page.next.empty(); count += page.lines.size()) {
    query.continuation = page.next;
    page = ReadPage(*s_flat, query);
    ASSERT_EQ(0, page.code) << page.text;
  }
  EXPECT_EQ(84u + 3u + 50000u, count);  // the family items, Control.Restart, .Hang, .Delay, Many
  EXPECT_EQ(1, ReadPage(*s_flat, Query("Static")).code);  // no branches in a flat space
}

}  // namespace
