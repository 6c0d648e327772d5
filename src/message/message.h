// The message model: one mail message while it passes the proxy, held twice: a
// working copy that tagging and plug-ins rewrite, and a pristine copy of what the
// server sent, which the filters read. Each copy is an array of header lines (one
// whole header field per line, folded continuations and line ends included) and a
// body kept in memory until it grows large, then in a temporary file.
//
//   message.h     (this file) Message, FetchRecord, the registry, header and body
//                 operations, sending
//   pipe_pumps.h  the three pumps that stream bodies and header blocks through
//                 pipes to and from plug-ins
//
// A session creates a message with CreateMessage, feeds it the raw data it
// receives, lets the filter pipeline and the rewriting work on it, and sends it on
// with SendMessage. Messages belong to one session thread; only the registry and
// the relay addresses a message collects are shared, under the registry lock.
#pragma once

#include <kestrelmail/plugin.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "diag/activity_log.h"
#include "platform/files.h"
#include "platform/ipv4.h"

namespace km {

struct SessionRecord;
struct Message;

// Where a message is sent. A connection satisfies it with its buffered write and
// its flush; a null sink stands for a retrieval without a client and accepts
// everything.
class MessageSink {
public:
  virtual ~MessageSink() = default;
  virtual bool write(std::string_view bytes) = 0;
  virtual bool flush() = 0;
};

// Collects what is sent, in memory.
class StringSink : public MessageSink {
public:
  bool write(std::string_view bytes) override {
    text.append(bytes);
    return true;
  }
  bool flush() override { return true; }
  std::string text;
};

// Where a session shows what it is doing with a message (its status row). A null
// display shows nothing.
class ProgressDisplay {
public:
  virtual ~ProgressDisplay() = default;
  virtual void show(std::string_view text) = 0;
};

// Shows progress as the calling thread's status text.
class ThreadStatusProgress : public ProgressDisplay {
public:
  void show(std::string_view text) override;
};

// Shows progress in a session's status row; row -1 (a session without one, such
// as a pre-fetch) shows nothing.
class RowProgress : public ProgressDisplay {
public:
  explicit RowProgress(int row) : row_(row) {}
  void show(std::string_view text) override;

private:
  int row_;
};

// A body stays in memory up to this size; one more byte moves it to a file.
inline constexpr uint64_t kMemoryBodyLimit = 6291456;

enum class BodyStorage : int32_t { InMemory = 0, InFile = 1 };

// One copy of a body: in memory, or in a temporary file that deletes itself when
// closed. A copy moves to a file at most once and never back.
struct BodyCopy {
  BodyStorage storageType = BodyStorage::InMemory;
  std::string memory;
  UniqueFd file;
  uint64_t size = 0;
};

// The session's record of one retrieval.
struct FetchRecord {
  // POP3 and IMAP4: the size the server announced. SMTP: the bytes received so far.
  int64_t expectedSize = 0;
  // Set when the retrieval asks for the whole message (POP3 RETR).
  bool isRetr = false;
  uint64_t pristineBodySize = 0;
  uint64_t workingBodySize = 0;
  // Body bytes that body filtering may look at.
  int64_t bodyFilterLimit = 0;
};

struct MessageProperty {
  std::string name;
  int32_t value = 0;
};

// The part of a message that plug-in callbacks reach through its handle.
struct PluginMessageContext {
  uint32_t contextHandle = 0;
  ConfigRef config;
  Verdict* verdictPtr = nullptr;
  Message* message = nullptr;
  // Gathered for auto-whitelisting. Relay addresses may be added from a DNSBL
  // thread, so they change only under the registry lock.
  std::vector<std::string> collectedAddresses;
  std::vector<Ipv4Address> collectedIps;
  std::vector<MessageProperty> properties;
};

struct Message {
  Message() = default;
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;

