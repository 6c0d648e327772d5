#include <gtest/gtest.h>

#include "app/command_line.h"

namespace km {
namespace {

using Values = std::vector<std::string>;

TEST(FindOption, TakesTheNextWordOrAWholeQuotedValueOfEveryOccurrence) {
  EXPECT_EQ(findOption("-configdir /srv/mail -trayicon none", "-configdir"), Values{"/srv/mail"});
  EXPECT_EQ(findOption("-trayicon    none", "-trayicon"), Values{"none"});
  EXPECT_TRUE(findOption("-trayicon none", "-configdir").empty());
  EXPECT_EQ(findOption("-configdir \"/home/u/My Mail/data\" -trayicon none", "-configdir"),
            Values{"/home/u/My Mail/data"});
  // An unterminated quote runs to the end of the line; no escapes inside quotes.
  EXPECT_EQ(findOption("-configdir \"/a b c", "-configdir"), Values{"/a b c"});
  EXPECT_EQ(findOption("-configdir \"a\\\" b", "-configdir"), Values{"a\\"});
  EXPECT_EQ(findOption("-a 1 -b 2 -a \"three 3\" -a", "-a"), (Values{"1", "three 3", ""}));
  // Scanning resumes after the value: a value that looks like the option is no
  // other occurrence.
  EXPECT_EQ(findOption("-a -a", "-a"), Values{"-a"});
}

TEST(FindOption, MatchesWholeWordsOnlyIgnoringCase) {
  EXPECT_TRUE(findOption("-configdirectory /x", "-configdir").empty());
  EXPECT_TRUE(findOption("x-configdir /x", "-configdir").empty());
  EXPECT_EQ(findOption("-CONFIGDIR /x", "-configdir"), Values{"/x"});
  EXPECT_EQ(findOption("-configdirectory /x -configdir /y", "-configdir"), Values{"/y"});
}

TEST(CommandLineFromArguments, QuotesArgumentsWithSpaces) {
  const char* argv[] = {"kestrelmail", "-configdir", "/home/u/My Mail", "-trayicon", "none"};
  std::string line = commandLineFromArguments(5, argv);
  EXPECT_EQ(line, "-configdir \"/home/u/My Mail\" -trayicon none");
  EXPECT_EQ(findOption(line, "-configdir"), Values{"/home/u/My Mail"});
}

} // namespace
} // namespace km
