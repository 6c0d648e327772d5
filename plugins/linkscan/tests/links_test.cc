// The link scanner's core: host names as links write them, links in every kind of
// body part, its two files, and hostile input that must cost bounded work.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "links.h"

namespace linkscan {
namespace {

using Hosts = std::vector<std::string>;

const Suffixes& suffixes() {
  static const Suffixes list;
  return list;
}

Hosts hostsIn(const std::string& message, const ScanLimits& limits = {},
              const std::vector<std::string>& skip = {}) {
  return findLinkHosts(message, limits, suffixes(), skip).hosts;
}

std::string plainMessage(const std::string& body) {
  return "From: a@example.org\r\nSubject: links\r\n\r\n" + body;
}

std::string base64(const std::string& text) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < text.size(); i += 3) {
    auto byte = [&](size_t at) {
      return static_cast<uint32_t>(static_cast<unsigned char>(text[at]));
    };
    uint32_t bits = byte(i) << 16;
    if (i + 1 < text.size())
      bits |= byte(i + 1) << 8;
    if (i + 2 < text.size())
      bits |= byte(i + 2);
    out += alphabet[bits >> 18];
    out += alphabet[(bits >> 12) & 63];
    out += i + 1 < text.size() ? alphabet[(bits >> 6) & 63] : '=';
    out += i + 2 < text.size() ? alphabet[bits & 63] : '=';
    if (out.size() % 78 == 76)
      out += "\r\n";
  }
  return out;
}