  uint32_t handle = 0;
  // 1 at creation; the POP3 retrieval writes the kind of retrieval here.
  int32_t state = 1;
  std::vector<std::string> headerLines;
  // Set by the session once the blank line that ends the header block was seen;
  // the blank line itself is never stored.
  bool headersComplete = false;
  BodyCopy body;
  // Sent before the working body (plug-in body prefixes).
  std::string bodyPrefix;
  std::vector<std::string> pristineHeaderLines;
  BodyCopy pristineBody;
  PluginMessageContext pluginContext;
  Verdict verdict{};
  // The auto-white address that whitelisted the message: the verdict's pattern
  // points here, since the auto-white list may grow (and move) meanwhile.
  std::string verdictEntry;
  // The session the message belongs to, as the filter layer sees it; the message
  // model itself only reads the protocol and the log below, copied from it.
  SessionRecord* session = nullptr;
  int32_t protocol = 0; // 1 POP3, 2 IMAP4, 3 SMTP, 0 without a session
  SessionLog* sessionLog = nullptr;
  FetchRecord* fetch = nullptr;
  DeferredLog log;
  // What the creator does before the message is unregistered and freed (the
  // filter layer withdraws it from DNSBL queries and ends the plug-ins' fetch).
  void (*beforeRelease)(Message& message) = nullptr;
};

struct MessageDestroyer {
  void operator()(Message* message) const;
};
using MessagePtr = std::unique_ptr<Message, MessageDestroyer>;

// A new message registered under the next handle, with no session. Sessions
// create their messages with CreateMessage of the filter layer
// (filter/session_record.h), which builds on this.
MessagePtr registerMessage(ConfigRef config);

// What the MessagePtr does at its end: runs the creator's beforeRelease, then
// unregisters and frees the message.
void DestroyMessage(Message* message);

// The registry lock: guards the registry, the session list and the relay
// addresses messages collect. Nothing is taken inside it.
std::mutex& registryLock();

// The session list: every live session record, under the registry lock.
// enlistSession adds one and answers its session handle (from 1, never reused);
// delistSession removes it. Any thread.
uint32_t enlistSession(SessionRecord* record);
void delistSession(SessionRecord* record);
// Whether any session is live (the pipe pumps stay while one is).
bool anySessionActive();

// The context of the live message with that handle, or null. The pointer is only
// good while the message lives.
PluginMessageContext* LookupMessage(uint32_t handle);

// The properties plug-ins attach to a live message by its handle, under the
// registry lock (a handle no live message has changes nothing): set replaces the
// value of a name (compared exactly) or adds the name; get answers 0 for a name
// that is not set. They vanish with the message.
void setMessageProperty(uint32_t handle, std::string_view name, int32_t value);
void removeMessageProperty(uint32_t handle, std::string_view name);
int32_t messageProperty(uint32_t handle, std::string_view name);

// 1 POP3, 2 IMAP4, 3 SMTP, 0 without a session.
int32_t messageProtocol(const Message& message);

// The session's log of the message, or null without a session.
SessionLog* messageSessionLog(const Message& message);

// How failures of body storage name the object that failed.
inline constexpr std::string_view kBodyStorageName = "(temporary message body storage)";

// A line for the message in its session's log, format by id.
void logMessage(Message& message, LogLevel level, int textId,
                std::initializer_list<FormatArg> args = {});

// --- Header lines ("both" applies an operation to the pristine copy as well) ---

// Adds received header data: appended to the last line when the data begins with a
// space or TAB (a folded continuation) or the last line has no CR LF yet (the rest
// of a line that came in pieces), else a new line. NUL bytes are stored as '0'.
void AppendHeaderData(Message& message, std::string_view data, bool both);

// Removes a line; an index at or past the end means the last line.
void RemoveHeaderLine(Message& message, size_t index, bool both);

// The unfolded value of every pristine line that begins with `name` (which
// includes its colon), joined; empty when none matches.
std::string GetHeaderValue(const Message& message, std::string_view name);
std::string GetSubject(const Message& message);
// From, else Sender, else Reply-To.
std::string GetSenderField(const Message& message);

// Adds a working line that the program makes itself (it ends in CR LF) as a field
// of its own: a last line still without its line end is ended first.
void appendOwnHeaderLine(Message& message, std::string_view line);

// Adds "Subject: \r\n" to the working lines when none begins with "Subject:".
void EnsureSubjectLine(Message& message);

// Makes the working lines from firstIndex on safe to pass on: control bytes other
// than TAB and CR LF pairs become 'C', and later Subject lines are folded into the
// first one.
void SanitiseHeaders(Message& message, size_t firstIndex);

// POP3 only: pads the working header lines from firstIndex on with spaces so that
// the message reaches exactly the size announced to the client.
void PadToSize(Message& message, size_t firstIndex, int64_t targetSize);

// The position after the last byte of a header line that is not a control byte:
// where text added to the end of a field goes, before its line end.
size_t endOfHeaderText(std::string_view line);

// Bytes the working copy occupies on the wire: header lines, prefix, body, and the
// blank separator line when there is a body or prefix or the header block ended.
uint64_t MessageSize(const Message& message);

// Working copy, unless the message is forced to be read as received.
inline const BodyCopy& bodyOf(const Message& message, bool pristine) {
  return pristine ? message.pristineBody : message.body;
}

// --- Body ---

// Appends body bytes. False when the temporary file could not be made or
// written (reported to the user).
bool AppendBody(Message& message, std::string_view data, bool both);

// Appends to one body copy of the message, as AppendBody does for each copy; the
// fetch record is not refreshed.
bool appendToBody(Message& message, BodyCopy& body, std::string_view data);
// Copies the body sizes into the fetch record.
void refreshBodySizes(Message& message);

// Removes the last `count` bytes (all of them when the body is shorter). False
// when a file body could not be cut (reported).
bool TruncateBody(Message& message, uint64_t count, bool both);

void AppendBodyPrefix(Message& message, std::string_view data);

// Keeps the first lineCount lines of prefix and body together (a line ends at a
// LF right after a CR); returns how many lines were kept. A negative count keeps
// everything.
int64_t KeepBodyLines(Message& message, int64_t lineCount);

// The last byte of the pristine body, or of one body copy; 0 when it is empty or
// cannot be read.
uint8_t LastPristineBodyByte(const Message& message);
uint8_t lastBodyByte(const BodyCopy& body);

// Calls `piece` with the body's bytes in order, in pieces of at most `pieceSize`
// bytes, until it returns false. False when a file body could not be read (errno
// set) or the callback stopped.
bool forEachBodyPiece(const BodyCopy& body, size_t pieceSize,
                      const std::function<bool(std::string_view)>& piece);

// The whole body as one text (for small bodies and tests); nothing when a file body
// could not be read.
std::optional<std::string> bodyText(const BodyCopy& body);

// --- Sending (a null sink takes everything; a null display shows nothing) ---

// The header lines from firstIndex on, each as it stands.
bool SendHeaderLines(const Message& message, size_t firstIndex, MessageSink* sink, bool pristine,
                     ProgressDisplay* progress);
// The working copy's body prefix, then the body in pieces, then a flush.
bool SendBody(const Message& message, MessageSink* sink, bool pristine, ProgressDisplay* progress);
// Header lines, the blank line when the working copy has a body, a prefix or a
// complete header block, then the body. Stops at the first failure.
bool SendMessage(const Message& message, size_t firstIndex, MessageSink* sink, bool pristine,
                 ProgressDisplay* progress);

} // namespace km
