// Sending a message to a client or server, with progress texts.
#include <algorithm>

#include "diag/error_report.h"
#include "message/message.h"
#include "platform/lang.h"
#include "platform/text.h"
#include "platform/text_ids.h"

namespace km {

namespace {

constexpr size_t kSendPiece = 65536;
constexpr uint64_t kProgressStep = 10240;

void showProgress(ProgressDisplay* progress, int textId, std::initializer_list<FormatArg> args) {
  if (progress != nullptr) {
    progress->show(formatText(languageText(textId), args));
  }
}

bool sendBytes(MessageSink* sink, std::string_view bytes) {
  return sink == nullptr || sink->write(bytes);
}

// Progress of a body being sent: KB sent of KB in all, or for SMTP just KB sent.
struct BodyProgress {
  ProgressDisplay* display;
  bool showTotal;
  uint64_t total;
  uint64_t sent = 0;
  uint64_t shownAt = 0;

  void show() {
    if (showTotal) {
      showProgress(display, kTextSendingBody, {sent / 1024, total / 1024});
    } else {
      showProgress(display, kTextSendingBodySmtp, {sent / 1024});
    }
    shownAt = sent;
  }
  void advance(size_t bytes) {
    sent += bytes;
    if (sent - shownAt >= kProgressStep) {
      show();
    }
  }
};

} // namespace

bool SendHeaderLines(const Message& message, size_t firstIndex, MessageSink* sink, bool pristine,
                     ProgressDisplay* progress) {
  showProgress(progress, kTextSendingHeaders, {});
  const auto& lines = pristine ? message.pristineHeaderLines : message.headerLines;
  for (size_t n = firstIndex; n < lines.size(); ++n) {
    if (!sendBytes(sink, lines[n])) {
      return false;
    }
  }
  return true;
}

bool SendBody(const Message& message, MessageSink* sink, bool pristine, ProgressDisplay* progress) {
  if (!pristine && !message.bodyPrefix.empty() && !sendBytes(sink, message.bodyPrefix)) {
    return false;
  }
  const BodyCopy& body = bodyOf(message, pristine);
  uint64_t expected = static_cast<uint64_t>(std::max<int64_t>(message.fetch->expectedSize, 0));
  BodyProgress shown{progress, messageProtocol(message) != KM_PROTOCOL_SMTP,
                     std::max(expected, body.size)};
  shown.show();
  bool sinkFailed = false;
  bool complete = forEachBodyPiece(body, kSendPiece, [&](std::string_view piece) {
    if (!sendBytes(sink, piece)) {
      sinkFailed = true;
      return false;
    }
    shown.advance(piece.size());
    return true;
  });
  if (!complete) {
    if (!sinkFailed) {
      reportSystemError(kBodyStorageName, messageSessionLog(message));
    }
    return false;
  }
  return sink == nullptr || sink->flush();
}

bool SendMessage(const Message& message, size_t firstIndex, MessageSink* sink, bool pristine,
                 ProgressDisplay* progress) {
  if (!SendHeaderLines(message, firstIndex, sink, pristine, progress)) {
    return false;
  }
  // The blank line goes with a complete header block, and before any body: judged
  // on the copy being sent (a working body may have been cut to nothing).
  bool body = bodyOf(message, pristine).size > 0 || (!pristine && !message.bodyPrefix.empty());
  if ((body || message.headersComplete) && !sendBytes(sink, "\r\n")) {
    return false;
  }
  return SendBody(message, sink, pristine, progress);
}

} // namespace km
