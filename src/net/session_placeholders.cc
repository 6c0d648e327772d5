// Placeholder sessions of the protocols whose proxy is not part of the program yet
// (net/sessions.h).
#include "net/sessions.h"

namespace km {

namespace {

void closeAtOnce(std::unique_ptr<SessionStart> start, std::string_view threadType) {
  LineSocket client;
  SessionThreadScope thread(threadType, client);
  client.attach(start->clientSocket);
  start.reset();
}

} // namespace

void runSmtpSession(std::unique_ptr<SessionStart> start) {
  closeAtOnce(std::move(start), "SMTP");
}

} // namespace km
