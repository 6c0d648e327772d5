// DATA: the message of the transaction passes from the client to the server. Its
// header block is always held (the Received line goes in front of it); with
// filtering, so is as much of the body as the filters want, and more while the
// DNSBLs answer; the message is then tagged, sent, and the rest of the body
// streams through in runs as it arrives.
//
// The server receives exactly the bytes the client sent, apart from the Received
// line and the tags; a message whose end the client never sent never gets one
// either, so the server discards it.
#include <algorithm>

#include "diag/activity_log.h"
#include "filter/auto_whitelist.h"
#include "filter/dnsbl.h"
#include "filter/filtering_statistics.h"
#include "filter/pipeline.h"
#include "filter/tagging.h"
#include "filter/verdict.h"
#include "platform/lang.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "platform/threads.h"
#include "smtp/smtp_internal.h"

namespace km {

namespace {

constexpr uint32_t kHeaderRun = 131072;
constexpr uint32_t kHeaderWaitMs = 10000;
// The body is read in runs of this size, whether held for the filters or
// streamed: one reader from the body's first byte to its end, so that an end
// marker split between two runs is always found.
constexpr uint32_t kBodyRun = 16384;
constexpr uint32_t kBodyWaitMs = 500;
// A header block beyond this is no mail header: the rest passes unfiltered and
// unchanged instead of filling the memory.
constexpr uint64_t kLongestHeaderBlock = 1024 * 1024;
constexpr std::string_view kEndLine = ".\r\n";

// Sends the message to the server through its buffer.
class ServerSink : public MessageSink {
public:
  explicit ServerSink(LineSocket* server) : server_(server) {}
  bool write(std::string_view bytes) override { return server_->write(bytes.data(), bytes.size()); }
  bool flush() override { return server_->flush(); }

private:
  LineSocket* server_;
};

// How the header block ended.
enum class HeaderEnd { BlankLine, EndOfMessage, TooLong, ClientGone };

// One message on its way from the client to the server.
struct Transfer {
  explicit Transfer(SmtpSession& session)
      : s(session), m(*session.message), progress(session.row) {}

