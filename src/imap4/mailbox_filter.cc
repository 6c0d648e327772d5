// Filtering a mailbox in place on the server, with the proxy's own tagged commands
// on the client's connection: every new message is fetched as far as the filters
// need it, judged, and left alone, replaced by a tagged copy, moved to the
// spam-trap folder or deleted; its unseen state is restored where fetching changed
// it. Untagged answers the client should still see are held and handed over at the
// end of the run.
#include <ctime>
#include <functional>
#include <unordered_set>

#include "diag/activity_log.h"
#include "diag/repeated_notices.h"
#include "filter/auto_whitelist.h"
#include "filter/dnsbl.h"
#include "filter/pipeline.h"
#include "filter/tagging.h"
#include "filter/verdict.h"
#include "imap4/imap4_internal.h"
#include "net/sessions.h"
#include "platform/lang.h"
#include "platform/notifier.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/text_ids.h"

namespace km {

namespace {

enum class Outcome { Ok, No, Bad, Failed };

constexpr int kBodyFetchAttempts = 5;
constexpr uint32_t kBodyRunTimeoutMs = 500;
constexpr uint32_t kBodyRun = 1024 * 1024;
// A run that keeps finding new messages stops after this many passes, so that a
// server inventing UIDs cannot hold the session for ever.
constexpr int kMostPasses = 100;
// UIDs asked about in one pruning command, which keeps its line short.
constexpr size_t kPruneUidsPerCommand = 1000;

struct FilterRun {
  ImapSession& s;
  MailboxState& mailbox;
  bool recheck;
  LineSocket held;
  bool searchUsable = true;
  bool failed = false;
};

int64_t now() {
  return static_cast<int64_t>(std::time(nullptr));
}

const Imap4PortOptions& options(const FilterRun& run) {
  return run.s.port.imap4;
}

void status(FilterRun& run, int textId) {
  run.s.status.show(languageText(textId));
}

bool isUntagged(std::string_view line) {
  return firstWord(line) == "*";
}

bool mentionsCounts(std::string_view line) {
  return line.find(" RECENT") != std::string_view::npos ||
         line.find(" EXISTS") != std::string_view::npos;
}

// The text after the second word, without the blanks before it.
std::string_view afterSecondWord(std::string_view line) {
  size_t pos = 0;
  for (int word = 0; word < 2; ++word) {
    while (pos < line.size() && line[pos] == ' ') {
      ++pos;
    }
    while (pos < line.size() && line[pos] != ' ') {
      ++pos;
    }
  }
  while (pos < line.size() && line[pos] == ' ') {
    ++pos;
  }
  return line.substr(pos);
}

// The word after the second one ("FETCH" in "* 3 FETCH (...)").
std::string thirdWord(std::string_view line) {
  return firstWord(afterSecondWord(line));
}

// Answers that the client's SELECT makes void need not reach it: the messages they
// number belong to the mailbox the client is leaving.
bool numbersMessages(std::string_view line) {
  std::string third = thirdWord(line);
  return equalsIgnoreCase(third, "FETCH") || equalsIgnoreCase(third, "EXPUNGE");
}

void hold(FilterRun& run, std::string_view line) {
  if (!run.recheck && isUntagged(line) && numbersMessages(line)) {
    return;
  }
  run.held.sendString(line);
}

void holdParsed(FilterRun& run, const ImapLine& line) {
  if (!run.recheck && tokenText(line.tokens, 0) == "*" &&
      (tokenIs(line.tokens, 2, "FETCH") || tokenIs(line.tokens, 2, "EXPUNGE"))) {
    return;
  }
  writeImapLine(line, run.held, nullptr);
}

// Tells the user that the server refused one of the proxy's commands; a server
// that refuses everything is told once, then counted.
void showRefusal(int titleId, const std::string& text) {
  std::string title = languageText(titleId);
  if (giveOnceThenCount("imap4-refused:" + text, [title, text](int64_t repeats) {
        showMessage(title, formatText(languageText(kTextRepeatedNotice), {repeats, text}),
                    NoticeIcon::Exclamation);
      })) {
    showMessage(title, text, NoticeIcon::Exclamation);
  }
}

// The server's line without its tag, as the user is shown it.
std::string refusalText(std::string_view line) {
  size_t blank = line.find(' ');
  std::string_view rest = blank == std::string_view::npos ? line : line.substr(blank + 1);
  while (!rest.empty() && (rest.back() == '\r' || rest.back() == '\n')) {
    rest.remove_suffix(1);
  }
  return std::string(rest);
}

void refusedCommand(const std::string& line) {
  showRefusal(kTextImap4ServerErrorTitle,
              formatText(languageText(kTextImap4CommandRefused), {refusalText(line)}));
}

ImapLine ownCommand(FilterRun& run, std::initializer_list<std::string_view> atoms) {
  ImapLine command = newOwnCommand(run.s.ownTagCounter);
  for (std::string_view atom : atoms) {
    appendToken(command.tokens, TokenType::Atom, atom);
  }
  return command;
}

// Sends an own command and reads the server's lines up to its tagged completion;
// every other line goes to `untagged`. `completion` receives the tagged line.
Outcome exchange(FilterRun& run, const ImapLine& command,
                 const std::function<void(const std::string&)>& untagged,
                 std::string* completion = nullptr) {
  LineSocket& server = run.s.server;
  std::string tag(tokenText(command.tokens, 0));
  WriteResult written = writeImapLine(command, server, &run.s.status);
  if (written == WriteResult::Failed || !server.flush()) {
    run.failed = true;
    return Outcome::Failed;
  }
  while (!stopRequested()) {
    std::optional<std::string> line = server.readLine(-1);
    if (!line) {
      break;
    }
    if (firstWord(*line) != tag) {
      untagged(*line);
      continue;
    }
    if (completion != nullptr) {
      *completion = *line;
    }
    std::string word = secondWord(*line);
    if (equalsIgnoreCase(word, "OK")) {
      return Outcome::Ok;
    }
    return equalsIgnoreCase(word, "NO") ? Outcome::No : Outcome::Bad;
  }
  run.failed = true;
  return Outcome::Failed;
}

// The usual own command: a refusal is shown and fails the run.
bool runCommand(FilterRun& run, const ImapLine& command,
                const std::function<void(const std::string&)>& untagged) {
  std::string completion;
  Outcome outcome = exchange(run, command, untagged, &completion);
  if (outcome == Outcome::No || outcome == Outcome::Bad) {
    refusedCommand(completion);
    run.failed = true;
  }
  return outcome == Outcome::Ok;
}

// The words after the second word of an untagged SEARCH answer: runs of bytes from
// 33 to 127 separated by blanks; the list ends at the first other byte.
std::vector<std::string> searchWords(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  for (char c : afterSecondWord(line)) {
    auto byte = static_cast<unsigned char>(c);
    if (byte == ' ') {
      if (!word.empty()) {
        words.push_back(std::move(word));
        word.clear();
      }
      continue;
    }
    if (byte < 33 || byte > 127) {
      break;
    }
    word.push_back(static_cast<char>(byte));
  }
  if (!word.empty()) {
    words.push_back(std::move(word));
  }
  return words;
}

bool isSearchAnswer(std::string_view line) {
  return isUntagged(line) && equalsIgnoreCase(secondWord(line), "SEARCH");
}

bool hasFlag(const ImapTokens& flags, std::string_view flag) {
  for (size_t i = 0; i < flags.size(); ++i) {
    if (tokenIs(flags, i, flag)) {
      return true;
    }
  }
  return false;
}

// An untagged FETCH answer, parsed with the server connection (literals read).
struct FetchAnswer {
  ImapLine line;
  const ImapTokens* items = nullptr; // the item list, when the answer has one

