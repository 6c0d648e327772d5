// MAIL FROM and RCPT TO: the mail transaction with the proxy's Received line,
// the refusal of black-listed senders before the server sees them, relay
// permission, and the auto-whitelisting of the people the user writes to.
#include <ctime>

#include "config/lists.h"
#include "diag/activity_log.h"
#include "filter/auto_whitelist.h"
#include "filter/dnsbl.h"
#include "filter/filtering_statistics.h"
#include "filter/pipeline.h"
#include "filter/verdict.h"
#include "net/session_rows.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "smtp/smtp.h"
#include "smtp/smtp_internal.h"

namespace km {

namespace {

void checkSender(SmtpSession& s, const std::string& address) {
  CheckEmailAddress(*s.message, address, false, KM_SOURCE_HEADERS, {}, KM_ADDRESS_MAIL_FROM);
}

void checkClientAddress(SmtpSession& s) {
  CheckIpAddress(*s.message, s.clientAddress, false, KM_SOURCE_HEADERS, {});
}

// The outcome of the DNSBL lookups a check started, before the verdict is read.
void settle(SmtpSession& s) {
  RowProgress progress(s.row);
  waitForDnsblResults(*s.message, &progress);
  withdrawMessage(*s.message);
  showStatus(s, "");
}

// The checks that may refuse the sender; true when the verdict refuses it, with
// `byAddress` telling whether the address check (not the client's IP address)
// decided.
bool senderRefused(SmtpSession& s, const std::string& address, bool& byAddress) {
  const SmtpPortOptions& options = s.portConfig.smtp;
  byAddress = false;
  if (options.rejectOnMailFrom) {
    checkSender(s, address);
    settle(s);
    if (isSpamVerdict(s.message->verdict)) {
      byAddress = true;
      return true;
    }
  }
  if (options.rejectOnOriginatingIp && !s.clientIsLocal) {
    checkClientAddress(s);
    settle(s);
    if (isSpamVerdict(s.message->verdict) && !options.rejectOnMailFrom) {
      // A white-listed sender still passes.
      checkSender(s, address);
      settle(s);
    }
    return isSpamVerdict(s.message->verdict);
  }
  return false;
}

SessionFlow refuseSender(SmtpSession& s, const std::string& address, bool byAddress) {
  const Verdict& verdict = s.message->verdict;
  std::string reply = senderRefusalReply(verdict, byAddress, *s.config);
  countFilteredMessage(true, false);
  ++s.record.messagesFiltered;
  ++s.record.messagesSpam;
  logSessionText(s.record.log, LogLevel::Basic, kTextLogSmtpSenderRefused,
                 {VerdictLabel(true, verdict), address});
  endTransaction(s);
  return replyToClient(s, reply);
}

} // namespace

SessionFlow handleMailFrom(SmtpSession& s, std::string_view line) {
  if (!startsWithIgnoreCase(line, "MAIL FROM:")) {
    return replyToClient(s, "501 5.5.4 Unrecognised MAIL command\r\n");
  }
  const SmtpPortOptions& options = s.portConfig.smtp;
  std::string address = extractSmtpAddress(line, 10);
  // A repeated MAIL FROM keeps the transaction (and its one Received line): the
  // server still holds the one it accepted.
  bool opened = !s.message;
  if (opened) {
    s.fetch = FetchRecord{};
    s.fetch.isRetr = true;
    s.message = CreateMessage(s.config, &s.record, s.fetch);
    ++s.messageCount;
    setRowText(s.row, kColumnProgress, std::to_string(s.messageCount));
    if (options.addReceivedHeader) {
      AppendHeaderData(*s.message,
                       formatReceivedLine(s.heloName.value_or("unknown"), s.clientAddress,
                                          s.config->listenIp, s.serverIsEsmtp, address,
                                          receivedDate(std::time(nullptr))),
                       false);
    }
  }

  bool byAddress = false;
  if (senderRefused(s, address, byAddress)) {
    return refuseSender(s, address, byAddress);
  }
  s.sender = address;
  // The checks that only prepare the verdict DATA completes.
  if (!options.rejectOnMailFrom) {
    checkSender(s, address);
  }
  if (!options.rejectOnOriginatingIp || s.clientIsLocal) {
    checkClientAddress(s);
  }

  std::optional<std::string> reply;
  if (!s.server->sendString(line) || !(reply = readReply(*s.server))) {
    reportRelayFailure(s);
    return SessionFlow::End;
  }
  if (opened && !reply->starts_with("250")) {
    endTransaction(s);
  }
  return replyToClient(s, *reply);
}

SessionFlow handleRcptTo(SmtpSession& s, std::string_view line) {
  if (!startsWithIgnoreCase(line, "RCPT TO:")) {
    return replyToClient(s, "501 5.5.4 Unrecognised RCPT command\r\n");
  }
  if (!s.message) {
    return replyToClient(s, "503 5.5.1 Incorrect command sequence\r\n");
  }
  std::string recipient = extractSmtpAddress(line, 8);
  bool localRecipient = patternsMatch(s.portConfig.smtp.localEmails, recipient);
  bool trusted = s.clientIsLocal || s.authenticated;
  RecipientRefusal refusal = recipientRefusal(recipient, localRecipient, trusted);
  if (refusal != RecipientRefusal::None) {
    logSessionText(s.record.log, LogLevel::Basic, kTextLogSmtpRelayRefused, {s.sender, recipient});
    return replyToClient(s, recipientRefusalReply(refusal));
  }
  if (s.portConfig.smtp.awlistRcptTo && trusted && recipientToAutoWhitelist(*s.config, recipient)) {
    WhitelistAddressNow(recipient, recipientNote(s.sender, std::time(nullptr)), *s.config);
  }
  return relayCommand(s, line);
}

} // namespace km
