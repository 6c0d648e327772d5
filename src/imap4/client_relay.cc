// What the IMAP4 proxy changes in the client's own commands and in what the server
// tells the client: FETCH flags, SEARCH keys, capabilities, and the log-in name of
// a generic port.
#include <algorithm>
#include <array>

#include "diag/repeated_notices.h"
#include "imap4/imap4.h"
#include "net/line_socket.h"
#include "platform/notifier.h"
#include "platform/text.h"

namespace km {

namespace {

bool isUidCommand(const ImapLine& line, std::string_view command) {
  return tokenIs(line.tokens, 1, "UID") && tokenIs(line.tokens, 2, command);
}

// Tells the user about a FETCH answer that cannot be read; a server that sends
// many is told once, then counted.
void reportMalformedFetch() {
  static const std::string title = "Bad Error from Kestrelmail";
  static const std::string text = "Malformed FETCH response!";
  if (giveOnceThenCount("imap4-malformed-fetch", [](int64_t repeats) {
        showMessage(title, text + " (" + std::to_string(repeats) + " more)",
                    NoticeIcon::Exclamation);
      })) {
    showMessage(title, text, NoticeIcon::Exclamation);
  }
}

void expandMacros(ImapTokens& items) {
  struct Macro {
    const char* name;
    std::array<const char*, 5> items;
  };
  static const Macro macros[] = {
      {"ALL", {"FLAGS", "INTERNALDATE", "RFC822.SIZE", "ENVELOPE", nullptr}},
      {"FAST", {"FLAGS", "INTERNALDATE", "RFC822.SIZE", nullptr, nullptr}},
      {"FULL", {"FLAGS", "INTERNALDATE", "RFC822.SIZE", "ENVELOPE", "BODY"}},
  };
  for (size_t i = 0; i < items.size(); ++i) {
    for (const Macro& macro : macros) {
      if (!tokenIs(items, i, macro.name)) {
        continue;
      }
      removeToken(items, i);
      size_t at = i;
      for (const char* item : macro.items) {
        if (item != nullptr) {
          insertToken(items, at++, TokenType::Atom, item);
        }
      }
      i = at - 1;
      break;
    }
  }
}

bool hasItem(const ImapTokens& items, std::string_view name) {
  for (size_t i = 0; i < items.size(); ++i) {
    if (tokenIs(items, i, name)) {
      return true;
    }
  }
  return false;
}

bool isUntaggedFetch(std::string_view text) {
  if (firstWord(text) != "*") {
    return false;
  }
  size_t second = text.find_first_not_of(' ', text.find('*') + 1);
  size_t blank = second == std::string_view::npos ? second : text.find(' ', second);
  return blank != std::string_view::npos &&
         equalsIgnoreCase(firstWord(text.substr(blank)), "FETCH");
}

} // namespace

std::optional<GenericLogin> splitGenericLogin(std::string_view userName) {
  size_t separator = userName.find_last_of("@%/");
  if (separator == std::string_view::npos) {
    return std::nullopt;
  }
  return GenericLogin{std::string(userName.substr(0, separator)),
                      std::string(userName.substr(separator + 1))};
}

std::string reduceBracketCapability(std::string_view line) {
  constexpr std::string_view kMarker = "[CAPABILITY";
  size_t start = line.find(kMarker);
  if (start == std::string_view::npos) {
    return std::string(line);
  }
  size_t end = line.find(']', start);
  if (end == std::string_view::npos) {
    // No closing bracket: the line end stays.
    end = line.size();
    while (end > start + kMarker.size() && (line[end - 1] == '\r' || line[end - 1] == '\n')) {
      --end;
    }
  }
  return std::string(line.substr(0, start)) + "[CAPABILITY IMAP4rev1" +
         std::string(line.substr(end));
}

std::string withoutUnrelayableCapabilities(std::string_view line) {
  auto unrelayable = [](std::string_view word) {
    return equalsIgnoreCase(word, "STARTTLS") || equalsIgnoreCase(word, "LITERAL+") ||
           equalsIgnoreCase(word, "LITERAL-") || startsWithIgnoreCase(word, "COMPRESS=");
  };
  size_t end = line.size();
  while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n')) {
    --end;
  }
  std::string kept;
  bool dropped = false;
  size_t pos = 0;
  while (pos < end) {
    size_t blank = line.find(' ', pos);
    size_t stop = blank == std::string_view::npos || blank > end ? end : blank;
    std::string_view word = line.substr(pos, stop - pos);
    if (!word.empty() && unrelayable(word)) {
      dropped = true;
    } else if (!word.empty()) {
      if (!kept.empty()) {
        kept.push_back(' ');
      }
      kept.append(word);
    }
    pos = stop + 1;
  }
  if (!dropped) {
    return std::string(line);
  }
  return kept + std::string(line.substr(end));
}

