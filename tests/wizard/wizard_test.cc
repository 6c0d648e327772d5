// The wizard's file formats and configuration edits: Wine's user.reg, INI files,
// prefs.js, address scanning, SMTP port blocks and DNSBL lines.
#include <gtest/gtest.h>

#include "config/config.h"
#include "platform/sockets.h"
#include "support/test_support.h"
#include "wizard/address_scan.h"
#include "wizard/config_seeding.h"
#include "wizard/ini_file.h"
#include "wizard/mailers_internal.h"
#include "wizard/prefs_js.h"
#include "wizard/terminal_wizard.h"
#include "wizard/wine_registry.h"

namespace km {
namespace {

// A registry file as Wine writes it, with what it must keep: a CR LF section, a
// value type and a data form this reader does not know, odd escapes, hex data
// over continuation lines, and no line end at the very end.
const std::string kUserReg = "WINE REGISTRY Version 2\n"
                             ";; All keys relative to \\\\User\\\\S-1-5-21-0\n"
                             "\n"
                             "#arch=win64\n"
                             "\n"
                             "[Software\\\\Vendor\\\\App\\\\First] 1700000000\n"
                             "#time=1d9f0c0a1b2c3d4\n"
                             "\"Plain\"=\"pop.example\"\n"
                             "\"Expand\"=str(2):\"%APPDATA%\\\\Dir\"\n"
                             "\"Number\"=dword:0000024b\n"
                             "\"Odd\"=\"tab\\there \\x00e9t\\xe9 \\\"q\\\" b\\\\s \\q \\101\"\n"
                             "\"Bytes\"=hex:01,02,\\\n  ff\n"
                             "\"Other type\"=hex(7f):0a\n"
                             "\"Unknown form\"=quad:0000000000000001\n"
                             "@=\"default\"\n"
                             "\n"
                             "[Software\\\\Vendor\\\\App\\\\Second\\\\Deep] 1700000001\r\n"
                             "\"Name\"=\"value\"\r\n"
                             "\r\n"
                             "[Software\\\\Vendor\\\\Other] 1700000002\n"
                             "\"Last\"=\"x\"";

constexpr const char* kFirst = "Software\\Vendor\\App\\First";

TEST(WineRegistryTest, ParsesAndWritesBackEveryByte) {
  RegistryFile file = parseRegistry(kUserReg);
  EXPECT_EQ(formatRegistry(file), kUserReg);
  EXPECT_EQ(registrySubkeys(file, "software\\vendor\\app"),
            (std::vector<std::string>{"First", "Second"}));
  EXPECT_TRUE(registrySubkeys(file, "Software\\Vendor\\Other").empty());
}

TEST(WineRegistryTest, ReadsEachValueForm) {
  RegistryFile file = parseRegistry(kUserReg);
  struct Case {
    const char* name;
    std::optional<std::string> text;
    std::optional<uint32_t> number;
    uint32_t type;
  };
  const Case cases[] = {
      {"plain", "pop.example", std::nullopt, REG_SZ},
      {"Expand", "%APPDATA%\\Dir", std::nullopt, REG_EXPAND_SZ},
      {"Number", std::nullopt, 587, REG_DWORD},
      {"Odd", "tab\there \xc3\xa9t\xc3\xa9 \"q\" b\\s q A", std::nullopt, REG_SZ},
      {"", "default", std::nullopt, REG_SZ},
  };
  for (const Case& c : cases) {
    std::optional<RegistryData> data = registryValue(file, kFirst, c.name);
    ASSERT_TRUE(data) << c.name;
    EXPECT_EQ(data->type, c.type) << c.name;
    EXPECT_EQ(registryText(*data), c.text) << c.name;
    EXPECT_EQ(registryNumber(*data), c.number) << c.name;
  }
  EXPECT_EQ(registryValue(file, kFirst, "Bytes")->bytes, std::string("\x01\x02\xff"));
  EXPECT_EQ(registryValue(file, kFirst, "Other type")->type, 0x7fu);
  EXPECT_FALSE(registryValue(file, kFirst, "Unknown form"));
  EXPECT_FALSE(registryValue(file, kFirst, "Missing"));
}

TEST(WineRegistryTest, WritesChangedValuesAsWineDoesAndLeavesTheRest) {
  RegistryFile file = parseRegistry(kUserReg);
  // An equal value keeps its spelling; the other lines keep theirs.
  ASSERT_TRUE(setRegistryValue(file, kFirst, "Odd", *registryValue(file, kFirst, "Odd")));
  EXPECT_EQ(formatRegistry(file), kUserReg);

  ASSERT_TRUE(setRegistryValue(file, kFirst, "Plain", registryString("caf\xc3\xa9\"1\\", REG_SZ)));
  ASSERT_TRUE(setRegistryValue(file, kFirst, "Number", registryDword(1110)));
  ASSERT_TRUE(setRegistryValue(file, kFirst, "New", registryUtf16Binary("frank@pop.xp.example")));
  ASSERT_TRUE(setRegistryValue(file, "Software\\Vendor\\App\\Second\\Deep", "Name",
                               registryString("localhost", REG_EXPAND_SZ)));
  EXPECT_FALSE(setRegistryValue(file, "Software\\Vendor\\Missing", "Name", registryDword(1)));
  std::string text = formatRegistry(file);
  EXPECT_NE(text.find("\"Plain\"=\"caf\\xe9\\\"1\\\\\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Number\"=dword:00000456\n"), std::string::npos);
  // Binary data wraps after 76 columns, counted from the start of the line.
  EXPECT_NE(text.find("@=\"default\"\n\"New\"=hex:66,00,72,00,61,00,6e,00,6b,00,40,00,70,00,6f,"
                      "00,70,00,2e,00,78,00,70,\\\n  00,2e,00,65,00,78,00,61,00,6d,00,70,00,6c,"
                      "00,65,00,00,00\n\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"Name\"=str(2):\"localhost\"\r\n"), std::string::npos);

  // Written back to the values it had, the file is what it was.
  RegistryFile original = parseRegistry(kUserReg);
  for (const char* name : {"Plain", "Number"}) {
    setRegistryValue(file, kFirst, name, *registryValue(original, kFirst, name));
  }
  removeRegistryValue(file, kFirst, "New");
  setRegistryValue(file, "Software\\Vendor\\App\\Second\\Deep", "Name",
                   registryString("value", REG_SZ));
  EXPECT_EQ(formatRegistry(file), kUserReg);
  // A value added to the last key of a file without a final line end.
  ASSERT_TRUE(setRegistryValue(file, "Software\\Vendor\\Other", "Port", registryDword(25)));
  EXPECT_TRUE(formatRegistry(file).ends_with("\"Last\"=\"x\"\n\"Port\"=dword:00000019\n"));
}

TEST(IniFileTest, ChangesOnlyTheLinesItSets) {
  const std::string text = "; comment\r\n[Settings]\r\nPopServer = pop.example \r\n"
                           "LoginName=gina\r\n\r\n[Other]\r\nKey=1";
  IniFile ini = parseIni(text);
  EXPECT_EQ(formatIni(ini), text);
  EXPECT_EQ(iniValue(ini, "settings", "popserver"), "pop.example");
  EXPECT_EQ(iniKeys(ini, "Settings"), (std::vector<std::string>{"PopServer", "LoginName"}));

  setIniValue(ini, "Settings", "PopServer", "localhost");
  setIniValue(ini, "Settings", "SMTPPort", "1113");
  setIniValue(ini, "Other", "Added", "2");
  setIniValue(ini, "New Section", "K", "v");
  EXPECT_EQ(formatIni(ini), "; comment\r\n[Settings]\r\nPopServer = localhost \r\n"
                            "LoginName=gina\r\nSMTPPort=1113\r\n\r\n[Other]\r\nKey=1\r\n"
                            "Added=2\r\n[New Section]\r\nK=v\r\n");
  setIniValue(ini, "Settings", "PopServer", "pop.example");
  removeIniValue(ini, "Settings", "SMTPPort");
  removeIniValue(ini, "Other", "Added");
  EXPECT_FALSE(removeIniValue(ini, "Other", "Added"));
  EXPECT_EQ(formatIni(ini).substr(0, 70), text.substr(0, 70));
}

TEST(PrefsJsTest, RewritesValuesInsideTheirLinesOnly) {
  const std::string text = "// Mozilla User Preferences\n"
                           "/* user_pref(\"a.b\", \"in comment\");\n"
                           "   still comment */\n"
                           "user_pref(\"a.b\", \"q\\\"uote\\\\d\");\n"
                           "user_pref(\"n\", 587);\n"
                           "pref(\"unknown.kind\", true);";
  PrefsFile prefs = parsePrefs(text);
  EXPECT_EQ(formatPrefs(prefs), text);
  EXPECT_EQ(prefValue(prefs, "a.b"), "q\"uote\\d");
  EXPECT_EQ(prefNumber(prefs, "n"), 587);
  EXPECT_EQ(prefValue(prefs, "unknown.kind"), "true");
  EXPECT_FALSE(prefNumber(prefs, "a.b"));

  setPrefString(prefs, "a.b", "q\"uote\\d");
  EXPECT_EQ(formatPrefs(prefs), text);
  setPrefString(prefs, "a.b", "localhost");
  setPrefNumber(prefs, "n", 1117);
  setPrefNumber(prefs, "added", 1);
  EXPECT_EQ(formatPrefs(prefs), "// Mozilla User Preferences\n"
                                "/* user_pref(\"a.b\", \"in comment\");\n"
                                "   still comment */\n"
                                "user_pref(\"a.b\", \"localhost\");\n"
                                "user_pref(\"n\", 1117);\n"
                                "pref(\"unknown.kind\", true);\n"
                                "user_pref(\"added\", 1);\n");
  EXPECT_TRUE(removePref(prefs, "added"));
  EXPECT_EQ(prefNames(prefs, "a."), std::vector<std::string>{"a.b"});
}

TEST(AddressScanTest, FindsAddressShapedText) {
  struct Case {
    std::string text;
    std::vector<std::string> found;
  };
  const Case cases[] = {
      {"x <a.b@c-d.example.com> y", {"a.b@c-d.example.com"}},
      {"first@one.com,second@two.info", {"first@one.com", "second@two.info"}},
      {std::string("\x01name@host.de\x00", 15) + "tail", {"name@host.de"}},
      {"dir\\user@corp\\mail.org", {"user@corp\\mail.org"}},
      {"@nolocal.com a@b no@tld.x two@@at.com", {}},
      {"trailing@dot.com.", {"trailing@dot.com"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(scanAddresses(c.text), c.found) << c.text;
  }
  std::u16string wide = u"\x10pal@im.example";
  std::string bytes(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
  EXPECT_EQ(scanAddressesInBinary("\x01" + bytes), std::vector<std::string>{"pal@im.example"});

  std::vector<std::string> list = {"A@x.com"};
  mergeAddresses(list, {"a@X.com", "b@y.com", "b@y.com"});
  EXPECT_EQ(list, (std::vector<std::string>{"A@x.com", "b@y.com"}));
}

TEST(ConfigSeedingTest, SmtpBlocksAreCutWithTheirEmptyLines) {
  const std::string rest = "VERSION 1\nCREATE_DEFAULT_IMAP4_PORT NO\n";
  std::string text = smtpPortBlock(1111, "b.example:587") + smtpPortBlock(1110, "a.example") + rest;
  EXPECT_EQ(smtpPortBlock(1110, "a.example").substr(0, 71),
            "\nPORT 1110\nPORT_TYPE SMTP_SPECIFIC\nPORT_SMTP_SERVERNAME a.example\nPORT_");
  std::vector<int32_t> removed;
  EXPECT_EQ(removeSmtpPortBlocks(text, removed), rest);
  EXPECT_EQ(removed, (std::vector<int32_t>{1111, 1110}));

  // A file the main program wrote keeps its other ports.
  Config config;
  PortConfig pop3;
  pop3.listenPort = 110;
  PortConfig smtp;
  smtp.listenPort = 25;
  smtp.type = PortType::SmtpSpecific;
  smtp.serverName = "mail.example";
  smtp.upstreamTls = UpstreamTls::StartTls;
  config.ports = {pop3, smtp, pop3};
  config.ports[2].listenPort = 1110;
  removed.clear();
  std::string kept = removeSmtpPortBlocks(formatConfigFile(config), removed);
  EXPECT_EQ(removed, std::vector<int32_t>{25});
  EXPECT_EQ(configuredPorts(kept), (std::vector<int32_t>{110, 1110}));
  EXPECT_EQ(kept.find("SMTP"), std::string::npos);
}

TEST(ConfigSeedingTest, PortCounterSkipsPortsTakenOrInUse) {
  SocketHandle listener = createTcpSocket();
  int error = 0;
  ASSERT_TRUE(bindSocket(listener, {127, 0, 0, 1}, 0, error));
  ASSERT_TRUE(listenOnSocket(listener, 1, error));
  int32_t busy = boundPort(listener);
  EXPECT_NE(nextFreeSmtpPort(busy, {}, {}, ""), busy);
  EXPECT_EQ(nextFreeSmtpPort(busy, {}, {busy}, ""), busy); // the main program's own
  int32_t after = nextFreeSmtpPort(busy, {busy + 1}, {}, "");
  EXPECT_GT(after, busy + 1);
  closeSocket(listener);
}

TEST(ConfigSeedingTest, DnsblLinesFollowTheDefinitionsAndGoInOnceInReverseOrder) {
  std::vector<DnsblList> lists(3);
  lists[0].key = "SBL";
  lists[0].name = "Spamhaus SBL";
  lists[1].key = "XBL";
  lists[1].name = "Spamhaus XBL";
  lists[1].replaces = {"CBL", "PROXIES", "DSBL"};
  lists[2].key = "PROXIES";
  lists[2].zone = "proxies.example";
  EXPECT_EQ(dnsblLinesForLevel(ProtectionLevel::Safe, lists),
            (std::vector<std::string>{"DNSBL PROXIES proxies.example", "DNSBL SBL Spamhaus SBL"}));
  lists.pop_back();
  EXPECT_EQ(dnsblLinesForLevel(ProtectionLevel::Medium, lists),
            (std::vector<std::string>{"DNSBL XBL Spamhaus XBL", "DNSBL SBL Spamhaus SBL"}));

  // The lines go into the file in reverse order, and only once.
  const std::vector<std::string> lines = {"DNSBL A First", "DNSBL B Second"};
  const std::string text = "X\nCREATE_DEFAULT_IMAP4_PORT NO\nDNSBL SPAMCOP SpamCop BL\n";
  std::string once = insertDnsblLines(text, lines, lines);
  EXPECT_EQ(once, "X\nCREATE_DEFAULT_IMAP4_PORT NO\r\nDNSBL B Second\r\nDNSBL A First\n"
                  "DNSBL SPAMCOP SpamCop BL\n");
  EXPECT_EQ(insertDnsblLines(once, lines, lines), once);
  // Another level replaces the wizard's lines; lists enabled otherwise stay once.
  EXPECT_EQ(insertDnsblLines(once, {"DNSBL SPAMCOP x", "DNSBL C Third"}, lines),
            "X\nCREATE_DEFAULT_IMAP4_PORT NO\r\nDNSBL C Third\nDNSBL SPAMCOP SpamCop BL\n");
  EXPECT_EQ(insertDnsblLines("A\nB\n\n", {"DNSBL A x"}, {}), "A\nB\r\nDNSBL A x\n\n");
}

TEST(WizardChoicesTest, AccountListsAndEudoraCommandLines) {
  EXPECT_EQ(parseAccountChoice("all", 2), (std::vector<bool>{true, true}));
  EXPECT_EQ(parseAccountChoice("NONE", 2), (std::vector<bool>{false, false}));
  EXPECT_EQ(parseAccountChoice("3,1", 3), (std::vector<bool>{true, false, true}));
  for (const char* bad : {"", "0", "4", "1,,2", "x", "1 2", "99999999999"}) {
    EXPECT_FALSE(parseAccountChoice(bad, 3)) << bad;
  }
  struct Case {
    const char* commandLine;
    const char* folder;
  };
  const Case cases[] = {
      {"C:\\Program Files\\Eudora\\Eudora.exe C:\\My Mail\\Eudora C:\\My Mail\\Eudora\\Eudora.ini",
       "C:\\My Mail\\Eudora"},
      {"\"C:\\Eudora\\Eudora.exe\" \"D:\\Mail\" \"D:\\Mail\\Eudora.ini\"", "D:\\Mail"},
      {"C:\\Eudora\\EUDORA.EXE C:\\Mail", "C:\\Mail"},
      {"C:\\Eudora\\Eudora.exe C:\\Mail\\Eudora.ini", "C:\\Mail"},
      {"no program here", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(eudoraDataFolder(c.commandLine), c.folder) << c.commandLine;
  }
}

} // namespace
} // namespace km
