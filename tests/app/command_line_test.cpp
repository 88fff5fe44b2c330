#include "app/command_line.h"

#include <gtest/gtest.h>

#include "app/operation_record.h"

namespace {

CommandLineOptions Parse(const std::string& arguments) {
  return ParseCommandLine("quarnix " + arguments);
}

}  // namespace

TEST(CommandLineTest, NoOptionsKeepTheDefaults) {
  const CommandLineOptions options = ParseCommandLine("/opt/quarnix/quarnix");
  EXPECT_EQ(8089, options.listenPort);
  EXPECT_EQ(8088, options.remotePort);
  EXPECT_EQ(0x7F000001u, options.remoteHost);
  EXPECT_FALSE(options.backgroundMode);
  EXPECT_FALSE(options.showUsage);
  EXPECT_EQ(u"OPC.SimaticNET", options.progId);
}

TEST(CommandLineTest, RemoteHostFollowsTheDottedAddressRules) {
  EXPECT_EQ(0xC0A80114u, Parse("/rh 192.168.1.20").remoteHost);
  EXPECT_EQ(0xFFFFFFFFu, Parse("/rh 255.255.255.255").remoteHost);
  EXPECT_EQ(0xFFFFFFFFu, Parse("/rh gateway.local").remoteHost);  // invalid gives broadcast
  EXPECT_EQ(0x0A000001u, Parse("/rh 10.1").remoteHost);
  EXPECT_EQ(0x7F000001u, Parse("/rh").remoteHost);  // last token: unchanged
}

// A listening or sending port the operator did not mean is an error, like a bad protection
// value: decimal digits only, /lp 1 to 65535, /rp 0 to 65535, and a missing value is bad too.
TEST(CommandLineTest, PortsMustBeDecimalNumbersInRange) {
  EXPECT_EQ(0, Parse("/rp 0").remotePort);
  EXPECT_EQ(65535, Parse("/lp 65535").listenPort);
  EXPECT_EQ(1, Parse("/lp 1").listenPort);
  EXPECT_TRUE(Parse("/lp 1 /rp 0").optionError.empty());
  for (const char* bad : {"/lp abc", "/lp 99999", "/lp 0", "/lp 9000x", "/lp -1", "/lp +80",
                          "/rp 99999", "/rp -1", "/rp 65536", "/lp", "/rp"}) {
    const CommandLineOptions options = Parse(bad);
    const std::string option(bad, 3);
    EXPECT_NE(std::string::npos, options.optionError.find("选项 " + option + " 的值")) << bad;
    EXPECT_NE(std::string::npos, options.optionError.find("65535")) << bad;
  }
  EXPECT_NE(std::string::npos, Parse("/lp 99999").optionError.find("“99999”"));
  EXPECT_EQ(8089, Parse("/lp 99999").listenPort);  // unchanged: the start ends anyway
}

TEST(CommandLineTest, HelpOptionsAskForTheUsage) {
  for (const char* help : {"/?", "--help", "-h", "-H", "--HELP"}) {
    EXPECT_TRUE(Parse(help).showUsage) << help;
  }
  EXPECT_FALSE(Parse("-help").showUsage);
}

TEST(CommandLineTest, OptionsIgnoreLetterCase) {
  const CommandLineOptions options =
      Parse("/LP 9000 /Rp 9001 /RH 10.0.0.2 /S /PROGID Quarnix.Simulator");
  EXPECT_EQ(9000, options.listenPort);
  EXPECT_EQ(9001, options.remotePort);
  EXPECT_EQ(0x0A000002u, options.remoteHost);
  EXPECT_TRUE(options.backgroundMode);
  EXPECT_EQ(u"Quarnix.Simulator", options.progId);
}

TEST(CommandLineTest, UsageStopsTheParsingWhereItStands) {
  const CommandLineOptions first = Parse("/? /s /lp 9000");
  EXPECT_TRUE(first.showUsage);
  EXPECT_FALSE(first.backgroundMode);  // shown in a message box
  EXPECT_EQ(8089, first.listenPort);
  const CommandLineOptions second = Parse("/s /?");
  EXPECT_TRUE(second.showUsage);
  EXPECT_TRUE(second.backgroundMode);  // written to standard output
}

TEST(CommandLineTest, ProgIdAsLastTokenBecomesEmpty) {
  EXPECT_EQ(u"", Parse("/progId").progId);
  EXPECT_EQ(u"组.Server", Parse("/progId 组.Server").progId);
}

