#include <gtest/gtest.h>

#include <thread>

#include "ui/web_notifier.h"

namespace km {
namespace {

using namespace std::chrono_literals;

Notice question(NoticeButtons buttons, NoticeAnswer headless) {
  Notice notice;
  notice.title = "Kestrelmail";
  notice.text = "Really?";
  notice.buttons = buttons;
  notice.headlessAnswer = headless;
  return notice;
}

// Answers the first question that opens, from another thread, as a page would.
std::thread answerWhenAsked(WebNotifier& notifier, NoticeReply reply) {
  return std::thread([&notifier, reply] {
    for (;;) {
      std::vector<OpenQuestion> open = notifier.openQuestions();
      if (!open.empty()) {
        // An answer the question does not offer is refused, and the question stays.
        EXPECT_FALSE(notifier.answer(open[0].id, {NoticeAnswer::Ok, 0, false}));
        EXPECT_TRUE(notifier.answer(open[0].id, reply));
        EXPECT_FALSE(notifier.answer(open[0].id, reply));
        return;
      }
      std::this_thread::sleep_for(1ms);
    }
  });
}

TEST(WebNotifier, WithoutAPageQuestionsTakeTheirHeadlessAnswerAtOnce) {
  WebNotifier notifier(WebNotifier::Timing{1h, 1h});
  EXPECT_EQ(notifier.show(question(NoticeButtons::YesNo, NoticeAnswer::No)), NoticeAnswer::No);
  EXPECT_TRUE(notifier.openQuestions().empty());
}

TEST(WebNotifier, APageAnswersTheQuestionWithItsTickAndChoice) {
  WebNotifier notifier(WebNotifier::Timing{1h, 1h});
  notifier.notePageSeen();
  Notice notice = question(NoticeButtons::YesNoCancel, NoticeAnswer::Cancel);
  notice.checkBoxText = "Do not ask again";
  std::thread page = answerWhenAsked(notifier, {NoticeAnswer::No, 0, true});
  NoticeReply reply = notifier.reply(notice);
  page.join();
  EXPECT_EQ(reply.answer, NoticeAnswer::No);
  EXPECT_TRUE(reply.checked);
  EXPECT_TRUE(notifier.openQuestions().empty());
}

TEST(WebNotifier, AnUnansweredQuestionTakesItsHeadlessAnswerAfterTheWait) {
  WebNotifier notifier(WebNotifier::Timing{20ms, 1h});
  notifier.notePageSeen();
  EXPECT_EQ(notifier.show(question(NoticeButtons::OkCancel, NoticeAnswer::Cancel)),
            NoticeAnswer::Cancel);
  EXPECT_TRUE(notifier.openQuestions().empty());
}

TEST(WebNotifier, ClosingReleasesTheWaitingQuestionsAndAnswersLaterOnesAtOnce) {
  WebNotifier notifier(WebNotifier::Timing{1h, 1h});
  notifier.notePageSeen();
  std::thread closer([&] {
    while (notifier.openQuestions().empty()) {
      std::this_thread::sleep_for(1ms);
    }
    notifier.closeQuestions();
  });
  EXPECT_EQ(notifier.show(question(NoticeButtons::YesNo, NoticeAnswer::Yes)), NoticeAnswer::Yes);
  closer.join();
  EXPECT_EQ(notifier.show(question(NoticeButtons::YesNo, NoticeAnswer::No)), NoticeAnswer::No);
}

TEST(WebNotifier, NoticesAreKeptForThePagesNewestLast) {
  WebNotifier notifier;
  for (int i = 0; i < 60; ++i) {
    Notice notice;
    notice.title = "Kestrelmail";
    notice.text = "notice " + std::to_string(i);
    EXPECT_EQ(notifier.show(notice), NoticeAnswer::Ok);
  }
  std::vector<ShownNotice> kept = notifier.noticesAfter(0);
  ASSERT_EQ(kept.size(), 50u);
  EXPECT_EQ(kept.back().notice.text, "notice 59");
  EXPECT_EQ(notifier.noticesAfter(kept.back().id).size(), 0u);
  EXPECT_EQ(notifier.noticesAfter(kept[48].id).size(), 1u);
}

} // namespace
} // namespace km
