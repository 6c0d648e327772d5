// Protocols whose proxy is not part of the program yet: their sessions close the
// client connection cleanly after the access check, with the bookkeeping every
// session thread does. Each proxy replaces its function here with its own.
#include "net/sessions.h"

namespace km {

namespace {

void closeAtOnce(std::unique_ptr<SessionStart> start, std::string_view threadType) {
  beginSessionThread(threadType);
  LineSocket client;
  initSocket(client, start->clientSocket);
  start.reset();
  endSessionThread(client);
}

} // namespace

void runSmtpSession(std::unique_ptr<SessionStart> start) {
  closeAtOnce(std::move(start), "SMTP");
}

} // namespace km