TEST(CommandLineTest, ValuesAreConsumedAndOtherTokensIgnored) {
  const CommandLineOptions options = Parse("/progId /s foo /x 12 /lp 9000");
  EXPECT_EQ(u"/s", options.progId);
  EXPECT_FALSE(options.backgroundMode);
  EXPECT_EQ(9000, options.listenPort);
}

TEST(CommandLineTest, UnknownWordsAreKeptAndNamedWithTheClosestOption) {
  const CommandLineOptions options = Parse("/progId /s foo /x 12 /lp 9000 /connect /METRIC 9464");
  EXPECT_EQ((std::vector<std::string>{"foo", "/x", "12", "/METRIC", "9464"}),
            options.unknownOptions);
  EXPECT_TRUE(options.connectAtStart);
  EXPECT_TRUE(Parse("/s /install /service /uninstall /connect").unknownOptions.empty());
  EXPECT_EQ("ignored unknown option /metric (did you mean /metrics?)",
            UnknownOptionText("/metric"));
  EXPECT_EQ("ignored unknown option /lpp (did you mean /lp?)", UnknownOptionText("/lpp"));
  EXPECT_EQ("ignored unknown option /READNOLY (did you mean /readonly?)",
            UnknownOptionText("/READNOLY"));
  EXPECT_EQ("ignored unknown option metrics (did you mean /metrics?)",
            UnknownOptionText("metrics"));
  EXPECT_EQ("ignored unknown option 9464", UnknownOptionText("9464"));
  EXPECT_EQ("ignored unknown option /verbose", UnknownOptionText("/verbose"));
}

TEST(CommandLineTest, RunsOfSpacesSeparateAndNoQuotingApplies) {
  const CommandLineOptions options = Parse("   /lp    9000   /progId \"My Server\"  ");
  EXPECT_EQ(9000, options.listenPort);
  EXPECT_EQ(u"\"My", options.progId);
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), SplitCommandLine("  a b   c "));
  EXPECT_TRUE(SplitCommandLine("").empty());
}

TEST(CommandLineTest, ProgramPathIsSkipped) {
  EXPECT_EQ(8089, ParseCommandLine("/lp 9000").listenPort);  // "/lp" is taken as the path
}

TEST(CommandLineTest, ArgumentsJoinIntoTheRawLine) {
  const char* argv[] = {"./quarnix", "/progId", "My Server", nullptr};
  EXPECT_EQ("./quarnix /progId My Server", JoinArguments(3, argv));
  EXPECT_EQ(u"My", ParseCommandLine(JoinArguments(3, argv)).progId);
}

TEST(CommandLineTest, ProtectionOptionsTakeCheckedValuesAndTheLastHolds) {
  const CommandLineOptions defaults = Parse("");
  EXPECT_EQ(0u, defaults.protection.bindAddress);
  EXPECT_TRUE(defaults.protection.allowList.Empty());
  EXPECT_FALSE(defaults.requests.readOnly);
  EXPECT_EQ(256, defaults.protection.maxConnections);
  EXPECT_EQ(10000u, defaults.requests.maxGroups);
  EXPECT_EQ(1000000u, defaults.requests.maxItems);
  EXPECT_EQ(10, defaults.requests.callTimeoutSeconds);
  EXPECT_EQ(10, defaults.requests.statusCheckSeconds);
  EXPECT_EQ("", defaults.optionError);

  const CommandLineOptions set = Parse(
      "/BIND 10.0.0.1 /Allow 10.1.2.0/24,10.1.3.7 /READONLY /maxconn 4 /MaxGroups 2 /maxitems 9 "
      "/bind 10.0.0.2 /lp 9000 /CallTimeout 600 /STATUSCHECK 1");
  EXPECT_EQ("", set.optionError);
  EXPECT_EQ(0x0A000002u, set.protection.bindAddress);  // given twice: the last holds
  EXPECT_TRUE(set.protection.allowList.Allows(0x0A010307u));
  EXPECT_FALSE(set.protection.allowList.Allows(0x0A010306u));
  EXPECT_TRUE(set.requests.readOnly);
  EXPECT_EQ(4, set.protection.maxConnections);
  EXPECT_EQ(2u, set.requests.maxGroups);
  EXPECT_EQ(9u, set.requests.maxItems);
  EXPECT_EQ(9000, set.listenPort);
  EXPECT_EQ(600, set.requests.callTimeoutSeconds);
  EXPECT_EQ(1, set.requests.statusCheckSeconds);
}

