// A session and a fetch record to create messages in, and a way to feed a message
// the raw text a session reads from the server.
#pragma once

#include <memory>
#include <string_view>

#include "config/config.h"
#include "filter/session_record.h"
#include "message/message.h"
#include "platform/descriptors.h"
#include "support/test_support.h"

namespace km::test {

class MessageFixture {
public:
  explicit MessageFixture(PortType portType = PortType::Pop3Generic,
                          ConfigRef config = std::make_shared<Config>()) {
    port.type = portType;
    CreateSessionRecord(session, std::move(config), port, Ipv4Address{127, 0, 0, 1});
  }
  ~MessageFixture() { FinishSessionRecord(session); }

  MessagePtr create() { return CreateMessage(session.config, &session, fetch); }

  PortConfig port;
  SessionRecord session;
  FetchRecord fetch;
};

// Feeds raw message text as a session reads it: header data up to each CR LF into
// both copies until the blank line (which is removed again and ends the header
// block), then the rest as the body.
inline void feedMessage(Message& message, std::string_view raw) {
  while (!raw.empty()) {
    size_t end = raw.find("\r\n");
    size_t length = end == std::string_view::npos ? raw.size() : end + 2;
    std::string_view piece = raw.substr(0, length);
    raw.remove_prefix(length);
    AppendHeaderData(message, piece, true);
    if (message.headerLines.back() == "\r\n") {
      RemoveHeaderLine(message, message.headerLines.size(), true);
      message.headersComplete = true;
      AppendBody(message, raw, true);
      return;
    }
  }
}

// Everything that arrives on a descriptor until its end.
inline std::string readAll(int fd) {
  std::string text;
  char piece[4096];
  long got;
  while ((got = readSome(fd, piece, sizeof piece)) > 0) {
    text.append(piece, static_cast<size_t>(got));
  }
  return text;
}

} // namespace km::test
