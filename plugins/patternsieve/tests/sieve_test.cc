// patternsieve: its rule file, its matching, and the plug-in library as the host
// calls it.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <kestrelmail/plugin.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sieve.h"

namespace sieve {
namespace {

class TempFolder {
public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sieve-test-XXXXXX").string();
    path_ = std::string(mkdtemp(pattern.data())) + "/";
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

private:
  std::string path_;
};

void writeText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(SieveRules, GoodLinesBecomeRulesAndBadOnesAreReportedByLine) {
  RuleSet rules = parseRules("# a comment\n"
                             "\n"
                             "Subject spam LOTTERY (?i)you have won\r\n"
                             "body white FRIENDS regards,  your friend\n"
                             "From maybe X abc\n"
                             "Subject spam A-REASON-FAR-TOO-LONG abc\n"
                             "Subject spam BROKEN (unclosed\n"
                             "Sub:ject spam X abc\n"
                             "Subject spam NOPATTERN\n"
                             "  X-Mailer   SPAM  BULK   bulk mail  \n");
  ASSERT_EQ(rules.headerRules.size(), 2u);
  ASSERT_EQ(rules.bodyRules.size(), 1u);
  EXPECT_EQ(rules.headerRules[0].header, "Subject");
  EXPECT_EQ(rules.headerRules[0].reason, "LOTTERY");
  EXPECT_EQ(rules.headerRules[0].line, 3);
  EXPECT_EQ(rules.headerRules[1].verdict, Judgement::Spam);
  EXPECT_EQ(rules.headerRules[1].pattern->pattern(), "bulk mail");
  EXPECT_EQ(rules.bodyRules[0].verdict, Judgement::White);
  EXPECT_EQ(rules.bodyRules[0].pattern->pattern(), "regards,  your friend");
  EXPECT_TRUE(rules.hasWhiteBodyRules);
  std::vector<std::string> lines;
  for (const std::string& problem : rules.problems) {
    EXPECT_NE(problem.find("the rule is left out"), std::string::npos) << problem;
    lines.push_back(problem.substr(0, problem.find(':')));
  }
  EXPECT_EQ(lines,
            (std::vector<std::string>{"rules.txt line 5", "rules.txt line 6", "rules.txt line 7",
                                      "rules.txt line 8", "rules.txt line 9"}));
  EXPECT_NE(rules.problems[2].find("missing )"), std::string::npos) << rules.problems[2];
}

TEST(SieveRules, TheShippedRulesHaveNoMistakesAndAreWrittenIntoAnEmptyFolder) {
  EXPECT_TRUE(parseRules(defaultRules()).problems.empty());
  TempFolder folder;
  RuleSet rules = loadRules(folder.path());
  EXPECT_TRUE(rules.problems.empty());
  EXPECT_FALSE(rules.headerRules.empty());
  EXPECT_FALSE(rules.bodyRules.empty());
  std::ifstream in(folder.path() + kRuleFileName, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), defaultRules());

  // The user's own file is read as it is, and never overwritten.
  writeText(folder.path() + kRuleFileName, "body spam ONLY only\n");
  RuleSet own = loadRules(folder.path());
  EXPECT_EQ(own.headerRules.size(), 0u);
  EXPECT_EQ(own.bodyRules.size(), 1u);
}

TEST(SieveRules, HeaderRulesSeeTheValueOfTheNamedFieldsUnfolded) {
  RuleSet rules = parseRules("subject spam FIRST ^Cheap watches$\n"
                             "Subject white SECOND (?i)meeting\n"
                             "To spam THIRD undisclosed.*recipients\n");
  struct Case {
    std::vector<std::string> fields;
    const char* reason; // null: nothing matches
  };
  const Case cases[] = {
      {{"SUBJECT:   Cheap watches  \r\n"}, "FIRST"},
      {{"Subject: Cheap watches and more\r\n"}, nullptr},
      {{"Subject: Team MEETING\r\n"}, "SECOND"},
      {{"X-Subject: Cheap watches\r\n"}, nullptr}, // another field
      {{"Subject: none\r\n", "To: undisclosed\r\n\t recipients\r\n"}, "THIRD"},
  };
  for (const Case& c : cases) {
    std::vector<std::string_view> fields(c.fields.begin(), c.fields.end());
    const Rule* rule = matchHeaders(rules, fields, false);
    if (c.reason != nullptr) {
      ASSERT_NE(rule, nullptr) << c.fields[0];
      EXPECT_EQ(rule->reason, c.reason);
    } else {
      EXPECT_EQ(rule, nullptr) << c.fields[0];
    }
  }
  std::vector<std::string_view> spam = {"Subject: Cheap watches\r\n"};
  EXPECT_EQ(matchHeaders(rules, spam, true), nullptr); // only white rules asked
}

TEST(SieveRules, APathologicalPatternOnHostileTextEndsInLinearTime) {
  // A backtracking engine takes exponential time for this pattern on this text.
  RuleSet rules = parseRules("body spam NESTED (a+)+b\nbody spam MANY (x*)*y(z|zz)*q\n");
  ASSERT_TRUE(rules.problems.empty());
  std::string hostile(kBodyBytes, 'a');
  EXPECT_EQ(matchBody(rules, hostile, false), nullptr);
  std::string matching = std::string(1000, 'a') + "b";
  ASSERT_NE(matchBody(rules, matching, false), nullptr);
  EXPECT_EQ(matchBody(rules, matching, false)->reason, "NESTED");
  // Beyond the first 256 KB the body is not looked at.
  EXPECT_EQ(matchBody(rules, hostile + "b", false), nullptr);
}

// --- The library, as the host calls it ---

class SievePlugin : public ::testing::Test {
protected:
  void SetUp() override {
    library_ = ::dlopen(PATTERNSIEVE_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << ::dlerror();
    load_ = reinterpret_cast<KmLoadConfig>(::dlsym(library_, "loadConfig"));
    release_ = reinterpret_cast<KmReleaseConfig>(::dlsym(library_, "releaseConfig"));
    start_ = reinterpret_cast<KmSessionEvent>(::dlsym(library_, "sessionStart"));
    headers_ =
        reinterpret_cast<KmFilterOnMessageHeaders>(::dlsym(library_, "filterOnMessageHeaders"));
    wantsBody_ = reinterpret_cast<KmRequireFromHeaders>(::dlsym(library_, "requireBodyFiltering"));
    body_ = reinterpret_cast<KmFilterOnMessageBody>(::dlsym(library_, "filterOnMessageBody"));
    auto check =
        reinterpret_cast<KmCheckKestrelmailVersion>(::dlsym(library_, "checkKestrelmailVersion"));
    ASSERT_TRUE(load_ && release_ && start_ && headers_ && wantsBody_ && body_ && check);
    EXPECT_EQ(check(KM_HOST_INTERFACE_VERSION), 1);
    EXPECT_EQ(check("2.0"), 0);
  }
  void TearDown() override {
    if (data_ != nullptr) {
      release_(data_);
    }
    if (library_ != nullptr) {
      ::dlclose(library_);
    }
  }

  void loadRulesText(const std::string& text) {
    writeText(folder_.path() + kRuleFileName, text);
    data_ = load_(folder_.path().c_str());
    ASSERT_NE(data_, nullptr);
    callbacks_.logText = [](uint32_t, int32_t level, const char* line) {
      logged().push_back(std::to_string(level) + " " + line);
    };
    KmSessionInfo session{};
    session.callbacks = &callbacks_;
    start_(&session, data_);
  }

  void judgeHeaders(const std::vector<const char*>& lines, Verdict& verdict) {
    headers_(lines.data(), static_cast<int32_t>(lines.size()), 1, &verdict, data_, nullptr);
  }

  // The body through a pipe, as the host hands one over.
  void judgeBody(const std::string& body, Verdict& verdict) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ASSERT_EQ(::write(ends[1], body.data(), body.size()), static_cast<ssize_t>(body.size()));
    ::close(ends[1]);
    body_(nullptr, 0, ends[0], 1, &verdict, data_, nullptr);
    ::close(ends[0]);
  }

