#include "pop3/offline_server.h"

#include <optional>
#include <string>

#include "net/line_socket.h"
#include "net/session_rows.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace km {

namespace {

// The answer to one command, and whether the session ends after it.
std::string_view offlineReply(std::string_view line, bool& quit) {
  std::string_view command = line.substr(0, 4);
  auto is = [&](std::string_view name) {
    return equalsIgnoreCase(command, name);
  };
  if (is("USER") || is("PASS") || is("APOP")) {
    return "+OK Anything accepted\r\n";
  }
  if (is("QUIT")) {
    quit = true;
    return "+OK Bye-bye\r\n";
  }
  if (is("STAT")) {
    return "+OK 0 0\r\n";
  }
  if (is("LIST")) {
    return line.size() > 4 && line[4] == ' '
               ? "-ERR No such message (offline)\r\n"
               : "+OK Nothing in mailbox because we're offline\r\n.\r\n";
  }
  if (is("RETR")) {
    return "-ERR Cannot fetch messages while offline\r\n";
  }
  if (is("DELE")) {
    return "-ERR Cannot delete message while offline\r\n";
  }
  if (is("NOOP")) {
    return "+OK\r\n";
  }
  if (is("LAST")) {
    return "+OK 0\r\n";
  }
  if (is("RSET")) {
    return "+OK Nothing to reset\r\n";
  }
  if (equalsIgnoreCase(line.substr(0, 3), "TOP")) {
    return "-ERR Cannot fetch messages while offline\r\n";
  }
  if (is("RPOP")) {
    return "+OK Whatever.\r\n";
  }
  return "-ERR Command unrecognised.\r\n";
}

} // namespace

void runOfflineServer(LineSocket& client, int row) {
  if (row >= 0) {
    setRowText(row, kColumnStatus, "Dummy POP3 session active");
  }
  if (client.sendString("+OK Kestrelmail Dummy POP3 server (offline)\r\n")) {
    bool quit = false;
    while (!quit && !stopRequested()) {
      std::optional<std::string> line = client.readLine(-1);
      if (!line || !client.sendString(offlineReply(*line, quit))) {
        break;
      }
    }
  }
  if (stopRequested()) {
    client.sendString("-ERR Kestrelmail exited.\r\n");
  }
  if (row >= 0) {
    setRowText(row, kColumnStatus, "");
  }
}

} // namespace km