TEST(LinkscanHosts, WrittenHostsBecomeTheNamesTheyAreLookedUpUnder) {
  struct Case {
    std::string written;
    std::optional<std::string> host;
  } cases[] = {
      {"WWW.Example.COM.", "www.example.com"},
      {"%77ww.example.com", "www.example.com"},
      {"3221225994", "192.0.2.10"},
      {"0xC0.0.2.10", "192.0.2.10"},
      {"0300.0.02.10", "192.0.2.10"},
      {"192.0.2.10", "192.0.2.10"},
      {"192.11010", "192.0.43.2"},
      {"cafe.be", "cafe.be"},
      {"mail_relay.example.net", "mail_relay.example.net"},
      {"b\xc3\xbc"
       "cher.example",
       "xn--bcher-kva.example"},
      {"xn--bcher-kva.example", "xn--bcher-kva.example"},
      {std::string(63, 'a') + ".example", std::string(63, 'a') + ".example"},
      {"1.2.3.4.5", std::nullopt},
      {"300.1.1.1", std::nullopt},
      {"4294967296", std::nullopt},
      {"08.1.1.1", std::nullopt},
      {"localhost", std::nullopt},
      {"a..b.example", std::nullopt},
      {".example.com", std::nullopt},
      {"example.123", std::nullopt},
      {"example.c", std::nullopt},
      {"exa mple.com", std::nullopt},
      {"%zz.example.com", std::nullopt},
      {"%", std::nullopt},
      {"\xff\xfe.example", std::nullopt},
      {std::string(64, 'a') + ".example", std::nullopt},
      {std::string(250, 'a').replace(60, 1, ".").replace(120, 1, ".").replace(180, 1, ".") + ".com",
       std::nullopt},
      {std::string(100000, 'a') + ".com", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(normaliseHost(c.written), c.host) << c.written.substr(0, 80);
  }
}

TEST(LinkscanHosts, RegisteredDomainsAndTopLevelNamesComeFromThePublicSuffixList) {
  EXPECT_EQ(suffixes().registrableDomain("shop.example.co.uk"), "example.co.uk");
  EXPECT_EQ(suffixes().registrableDomain("a.b.example.com"), "example.com");
  EXPECT_EQ(suffixes().registrableDomain("www.shady.test"), "shady.test");
  EXPECT_EQ(suffixes().registrableDomain("co.uk"), "");
  EXPECT_EQ(suffixes().registrableDomain("192.0.2.10"), "");
  EXPECT_TRUE(suffixes().knownTopLevel("www.example.com"));
  EXPECT_TRUE(suffixes().knownTopLevel("example.xn--p1ai"));
  EXPECT_FALSE(suffixes().knownTopLevel("readme.txt"));
  EXPECT_FALSE(suffixes().knownTopLevel("setup.exe"));
}

TEST(LinkscanDecoding, EncodingsAndCharacterReferencesAreUndone) {
  EXPECT_EQ(decodeQuotedPrintable("http://www.spl=\r\nit.example=2Ecom/ =3D"),
            "http://www.split.example.com/ =");
  EXPECT_EQ(decodeBase64(base64("http://b64.example.com/")), "http://b64.example.com/");
  struct Case {
    std::string html, entities, text;
  } cases[] = {
      {"http&#58;&#x2F;/a&period;example&#46;com", "http://a.example.com", "http://a.example.com"},
      {"<a href=\"x\">go&nbsp;now</a>", "<a href=\"x\">go now</a>", " go now "},
      {"&#252;&#x10FFFF;&#99999999999;&#0;", "\xc3\xbc\xf4\x8f\xbf\xbf  ",
       "\xc3\xbc\xf4\x8f\xbf\xbf  "},
      {"&unknown; & &#; &#x;", "&unknown; & &#; &#x;", "&unknown; & &#; &#x;"},
      {"a<!-- hidden -->b<script>x<y</script>c<style>p{}</style>d", "", "a b c d"},
      {"a < b <br>c", "", "a < b  c"},
      {"text<a href=", "", "text"},
      {"<!-- never closed", "", " "},
  };
  for (const Case& c : cases) {
    if (!c.entities.empty()) {
      EXPECT_EQ(decodeEntities(c.html, 1000), c.entities) << c.html;
    }
    EXPECT_EQ(htmlText(c.html, 1000), c.text) << c.html;
  }
  EXPECT_EQ(decodeEntities(std::string(100, 'x'), 10).size(), 10u);
  EXPECT_EQ(htmlText(std::string(100, 'x'), 10).size(), 10u);
}

TEST(LinkscanFinding, LinksAndBareNamesInPlainText) {
  struct Case {
    const char* what;
    std::string body;
    Hosts hosts;
  } cases[] = {
      {"links in order, repeats once",
       "See http://www.one.example/a and HTTPS://Two.Example.COM:8443/b?c, then "
       "http://www.one.example/again.",
       {"www.one.example", "two.example.com"}},
      {"user part and port", "http://www.bank.com@evil.example.net:80/login", {"evil.example.net"}},
      {"a user part padded to hide the host",
       "http://" + std::string(5000, 'x') + "@padded.example.com/",
       {"padded.example.com"}},
      {"backslashes", "http:\\\\slashes.example.com\\x", {"slashes.example.com"}},
      {"numeric address",
       "http://3221225994/x and http://192.0.2.11/",
       {"192.0.2.10", "192.0.2.11"}},
      {"international name",
       "http://b\xc3\xbc"
       "cher.example.com/",
       {"xn--bcher-kva.example.com"}},
      {"a byte of another charset after the host",
       "http://evil.example.com\xa0now",
       {"evil.example.com"}},
      {"bare names with real top-level domains",
       "Visit www.cheap-stuff.com or shop.example.org. Not readme.txt, setup.exe, 3.14, "
       "version 1.2.3.4, e.g. or U.S.",
       {"www.cheap-stuff.com", "shop.example.org"}},
      {"e-mail addresses are no links",
       "Write to bob.smith@mail.example.com or mailto:x@y.example.com",
       {}},
      {"no host", "http:// https://[2001:db8::1]/ http://localhost/ http:/one.example.com", {}},
      {"links of other schemes", "ftp://files.example.com/ file://x.example.com/y", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hostsIn(plainMessage(c.body)), c.hosts) << c.what;
  }
}

TEST(LinkscanFinding, LinksInEncodedAndHtmlPartsAreFoundDecoded) {
  std::string html =
      "<html><body class=\"promo.box\"><a href=\"http&#58;&#47;&#47;hidden.example.com/\">"
      "Click</a> <img src=\"//images.example.net/x.png\"> Or visit www.text-link.com"
      "<!-- http://commented.example.com --></body></html>";
  std::string message =
      "From: a@example.org\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"outer\"\r\n\r\n"
      "preamble http://preamble.example.com/\r\n"
      "--outer\r\nContent-Type: multipart/alternative; boundary=inner\r\n\r\n"
      "--inner\r\nContent-Type: text/plain; charset=us-ascii\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
      "Go to http://www.spl=\r\nit.example.com/ now\r\n"
      "--inner\r\nContent-Type: text/html\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
      base64(html) +
      "\r\n--inner--\r\n"
      "--outer\r\nContent-Type: image/png\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
      base64("http://in-a-picture.example.com/") +
      "\r\n--outer\r\nContent-Type: message/rfc822\r\n\r\n"
      "Subject: forwarded\r\n\r\nhttp://forwarded.example.com/\r\n"
      "--outer--\r\nepilogue http://epilogue.example.com/\r\n";
  EXPECT_EQ(hostsIn(message),
            (Hosts{"www.split.example.com", "hidden.example.com", "images.example.net",
                   "commented.example.com", "www.text-link.com", "forwarded.example.com"}));
}

TEST(LinkscanFinding, SkippedDomainsAndTheHostLimit) {
  std::string body = "http://www.w3.org/TR/html4 http://w3.org/ http://notw3.org/\r\n";
  for (int i = 0; i < 15; ++i) {
    body += "http://host" + std::to_string(i) + ".example.com/\r\n";
  }
  ScanLimits limits;
  limits.mostHosts = 3;
  LinkHosts found = findLinkHosts(plainMessage(body), limits, suffixes(), {"w3.org"});
  EXPECT_EQ(found.hosts, (Hosts{"notw3.org", "host0.example.com", "host1.example.com"}));
  EXPECT_TRUE(found.moreHosts);
  limits.mostHosts = 16;
  found = findLinkHosts(plainMessage(body), limits, suffixes(), {"w3.org"});
  EXPECT_EQ(found.hosts.size(), 16u);
  EXPECT_FALSE(found.moreHosts);
  limits.mostHosts = 0;
  EXPECT_TRUE(hostsIn(plainMessage(body), limits).empty());
}

TEST(LinkscanFinding, HostileMessagesCostBoundedWorkAndFindWhatLiesWithinTheBounds) {
  ScanLimits limits;
  limits.bodyBytes = limits.textBytes = 64 * 1024;
  // Past the bytes read, nothing is found.
  std::string padded = "http://early.example.com/\r\n" + std::string(100 * 1024, 'x') +
                       "\r\nhttp://late.example.com/\r\n";
  EXPECT_EQ(hostsIn(plainMessage(padded), limits), Hosts{"early.example.com"});

  // Parts beyond the limit and nesting beyond the depth are not entered.
  std::string many = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
  for (int i = 0; i < 100; ++i) {
    many += "--b\r\n\r\nhttp://part" + std::to_string(i) + ".example.com/\r\n";
  }
  ScanLimits wide;
  wide.mostHosts = 100;
  EXPECT_EQ(hostsIn(many, wide).size(), static_cast<size_t>(wide.parts - 1));
  std::string deep = "Content-Type: multipart/mixed; boundary=b0\r\n\r\n";
  for (int level = 1; level <= 20; ++level) {
    deep += "--b" + std::to_string(level - 1) + "\r\nContent-Type: multipart/mixed; boundary=b" +
            std::to_string(level) + "\r\n\r\n";
    if (level == 3) {
      deep += "--b3\r\n\r\nhttp://shallow.example.com/\r\n";
    }
  }
  deep += "--b20\r\n\r\nhttp://deep.example.com/\r\n";
  EXPECT_EQ(hostsIn(deep), Hosts{"shallow.example.com"});
  ScanLimits deeper;
  deeper.depth = 30;
  EXPECT_EQ(hostsIn(deep, deeper), (Hosts{"shallow.example.com", "deep.example.com"}));

  // Absurd hosts and pathological HTML: no host, no crash.
  std::string html = "Content-Type: text/html\r\n\r\n";
  std::string hostile[] = {
      plainMessage("http://" + std::string(3000, 'a') + ".com/"),
      plainMessage("http://" + std::string(200000, '.') + "/"),
      plainMessage(std::string(100000, 'a') + ".com"),
      plainMessage(std::string(50000, '@') + "http://"),
      html + std::string(100000, '<'),
      html + "<a href=\"" + std::string(100000, '&') + "#",
      html + "<script>" + std::string(100000, '<'),
      html + std::string(50000, '&') + std::string(50000, '#'),
      html + "<!--" + std::string(100000, '-'),
      "Content-Type: multipart/mixed; boundary=\"\"\r\n\r\n--\r\n--\r\n",
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n" + std::string(100000, '\n'),
      "Content-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
          std::string(100000, '='),
  };
  for (const std::string& message : hostile) {
    EXPECT_TRUE(hostsIn(message).empty()) << message.substr(0, 60);
  }
}

TEST(LinkscanSettings, SettingsLinesAndTheirMistakes) {
  Settings settings;
  parseSettings("# comment\r\nMAX_HOSTS_PER_MESSAGE 4\r\ncheck_link_addresses = no\r\n"
                "SCAN_KB 64\r\nSKIP_DOMAIN Example.COM\r\nSKIP_DOMAIN w3.org\r\n\r\n"
                "MAX_HOSTS_PER_MESSAGE 101\r\nSCAN_KB 8\r\nCHECK_LINK_ADDRESSES maybe\r\n"
                "SKIP_DOMAIN not a domain\r\nCOLOUR blue\r\n",
                settings);
  EXPECT_EQ(settings.limits.mostHosts, 4u);
  EXPECT_FALSE(settings.checkLinkAddresses);
  EXPECT_EQ(settings.limits.bodyBytes, 64u * 1024);
  EXPECT_EQ(settings.skipDomains, (std::vector<std::string>{"example.com", "w3.org"}));
  EXPECT_EQ(settings.problems,
            (std::vector<std::string>{
                "linkscan.txt line 8: MAX_HOSTS_PER_MESSAGE takes a number from 0 to 100",
                "linkscan.txt line 9: SCAN_KB takes a number from 16 to 4096",
                "linkscan.txt line 10: CHECK_LINK_ADDRESSES takes YES or NO",
                "linkscan.txt line 11: \"not a domain\" is no domain name",
                "linkscan.txt line 12: the key \"COLOUR\" is unknown"}));

  Settings shipped;
  parseSettings(defaultSettingsText(), shipped);
  parseDomainLists(defaultDomainListText(), shipped);
  EXPECT_TRUE(shipped.problems.empty());
  EXPECT_EQ(shipped.limits.mostHosts, 10u);
  EXPECT_TRUE(shipped.checkLinkAddresses);
  EXPECT_TRUE(shipped.domainLists.empty());
}

TEST(LinkscanSettings, DomainListsAreReadLikeDnsblDefinitions) {
  Settings settings;
  parseDomainLists("NAME before any list\nLIST dblx\nNAME = Domain list\nZONE dbl.Example.net.\n"
                   "RESULT_CODE 127.0.1.2\nRESULT_CODE 127.0.1.300\nWEBSITE ignored\n"
                   "LIST TOOLONGKEY\nZONE x.example\nLIST DBLX\nLIST NOZONE\nNAME n\n"
                   "LIST OPEN\nZONE open.example.org\nZONE 127.0.0.1\n",
                   settings);
  ASSERT_EQ(settings.domainLists.size(), 2u);
  const DomainList& first = settings.domainLists[0];
  EXPECT_EQ(first.key, "DBLX");
  EXPECT_EQ(first.name, "Domain list");
  EXPECT_EQ(first.zone, "dbl.example.net");
  EXPECT_EQ(first.resultCodes, (std::vector<std::array<uint8_t, 4>>{{127, 0, 1, 2}}));
  EXPECT_EQ(settings.domainLists[1].zone, "open.example.org");
  EXPECT_TRUE(settings.domainLists[1].resultCodes.empty());
  EXPECT_EQ(settings.problems,
            (std::vector<std::string>{
                "domain_dnsbl.txt line 6: the result code \"127.0.1.300\" is no address",
                "domain_dnsbl.txt line 8: the list key \"TOOLONGKEY\" is not 1 to 7 characters",
                "domain_dnsbl.txt line 10: the list key \"DBLX\" is used twice",
                "domain_dnsbl.txt line 15: \"127.0.0.1\" is no zone name",
                "domain_dnsbl.txt line 11: the list NOZONE has no ZONE and is left out"}));
}

} // namespace
} // namespace linkscan