  std::string_view item(std::string_view name) const {
    for (size_t i = 0; items != nullptr && i + 1 < items->size(); i += 2) {
      if (tokenIs(*items, i, name)) {
        return tokenText(*items, i + 1);
      }
    }
    return {};
  }
  // The value of an item that carries text (a literal or a quoted string, not NIL).
  std::string_view text(std::string_view name) const {
    for (size_t i = 0; items != nullptr && i + 1 < items->size(); i += 2) {
      if (tokenIs(*items, i, name) && (*items)[i + 1].type != TokenType::Atom) {
        return tokenText(*items, i + 1);
      }
    }
    return {};
  }
  const ImapTokens* list(std::string_view name) const {
    for (size_t i = 0; items != nullptr && i + 1 < items->size(); i += 2) {
      if (tokenIs(*items, i, name) && isListToken(*items, i + 1)) {
        return &(*items)[i + 1].list;
      }
    }
    return nullptr;
  }
};

std::optional<FetchAnswer> parseFetchAnswer(FilterRun& run, const std::string& text) {
  FetchAnswer answer{parseImapLine(LineKind::Response, text, &run.s.server, &run.s.status)};
  if (!answer.line.complete) {
    run.failed = true;
    return std::nullopt;
  }
  const ImapTokens& tokens = answer.line.tokens;
  if (tokenText(tokens, 0) == "*" && tokenIs(tokens, 2, "FETCH") && isListToken(tokens, 3)) {
    answer.items = &tokens[3].list;
  }
  return answer;
}

// The answer as parseFetchAnswer reads it, or nothing for the counts (EXISTS,
// RECENT) that a server may send between the answers about one message.
std::optional<FetchAnswer> messageFetchAnswer(FilterRun& run, const std::string& text) {
  std::optional<FetchAnswer> answer = parseFetchAnswer(run, text);
  if (answer && isUntagged(text) &&
      (tokenIs(answer->line.tokens, 2, "EXISTS") || tokenIs(answer->line.tokens, 2, "RECENT"))) {
    return std::nullopt;
  }
  return answer;
}

bool isWantedByType(const FilterRun& run, bool seen, bool recent) {
  switch (options(run).filterType) {
  case Imap4FilterType::All:
    return true;
  case Imap4FilterType::Unseen:
    return !seen;
  default:
    return recent;
  }
}

// The flags and UIDs of every message, when the server will not search: the UIDs
// the test picks.
bool fetchAllFlags(FilterRun& run, const std::function<bool(const ImapTokens& flags)>& pick,
                   std::vector<std::string>& uids) {
  ImapLine command = ownCommand(run, {"FETCH", "1:*", "(FLAGS UID)"});
  return runCommand(run, command, [&](const std::string& text) {
    if (!isUntagged(text) || !equalsIgnoreCase(thirdWord(text), "FETCH")) {
      hold(run, text);
      return;
    }
    std::optional<FetchAnswer> answer = parseFetchAnswer(run, text);
    if (!answer) {
      return;
    }
    const ImapTokens* flags = answer->list("FLAGS");
    std::string_view uid = answer->item("UID");
    if (flags == nullptr || uid.empty()) {
      holdParsed(run, answer->line);
      return;
    }
    if (pick(*flags)) {
      uids.emplace_back(uid);
    }
  });
}

// Reads body text of the message into both copies: as much as `wantBytes` asks
// for, or all of it (-1). A refusal is asked again after a NOOP, up to five times.
bool fetchBodyText(FilterRun& run, const std::string& uid, Message& message, int64_t wantBytes) {
  FetchRecord& fetch = *message.fetch;
  auto held = [&] {
    return static_cast<int64_t>(fetch.pristineBodySize);
  };
  if (fetch.isRetr || (wantBytes != -1 && wantBytes <= held())) {
    return true;
  }
  LineSocket& server = run.s.server;
  for (int attempt = 0; attempt < kBodyFetchAttempts; ++attempt) {
    int64_t before = held();
    // Peeking leaves \Seen alone, so a run that fails half-way leaves no unseen
    // message seen; the server names the item BODY[TEXT] in its answer either way.
    std::string item;
    if (wantBytes == -1 && before == 0) {
      item = "BODY.PEEK[TEXT]";
    } else if (wantBytes != -1) {
      item = formatText("BODY.PEEK[TEXT]<%d.%d>", {before, wantBytes - before});
    } else {
      item = formatText("BODY.PEEK[TEXT]<%d.%d>", {before, fetch.expectedSize});
    }
    run.s.status.show(
        formatText(languageText(kTextStatusReceived), {0, fetch.expectedSize / 1024}));
    ImapLine command = ownCommand(run, {"UID FETCH", uid, item});
    bool broken = false;
    Outcome outcome = exchange(run, command, [&](const std::string& text) {
      if (broken || mentionsCounts(text)) {
        return;
      }
      size_t at = text.find("BODY[TEXT]", text.size() - afterSecondWord(text).size());
      if (!isUntagged(text) || at == std::string::npos) {
        hold(run, text);
        return;
      }
      size_t open = text.find('{', at);
      if (open == std::string::npos) {
        return; // no body text at all
      }
      uint64_t count = static_cast<uint64_t>(std::max<int64_t>(readLong(text.substr(open + 1)), 0));
      uint64_t got = 0;
      bool alive = true;
      while (got < count && alive) {
        BlockReader reader(server, static_cast<uint32_t>(std::min<uint64_t>(count - got, kBodyRun)),
                           "", kBodyRunTimeoutMs);
        alive = reader.read();
        std::string_view piece = reader.run();
        if (!piece.empty() && !AppendBody(message, piece, true)) {
          alive = false;
        }
        got += piece.size();
        run.s.status.show(
            formatText(languageText(kTextStatusReceived),
                       {static_cast<uint64_t>(fetch.pristineBodySize / 1024), count / 1024}));
      }
      // The rest of the answer's line (more items, the closing parenthesis) ends it.
      if (got < count || !server.readLine(-1)) {
        broken = true;
      }
    });
    if (broken) {
      run.failed = true;
      return false;
    }
    if (outcome == Outcome::Failed) {
      return false;
    }
    if (outcome == Outcome::Bad || (outcome == Outcome::No && attempt == kBodyFetchAttempts - 1)) {
      return false;
    }
    if (outcome == Outcome::No) {
      ImapLine noop = ownCommand(run, {"NOOP"});
      if (exchange(run, noop, [&](const std::string& text) {
            if (!mentionsCounts(text)) {
              hold(run, text);
            }
          }) == Outcome::Failed) {
        return false;
      }
      continue;
    }
    if (wantBytes == -1 || held() < wantBytes) {
      fetch.isRetr = true; // less than asked for came: that is all there is
    }
    return true;
  }
  return false;
}

// The UIDNEXT of a mailbox, creating the spam-trap folder when it is missing.
bool probeUidNext(FilterRun& run, const std::string& target, bool mayCreate, std::string& newUid) {
  bool created = false;
  for (;;) {
    ImapLine command = newOwnCommand(run.s.ownTagCounter);
    appendToken(command.tokens, TokenType::Atom, "STATUS");
    appendToken(command.tokens, TokenType::String, target);
    appendToken(command.tokens, TokenType::Atom, "(UIDNEXT)");
    std::string completion;
    Outcome outcome = exchange(
        run, command,
        [&](const std::string& text) {
          if (mentionsCounts(text)) {
            return;
          }
          ImapLine line = parseImapLine(LineKind::Response, text, nullptr, nullptr);
          if (isUntagged(text) && tokenIs(line.tokens, 1, "STATUS") && line.tokens.size() >= 4 &&
              isListToken(line.tokens, 3)) {
            const ImapTokens& items = line.tokens[3].list;
            for (size_t i = 0; i + 1 < items.size(); i += 2) {
              if (tokenIs(items, i, "UIDNEXT")) {
                newUid = std::string(tokenText(items, i + 1));
              }
            }
            return;
          }
          hold(run, text);
        },
        &completion);
    if (outcome == Outcome::Ok) {
      return true;
    }
    if (outcome == Outcome::Bad) {
      refusedCommand(completion);
      run.failed = true;
      return false;
    }
    if (outcome == Outcome::Failed || !mayCreate || created) {
      run.failed = true;
      return false;
    }
    status(run, kTextStatusCreatingSpamtrap);
    created = true;
    ImapLine create = newOwnCommand(run.s.ownTagCounter);
    appendToken(create.tokens, TokenType::Atom, "CREATE");
    appendToken(create.tokens, TokenType::String, target);
    Outcome made = exchange(
        run, create, [&](const std::string& text) { hold(run, text); }, &completion);
    if (made != Outcome::Ok) {
      if (made != Outcome::Failed) {
        showRefusal(kTextErrorTitle, formatText(languageText(kTextImap4CreateFailed),
                                                {target, refusalText(completion)}));
      }
      run.failed = true;
      return false;
    }
  }
}

// Puts the spam message into the spam-trap folder, or the tagged copy into `target`.
bool placeMessage(FilterRun& run, const std::string& uid, const std::string& target,
                  const Message& message, bool copy, bool wasSeen, bool wasDeleted) {
  auto holdUnlessCounts = [&](const std::string& text) {
    if (!mentionsCounts(text)) {
      hold(run, text);
    }
  };
  ImapLine command = newOwnCommand(run.s.ownTagCounter);
  if (copy) {
    status(run, kTextStatusMovingSpam);
    appendToken(command.tokens, TokenType::Atom, "UID COPY");
    appendToken(command.tokens, TokenType::Atom, uid);
    appendToken(command.tokens, TokenType::String, target);
  } else {
    status(run, kTextStatusAppendingCopy);
    appendToken(command.tokens, TokenType::Atom, "APPEND");
    appendToken(command.tokens, TokenType::String, target);
    appendToken(command.tokens, TokenType::Atom,
                wasSeen ? (wasDeleted ? "(\\Seen \\Deleted)" : "(\\Seen)")
                        : (wasDeleted ? "(\\Deleted)" : "()"));
    appendMessageToken(command.tokens, message);
  }
  std::string completion;
  Outcome outcome = exchange(run, command, holdUnlessCounts, &completion);
  if (outcome == Outcome::Ok) {
    return true;
  }
  run.failed = true;
  if (outcome != Outcome::Failed) {
    showRefusal(kTextErrorTitle,
                formatText(languageText(copy ? kTextImap4CopyFailed : kTextImap4AppendFailed),
                           {target, refusalText(completion)}));
    if (!copy) {
      switchRewritingOff(run.s);
    }
  }
  return false;
}

bool storeFlags(FilterRun& run, const std::string& uids, std::string_view change,
                std::string_view flags) {
  ImapLine command = ownCommand(run, {"UID STORE", uids, change, flags});
  return runCommand(run, command, [&](const std::string& text) { hold(run, text); });
}

// Filters one message; false when the run must stop.
bool filterOneMessage(FilterRun& run, const std::string& uid) {
  ImapSession& s = run.s;
  MailboxState& mailbox = run.mailbox;
  const Imap4PortOptions& o = options(run);
  if (equalsIgnoreCase(mailbox.name, o.spamtrapFolder) ||
      (o.filterOneMailbox && !equalsIgnoreCase(mailbox.name, o.filterMailbox))) {
    mailbox.filteredUids.add(uid);
    mailbox.recentUids.add(uid);
    return true;
  }

  // Size and flags.
  status(run, kTextStatusReadingFlags);
  int64_t size = 0;
  bool found = false;
  bool wasDeleted = false;
  bool wasSeen = false;
  ImapLine sizeCommand = ownCommand(run, {"UID FETCH", uid, "(RFC822.SIZE FLAGS)"});
  auto isOurs = [&](const FetchAnswer& answer) {
    std::string_view itemUid = answer.item("UID");
    return answer.items != nullptr && (itemUid.empty() || itemUid == uid);
  };
  if (!runCommand(run, sizeCommand, [&](const std::string& text) {
        std::optional<FetchAnswer> answer = messageFetchAnswer(run, text);
        if (!answer) {
          return;
        }
        if (isOurs(*answer) && !answer->item("RFC822.SIZE").empty()) {
          found = true;
          size = readLong(answer->item("RFC822.SIZE"));
          if (const ImapTokens* flags = answer->list("FLAGS")) {
            wasDeleted = hasFlag(*flags, "\\Deleted");
            wasSeen = hasFlag(*flags, "\\Seen");
          }
        }
        holdParsed(run, answer->line);
      })) {
    return false;
  }
  if (!found) {
    // Gone meanwhile (another client expunged it), or a server that names messages
    // it does not have: either way it is not looked for again.
    mailbox.filteredUids.add(uid);
    return true;
  }

  // The header.
  FetchRecord fetch;
  fetch.expectedSize = size;
  fetch.isRetr = false;
  MessagePtr owned = CreateMessage(s.config, &s.record, fetch);
  Message& message = *owned;
  status(run, kTextStatusReadingHeaders);
  ImapLine headerCommand = ownCommand(run, {"UID FETCH", uid, "RFC822.HEADER"});
  if (!runCommand(run, headerCommand, [&](const std::string& text) {
        std::optional<FetchAnswer> answer = messageFetchAnswer(run, text);
        if (!answer) {
          return;
        }
        std::string_view header = answer->text("RFC822.HEADER");
        if (isOurs(*answer) && !header.empty() && message.pristineHeaderLines.empty()) {
          LineSocket lines;
          lines.useMemory();
          lines.unread(header.data(), header.size());
          while (std::optional<std::string> line = lines.readLine(-1)) {
            if (*line == "\r\n") {
              message.headersComplete = true;
            } else {
              AppendHeaderData(message, *line, true);
            }
          }
        }
        holdParsed(run, answer->line);
      })) {
    return false;
  }

  if (o.checkHeadersUnfiltered && headerSeenBefore(s.account, message.pristineHeaderLines)) {
    mailbox.filteredUids.add(uid);
    mailbox.recentUids.add(uid);
    return true;
  }

  // Judging.
  FilterHeaders(message, &s.status);
  if (o.rewrite == Imap4Rewrite::Always) {
    fetchBodyText(run, uid, message, -1);
  }
  if (run.failed) {
    return false;
  }
  PluginFlags flags = BodyFilteringFlags(message);
  int64_t wanted = BodyBytesRequired(message, KM_PHASE_BODY_FILTERING, &flags);
  if (fetchBodyText(run, uid, message, wanted)) {
    FilterBody(message, &s.status, flags);
  }
  if (!run.failed) {
    waitForDnsblResults(message, &s.status);
  }
  withdrawMessage(message);
  if (run.failed) {
    return false;
  }
  Verdict& verdict = message.verdict;
  bool spam = verdict.isSpam && !verdict.isWhitelisted;
  bool rewrite = o.rewrite == Imap4Rewrite::Always || (o.rewrite == Imap4Rewrite::Spam && spam);
  if (spam && o.autoDeleteSpam) {
    rewrite = false;
  }
  if (rewrite) {
    // A copy is stored only when the whole message is here: the original goes.
    rewrite = fetchBodyText(run, uid, message, -1) && fetch.isRetr;
    if (run.failed) {
      return false;
    }
  }
  if (rewrite) {
    RewriteBody(message, &s.status, true, nullptr);
    RewriteHeaders(message, 0, &s.status);
  }
  if (verdict.isWhitelisted) {
    verdict.isSpam = 0;
  }
  bool moving = spam && o.autoMoveSpam;

  // Where the message goes, and the UID it gets there.
  std::string target = moving ? o.spamtrapFolder : mailbox.name;
  std::string newUid;
  if ((rewrite || moving) && !probeUidNext(run, target, moving, newUid)) {
    newUid.clear();
  }
  if (newUid.empty()) {
    newUid = uid;
  }
  if (!run.failed && (moving || rewrite)) {
    placeMessage(run, uid, target, message, !rewrite, wasSeen, wasDeleted);
  }
  if (run.failed) {
    newUid = uid; // the message stayed where it was
  }
  s.status.show("");

  // The original: marked deleted when it is spam to go or was replaced, else its
  // unseen state comes back.
  if (!run.failed) {
    if ((spam && (o.autoDeleteSpam || o.autoMoveSpam)) || rewrite) {
      if (spam && o.autoDeleteSpam && s.config->loggingEnabled) {
        logSessionText(s.record.log, LogLevel::Basic, kTextLogImap4SpamDeleted,
                       {VerdictLabel(true, verdict), GetSenderField(message), GetSubject(message)});
        status(run, kTextStatusDeletingSpam);
      }
      if (storeFlags(run, uid, "+FLAGS.SILENT", "(\\Deleted \\Seen)") && !wasDeleted) {
        mailbox.expungePending = true;
        mailbox.deletedUids.add(uid);
      }
    } else if (!wasSeen) {
      storeFlags(run, uid, "-FLAGS.SILENT", "(\\Seen)");
    }
  }
  if (!run.failed) {
    int64_t more = BodyBytesRequired(message, KM_PHASE_PROCESSED, nullptr);
    if (!fetchBodyText(run, uid, message, more)) {
      run.failed = true;
    } else {
      FinishMessage(message);
    }
  }

  mailbox.filteredUids.add(uid);
  rememberHeaders(s.account, message);
  MailboxState& holder = !run.failed && moving ? findMailbox(s.account, o.spamtrapFolder) : mailbox;
  if (!(spam && o.autoDeleteSpam && !run.failed)) {
    holder.recentUids.add(newUid);
    if (!(&holder == &mailbox && newUid == uid)) {
      holder.filteredUids.add(newUid);
    }
  }
  if (!run.failed) {
    status(run, kTextStatusAutoWhitelisting);
    if (!verdict.isSpam && !verdict.isWhitelisted && verdict.source != KM_SOURCE_DNSBL_TIMEOUT) {
      feedAutoWhitelisting(message);
    }
  }
  s.status.show("");
  return !run.failed;
}

// One pass: the UIDs of the messages still to filter.
std::vector<std::string> findNewMessages(FilterRun& run) {
  std::vector<std::string> uids;
  std::unordered_set<std::string> listed;
  MailboxState& mailbox = run.mailbox;
  auto wanted = [&](const std::string& uid) {
    return !mailbox.filteredUids.contains(uid) && listed.insert(uid).second;
  };
  if (run.searchUsable) {
    const char* search = options(run).filterType == Imap4FilterType::All      ? "UID SEARCH ALL"
                         : options(run).filterType == Imap4FilterType::Unseen ? "UID SEARCH UNSEEN"
                                                                              : "UID SEARCH RECENT";
    ImapLine command = ownCommand(run, {search});
    Outcome outcome = exchange(run, command, [&](const std::string& text) {
      if (!isSearchAnswer(text)) {
        hold(run, text);
        return;
      }
      for (std::string& uid : searchWords(text)) {
        if (wanted(uid)) {
          uids.push_back(std::move(uid));
        }
      }
    });
    if (outcome == Outcome::No || outcome == Outcome::Bad) {
      run.searchUsable = false;
    }
  }
  if (!run.searchUsable && !run.failed) {
    std::vector<std::string> all;
    fetchAllFlags(
        run,
        [&](const ImapTokens& flags) {
          return isWantedByType(run, hasFlag(flags, "\\Seen"), hasFlag(flags, "\\Recent"));
        },
        all);
    for (std::string& uid : all) {
      if (wanted(uid)) {
        uids.push_back(std::move(uid));
      }
    }
  }
  return uids;
}

// Expunges the proxy's own deletions; messages the user marked deleted lose the
// mark for the moment and get it back afterwards, so they survive.
void expungeOwnDeletions(FilterRun& run) {
  MailboxState& mailbox = run.mailbox;
  status(run, kTextStatusExpunging);
  std::vector<std::string> others;
  if (run.searchUsable) {
    ImapLine command = ownCommand(run, {"UID SEARCH DELETED"});
    runCommand(run, command, [&](const std::string& text) {
      if (!isSearchAnswer(text)) {
        hold(run, text);
        return;
      }
      for (std::string& uid : searchWords(text)) {
        if (!mailbox.deletedUids.contains(uid)) {
          others.push_back(std::move(uid));
        }
      }
    });
  } else {
    std::vector<std::string> deleted;
    fetchAllFlags(
        run, [](const ImapTokens& flags) { return hasFlag(flags, "\\Deleted"); }, deleted);
    for (std::string& uid : deleted) {
      if (!mailbox.deletedUids.contains(uid)) {
        others.push_back(std::move(uid));
      }
    }
  }
  if (run.failed) {
    return;
  }
  std::string text;
  for (const std::string& uid : others) {
    text += (text.empty() ? "" : ",") + uid;
  }
  if (!text.empty() && !storeFlags(run, text, "-FLAGS.SILENT", "(\\Deleted)")) {
    return; // nothing is expunged while the user's marks are in place
  }
  ImapLine expunge = ownCommand(run, {"EXPUNGE"});
  runCommand(run, expunge, [&](const std::string& line) { hold(run, line); });
  if (!text.empty() && run.s.server.isOpen()) {
    // Also after a refused EXPUNGE: the user's marks come back either way.
    bool failedBefore = run.failed;
    run.failed = false;
    storeFlags(run, text, "+FLAGS.SILENT", "(\\Deleted)");
    run.failed = run.failed || failedBefore;
  }
}

// Drops the UIDs of messages that left the mailbox from its list, every 14 days.
void pruneUids(FilterRun& run) {
  MailboxState& mailbox = run.mailbox;
  Imap4Account& account = run.s.account;
  if (mailbox.filteredUids.empty() || now() - mailbox.lastPruneTime < kUidPruneIntervalSec) {
    return;
  }
  status(run, kTextStatusPruningUids);
  UidList before = mailbox.filteredUids;
  size_t savedBefore = mailbox.savedUidCount;
  mailbox.filteredUids.clear();
  mailbox.savedUidCount = 0;
  const std::vector<std::string>& uids = before.items();
  bool complete = true;
  for (size_t first = 0; first < uids.size() && complete; first += kPruneUidsPerCommand) {
    std::string set;
    for (size_t i = first; i < std::min(uids.size(), first + kPruneUidsPerCommand); ++i) {
      set += (set.empty() ? "" : ",") + uids[i];
    }
    ImapLine command = ownCommand(run, {"UID FETCH", set, "(UID)"});
    complete = runCommand(run, command, [&](const std::string& text) {
      std::optional<FetchAnswer> answer = parseFetchAnswer(run, text);
      if (!answer) {
        return;
      }
      std::string_view uid = answer->item("UID");
      // Only UIDs that were on the list: an unsolicited answer about another
      // message must not mark it filtered.
      if (answer->items != nullptr && !uid.empty() && before.contains(uid)) {
        if (!mailbox.filteredUids.contains(uid)) {
          mailbox.filteredUids.add(uid);
        }
        return;
      }
      holdParsed(run, answer->line);
    });
  }
  mailbox.lastPruneTime = now();
  if (!complete) {
    // A pruning that did not finish forgets nothing.
    mailbox.filteredUids = std::move(before);
    mailbox.savedUidCount = savedBefore;
    return;
  }
  rewriteUidFile(account, mailbox);
}

// Hands the held lines to the client through the server connection, as if the
// server had just sent them; the counts they carry are the proxy's business.
void handOverHeldLines(FilterRun& run) {
  LineSocket source;
  source.useMemory();
  std::string_view held = run.held.memoryOutput();
  source.unread(held.data(), held.size());
  LineSocket out;
  out.useMemory();
  while (std::optional<std::string> text = source.readLine(-1)) {
    ImapLine line = parseImapLine(LineKind::Response, *text, &source, nullptr);
    bool untagged = tokenText(line.tokens, 0) == "*";
    if (untagged && tokenIs(line.tokens, 2, "RECENT")) {
      continue;
    }
    if (untagged && tokenIs(line.tokens, 2, "EXISTS")) {
      run.mailbox.lastExists = readLong(tokenText(line.tokens, 1));
      continue;
    }
    writeImapLine(line, out, nullptr);
  }
  std::string_view bytes = out.memoryOutput();
  run.s.server.unread(bytes.data(), bytes.size());
}

} // namespace

void filterMailbox(ImapSession& s, MailboxState& mailbox, bool recheck) {
  // The tray shows the proxy at work while a mailbox is filtered.
  SessionActivity busy;
  FilterRun run{s, mailbox, recheck, {}};
  run.held.useMemory();
  loadHeaderDigests(headerDigestPath(s.account), s.account);
  const Imap4PortOptions& o = s.port.imap4;
  bool expungeAfter = o.expungeDeletions && (o.autoMoveSpam || o.autoDeleteSpam);

  bool passes = true;
  bool selected =
      recheck && mailbox.selectCommand && tokenIs(mailbox.selectCommand->tokens, 1, "SELECT");
  if (!selected) {
    ImapLine select = newOwnCommand(s.ownTagCounter);
    appendToken(select.tokens, TokenType::Atom, "SELECT");
    appendToken(select.tokens, TokenType::String, mailbox.name);
    int64_t recent = -1;
    int64_t exists = -1;
    bool ok = runCommand(run, select, [&](const std::string& text) {
      ImapLine line = parseImapLine(LineKind::Response, text, nullptr, nullptr);
      if (tokenIs(line.tokens, 2, "RECENT")) {
        recent = readLong(tokenText(line.tokens, 1));
      } else if (tokenIs(line.tokens, 2, "EXISTS")) {
        exists = readLong(tokenText(line.tokens, 1));
      }
      // From the second word on: "* FLAGS (...)", "* OK [UIDNEXT 7] ...".
      std::string_view rest = std::string_view(text).substr(std::min(text.size(), text.find(' ')));
      while (!rest.empty() && rest.front() == ' ') {
        rest.remove_prefix(1);
      }
      if (startsWithIgnoreCase(rest, "FLAGS") || rest.find("UIDVALIDITY") != std::string::npos ||
          rest.find("UIDNEXT") != std::string::npos || rest.find("UNSEEN") != std::string::npos ||
          rest.find("PERMANENTFLAGS") != std::string::npos) {
        return;
      }
      hold(run, text);
    });
    passes = ok && exists != 0 &&
             !(recent == 0 && o.filterType != Imap4FilterType::All &&
               o.filterType != Imap4FilterType::Unseen);
  }

  for (int pass = 0; passes && !run.failed && !stopRequested() && pass < kMostPasses; ++pass) {
    status(run, kTextStatusSearchingNew);
    std::vector<std::string> uids = findNewMessages(run);
    for (size_t i = 0; i < uids.size() && !run.failed && !stopRequested(); ++i) {
      setRowText(s.row, kColumnProgress, formatText("%d/%d", {i + 1, uids.size()}));
      if (!filterOneMessage(run, uids[i])) {
        run.failed = true;
      }
    }
    setRowText(s.row, kColumnProgress, "");
    passes = !uids.empty();
  }

  saveHeaderDigests(s.account);
  saveUidFile(s.account, mailbox);
  if (expungeAfter && mailbox.expungePending && !run.failed && !stopRequested()) {
    expungeOwnDeletions(run);
  }
  mailbox.expungePending = false;
  if (!run.failed && !stopRequested()) {
    pruneUids(run);
  }
  handOverHeldLines(run);
  s.status.show("");
}

} // namespace km
