// RETR, TOP and UIDL: messages are read from the server into a Message, filtered,
// tagged, padded to the size the client was told and sent on; the rest of a long
// body streams straight through. TOP answers are kept per session, and while one
// waits for its DNSBL answers a pre-fetch thread reads the following messages.
#include <algorithm>
#include <chrono>

#include "diag/crash_report.h"
#include "diag/error_report.h"
#include "filter/auto_whitelist.h"
#include "filter/dnsbl.h"
#include "filter/pipeline.h"
#include "filter/tagging.h"
#include "net/session_rows.h"
#include "platform/lang.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "platform/thread_records.h"
#include "platform/threads.h"
#include "pop3/answer_reader.h"
#include "pop3/pop3_internal.h"
#include "pop3/timeout_prevention.h"

namespace km {

namespace {

constexpr std::string_view kAnswerEnd = ".\r\n";
constexpr int kHeaderLineWaitSec = 10;
constexpr int kBodyWaitSec = 1;
constexpr size_t kBodyRun = 262144;
// The estimate of a body line's length that turns wanted bytes into TOP lines.
constexpr int64_t kBytesPerLine = 60;
constexpr size_t kPrefetchStackSize = 0x20000;

// Sends to a client connection (or nowhere, for a pre-fetch). The message is
// flushed with the end of the answer, so the two leave together.
class ClientSink : public MessageSink {
public:
  explicit ClientSink(LineSocket* client) : client_(client) {}
  bool write(std::string_view bytes) override {
    return writeToClient(client_, std::string_view(bytes.data(), bytes.size()));
  }
  bool flush() override { return true; }

private:
  LineSocket* client_;
};

// One retrieval: the inputs and what it learns on the way.
struct Retrieval {
  Pop3Session& session;
  LineSocket* client;
  LineSocket& upstream;
  ConfigRef config;
  int32_t number;
  int32_t lines; // -1 for RETR
  bool prefetch;
  int row;
  FetchRecord& fetch;
  RowProgress progress;

  Message* message = nullptr;
  Pop3Stage stage = Pop3Stage::Nothing;
  int32_t requestedLines = 0;
  int32_t neededLines = 0;
  int64_t neededBytes = 0;
  // The body of the server's answer, read from its first byte to its end line by
  // one reader, whatever waits come between.
  std::optional<Pop3AnswerReader> answer{};
  std::string run{};
  uint64_t skip = 0;  // body bytes a repeated request sends again, not to be kept twice
  bool ended = false; // the server's answer was read to its end
  bool failed = false;
  bool prefetchStarted = false;

