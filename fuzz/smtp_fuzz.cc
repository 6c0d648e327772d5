// Runs a whole SMTP dialogue over memory connections: arbitrary client bytes
// against arbitrary server replies, on ports with and without filtering, the
// Received line and sender checks. Besides never crashing, the proxy must never
// end a message the client did not end: the server sees no more end markers
// than the client sent.
#include <cstddef>
#include <cstdint>
#include <string>

#include "filter/session_record.h"
#include "fuzz_support.h"
#include "net/line_socket.h"
#include "smtp/smtp_internal.h"

namespace {

km::ConfigRef fuzzConfig() {
  auto config = std::make_shared<km::Config>();
  config->blacklistEmail = {"*@black.example", "*x*"};
  config->blacklistEmailIndex = km::PatternIndex(config->blacklistEmail);
  config->whitelistEmail = {"*@white.example"};
  config->whitelistEmailIndex = km::PatternIndex(config->whitelistEmail);
  config->tagSubject = true;
  return config;
}

size_t count(std::string_view text, std::string_view needle) {
  size_t found = 0;
  for (size_t at = text.find(needle); at != std::string_view::npos;
       at = text.find(needle, at + 1)) {
    ++found;
  }
  return found;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  km::fuzz::prepareFuzzing();
  static km::ConfigRef config = fuzzConfig();
  if (size < 1) {
    return 0;
  }
  // The first byte chooses the port's options; the server's replies come next, up
  // to two NUL bytes, and the client's bytes after them.
  uint8_t options = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  size_t split = rest.find(std::string_view("\0\0", 2));
  std::string_view replies = rest.substr(0, split);
  std::string_view client = split == std::string_view::npos ? "" : rest.substr(split + 2);

  km::SmtpSession s;
  s.config = config;
  s.portConfig.type = km::PortType::SmtpSpecific;
  s.portConfig.serverName = "smtp.example.net";
  s.portConfig.smtp.useFiltering = (options & 1) != 0;
  s.portConfig.smtp.addReceivedHeader = (options & 2) != 0;
  s.portConfig.smtp.rejectOnMailFrom = (options & 4) != 0;
  s.portConfig.smtp.removeServerNameFromUserName = (options & 8) != 0;
  s.portConfig.smtp.localEmails = {"*@local.example"};
  s.clientIsLocal = (options & 16) != 0;
  s.clientAddress = {192, 0, 2, 7};
  km::CreateSessionRecord(s.record, s.config, s.portConfig, s.clientAddress);
  s.clientConnection.useMemory();
  s.serverConnection.useMemory();
  s.serverConnection.setBareLineFeedEndsLine(true);
  s.clientConnection.unread(client);
  s.serverConnection.unread(replies);
  km::runSmtpCommands(s);
  km::endTransaction(s);
  km::FinishSessionRecord(s.record);

  // (After TURN or ATRN the server side also hears the client's replies.)
  std::string_view received = s.serverConnection.memoryOutput();
  if (s.client == &s.clientConnection &&
      count(received, "\r\n.\r\n") > count(client, "\r\n.\r\n")) {
    __builtin_trap();
  }
  return 0;
}
