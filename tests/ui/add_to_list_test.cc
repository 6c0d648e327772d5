#include <gtest/gtest.h>

#include <deque>

#include "config/config.h"
#include "support/test_support.h"
#include "ui/add_to_list.h"

namespace km {
namespace {

// Answers the questions from a script and remembers what was asked.
struct ScriptedUser {
  std::deque<NoticeAnswer> answers;
  std::vector<Notice> asked;
  ListQuestion asker() {
    return [this](const Notice& notice) {
      asked.push_back(notice);
      if (notice.buttons == NoticeButtons::Ok) {
        return NoticeAnswer::Ok;
      }
      if (answers.empty()) {
        ADD_FAILURE() << "unexpected question: " << notice.text;
        return NoticeAnswer::Cancel;
      }
      NoticeAnswer answer = answers.front();
      answers.pop_front();
      return answer;
    };
  }
};

class AddToList : public ::testing::Test {
protected:
  void SetUp() override {
    data_.load("IS_FIRST_RUN NO\nCREATE_DEFAULT_IMAP4_PORT NO\n");
    // The first-run files of a fresh data directory hold entries of their own.
    test::writeFile(data_.file("blist_email.dat"), "");
    test::writeFile(data_.file("wlist_ip.dat"), "");
  }
  std::string file(const std::string& name) const { return test::readFile(data_.file(name)); }
  void write(const std::string& name, const std::string& text) const {
    test::writeFile(data_.file(name), text);
  }
  AddOutcome add(ListMode mode, std::string_view text) {
    return addToList(mode, text, user_.asker());
  }