  SmtpSession& s;
  Message& m;
  RowProgress progress;
  bool atLineStart = true; // the bytes read so far end with a line end
  bool ended = false;      // the end line has been read
  bool endCut = false;     // ... and taken off the held body
  bool failed = false;     // the client went, fell silent, or the body could not be kept
  // The body reader's first run begins with the line end pushed in front of the
  // body, so that an end line right at its start is found like any other.
  bool lineEndPushed = false;
  std::optional<BlockReader> body;
  uint64_t lastInputMs = tickCountMs();
};

// After a read: bytes reset the client's silence; a client silent for its idle
// limit (or shutdown) ends the transfer.
bool keepWaiting(Transfer& t, size_t got) {
  if (got > 0) {
    t.lastInputMs = tickCountMs();
    return true;
  }
  int idleLimitSec = t.s.client->idleLimit();
  return !stopRequested() && (idleLimitSec < 0 || tickCountMs() - t.lastInputMs <
                                                      static_cast<uint64_t>(idleLimitSec) * 1000u);
}

// Reads the header block line by line into both copies of the message (a long
// line arrives in several runs). The blank line that ends it is not kept.
HeaderEnd readHeaderBlock(Transfer& t) {
  showStatus(t.s, languageText(kTextSmtpStatusReadingHeaders));
  std::optional<BlockReader> reader;
  uint64_t held = 0;
  for (;;) {
    if (!reader || reader->terminatorFound()) {
      reader.emplace(*t.s.client, kHeaderRun, "\r\n", kHeaderWaitMs); // one per line
    }
    if (!reader->read() || !keepWaiting(t, reader->run().size())) {
      return HeaderEnd::ClientGone;
    }
    std::string_view run = reader->run();
    if (run.empty()) {
      continue;
    }
    bool wholeLine = reader->terminatorFound();
    if (t.atLineStart && wholeLine && run == kEndLine) {
      return HeaderEnd::EndOfMessage;
    }
    if (t.atLineStart && wholeLine && run == "\r\n") {
      t.m.headersComplete = true;
      return HeaderEnd::BlankLine;
    }
    AppendHeaderData(t.m, run, true);
    t.atLineStart = wholeLine;
    held += run.size();
    if (held > kLongestHeaderBlock) {
      return HeaderEnd::TooLong;
    }
  }
}

void startBody(Transfer& t) {
  if (t.atLineStart) {
    t.s.client->unread("\r\n", 2);
    t.lineEndPushed = true;
  }
  t.body.emplace(*t.s.client, kBodyRun, "\r\n.\r\n", kBodyWaitMs);
}

// Reads the next run of the body. False when the message has ended, or the
// transfer failed.
bool readBodyRun(Transfer& t, std::string_view& run) {
  run = {};
  if (t.ended || t.failed) {
    return false;
  }
  if (!t.body->read() || !keepWaiting(t, t.body->run().size())) {
    t.failed = true;
    return false;
  }
  run = t.body->run();
  if (t.lineEndPushed && run.size() >= 2) {
    run.remove_prefix(2);
    t.lineEndPushed = false;
  }
  t.ended = t.body->terminatorFound();
  return true;
}

// Once the end has been read, the end line is no part of the body.
void cutEndLine(Transfer& t) {
  if (t.ended && !t.endCut) {
    t.endCut = true;
    if (!TruncateBody(t.m, kEndLine.size(), true)) {
      t.failed = true;
    }
  }
}

// Reads one more run into both body copies.
bool holdRun(Transfer& t) {
  std::string_view run;
  if (!readBodyRun(t, run)) {
    return false;
  }
  if (!run.empty() && !AppendBody(t.m, run, true)) {
    t.failed = true;
    return false;
  }
  cutEndLine(t);
  return !t.failed;
}

uint64_t heldBytes(const Transfer& t) {
  return t.m.pristineBody.size;
}

void showHeld(Transfer& t, int64_t wanted) {
  int64_t wantedKb = wanted < 0 ? static_cast<int64_t>(heldBytes(t) / 1024) : wanted / 1024;
  t.progress.show(formatText(languageText(kTextSmtpStatusHolding),
                             {wantedKb, static_cast<int64_t>(heldBytes(t) / 1024)}));
}

// The filters judge the message while as much of the body arrives as they want,
// and more while the DNSBLs answer; then it is tagged.
void judge(Transfer& t) {
  Message& m = t.m;
  FilterHeaders(m, &t.progress);
  PluginFlags flags = BodyFilteringFlags(m);
  int64_t wanted = BodyBytesRequired(m, KM_PHASE_BODY_FILTERING, &flags);
  showHeld(t, wanted);
  while ((wanted < 0 || static_cast<int64_t>(heldBytes(t)) < wanted) && holdRun(t)) {
    showHeld(t, wanted);
  }
  if (t.failed) {
    return;
  }
  FilterBody(m, &t.progress, flags);
  // The transfer goes on while the DNSBLs answer.
  while (!m.verdict.isWhitelisted && hasOpenQueries(m) && holdRun(t)) {
  }
  if (t.failed) {
    return;
  }
  waitForDnsblResults(m, &t.progress);
  withdrawMessage(m);
  PluginFlags rewrite = RequireBodyRewriting(m);
  if (std::any_of(rewrite.begin(), rewrite.end(), [](uint8_t flag) { return flag != 0; })) {
    while (holdRun(t)) {
    }
    if (t.failed) {
      return;
    }
    RewriteBody(m, &t.progress, true, &rewrite);
  }
  RewriteHeaders(m, 0, &t.progress);
}

// Whether what the working copy sends after its header block ends without a line
// end (a plug-in may write a body or prefix that does).
bool bodyEndsOpen(const Message& m) {
  if (m.body.size > 0) {
    return lastBodyByte(m.body) != '\n';
  }
  return !m.bodyPrefix.empty() && m.bodyPrefix.back() != '\n';
}

// Sends the rest of the message as it arrives, the end line with it.
bool streamRest(Transfer& t) {
  uint64_t sent = 0;
  t.progress.show(formatText(languageText(kTextSmtpStatusStreaming), {int64_t{0}}));
  while (!t.ended) {
    std::string_view run;
    if (!readBodyRun(t, run)) {
      return false;
    }
    if (run.empty()) {
      continue;
    }
    if (!t.s.server->sendNow(run.data(), run.size())) {
      return false;
    }
    // Kept too, for the plug-ins that see the message once it went.
    if (!AppendBody(t.m, run, true)) {
      return false;
    }
    sent += run.size();
    t.progress.show(
        formatText(languageText(kTextSmtpStatusStreaming), {static_cast<int64_t>(sent / 1024)}));
  }
  cutEndLine(t);
  return true;
}

// Sends the held message and then the rest.
bool sendToServer(Transfer& t) {
  ServerSink sink(t.s.server);
  if (!SendMessage(t.m, 0, &sink, false, &t.progress)) {
    return false;
  }
  if (t.ended) {
    if (bodyEndsOpen(t.m) && !t.s.server->writeString("\r\n")) {
      return false;
    }
    return t.s.server->writeString(kEndLine) && t.s.server->flush();
  }
  return t.s.server->flush() && streamRest(t);
}

// What the judged and delivered message counts for.
void account(SmtpSession& s, bool filtered, bool delivered) {
  Message& m = *s.message;
  const Verdict& verdict = m.verdict;
  showStatus(s, languageText(kTextSmtpStatusFinishing));
  if (filtered) {
    FinishMessage(m);
  } else if (s.portConfig.smtp.rejectOnMailFrom || s.portConfig.smtp.rejectOnOriginatingIp) {
    countFilteredMessage(verdict.isSpam != 0, verdict.isWhitelisted != 0);
    ++s.record.messagesFiltered;
    if (isSpamVerdict(verdict)) {
      ++s.record.messagesSpam;
    } else if (verdict.isWhitelisted) {
      ++s.record.messagesWhitelisted;
    }
  }
  showStatus(s, languageText(kTextSmtpStatusAutoWhitelisting));
  if (delivered && !verdict.isSpam && !verdict.isWhitelisted &&
      verdict.source != KM_SOURCE_DNSBL_TIMEOUT) {
    feedAutoWhitelisting(m);
  }
  showStatus(s, "");
}

} // namespace

SessionFlow handleData(SmtpSession& s, std::string_view line) {
  if (!s.message) {
    return replyToClient(s, "503 5.5.1 Incorrect command sequence\r\n");
  }
  std::optional<std::string> reply;
  if (!s.server->sendString(line) || !(reply = readReply(*s.server)) ||
      !s.client->sendString(*reply)) {
    reportRelayFailure(s);
    return SessionFlow::End;
  }
  if (!reply->starts_with("354")) {
    endTransaction(s);
    return relayCommand(s, "RSET\r\n", false);
  }

  Transfer t(s);
  HeaderEnd headerEnd = readHeaderBlock(t);
  if (headerEnd == HeaderEnd::ClientGone) {
    reportRelayFailure(s);
    return SessionFlow::End;
  }
  t.ended = headerEnd == HeaderEnd::EndOfMessage;
  t.endCut = t.ended;
  if (!t.ended) {
    startBody(t);
  }
  bool filtering = s.portConfig.smtp.useFiltering && !s.config->filteringDisabled &&
                   headerEnd != HeaderEnd::TooLong;
  if (filtering) {
    judge(t);
  }
  withdrawMessage(t.m);
  if (t.failed || !sendToServer(t) || t.failed || !(reply = readReply(*s.server)) ||
      !s.client->sendString(*reply)) {
    reportRelayFailure(s);
    return SessionFlow::End;
  }
  account(s, filtering, reply->starts_with("2"));
  endTransaction(s);
  return SessionFlow::Continue;
}

} // namespace km
