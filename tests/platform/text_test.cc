#include <gtest/gtest.h>

#include <cerrno>

#include "platform/errors.h"
#include "platform/text.h"

namespace km {
namespace {

TEST(FormatText, FillsPlaceholdersInOrder) {
  EXPECT_EQ(formatText("Error %d with file \"%s\": %s", {2, "/tmp/x", "No such file"}),
            "Error 2 with file \"/tmp/x\": No such file");
  EXPECT_EQ(formatText("IP_LISTEN %d.%d.%d.%d\n", {127, 0, 0, 1}), "IP_LISTEN 127.0.0.1\n");
  EXPECT_EQ(formatText("%u", {4294967295u}), "4294967295");
  EXPECT_EQ(formatText("100%%", {}), "100%");
}

TEST(FormatText, KnowsFlagsWidthsAndHex) {
  EXPECT_EQ(formatText(" Error code: %#x", {0xc0000005u}), " Error code: 0xc0000005");
  EXPECT_EQ(formatText("[%5d|%-4s|%03d]", {42, "ab", 7}), "[   42|ab  |007]");
  EXPECT_EQ(formatText("%ld and %lu", {-5L, 6UL}), "-5 and 6");
  EXPECT_EQ(formatText("%.2s", {"abcdef"}), "ab");
}

TEST(FormatText, SurvivesTemplatesThatDoNotMatchTheirArguments) {
  // A template from the string table may ask for more or other arguments than
  // the caller gives: it must never read past them.
  EXPECT_EQ(formatText("%s and %s and %d", {"one"}), "one and  and 0");
  EXPECT_EQ(formatText("%d", {"42abc"}), "42");
  EXPECT_EQ(formatText("%s", {17}), "17");
  EXPECT_EQ(formatText("%n%p", {1, 2}), "%n%p");
  EXPECT_EQ(formatText("trailing %", {}), "trailing %");
  // Widths are capped so a hostile template cannot ask for huge padding.
  EXPECT_LE(formatText("%99999999d", {1}).size(), 1000u);
}

TEST(ReadInt, ReadsLeadingDigitsLikeTheDataFilesNeed) {
  EXPECT_EQ(readInt("256"), 256);
  EXPECT_EQ(readInt("  12abc"), 12);
  EXPECT_EQ(readInt("-3"), -3);
  EXPECT_EQ(readInt("abc"), 0);
  EXPECT_EQ(readInt(""), 0);
  EXPECT_EQ(readInt("99999999999999"), 2147483647);
  EXPECT_EQ(readInt("-99999999999999"), -2147483647 - 1);
  EXPECT_EQ(readLong("4294967295"), 4294967295LL);
}

TEST(ReadDouble, ReadsVersionNumbers) {
  EXPECT_DOUBLE_EQ(readDouble("1.53"), 1.53);
  EXPECT_DOUBLE_EQ(readDouble("1.6 beta"), 1.6);
  EXPECT_DOUBLE_EQ(readDouble("new"), 0.0);
}

TEST(CaseRules, CompareAsciiIgnoringCase) {
  EXPECT_TRUE(equalsIgnoreCase("Kestrelmail_COMPATIBILITY", "KESTRELMAIL_compatibility"));
  EXPECT_FALSE(equalsIgnoreCase("YES", "YES "));
  EXPECT_TRUE(startsWithIgnoreCase("plugin name", "PLUGIN"));
  EXPECT_FALSE(startsWithIgnoreCase("PLUG", "PLUGIN"));
  // Bytes from 128 up are ordinary characters, never folded.
  EXPECT_FALSE(equalsIgnoreCase("\xc4", "\xe4"));
}

TEST(SocketErrors, MapErrnoOntoTheReportedCodes) {
  EXPECT_EQ(socketErrorFromErrno(ECONNRESET), wsa::kConnectionReset);
  EXPECT_EQ(socketErrorFromErrno(EPIPE), wsa::kConnectionReset);
  EXPECT_EQ(socketErrorFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(socketErrorFromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(socketErrorFromErrno(EADDRINUSE), 10048);
  EXPECT_EQ(socketErrorFromErrno(EACCES), 10013);
  EXPECT_EQ(socketErrorFromErrno(0), 0);
  EXPECT_FALSE(errorText(ENOENT).empty());
}

} // namespace
} // namespace km
