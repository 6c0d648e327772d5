// Notices and questions shown in the program's pages. A notice is kept for the
// pages to show (and written to stderr as the headless notifier does); a question
// waits for an answer from a page for a bounded time and then takes its headless
// answer. While no page has asked for news lately, questions take their headless
// answer at once, so nothing waits for a browser nobody opened.
//
// State: the notices and open questions of one notifier, under its own mutex,
// never held while a notice is shown or a question waits. Any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/notifier.h"

namespace km {

struct ShownNotice {
  uint64_t id = 0;
  Notice notice;
};

struct OpenQuestion {
  uint64_t id = 0;
  Notice notice;
};

class WebNotifier : public Notifier {
public:
  struct Timing {
    // How long a question waits for its answer.
    std::chrono::milliseconds questionWait{std::chrono::seconds(120)};
    // How recently a page must have asked for news for questions to be put to it.
    std::chrono::milliseconds pageSeenWithin{std::chrono::seconds(10)};
  };

  WebNotifier() = default;
  explicit WebNotifier(Timing timing) : timing_(timing) {}

  NoticeAnswer show(const Notice& notice) override;
  NoticeReply reply(const Notice& notice) override;

  // A page asked for news: questions are put to the pages from now on.
  void notePageSeen();

  // The notices with an id above `afterId` (at most the last 50 are kept).
  std::vector<ShownNotice> noticesAfter(uint64_t afterId) const;
  std::vector<OpenQuestion> openQuestions() const;

  // Answers an open question; false when there is none with that id (answered
  // already, or timed out). A choice beyond the notice's list is refused.
  bool answer(uint64_t questionId, const NoticeReply& reply);

  // From now on every question takes its headless answer at once, and those
  // waiting take it now (the pages are going away).
  void closeQuestions();

private:
  struct Waiting {
    uint64_t id = 0;
    Notice notice;
    std::optional<NoticeReply> reply;
  };

  bool pageSeenLately() const;

  Timing timing_;
  mutable std::mutex lock_;
  std::condition_variable answered_;
  std::deque<ShownNotice> notices_;
  std::vector<Waiting*> waiting_;
  uint64_t nextId_ = 1;
  bool closed_ = false;
  std::optional<std::chrono::steady_clock::time_point> pageSeenAt_;
  HeadlessNotifier headless_;
};

} // namespace km
