// Feeds arbitrary bytes to the IMAP4 line parser as a server's answers and as a
// client's commands (the first line, with the rest of the input as what follows
// on the connection), then through the FETCH and SEARCH relays.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "imap4/imap4.h"
#include "net/line_socket.h"

namespace {

void loadMemory(km::LineSocket& socket, std::string_view bytes) {
  socket.useMemory();
  socket.unread(bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  km::fuzz::prepareFuzzing();
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  size_t end = bytes.find('\n');
  std::string_view first = end == std::string_view::npos ? bytes : bytes.substr(0, end + 1);
  std::string_view rest =
      end == std::string_view::npos ? std::string_view() : bytes.substr(end + 1);

  km::MailboxState mailbox;
  mailbox.recentUids.add("7");
  for (km::LineKind kind : {km::LineKind::Response, km::LineKind::Command}) {
    km::LineSocket peer;
    loadMemory(peer, rest);
    km::ImapLine line = km::parseImapLine(kind, first, &peer, nullptr);
    std::string written = km::imapLineText(line);
    km::parseImapLine(kind, written, nullptr, nullptr);
    km::fixFetchFlags(line, true, mailbox);
  }
  km::LineSocket client;
  km::LineSocket server;
  loadMemory(client, rest);
  loadMemory(server, rest);
  km::ImapLine fetch = km::parseImapLine(km::LineKind::Command, first, nullptr, nullptr);
  km::relayClientFetch(fetch, client, server, &mailbox);
  km::rewriteSearch(first, client, server, &mailbox);
  km::reduceBracketCapability(first);
  km::withoutUnrelayableCapabilities(first);
  return 0;
}