  test::DataDirScope data_;
  ScriptedUser user_;
};

TEST_F(AddToList, ClassifiesTheTextAndWritesTheMatchingFile) {
  struct Case {
    ListMode mode;
    std::string text;
    std::string file;
    std::string written; // the whole file afterwards, from empty
  };
  const Case cases[] = {
      // A bare domain becomes a pattern with "*" on both sides.
      {ListMode::Black, "spam.example", "blist_email.dat", "*spam.example*\r\n"},
      {ListMode::Black, "  @bulk.example ", "blist_email.dat", "*@bulk.example\r\n"},
      // "#" inside a word is a "*"; after a blank it starts a comment.
      {ListMode::White, "first#last@example.org", "wlist_email.dat", "first*last@example.org\r\n"},
      {ListMode::White, "friend@example.org # school", "wlist_email.dat", "friend@example.org\r\n"},
      {ListMode::White, "mailto:Boss@Example.COM>", "wlist_email.dat", "Boss@Example.COM\r\n"},
      // A netblock goes to the IP list whole, comment included.
      {ListMode::Black, "192.0.2.0/24 # abusive", "blist_ip.dat", "192.0.2.0/24 # abusive\r\n"},
      {ListMode::White, "10.0.0.1-10.0.0.9", "wlist_ip.dat", "10.0.0.1-10.0.0.9\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    for (const char* name :
         {"wlist_email.dat", "blist_email.dat", "wlist_ip.dat", "blist_ip.dat"}) {
      write(name, "");
    }
    AddOutcome outcome = add(c.mode, c.text);
    EXPECT_EQ(outcome.result, AddResult::Added) << outcome.message;
    EXPECT_EQ(outcome.file, c.file);
    EXPECT_EQ(file(c.file), c.written);
  }
  EXPECT_TRUE(user_.asked.empty());
}

TEST_F(AddToList, RefusesTextThatIsNoEntryAndWritesNothing) {
  write("blist_email.dat", "old@example.org\r\n");
  for (const char* text :
       {"Friend Name <friend@example.org>", "#just a comment", "a\"b@example.org"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(add(ListMode::Black, text).result, AddResult::NotAnEntry);
  }
  EXPECT_EQ(add(ListMode::Black, "   ").result, AddResult::Empty);
  EXPECT_EQ(file("blist_email.dat"), "old@example.org\r\n");
}

TEST_F(AddToList, EndsAnUnendedLastLineBeforeAppending) {
  write("blist_ip.dat", "192.0.2.1");
  write("blist_email.dat", "a@example.org");
  add(ListMode::Black, "198.51.100.7");
  add(ListMode::Black, "b@example.org");
  EXPECT_EQ(file("blist_ip.dat"), "192.0.2.1\r\n198.51.100.7\r\n");
  EXPECT_EQ(file("blist_email.dat"), "a@example.org\r\nb@example.org\r\n");
}

TEST_F(AddToList, AnAddressAWhitePatternCoversIsNotAddedToTheWhiteList) {
  write("wlist_email.dat", "*@example.org\r\n");
  AddOutcome outcome = add(ListMode::White, "friend@example.org");
  EXPECT_EQ(outcome.result, AddResult::AlreadyCovered);
  ASSERT_EQ(user_.asked.size(), 1u);
  EXPECT_NE(user_.asked[0].text.find("*@example.org"), std::string::npos);
  EXPECT_EQ(file("wlist_email.dat"), "*@example.org\r\n");
}

TEST_F(AddToList, AsksAboutEachContradictionInOrderAndWritesWhatTheAnswersSay) {
  const std::string white = "*@example.org\r\nboss@work.example\r\n";
  const std::string black = "*@example.org*\r\nspam@example.org\r\n";
  struct Case {
    std::vector<NoticeAnswer> answers;
    AddResult result;
    std::string white;
    std::string black;
  };
  const Case cases[] = {
      // No keeps every entry; the black entry is added all the same.
      {{NoticeAnswer::No, NoticeAnswer::No, NoticeAnswer::No},
       AddResult::Added,
       white,
       black + "spam@example.org\r\n"},
      // Yes to the white pattern and to the wider black pattern.
      {{NoticeAnswer::Yes, NoticeAnswer::Yes, NoticeAnswer::No},
       AddResult::Added,
       "boss@work.example\r\n",
       "spam@example.org\r\nspam@example.org\r\n"},
      // Cancel at the second question writes nothing, the first Yes included.
      {{NoticeAnswer::Yes, NoticeAnswer::Cancel}, AddResult::Cancelled, white, black},
  };
  for (const Case& c : cases) {
    write("wlist_email.dat", white);
    write("blist_email.dat", black);
    user_.asked.clear();
    user_.answers.assign(c.answers.begin(), c.answers.end());
    AddOutcome outcome = add(ListMode::Black, "spam@example.org");
    EXPECT_EQ(outcome.result, c.result) << outcome.message;
    EXPECT_EQ(file("wlist_email.dat"), c.white);
    EXPECT_EQ(file("blist_email.dat"), c.black);
    ASSERT_GE(user_.asked.size(), 2u);
    // The white list is walked first, then the black list, entry by entry.
    EXPECT_NE(user_.asked[0].text.find("*@example.org"), std::string::npos);
    EXPECT_NE(user_.asked[1].text.find("*@example.org*"), std::string::npos);
    EXPECT_EQ(user_.asked[0].buttons, NoticeButtons::YesNoCancel);
    EXPECT_EQ(user_.asked[0].headlessAnswer, NoticeAnswer::Cancel);
  }
}

TEST_F(AddToList, WhiteModeAsksAboutTheWhiteEntriesItCoversAndTheSameBlackEntry) {
  write("wlist_email.dat", "ann@friends.example\r\n# ann@other.example\r\n");
  write("blist_email.dat", "*@friends.example\r\nbob@friends.example\r\n");
  user_.answers = {NoticeAnswer::Yes, NoticeAnswer::No};
  AddOutcome outcome = add(ListMode::White, "*@friends.example");
  EXPECT_EQ(outcome.result, AddResult::Added);
  // The comment line holds no entry, and in white mode only a black entry equal
  // to the new one is asked about.
  ASSERT_EQ(user_.asked.size(), 2u);
  EXPECT_NE(user_.asked[0].text.find("ann@friends.example"), std::string::npos);
  EXPECT_NE(user_.asked[1].text.find("*@friends.example"), std::string::npos);
  EXPECT_EQ(file("wlist_email.dat"), "# ann@other.example\r\n*@friends.example\r\n");
  EXPECT_EQ(file("blist_email.dat"), "*@friends.example\r\nbob@friends.example\r\n");
}

TEST_F(AddToList, RemovesTheAutoWhiteAddressWhenTheUserSaysSo) {
  test::writeFile(data_.file("auto_wlist_from.dat"), "pal@example.net\nother@example.net\n");
  ASSERT_TRUE(loadConfigFile());
  user_.answers = {NoticeAnswer::Yes};
  EXPECT_EQ(add(ListMode::Black, "PAL@example.net").result, AddResult::Added);
  EXPECT_EQ(file("auto_wlist_from.dat"), "other@example.net\n");
  EXPECT_EQ(file("blist_email.dat"), "PAL@example.net\r\n");
}

TEST_F(AddToList, WritesNothingWhenTheFilesChangedWhileTheUserAnswered) {
  write("wlist_email.dat", "*@example.org\r\n");
  ListQuestion meanwhile = [&](const Notice&) {
    write("blist_email.dat", "written@elsewhere.example\r\n");
    return NoticeAnswer::No;
  };
  EXPECT_EQ(addToList(ListMode::Black, "x@example.org", meanwhile).result, AddResult::ListsChanged);
  EXPECT_EQ(file("blist_email.dat"), "written@elsewhere.example\r\n");
  EXPECT_EQ(file("wlist_email.dat"), "*@example.org\r\n");
}

TEST_F(AddToList, OneAdditionAtATime) {
  write("wlist_email.dat", "*@example.org\r\n");
  AddResult second = AddResult::Added;
  ListQuestion nested = [&](const Notice&) {
    second = addToList(ListMode::Black, "other@example.com", user_.asker()).result;
    return NoticeAnswer::No;
  };
  EXPECT_EQ(addToList(ListMode::Black, "x@example.org", nested).result, AddResult::Added);
  EXPECT_EQ(second, AddResult::Busy);
  EXPECT_EQ(file("blist_email.dat"), "x@example.org\r\n");
}

} // namespace
} // namespace km
