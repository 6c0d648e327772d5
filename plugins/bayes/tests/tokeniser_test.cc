// Decoding and tokenising: what the classifier sees of a message.
#include <gtest/gtest.h>

#include <algorithm>

#include "bayes.h"

namespace bayes {
namespace {

bool has(const std::vector<std::string>& tokens, const std::string& token) {
  return std::find(tokens.begin(), tokens.end(), token) != tokens.end();
}

TEST(Decoding, TransferEncodingsAndEncodedWords) {
  struct Case {
    std::string (*decode)(std::string_view);
    std::string input, expected;
  };
  const Case cases[] = {
      {decodeBase64, "SGVsbG8gd29ybGQ=", "Hello world"},
      {decodeBase64, "SGVs\r\nbG8g\r\nd29y bGQ", "Hello world"}, // breaks, no padding
      {decodeBase64, "!!SGk=trailing", "Hi"},                    // stray bytes, stop at "="
      {decodeQuotedPrintable, "caf=C3=A9 =3D ok", "caf\xC3\xA9 = ok"},
      {decodeQuotedPrintable, "soft=\r\nbreak and=  \nblanks", "softbreak andblanks"},
      {decodeQuotedPrintable, "lone = and =ZZ stay", "lone = and =ZZ stay"},
      {decodeHeaderWords, "=?utf-8?B?SGVsbG8=?= =?utf-8?Q?w=C3=B6rld_x?=", "Hellow\xC3\xB6rld x"},
      {decodeHeaderWords, "Re: =?iso-8859-1?q?caf=E9?= time", "Re: caf\xE9 time"},
      {decodeHeaderWords, "broken =?x?Q and =?a?b", "broken =?x?Q and =?a?b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.decode(c.input), c.expected) << c.input;
  }
}

TEST(Decoding, HtmlBecomesTheTextAReaderSees) {
  const std::pair<std::string, std::string> cases[] = {
      {"<p>Buy&nbsp;<b>now</b>&amp;save</p>", " Buy  now &save "},
      {"&#118;&#x69;agra &bogus; &#;", "viagra &bogus; &#;"},
      {"a<!-- hidden words -->b", "a b"},
      {"x<script>var hidden=1;</script>y<STYLE>p{}</style >z", "x y z"},
      {"3 < 4 and 5 <> 6", "3 < 4 and 5 <> 6"},
      {"shown <a href='x' never closed", "shown "},
  };
  for (const auto& [html, text] : cases) {
    EXPECT_EQ(htmlToText(html, 1000), text) << html;
  }
}

TEST(Decoding, PathologicalHtmlCostsBoundedOutput) {
  const std::string cases[] = {
      std::string(1'000'000, '<'),
      [] {
        std::string s;
        for (int i = 0; i < 200'000; ++i) {
          s += "<a ";
        }
        return s;
      }(),
      "<!--" + std::string(1'000'000, '-'),
      "<script>" + std::string(1'000'000, '<'),
      [] {
        std::string s;
        for (int i = 0; i < 100'000; ++i) {
          s += "<b><i>&#x41;&amp;";
        }
        return s;
      }(),
  };
  for (const std::string& html : cases) {
    EXPECT_LE(htmlToText(html, 4096).size(), 4096u);
  }
}

// A message with a quoted-printable text part, a base64 HTML part inside an
// alternative, and a GIF attachment whose bytes must not become tokens.
const char* kMimeMessage =
    "From mailer@example.com Thu Aug 22 13:17:22 2002\n"
    "From: \"Deals\" <deals@shop.example.com>\n"
    "To: you@example.org\n"
    "Subject: =?utf-8?Q?Cheap_pills?=\n"
    "Received: from relay.mail.example.net (relay.mail.example.net [192.0.2.17])\n"
    "\tby mx.example.org\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"outer\"\n"
    "\n"
    "preamble words\n"
    "--outer\n"
    "Content-Type: multipart/alternative; boundary=inner\n"
    "\n"
    "--inner\n"
    "Content-Type: text/plain; charset=iso-8859-1\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "Order t=\n"
    "oday at http://www.shop.example.com/buy?id=3D1\n"
    "--inner\n"
    "Content-Type: text/html\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    // <p>Buy &#118;iagra</p>
    "PHA+QnV5ICYjMTE4O2lhZ3JhPC9wPg==\n"
    "--inner--\n"
    "--outer\n"
    "Content-Type: image/gif; name=\"logo.GIF\"\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "R0lGODlhAQABAIAAAP///wAAACH5BAEAAAAALAAAAAABAAEAAAICRAEAOw==\n"
    "--outer--\n";

TEST(Tokeniser, HeadersAndDecodedPartsOfAMimeMessage) {
  std::vector<std::string> tokens = tokenTexts(kMimeMessage);
  for (const char* wanted : {"subject:cheap",
                             "subject:pills",
                             "from:addr:deals@shop.example.com",
                             "from:domain:example.com",
                             "from:name:deals",
                             "received:example.net",
                             "received:mail.example.net",
                             "received:ip:192.0.2",
                             "content-type:multipart/mixed",
                             "part:text/plain",
                             "charset:iso-8859-1",
                             "part encoding:quoted-printable",
                             "today",
                             "proto:http",
                             "url:example.com",
                             "url:shop.example.com",
                             "buy",
                             "viagra",
                             "part:image/gif",
                             "filename:.gif",
                             "header-missing:message-id",
                             "boundary:a"}) {
    EXPECT_TRUE(has(tokens, wanted)) << wanted;
  }
  for (const char* unwanted : {"r0lgodlhaqabaiaaap///waaach5baeaaaaalaaaaaabaaeaaaicraeaow==",
                               "skip:r 60", "preamble", "mailer@example.com", "=3d1"}) {
    EXPECT_FALSE(has(tokens, unwanted)) << unwanted;
  }
  // The hashed set is the same tokens without repeats.
  std::vector<std::string> distinct = tokens;
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  EXPECT_EQ(tokeniseMessage(kMimeMessage).size(), distinct.size());
}

TEST(Tokeniser, DelimiterLinesNeedTheWholeBoundary) {
  // "--b20" starts with the delimiter of boundary "b2" but is text of the part;
  // blanks after a delimiter are transport padding.
  std::string message = "Content-Type: multipart/mixed; boundary=b2\n\n"
                        "--b2 \t\r\n"
                        "Content-Type: text/plain\n\n"
                        "firstword\n--b20\nsecondword\n"
                        "--b2--\n";
  std::vector<std::string> tokens = tokenTexts(message);
  EXPECT_TRUE(has(tokens, "firstword"));
  EXPECT_TRUE(has(tokens, "secondword"));
  EXPECT_EQ(std::count(tokens.begin(), tokens.end(), "part:text/plain"), 1);
}

TEST(Tokeniser, BoundsTheWorkOnHugeAndHostileMessages) {
  // A 50 MB binary attachment between two text parts: the second is past the byte
  // cap and never read.
  std::string huge = "Subject: big\nContent-Type: multipart/mixed; boundary=b\n\n--b\n"
                     "Content-Type: text/plain\n\nearlyword\n--b\n"
                     "Content-Type: application/octet-stream\n"
                     "Content-Transfer-Encoding: base64\n\n";
  huge += std::string(50 * 1024 * 1024, 'A');
  huge += "\n--b\nContent-Type: text/plain\n\nlateword\n--b--\n";
  std::vector<std::string> tokens = tokenTexts(huge);
  EXPECT_TRUE(has(tokens, "earlyword"));
  EXPECT_TRUE(has(tokens, "body:truncated"));
  EXPECT_FALSE(has(tokens, "lateword"));

  // Decoded text is capped too: a long text part is read only to the text budget.
  TokenLimits limits;
  std::string longText = "Subject: long\n\n" + std::string(limits.textBytes, ' ') + " lastword\n";
  EXPECT_FALSE(has(tokenTexts(longText), "lastword"));

  // Multiparts nested past the depth limit, and more parts than the part limit.
  std::string nested = "Content-Type: multipart/mixed; boundary=b0\n\n";
  for (int i = 1; i < 40; ++i) {
    nested += "--b" + std::to_string(i - 1) + "\nContent-Type: multipart/mixed; boundary=b" +
              std::to_string(i) + "\n\n";
  }
  EXPECT_TRUE(has(tokenTexts(nested), "multipart:unreadable"));
  std::string many = "Content-Type: multipart/mixed; boundary=m\n\n";
  for (int i = 0; i < 1000; ++i) {
    many += "--m\n\npart" + std::to_string(i) + "\n";
  }
  tokens = tokenTexts(many);
  EXPECT_TRUE(has(tokens, "parts:too many"));
  EXPECT_FALSE(has(tokens, "part999"));

  // A header block of megabytes, and absurd host names in links.
  std::string headers = "Subject: x\n";
  for (int i = 0; i < 100'000; ++i) {
    headers += "X-Filler: " + std::to_string(i) + "\n";
  }
  EXPECT_TRUE(has(tokenTexts(headers + "\nbody\n"), "header:truncated"));
  std::string links = "Subject: links\n\nhttp://" + std::string(100'000, 'a') + ".example " +
                      "http://....... www." + std::string(300, '.') + " http://@@@/";
  EXPECT_FALSE(tokenTexts(links).empty());
}

TEST(Tokeniser, FormsOfMadeUpNames) {
  std::vector<std::string> tokens =
      tokenTexts("Message-ID: <20020516111841.98D0@mail1.example.co.uk>\n"
                 "Content-Type: multipart/alternative; boundary=\"----=_NextPart_000_0012\"\n\n");
  EXPECT_TRUE(has(tokens, "message-id shape:<9.9a9"));
  EXPECT_TRUE(has(tokens, "message-id:@co.uk"));
  EXPECT_TRUE(has(tokens, "message-id:@example.co.uk"));
  EXPECT_TRUE(has(tokens, "boundary:----=_aaaa_9_9")); // lower case, as every token
}

TEST(Tokeniser, FingerprintNamesAMessageAcrossCopies) {
  std::string withId = "Message-ID: <1@x>\nSubject: a\n\nbody one\n";
  std::string sameIdOtherCopy = "Received: by another hop\nMessage-ID: <1@x>\n\nbody one\n";
  std::string otherId = "Message-ID: <2@x>\nSubject: a\n\nbody one\n";
  std::string noId = "Subject: a\nDate: today\n\nbody one\n";
  std::string noIdOtherBody = "Subject: a\nDate: today\n\nbody two\n";
  EXPECT_EQ(messageFingerprint(withId), messageFingerprint(sameIdOtherCopy));
  EXPECT_NE(messageFingerprint(withId), messageFingerprint(otherId));
  EXPECT_EQ(messageFingerprint(noId), messageFingerprint("From x\n" + noId));
  EXPECT_NE(messageFingerprint(noId), messageFingerprint(noIdOtherBody));
}

} // namespace
} // namespace bayes