void fixFetchFlags(ImapLine& response, bool dropUid, const MailboxState& mailbox) {
  if (response.tokens.size() < 4 || !isListToken(response.tokens, 3)) {
    reportMalformedFetch();
    return;
  }
  ImapTokens& items = response.tokens[3].list;
  std::optional<size_t> uidAt;
  ImapTokens* flags = nullptr;
  for (size_t i = 0; i + 1 < items.size(); i += 2) {
    if (tokenIs(items, i, "UID")) {
      uidAt = i;
    } else if (tokenIs(items, i, "FLAGS") && isListToken(items, i + 1)) {
      flags = &items[i + 1].list;
    }
  }
  if (!uidAt || flags == nullptr) {
    return;
  }
  if (mailbox.recentUids.contains(tokenText(items, *uidAt + 1))) {
    if (!hasItem(*flags, "\\Recent")) {
      appendToken(*flags, TokenType::Atom, "\\Recent");
    }
  } else {
    for (size_t i = flags->size(); i-- > 0;) {
      if (tokenIs(*flags, i, "\\Recent")) {
        removeToken(*flags, i);
      }
    }
  }
  if (dropUid) {
    removeToken(items, *uidAt + 1);
    removeToken(items, *uidAt);
  }
}

void relayClientFetch(ImapLine& fetch, LineSocket& client, LineSocket& server,
                      const MailboxState* mailbox) {
  bool uidFetch = isUidCommand(fetch, "FETCH");
  size_t itemsAt = uidFetch ? 4 : 3;
  ImapTokens& tokens = fetch.tokens;
  if (tokens.size() == itemsAt) {
    appendToken(tokens, TokenType::List);
  }
  if (tokens.size() <= itemsAt) {
    writeImapLine(fetch, server, nullptr);
    server.flush();
    return;
  }
  if (tokens[itemsAt].type != TokenType::List) {
    ImapToken single = std::move(tokens[itemsAt]);
    tokens[itemsAt] = ImapToken{};
    tokens[itemsAt].type = TokenType::List;
    tokens[itemsAt].list.push_back(std::move(single));
  }
  ImapTokens& items = tokens[itemsAt].list;
  expandMacros(items);
  if (!hasItem(items, "FLAGS") || mailbox == nullptr) {
    writeImapLine(fetch, server, nullptr);
    server.flush();
    return;
  }
  bool dropUid = !uidFetch && !hasItem(items, "UID");
  if (!hasItem(items, "UID")) {
    insertToken(items, 0, TokenType::Atom, "UID");
  }
  std::string tag(tokenText(tokens, 0));
  if (writeImapLine(fetch, server, nullptr) != WriteResult::Written || !server.flush()) {
    return;
  }
  std::string others;
  for (;;) {
    std::optional<std::string> text = server.readLine(-1);
    if (!text) {
      break;
    }
    if (firstWord(*text) == tag) {
      client.write(text->data(), text->size());
      std::string word = secondWord(*text);
      if (equalsIgnoreCase(word, "OK") || equalsIgnoreCase(word, "NO") ||
          equalsIgnoreCase(word, "BAD")) {
        break;
      }
      continue;
    }
    if (isUntaggedFetch(*text)) {
      ImapLine answer = parseImapLine(LineKind::Response, *text, &server, nullptr);
      if (!answer.complete) {
        break;
      }
      fixFetchFlags(answer, dropUid, *mailbox);
      if (writeImapLine(answer, client, nullptr) != WriteResult::Written) {
        break;
      }
      continue;
    }
    others += *text;
  }
  server.unread(others.data(), others.size());
  client.flush();
}

bool rewriteSearch(std::string_view line, LineSocket& client, LineSocket& server,
                   const MailboxState* mailbox) {
  ImapLine search = parseImapLine(LineKind::Command, line, &client, nullptr);
  if (!search.complete) {
    return false;
  }
  ImapTokens& tokens = search.tokens;
  for (size_t i = 2; i < tokens.size(); ++i) {
    if (tokenIs(tokens, i, "OLD")) {
      tokens[i] = ImapToken{TokenType::Atom, "NOT", {}, nullptr};
      insertToken(tokens, i + 1, TokenType::Atom, "RECENT");
    } else if (tokenIs(tokens, i, "NEW")) {
      tokens[i] = ImapToken{TokenType::Atom, "UNSEEN", {}, nullptr};
      insertToken(tokens, i + 1, TokenType::Atom, "RECENT");
    } else if (tokenIs(tokens, i, "RECENT") && mailbox != nullptr && !mailbox->recentUids.empty()) {
      tokens[i] = ImapToken{TokenType::Atom, "UID " + mailbox->recentUids.joined(','), {}, nullptr};
    }
  }
  writeImapLine(search, server, nullptr);
  server.flush();
  return true;
}

} // namespace km
