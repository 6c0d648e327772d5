#include "net/sessions.h"

#include <mutex>

#include "diag/crash_report.h"
#include "net/session_rows.h"
#include "platform/sync.h"
#include "platform/thread_records.h"
#include "platform/threads.h"

namespace km {

namespace {

// How long an ended session's row stays visible.
constexpr unsigned kRowLingeringMs = 2000;

struct SessionHooks {
  std::mutex lock;
  SessionEntries entries;
  std::function<void()> onBusy;
  std::function<void()> onIdle;
};

SessionHooks& hooks() {
  static SessionHooks instance;
  return instance;
}

SessionEntry entryFor(PortType type) {
  std::lock_guard guard(hooks().lock);
  const SessionEntries& entries = hooks().entries;
  switch (type) {
  case PortType::Pop3Specific:
  case PortType::Pop3Generic:
    return entries.pop3;
  case PortType::Imap4Specific:
  case PortType::Imap4Generic:
    return entries.imap4;
  case PortType::SmtpSpecific:
    return entries.smtp;
  default:
    return nullptr;
  }
}

} // namespace

void setSessionEntries(SessionEntries entries) {
  std::lock_guard guard(hooks().lock);
  hooks().entries = entries;
}

void setSessionActivityHandlers(std::function<void()> onBusy, std::function<void()> onIdle) {
  std::lock_guard guard(hooks().lock);
  hooks().onBusy = std::move(onBusy);
  hooks().onIdle = std::move(onIdle);
}

void noteSessionBusy() {
  std::function<void()> handler;
  {
    std::lock_guard guard(hooks().lock);
    handler = hooks().onBusy;
  }
  if (handler) {
    handler();
  }
}

void noteSessionIdle() {
  std::function<void()> handler;
  {
    std::lock_guard guard(hooks().lock);
    handler = hooks().onIdle;
  }
  if (handler) {
    handler();
  }
}

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
  forgetSessionSocket(client.handle());
  client.close();
  unregisterThread();
  sessionThreadEnded();
}

SessionOpening openSession(std::unique_ptr<SessionStart> start, std::string_view protocol,
                           LineSocket& client) {
  SessionOpening opening;
  opening.row = addSessionRow(start->clientAddress);
  setRowText(opening.row, kColumnProtocol, protocol);
  reloadIfConfigChanged();
  opening.config = AcquireConfig();
  opening.port = std::move(start->portConfig);
  opening.clientAddress = start->clientAddress;
  client.attach(start->clientSocket);
  if (opening.config && opening.config->clientIdleTimeout > 0) {
    client.setIdleLimit(opening.config->clientIdleTimeout);
  }
  start.reset();
  setRowSockets(opening.row, &client, nullptr);
  return opening;
}

void closeSessionRow(int row, std::string_view status) {
  setRowText(row, kColumnStatus, status);
  removeSessionRowAfter(row, stopRequested() ? 0 : kRowLingeringMs);
}

} // namespace km