  Pop3Entry& entry() { return *session.entries[static_cast<size_t>(number - 1)]; }
  bool isTop() const { return lines >= 0; }
  void status(int textId) { progress.show(languageText(textId)); }
};

bool beginsWithOk(std::string_view line) {
  return startsWithIgnoreCase(line, "+OK");
}

void showReceived(Retrieval& r) {
  r.progress.show(formatText(
      languageText(kTextStatusReceived),
      {static_cast<int64_t>(r.fetch.pristineBodySize / 1024), r.fetch.expectedSize / 1024}));
}

// Adds a run of the body to both copies, after dropping what a repeated request
// sends again.
bool keepRun(Retrieval& r, std::string_view run) {
  size_t dropped = static_cast<size_t>(std::min<uint64_t>(r.skip, run.size()));
  run.remove_prefix(dropped);
  r.skip -= dropped;
  return run.empty() || AppendBody(*r.message, run, true);
}

// Reads one run of the body into the message, waiting at most a second for it.
// False once the answer has ended, the retrieval failed or the program closes.
bool readRun(Retrieval& r, size_t maxBytes) {
  if (r.ended || r.failed || stopRequested()) {
    return false;
  }
  bool alive = r.answer->read(r.run, maxBytes, kBodyWaitSec);
  if (!keepRun(r, r.run)) {
    r.failed = true;
    return false;
  }
  if (r.skip > 0) {
    r.progress.show(
        formatText(languageText(kTextStatusSkipping), {static_cast<int64_t>(r.skip / 1024)}));
  } else {
    showReceived(r);
  }
  r.ended = r.answer->ended();
  r.failed = !alive;
  return !r.ended && !r.failed;
}

void readToEnd(Retrieval& r) {
  while (readRun(r, kBodyRun)) {
  }
}

// Whether what the working copy sends after its header block ends without a line
// end (a plug-in may write a body or prefix that does).
bool bodyEndsOpen(const Message& m) {
  if (m.body.size > 0) {
    return lastBodyByte(m.body) != '\n';
  }
  return !m.bodyPrefix.empty() && m.bodyPrefix.back() != '\n';
}

// Asks the server for message n (the whole of it, or the header block and `lines`
// body lines), or replays a kept copy that holds enough into the server input.
// True when the message now follows on the input; a refusal has been passed on.
bool requestMessage(Pop3Session& s, LineSocket* client, LineSocket& upstream, int32_t n,
                    int32_t lines) {
  Pop3Entry& entry = *s.entries[static_cast<size_t>(n - 1)];
  // A kept copy serves a RETR when it is the whole message, and a TOP when it has at
  // least the lines asked for.
  bool usable = entry.cachedMessage &&
                (entry.fetchCopy.isRetr ||
                 (lines >= 0 && (entry.requestedLines < 0 || lines <= entry.requestedLines)));
  if (usable) {
    StringSink replay;
    replay.write("+OK Cached message follows\r\n");
    SendMessage(*entry.cachedMessage, 0, &replay, true, nullptr);
    replay.write(kAnswerEnd);
    upstream.unread(replay.text.data(), replay.text.size());
  } else {
    std::string request =
        lines < 0 ? formatText("RETR %d\r\n", {n}) : formatText("TOP %d %d\r\n", {n, lines});
    if (!upstream.sendString(request)) {
      return false;
    }
  }
  std::optional<std::string> reply = upstream.readLine(-1);
  if (!reply) {
    return false;
  }
  if (beginsWithOk(*reply)) {
    return true;
  }
  sendToClient(client, *reply);
  return false;
}

// Asks again for more of a message than was asked for before. The header block it
// sends again is skipped here, and the body bytes the message holds already are
// dropped as they arrive.
bool refetchMessage(Retrieval& r, int32_t lines) {
  r.status(kTextStatusRerequesting);
  if (!requestMessage(r.session, r.client, r.upstream, r.number, lines)) {
    return false;
  }
  r.status(kTextStatusSkipping);
  for (;;) {
    std::optional<std::string> line = r.upstream.readLine(-1);
    if (!line) {
      return false;
    }
    if (*line == "\r\n" || *line == kAnswerEnd) {
      r.ended = *line == kAnswerEnd;
      r.answer.emplace(r.upstream, r.ended);
      r.skip = r.message->pristineBody.size;
      return true;
    }
  }
}

void startPrefetch(Pop3Session& s, int32_t next, int32_t lines, LineSocket& upstream,
                   ConfigRef config);
void pausePrefetch(Pop3Session& s);

// Reads the header block line by line into both copies, under the prevention lock
// because the prevention thread reads the working lines meanwhile. A quiet server
// is waited for in 10-second slices. The body that follows is read by one reader
// from its first byte on.
void readHeaderBlock(Retrieval& r) {
  r.status(kTextStatusReadingHeaders);
  bool done = false;
  while (!done && !stopRequested()) {
    std::optional<std::string> line = r.upstream.readLine(kHeaderLineWaitSec);
    if (!line) {
      if (r.upstream.state() == SocketState::Open) {
        continue; // nothing yet
      }
      break;
    }
    if (*line == kAnswerEnd) {
      // The message ended inside its header block: it has no body, not even the
      // blank line, and the client gets exactly the bytes the size was counted from.
      r.ended = true;
      done = true;
    } else if (*line == "\r\n") {
      r.message->headersComplete = true;
      done = true;
    } else {
      std::lock_guard guard(preventionLock());
      AppendHeaderData(*r.message, *line, true);
    }
  }
  if (done) {
    r.answer.emplace(r.upstream, r.ended);
  } else {
    r.failed = true;
  }
}

// Stage 0: the header block, the header filters, then as much of the body as the
// body filters want (a TOP answer to its end).
PluginFlags readFreshMessage(Retrieval& r) {
  readHeaderBlock(r);
  if (!r.failed) {
    FilterHeaders(*r.message, r.prefetch ? nullptr : &r.progress);
  }
  PluginFlags flags = BodyFilteringFlags(*r.message);
  r.neededBytes = BodyBytesRequired(*r.message, KM_PHASE_BODY_FILTERING, &flags);
  r.neededLines = static_cast<int32_t>(std::max<int64_t>(r.neededBytes, 0) / kBytesPerLine);
  showReceived(r);
  if (r.isTop() || r.neededBytes < 0) {
    readToEnd(r);
  } else {
    // A RETR stops at what the filters want; the rest streams to the client later.
    auto held = [&r] {
      return static_cast<int64_t>(r.message->pristineBody.size);
    };
    while (held() < r.neededBytes && readRun(r, static_cast<size_t>(r.neededBytes - held()))) {
    }
  }
  return flags;
}

// A TOP answer that ended short of what the filters want asks for more.
void widenTop(Retrieval& r) {
  if (r.fetch.isRetr || !r.ended || r.failed) {
    return;
  }
  bool wantsMore =
      r.neededBytes < 0 || (static_cast<int64_t>(r.message->pristineBody.size) < r.neededBytes &&
                            r.requestedLines >= 0 && r.requestedLines < r.neededLines);
  if (!wantsMore) {
    return;
  }
  int32_t lines = r.neededBytes < 0 ? -1 : r.neededLines;
  if (lines < 0) {
    r.fetch.isRetr = true;
  }
  r.requestedLines = lines;
  if (!refetchMessage(r, lines)) {
    r.failed = true;
    return;
  }
  readToEnd(r);
}

// Steps after the header filters, while the client waits: the body filters, the
// DNSBL answers (reading on meanwhile) and the body rewriting.
void judge(Retrieval& r, const PluginFlags& flags) {
  widenTop(r);
  if (!r.failed) {
    FilterBody(*r.message, &r.progress, flags);
  }
  // The download goes on while the DNSBLs answer.
  while (hasOpenQueries(*r.message) && readRun(r, kBodyRun)) {
  }
  if (r.isTop() && !r.prefetchStarted && r.ended && hasOpenQueries(*r.message)) {
    startPrefetch(r.session, r.number + 1, r.lines, r.upstream, r.config);
    r.prefetchStarted = true;
  }
  // Shutdown ends the wait at once; the message is then judged as timed out.
  if (!r.failed) {
    waitForDnsblResults(*r.message, &r.progress);
  }
  withdrawMessage(*r.message);
  PluginFlags rewrite = RequireBodyRewriting(*r.message);
  if (std::any_of(rewrite.begin(), rewrite.end(), [](uint8_t flag) { return flag != 0; })) {
    readToEnd(r);
    RewriteBody(*r.message, &r.progress, true, &rewrite);
  }
}

// Sends the rest of a RETR answer as it arrives, then the end of the answer.
void streamRest(Retrieval& r) {
  r.status(kTextStatusSendingRest);
  while (!r.ended && !r.failed && !stopRequested()) {
    bool alive = r.answer->read(r.run, kBodyRun, kBodyWaitSec);
    if ((!r.run.empty() && !sendToClient(r.client, std::string_view(r.run.data(), r.run.size()))) ||
        !keepRun(r, r.run)) {
      r.failed = true;
    }
    r.ended = r.answer->ended();
    r.failed = r.failed || !alive;
  }
  if (r.ended && !r.failed && !sendToClient(r.client, kAnswerEnd)) {
    r.failed = true;
  }
}

// Stage 1, not a pre-fetch: rewrite, pad or cut, send, and finish the message.
void deliver(Retrieval& r, size_t firstIndex) {
  Message& m = *r.message;
  ClientSink sink(r.client);
  if (r.isTop()) {
    readToEnd(r); // lines are counted on the whole answer
  }
  // Also when the program is closing: the message is judged by then.
  if (!r.failed) {
    RewriteHeaders(m, firstIndex, &r.progress);
  }
  if (!r.isTop()) {
    int64_t announced = r.fetch.expectedSize + MaxBytesToAdd(*r.config, r.fetch.expectedSize);
    PadToSize(m, firstIndex, announced);
  } else {
    KeepBodyLines(m, r.lines);
  }
  if (!r.failed && !SendMessage(m, firstIndex, &sink, false, &r.progress)) {
    r.failed = true;
  }
  if (r.ended && !r.failed) {
    if (bodyEndsOpen(m)) {
      writeToClient(r.client, "\r\n");
    }
    if (!writeToClient(r.client, kAnswerEnd) || !flushClient(r.client)) {
      r.failed = true;
    }
  } else if (!r.failed && !flushClient(r.client)) {
    r.failed = true;
  }
  if (r.prefetchStarted) {
    pausePrefetch(r.session);
  }
  if (!r.isTop() && !r.ended && !r.failed) {
    streamRest(r);
  }
  if (r.isTop() && !r.failed) {
    // The client has its answer; what the filters want when the message is done
    // may still ask for more of it.
    r.neededBytes = BodyBytesRequired(m, KM_PHASE_PROCESSED, nullptr);
    r.neededLines = static_cast<int32_t>(std::max<int64_t>(r.neededBytes, 0) / kBytesPerLine);
    widenTop(r);
  }
  if (!r.failed) {
    r.status(kTextStatusFinishing);
    FinishMessage(m);
  }
  if (!r.isTop() && !r.failed) {
    r.status(kTextStatusAutoWhitelisting);
    const Verdict& verdict = m.verdict;
    if (!verdict.isSpam && !verdict.isWhitelisted && verdict.source != KM_SOURCE_DNSBL_TIMEOUT) {
      feedAutoWhitelisting(m);
    }
  }
  r.progress.show("");
  r.stage = Pop3Stage::Sent;
}

// Keeps the message in the entry for later TOP and RETR commands, or lets it go.
void keepOrDrop(Retrieval& r, MessagePtr owned) {
  Pop3Entry& entry = r.entry();
  bool betterKept = entry.cachedMessage && entry.cachedMessage.get() != r.message &&
                    (entry.requestedLines < 0 ||
                     (r.requestedLines >= 0 && entry.requestedLines >= r.requestedLines));
  bool drop = ((!r.isTop() || betterKept) && !r.prefetch) || r.failed || stopRequested();
  if (drop) {
    if (!r.isTop()) {
      entry.cachedMessage.reset();
    }
    return; // `owned` goes with this scope
  }
  entry.cachedMessage.reset();
  entry.fetchCopy = r.fetch;
  owned->fetch = &entry.fetchCopy;
  entry.cachedMessage = std::move(owned);
  entry.cachedLines = r.lines;
  entry.requestedLines = r.requestedLines;
  entry.neededLines = r.neededLines;
  entry.neededBytes = r.neededBytes;
  entry.stage = r.stage;
}

// Retrieves message n with RETR (lines -1) or TOP n lines, filters it and, unless
// this is a pre-fetch, sends it to the client. True also when the server refused
// the message (the refusal was passed on); false on a failure.
bool retrieveMessage(Pop3Session& s, LineSocket* client, LineSocket& upstream, ConfigRef config,
                     int32_t n, int32_t lines, bool prefetch, int32_t kind, int row,
                     FetchRecord& fetch) {
  Retrieval r{s, client, upstream, config, n, lines, prefetch, row, fetch, RowProgress(row)};
  Pop3Entry& entry = r.entry();

  MessagePtr owned;
  if (entry.cachedMessage && entry.cachedLines == lines && entry.stage <= Pop3Stage::Prefetched) {
    // A pre-fetched copy of just this request: take it over.
    owned = std::move(entry.cachedMessage);
    r.requestedLines = entry.requestedLines;
    r.neededLines = entry.neededLines;
    r.neededBytes = entry.neededBytes;
    r.stage = entry.stage;
    r.ended = true; // a pre-fetch reads its answer to the end
    r.answer.emplace(upstream, true);
    int64_t announced = fetch.expectedSize;
    fetch = entry.fetchCopy;
    fetch.expectedSize = announced;
    owned->fetch = &fetch;
  } else {
    owned = CreateMessage(config, &s.record, fetch);
    r.requestedLines = lines;
  }
  r.message = owned.get();
  r.message->state = kind;
  r.message->log.deferLines = prefetch;

  if (r.stage == Pop3Stage::Nothing) {
    if (!fetch.isRetr) {
      r.neededBytes = BodyBytesRequired(*r.message, KM_PHASE_FETCH_START, nullptr);
      if (r.neededBytes < 0) {
        fetch.isRetr = true; // the filters want it all: ask for the whole message
      } else {
        r.neededLines = static_cast<int32_t>(r.neededBytes / kBytesPerLine);
        r.requestedLines = std::max(lines, r.neededLines);
      }
    } else {
      r.neededBytes = -1;
    }
    if (!requestMessage(s, client, upstream, n, fetch.isRetr ? -1 : r.requestedLines)) {
      return true;
    }
  }

  if (!sendToClient(client, "+OK Message follows\r\n")) {
    r.failed = true;
  }
  int32_t preventionId = startPrevention(client, *r.message);

  PluginFlags flags;
  if (r.stage == Pop3Stage::Nothing && !r.failed) {
    flags = readFreshMessage(r);
    r.stage = Pop3Stage::Prefetched;
  } else {
    flags = BodyFilteringFlags(*r.message);
  }
  if (!prefetch && !r.failed) {
    judge(r, flags);
  }
  size_t firstIndex = stopPrevention(preventionId);
  if (!prefetch && r.stage == Pop3Stage::Prefetched) {
    deliver(r, firstIndex);
  } else if (r.prefetchStarted) {
    pausePrefetch(s);
  }
  keepOrDrop(r, std::move(owned));
  return !r.failed;
}

// The pre-fetch thread: each round reads messages from `next` on with the same
// TOP request, until told to stop; the last message is never pre-fetched.
void prefetchLoop(Pop3Session& s) {
  registerThread("POP3 pre-fetching");
  Prefetcher& p = s.prefetch;
  for (;;) {
    bool go = false;
    while (!go) {
      if (p.quitEvent.wait(std::chrono::milliseconds(0))) {
        p.exitedEvent.set();
        unregisterThread();
        return;
      }
      go = p.goEvent.wait(std::chrono::milliseconds(50));
    }
    for (int32_t m = p.next; !stopRequested(); ++m) {
      if (p.stopEvent.wait(std::chrono::milliseconds(5)) || m >= messageCount(s)) {
        break;
      }
      Pop3Entry& entry = *s.entries[static_cast<size_t>(m - 1)];
      if (entry.cachedMessage) {
        continue;
      }
      if (entry.size == 0 &&
          handleList(s, formatText("LIST %d\r\n", {m}), nullptr) == SessionFlow::End) {
        break;
      }
      FetchRecord fetch;
      fetch.expectedSize = entry.size;
      if (!retrieveMessage(s, nullptr, *p.upstream, p.config, m, p.lines, true, -m, -1, fetch)) {
        break;
      }
    }
    p.doneEvent.set();
  }
}

void startPrefetch(Pop3Session& s, int32_t next, int32_t lines, LineSocket& upstream,
                   ConfigRef config) {
  Prefetcher& p = s.prefetch;
  p.next = next;
  p.lines = lines;
  p.config = std::move(config);
  p.stopEvent.reset();
  if (!p.running) {
    p.upstream = &upstream;
    if (startDetachedThread([&s] { runWithFaultGuard([&s] { prefetchLoop(s); }); },
                            kPrefetchStackSize)) {
      p.running = true;
    } else {
      reportSystemError("", &s.record.log);
      p.doneEvent.set();
      return;
    }
  }
  p.goEvent.set();
}

// Waits until the pre-fetcher has finished the message in hand; the session may
// then read the server connection again.
void pausePrefetch(Pop3Session& s) {
  s.prefetch.stopEvent.set();
  s.prefetch.doneEvent.wait();
}

bool isRetrieveTarget(const Pop3Session& s, int64_t n) {
  return n >= 1 && n <= messageCount(s);
}

} // namespace

SessionFlow handleRetrieve(Pop3Session& s, std::string_view line, bool top) {
  std::string_view words = line.substr(std::min<size_t>(line.size(), top ? 3 : 4));
  int64_t n = readLong(words);
  int64_t k = 0;
  if (top) {
    size_t first = words.find_first_not_of(' ');
    size_t blank = first == std::string_view::npos ? first : words.find(' ', first);
    k = blank == std::string_view::npos ? 0 : readLong(words.substr(blank));
  }
  setRowText(s.row, kColumnProgress, formatText("%d/%d", {n, messageCount(s)}));

  bool ok = true;
  if (!s.config->filteringDisabled && isRetrieveTarget(s, n) && (!top || k >= 0)) {
    Pop3Entry& entry = *s.entries[static_cast<size_t>(n - 1)];
    if (entry.size == 0 &&
        handleList(s, formatText("LIST %d\r\n", {n}), nullptr) == SessionFlow::End) {
      ok = false;
    }
    if (ok) {
      FetchRecord fetch;
      fetch.expectedSize = entry.size;
      fetch.isRetr = !top;
      ok = retrieveMessage(s, &s.client, s.upstream, s.config, static_cast<int32_t>(n),
                           top ? static_cast<int32_t>(std::min<int64_t>(k, INT32_MAX)) : -1, false,
                           top ? 2 : 1, s.row, fetch);
    }
  } else {
    // Passed on byte for byte.
    std::optional<std::string> reply;
    ok = s.upstream.sendString(line) && (reply = s.upstream.readLine(-1)) &&
         s.client.writeString(*reply);
    if (ok && beginsWithOk(*reply)) {
      do {
        reply = s.upstream.readLine(-1);
        ok = reply && s.client.writeString(*reply);
      } while (ok && *reply != ".\r\n");
    }
    ok = ok && s.client.flush();
  }
  setRowText(s.row, kColumnProgress, "");
  if (!ok) {
    reportRelayFailure(s);
    return SessionFlow::End;
  }
  return SessionFlow::Continue;
}

SessionFlow handleUidl(Pop3Session& s, std::string_view line) {
  if (line.size() > 7) {
    return relayCommand(s, line);
  }
  std::optional<std::string> reply;
  bool ok = s.upstream.sendString(line) && (reply = s.upstream.readLine(-1)) &&
            s.client.sendString(*reply);
  if (ok && beginsWithOk(*reply)) {
    for (;;) {
      reply = s.upstream.readLine(-1);
      if (!reply) {
        ok = false;
        break;
      }
      if (!reply->empty() && (*reply)[0] == '.') {
        ok = s.client.sendString(*reply);
        break;
      }
      if (!s.client.writeString(*reply)) {
        ok = false;
        break;
      }
    }
    ok = ok && s.client.flush();
  }
  if (!ok) {
    reportRelayFailure(s);
    return SessionFlow::End;
  }
  return SessionFlow::Continue;
}

void endPrefetching(Pop3Session& s) {
  Prefetcher& p = s.prefetch;
  if (p.running) {
    p.stopEvent.set();
    p.quitEvent.set();
    p.exitedEvent.wait();
    p.running = false;
  }
}

} // namespace km