TEST(CommandLineTest, BadProtectionValuesAreErrorsNamingTheOptionAndTheValue) {
  const std::pair<const char*, const char*> cases[] = {
      {"/allow 10.1.2.0/33", "“10.1.2.0/33”"},
      {"/allow 10.1.2", "“10.1.2”"},
      {"/allow x", "“x”"},
      {"/allow 10.1.2.0/24,", "“10.1.2.0/24,”"},
      {"/bind 300.1.1.1", "“300.1.1.1”"},
      {"/maxconn 0", "“0”"},
      {"/maxconn -3", "“-3”"},
      {"/maxgroups 10x", "“10x”"},
      {"/maxitems 99999999999", "“99999999999”"},
      {"/allow", "“”"},
      {"/calltimeout 0", "“0”"},
      {"/calltimeout 601", "“601”"},
      {"/calltimeout", "“”"},
      {"/writers 10.1.2.5,10.1.2.300", "“10.1.2.300”不是"},
      {"/writers 10.1.2.0/33", "“10.1.2.0/33”不是"},
      {"/writers", "“”"},
      // An address outside /allow could never connect.
      {"/writers 10.1.3.7 /allow 10.1.2.0/24", "“10.1.3.7”不全在 /allow"},
      {"/allow 10.1.2.0/24 /writers 10.1.2.5,10.1.0.0/16", "“10.1.0.0/16”不全在 /allow"},
      {"/statuscheck 0", "“0”"},
      {"/statuscheck 601", "“601”"},
      {"/statuscheck x", "“x”"},
  };
  for (const auto& [arguments, value] : cases) {
    const std::string error = Parse(arguments).optionError;
    const std::string option = std::string(arguments).substr(0, std::string(arguments).find(' '));
    EXPECT_NE(std::string::npos, error.find(option)) << arguments << ": " << error;
    EXPECT_NE(std::string::npos, error.find(value)) << arguments << ": " << error;
  }
  const CommandLineOptions writers =
      Parse("/writers 10.1.2.5,10.1.3.0/24 /allow 10.1.2.0/24,10.1.3.0/24");
  EXPECT_EQ("", writers.optionError);
  EXPECT_EQ("10.1.2.5,10.1.3.0/24", writers.requests.writersText);
  EXPECT_TRUE(writers.requests.writers.Allows(0x0A010305u));
  EXPECT_FALSE(writers.requests.writers.Allows(0x0A010206u));
  EXPECT_EQ("", Parse("/writers 10.1.2.5").optionError);  // without /allow: anyone may connect
  // The first bad value is reported.
  EXPECT_NE(std::string::npos, Parse("/maxconn 0 /bind x").optionError.find("/maxconn"));
}

TEST(CommandLineTest, BackupOptionsAreCheckedAndNamedInTheStartLineOnlyWhenGiven) {
  const CommandLineOptions plain = Parse("/progId Quarnix.Simulator");
  EXPECT_FALSE(plain.failover.Enabled());
  EXPECT_EQ(5, plain.failover.failoverSeconds);
  EXPECT_EQ(60, plain.failover.failbackSeconds);
  EXPECT_EQ(std::string::npos, StartRecordText(plain).find("/backup"));
  EXPECT_EQ(std::string::npos, StartRecordText(plain).find("/fail"));

  const CommandLineOptions backup =
      Parse("/progId Quarnix.Simulator /BACKUP Quarnix.Simulator.2 /failover 0 /failback 0");
  EXPECT_EQ("", backup.optionError);
  EXPECT_EQ(u"Quarnix.Simulator.2", backup.failover.backupProgId);
  EXPECT_EQ(0, backup.failover.failoverSeconds);
  EXPECT_EQ(0, backup.failover.failbackSeconds);
  const std::string line = StartRecordText(backup);
  EXPECT_NE(std::string::npos, line.find(" /backup Quarnix.Simulator.2 /failover 0 /failback 0"))
      << line;
  EXPECT_NE(std::string::npos, StartRecordText(Parse("/progId A /backup B")).find(" /backup B"));
  EXPECT_EQ(std::string::npos, StartRecordText(Parse("/progId A /backup B")).find("/failover"));

  const std::pair<const char*, const char*> refused[] = {
      {"/progId Quarnix.Simulator /backup quarnix.SIMULATOR", "/progId 相同"},
      {"/backup OPC.SimaticNET", "/progId 相同"},  // the default /progId
      {"/backup", "“”"},
      {"/backup B /failover 601", "“601”"},
      {"/backup B /failover x", "“x”"},
      {"/backup B /failback -1", "“-1”"},
      {"/backup B /failback", "“”"},
#ifndef _WIN32
      {"/backup B /backuphost plc-pc2", "仅限Windows"},
#endif
  };
  for (const auto& [arguments, text] : refused) {
    const std::string error = Parse(arguments).optionError;
    EXPECT_NE(std::string::npos, error.find(text)) << arguments << ": " << error;
  }
}