  static std::vector<std::string>& logged() {
    static std::vector<std::string> lines;
    return lines;
  }

  TempFolder folder_;
  void* library_ = nullptr;
  KmPluginData data_ = nullptr;
  KmCallbacksB callbacks_{};
  KmLoadConfig load_ = nullptr;
  KmReleaseConfig release_ = nullptr;
  KmSessionEvent start_ = nullptr;
  KmFilterOnMessageHeaders headers_ = nullptr;
  KmRequireFromHeaders wantsBody_ = nullptr;
  KmFilterOnMessageBody body_ = nullptr;
};

TEST_F(SievePlugin, AMatchingRuleSetsTheVerdictWithItsReason) {
  loadRulesText("Subject spam PRIZE (?i)prize\nbody spam KIN next of kin\n"
                "body white THANKS kind regards\n");
  Verdict header{};
  judgeHeaders({"From: a@b\r\n", "Subject: Claim your PRIZE\r\n"}, header);
  EXPECT_EQ(header.isSpam, 1);
  EXPECT_EQ(header.source, KM_SOURCE_HEADERS);
  EXPECT_EQ(header.reason, KM_REASON_OTHER);
  EXPECT_STREQ(header.pattern.text, "PRIZE");

  Verdict body{};
  EXPECT_EQ(wantsBody_(nullptr, 0, 1, &body, data_), 1);
  judgeBody("Dear sir,\r\nyou are the next of kin\r\n", body);
  EXPECT_EQ(body.isSpam, 1);
  EXPECT_EQ(body.source, KM_SOURCE_BODY);
  EXPECT_STREQ(body.pattern.text, "KIN");

  // A white body rule still rescues mail judged spam; whitelisted mail is left alone.
  Verdict rescued{};
  rescued.isSpam = 1;
  EXPECT_EQ(wantsBody_(nullptr, 0, 1, &rescued, data_), 1);
  judgeBody("kind regards", rescued);
  EXPECT_EQ(rescued.isWhitelisted, 1);
  EXPECT_STREQ(rescued.pattern.text, "THANKS");
  Verdict white{};
  white.isWhitelisted = 1;
  EXPECT_EQ(wantsBody_(nullptr, 0, 1, &white, data_), 0);
  judgeHeaders({"Subject: prize\r\n"}, white);
  EXPECT_EQ(white.isSpam, 0);
}

TEST_F(SievePlugin, BadRulesAreLoggedOnceWithTheirLineNumbers) {
  logged().clear();
  loadRulesText("Subject spam OK fine\nSubject spam BAD (\nSubject nope X y\n");
  Verdict verdict{};
  judgeHeaders({"Subject: hello\r\n"}, verdict);
  judgeHeaders({"Subject: again\r\n"}, verdict);
  ASSERT_EQ(logged().size(), 2u);
  EXPECT_EQ(logged()[0].substr(0, 29), "0 patternsieve: rules.txt lin");
  EXPECT_NE(logged()[0].find("line 2"), std::string::npos);
  EXPECT_NE(logged()[1].find("line 3"), std::string::npos);
  EXPECT_EQ(verdict.isSpam, 0);
}

} // namespace
} // namespace sieve
