#include "ui/web_notifier.h"

#include <algorithm>

namespace km {

namespace {

constexpr size_t kKeptNotices = 50;

bool isAnswerTo(NoticeAnswer answer, NoticeButtons buttons) {
  switch (buttons) {
  case NoticeButtons::Ok:
    return answer == NoticeAnswer::Ok;
  case NoticeButtons::OkCancel:
    return answer == NoticeAnswer::Ok || answer == NoticeAnswer::Cancel;
  case NoticeButtons::YesNo:
    return answer == NoticeAnswer::Yes || answer == NoticeAnswer::No;
  case NoticeButtons::YesNoCancel:
    return answer == NoticeAnswer::Yes || answer == NoticeAnswer::No ||
           answer == NoticeAnswer::Cancel;
  }
  return false;
}

} // namespace

NoticeAnswer WebNotifier::show(const Notice& notice) {
  if (notice.buttons != NoticeButtons::Ok || !notice.choices.empty() ||
      !notice.checkBoxText.empty()) {
    return reply(notice).answer;
  }
  {
    std::lock_guard guard(lock_);
    notices_.push_back({nextId_++, notice});
    if (notices_.size() > kKeptNotices) {
      notices_.pop_front();
    }
  }
  return headless_.show(notice);
}

NoticeReply WebNotifier::reply(const Notice& notice) {
  if (notice.buttons == NoticeButtons::Ok && notice.choices.empty() &&
      notice.checkBoxText.empty()) {
    return {show(notice), 0, false};
  }
  Waiting waiting;
  std::unique_lock guard(lock_);
  if (closed_ || !pageSeenLately()) {
    guard.unlock();
    return headless_.Notifier::reply(notice);
  }
  waiting.id = nextId_++;
  waiting.notice = notice;
  waiting_.push_back(&waiting);
  answered_.wait_for(guard, timing_.questionWait,
                     [&] { return waiting.reply.has_value() || closed_; });
  std::erase(waiting_, &waiting);
  if (waiting.reply) {
    return *waiting.reply;
  }
  guard.unlock();
  // Nobody answered in time: the answer that loses nothing and blocks nothing.
  return headless_.Notifier::reply(notice);
}

void WebNotifier::notePageSeen() {
  std::lock_guard guard(lock_);
  pageSeenAt_ = std::chrono::steady_clock::now();
}

bool WebNotifier::pageSeenLately() const {
  return pageSeenAt_ && std::chrono::steady_clock::now() - *pageSeenAt_ <= timing_.pageSeenWithin;
}

std::vector<ShownNotice> WebNotifier::noticesAfter(uint64_t afterId) const {
  std::lock_guard guard(lock_);
  std::vector<ShownNotice> after;
  for (const ShownNotice& shown : notices_) {
    if (shown.id > afterId) {
      after.push_back(shown);
    }
  }
  return after;
}

std::vector<OpenQuestion> WebNotifier::openQuestions() const {
  std::lock_guard guard(lock_);
  std::vector<OpenQuestion> open;
  for (const Waiting* waiting : waiting_) {
    if (!waiting->reply) {
      open.push_back({waiting->id, waiting->notice});
    }
  }
  return open;
}

void WebNotifier::closeQuestions() {
  std::lock_guard guard(lock_);
  closed_ = true;
  answered_.notify_all();
}

bool WebNotifier::answer(uint64_t questionId, const NoticeReply& reply) {
  std::lock_guard guard(lock_);
  auto found = std::find_if(waiting_.begin(), waiting_.end(),
                            [&](const Waiting* waiting) { return waiting->id == questionId; });
  if (found == waiting_.end() || (*found)->reply) {
    return false;
  }
  const Notice& notice = (*found)->notice;
  if (!isAnswerTo(reply.answer, notice.buttons) ||
      (!notice.choices.empty() && reply.choice >= notice.choices.size())) {
    return false;
  }
  (*found)->reply = reply;
  answered_.notify_all();
  return true;
}

} // namespace km
