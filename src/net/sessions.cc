#include "net/sessions.h"

#include "diag/crash_report.h"
#include "net/thread_records.h"
#include "platform/threads.h"

namespace km {

namespace {

using SessionEntry = void (*)(std::unique_ptr<SessionStart>);

SessionEntry entryFor(int32_t type) {
  switch (type) {
  case POP3_SPECIFIC:
  case POP3_GENERIC:
    return runPop3Session;
  case IMAP4_SPECIFIC:
  case IMAP4_GENERIC:
    return runImap4Session;
  case SMTP_SPECIFIC:
    return runSmtpSession;
  default:
    return nullptr;
  }
}

} // namespace

bool startSessionThread(std::unique_ptr<SessionStart> start) {
  SessionEntry entry = entryFor(start->portConfig.type);
  if (entry == nullptr) {
    return false;
  }
  sessionThreadStarted();
  // The block moves into the thread; if the thread never starts it is freed with
  // the thread's body.
  auto shared = std::make_shared<std::unique_ptr<SessionStart>>(std::move(start));
  bool started = startDetachedThread(
      [entry, shared] { runWithFaultGuard([&] { entry(std::move(*shared)); }); },
      kSessionStackSize);
  if (!started) {
    sessionThreadEnded();
  }
  return started;
}

void beginSessionThread(std::string_view threadType) {
  registerThread(threadType);
}

void endSessionThread(LineSocket& client) {
  // Forgotten before the close: the system reuses a closed descriptor's number at
  // once, and the next accepted client must not be mistaken for this one.
  forgetSessionSocket(client.sock);
  close(client);
  unregisterThread();
  sessionThreadEnded();
}

} // namespace km
