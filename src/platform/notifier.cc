#include "platform/notifier.h"

#include <cstdio>
#include <mutex>

namespace km {

namespace {

std::mutex notifierLock;

std::shared_ptr<Notifier>& currentNotifier() {
  static std::shared_ptr<Notifier> notifier = std::make_shared<HeadlessNotifier>();
  return notifier;
}

} // namespace

NoticeAnswer HeadlessNotifier::show(const Notice& notice) {
  std::string line = "kestrelmail: " + notice.title + ": " + notice.text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  return notice.buttons == NoticeButtons::Ok ? NoticeAnswer::Ok : notice.headlessAnswer;
}

NoticeReply Notifier::reply(const Notice& notice) {
  NoticeReply reply;
  reply.answer = show(notice);
  reply.choice = notice.headlessChoice;
  return reply;
}

std::shared_ptr<Notifier> setNotifier(std::shared_ptr<Notifier> notifier) {
  std::lock_guard lock(notifierLock);
  std::swap(currentNotifier(), notifier);
  return notifier;
}

namespace {

std::shared_ptr<Notifier> notifierInUse() {
  std::lock_guard lock(notifierLock);
  return currentNotifier();
}

} // namespace

NoticeAnswer notify(const Notice& notice) {
  return notifierInUse()->show(notice);
}

NoticeReply notifyForReply(const Notice& notice) {
  return notifierInUse()->reply(notice);
}

void showMessage(const std::string& title, const std::string& text, NoticeIcon icon) {
  notify(Notice{title, text, icon, NoticeButtons::Ok, NoticeAnswer::Ok});
}

bool askYesNo(const std::string& title, const std::string& text, NoticeIcon icon,
              bool headlessYes) {
  Notice notice{title, text, icon, NoticeButtons::YesNo,
                headlessYes ? NoticeAnswer::Yes : NoticeAnswer::No};
  return notify(notice) == NoticeAnswer::Yes;
}

} // namespace km
