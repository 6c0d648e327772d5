// Parsing and writing IMAP4 lines, literals included.
#include "imap4/imap_line.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "message/message.h"
#include "net/line_socket.h"
#include "platform/lang.h"
#include "platform/text.h"
#include "platform/text_ids.h"

namespace km {

namespace {

// A literal is read in runs of at most this size, each shown as progress.
constexpr uint32_t kLiteralRun = 1024 * 1024;
constexpr uint32_t kLiteralRunTimeoutMs = 1000;
// Literals of at least this size show their progress.
constexpr uint64_t kLiteralProgressFrom = 1024;
// A literal count beyond this is nonsense; it is clamped rather than overflowing.
constexpr uint64_t kLargestLiteral = uint64_t{1} << 40;

bool isSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

void show(ProgressDisplay* status, std::string_view text) {
  if (status != nullptr) {
    status->show(text);
  }
}

// Where a parse stands: the text of the current line (a literal replaces it with
// the line after the literal) and the position in it.
struct Cursor {
  LineKind kind;
  LineSocket* socket;
  ProgressDisplay* status;
  std::string text;
  size_t pos = 0;
  bool complete = true;
  bool stopped = false; // a literal or the line after it could not be read
};

bool atEndMarker(const Cursor& c, std::string_view marker) {
  return c.text.size() - c.pos >= marker.size() &&
         equalsIgnoreCase(std::string_view(c.text).substr(c.pos, marker.size()), marker);
}

// A quoted string, from the opening quote: a backslash takes the byte after it
// along, so an escaped quote or backslash never ends the string. Without a closing
// quote the string runs to the end of the line.
void parseQuoted(Cursor& c, ImapTokens& out) {
  size_t start = c.pos + 1;
  size_t end = start;
  while (end < c.text.size() && c.text[end] != '"') {
    end += c.text[end] == '\\' && end + 1 < c.text.size() ? 2u : 1u;
  }
  ImapToken token;
  token.type = TokenType::Quoted;
  if (end >= c.text.size()) {
    size_t stop = c.text.size();
    if (stop - start >= 2 && c.text.compare(stop - 2, 2, "\r\n") == 0) {
      stop -= 2;
    }
    token.text = c.text.substr(start, stop - start);
    c.pos = c.text.size();
  } else {
    token.text = c.text.substr(start, end - start);
    c.pos = end + 1;
  }
  out.push_back(std::move(token));
}

// Reads `count` literal bytes from the socket, run after run.
bool readLiteral(Cursor& c, uint64_t count, std::string& bytes) {
  LineSocket& socket = *c.socket;
  if (c.kind == LineKind::Command) {
    // A client's own literal: the client waits for leave to send it.
    if (count > socket.lineLimit()) {
      return false;
    }
    if (!socket.sendString("+ Please continue\r\n")) {
      return false;
    }
  }
  bool alive = true;
  while (bytes.size() < count && alive) {
    BlockReader reader(socket,
                       static_cast<uint32_t>(std::min<uint64_t>(count - bytes.size(), kLiteralRun)),
                       "", kLiteralRunTimeoutMs);
    alive = reader.read();
    bytes.append(reader.run());
    if (count >= kLiteralProgressFrom) {
      show(c.status, formatText(languageText(kTextImap4LiteralReceived),
                                {static_cast<uint64_t>(bytes.size() / 1024), count / 1024}));
    }
  }
  if (count >= kLiteralProgressFrom) {
    show(c.status, "");
  }
  return bytes.size() >= count;
}

// A brace group at the end of the line announces a literal; true when it did and
// the literal was taken (or the parse had to stop).
bool parseLiteral(Cursor& c, ImapTokens& out) {
  size_t digits = c.pos + 1;
  size_t end = digits;
  while (end < c.text.size() && isDigit(c.text[end])) {
    ++end;
  }
  if (end == digits || end >= c.text.size() || c.text[end] != '}') {
    return false;
  }
  size_t after = end + 1;
  while (after < c.text.size() && isSpace(c.text[after])) {
    ++after;
  }
  if (after < c.text.size()) {
    return false; // not at the end of the line: an atom
  }
  uint64_t count = 0;
  for (size_t i = digits; i < end; ++i) {
    count = std::min(count * 10 + static_cast<uint64_t>(c.text[i] - '0'), kLargestLiteral);
  }
  ImapToken token;
  token.type = TokenType::Literal;
  bool whole = readLiteral(c, count, token.text);
  out.push_back(std::move(token));
  std::optional<std::string> next;
  if (whole) {
    next = c.socket->readLine(-1);
  }
  if (!next) {
    c.complete = false;
    c.stopped = true;
    return true;
  }
  c.text = std::move(*next);
  c.pos = 0;
  return true;
}

void parseList(Cursor& c, ImapTokens& out, std::string_view endMarker, int depth) {
  while (!c.stopped && c.pos < c.text.size()) {
    if (atEndMarker(c, endMarker)) {
      c.pos += endMarker.size();
      return;
    }
    char next = c.text[c.pos];
    if (isSpace(next)) {
      ++c.pos;
      continue;
    }
    if (next == '"') {
      parseQuoted(c, out);
      continue;
    }
    if (next == '{' && c.socket != nullptr && parseLiteral(c, out)) {
      continue;
    }
    if (next == '(' && depth < kDeepestImapList) {
      ++c.pos;
      ImapToken list;
      list.type = TokenType::List;
      out.push_back(std::move(list));
      parseList(c, out.back().list, ")", depth + 1);
      continue;
    }
    // An atom: the first byte always belongs to it.
    size_t start = c.pos++;
    while (c.pos < c.text.size() && !isSpace(c.text[c.pos]) && c.text[c.pos] != '{' &&
           c.text[c.pos] != '"' && !atEndMarker(c, endMarker)) {
      ++c.pos;
    }
    ImapToken atom;
    atom.text = c.text.substr(start, c.pos - start);
    out.push_back(std::move(atom));
  }
}

// Sends a message held by a token through the connection's buffered write.
class SocketSink : public MessageSink {
public:
  explicit SocketSink(LineSocket& socket) : socket_(socket) {}
  bool write(std::string_view bytes) override { return socket_.write(bytes.data(), bytes.size()); }
  bool flush() override { return true; }

private:
  LineSocket& socket_;
};

struct Writer {
  LineSocket& socket;
  bool waitForContinuation;
  std::string tag;
  ProgressDisplay* status;
  // What the server said while a literal waited for its "+".
  std::string kept;
};

bool writeText(Writer& w, std::string_view text) {
  return w.socket.writeString(text);
}

// Announces a literal and, for a server that must agree first, waits for its "+".
WriteResult announceLiteral(Writer& w, uint64_t count) {
  if (!writeText(w, "{" + std::to_string(count) + "}\r\n") || !w.socket.flush()) {
    return WriteResult::Failed;
  }
  if (!w.waitForContinuation) {
    return WriteResult::Written;
  }
  for (;;) {
    std::optional<std::string> line = w.socket.readLine(-1);
    if (!line) {
      return WriteResult::Failed;
    }
    std::string word = firstWord(*line);
    if (word == "+") {
      return WriteResult::Written;
    }
    w.kept += *line;
    if (word == w.tag) {
      return WriteResult::Refused;
    }
  }
}

WriteResult writeTokens(Writer& w, const ImapTokens& list) {
  for (size_t i = 0; i < list.size(); ++i) {
    const ImapToken& token = list[i];
    if (i > 0 && !(token.type == TokenType::Atom && !token.text.empty() && token.text[0] == ']')) {
      if (!writeText(w, " ")) {
        return WriteResult::Failed;
      }
    }
    bool ok = true;
    switch (token.type) {
    case TokenType::Atom:
      ok = writeText(w, token.text);
      break;
    case TokenType::Quoted:
      ok = writeText(w, "\"") && writeText(w, token.text) && writeText(w, "\"");
      break;
    case TokenType::List: {
      if (!writeText(w, "(")) {
        return WriteResult::Failed;
      }
      WriteResult nested = writeTokens(w, token.list);
      if (nested != WriteResult::Written) {
        return nested;
      }
      ok = writeText(w, ")");
      break;
    }
    case TokenType::Message: {
      WriteResult announced = announceLiteral(w, MessageSize(*token.message));
      if (announced != WriteResult::Written) {
        return announced;
      }
      SocketSink sink(w.socket);
      ok = SendMessage(*token.message, 0, &sink, false, w.status);
      break;
    }
    case TokenType::String:
    case TokenType::Literal: {
      WriteResult announced = announceLiteral(w, token.text.size());
      if (announced != WriteResult::Written) {
        return announced;
      }
      ok = writeText(w, token.text);
      break;
    }
    }
    if (!ok) {
      return WriteResult::Failed;
    }
  }
  return WriteResult::Written;
}

} // namespace

ImapLine parseImapLine(LineKind kind, std::string_view text, LineSocket* socket,
                       ProgressDisplay* status) {
  Cursor cursor{kind, socket, status, std::string(text)};
  ImapLine line;
  line.kind = kind;
  parseList(cursor, line.tokens, "\r\n", 0);
  line.complete = cursor.complete;
  return line;
}

WriteResult writeImapTokens(const ImapLine& line, LineSocket& socket, ProgressDisplay* status) {
  Writer writer{socket,
                line.kind == LineKind::Command && !socket.memoryOnly(),
                std::string(tokenText(line.tokens, 0)),
                status,
                {}};
  WriteResult result = writeTokens(writer, line.tokens);
  socket.unread(writer.kept.data(), writer.kept.size());
  return result;
}

WriteResult writeImapLine(const ImapLine& line, LineSocket& socket, ProgressDisplay* status) {
  WriteResult result = writeImapTokens(line, socket, status);
  if (result == WriteResult::Written && !socket.writeString("\r\n")) {
    return WriteResult::Failed;
  }
  return result;
}

std::string imapLineText(const ImapLine& line) {
  LineSocket memory;
  memory.useMemory();
  writeImapLine(line, memory, nullptr);
  return std::string(memory.memoryOutput());
}

void insertToken(ImapTokens& list, size_t index, TokenType type, std::string_view text) {
  ImapToken token;
  token.type = type;
  if (type == TokenType::String) {
    bool plain = std::all_of(text.begin(), text.end(), [](char c) {
      auto byte = static_cast<unsigned char>(c);
      return byte >= 32 && byte <= 126 && c != '"';
    });
    token.type = plain ? TokenType::Quoted : TokenType::Literal;
  }
  if (token.type != TokenType::List && token.type != TokenType::Message) {
    token.text = std::string(text);
  }
  list.insert(list.begin() + static_cast<std::ptrdiff_t>(std::min(index, list.size())),
              std::move(token));
}

void appendToken(ImapTokens& list, TokenType type, std::string_view text) {
  insertToken(list, list.size(), type, text);
}

void appendMessageToken(ImapTokens& list, const Message& message) {
  ImapToken token;
  token.type = TokenType::Message;
  token.message = &message;
  list.push_back(std::move(token));
}

void removeToken(ImapTokens& list, size_t index) {
  if (index < list.size()) {
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(index));
  }
}

bool tokenIs(const ImapTokens& list, size_t index, std::string_view text) {
  if (index >= list.size()) {
    return false;
  }
  const ImapToken& token = list[index];
  return (token.type == TokenType::Atom || token.type == TokenType::Quoted ||
          token.type == TokenType::Literal) &&
         equalsIgnoreCase(token.text, text);
}

std::string_view tokenText(const ImapTokens& list, size_t index) {
  if (index >= list.size()) {
    return {};
  }
  const ImapToken& token = list[index];
  if (token.type == TokenType::Atom || token.type == TokenType::Quoted ||
      token.type == TokenType::Literal) {
    return token.text;
  }
  return {};
}

bool isListToken(const ImapTokens& list, size_t index) {
  return index < list.size() && list[index].type == TokenType::List;
}

std::string firstWord(std::string_view text) {
  size_t start = 0;
  while (start < text.size() && isSpace(text[start])) {
    ++start;
  }
  size_t end = start;
  while (end < text.size() && !isSpace(text[end])) {
    ++end;
  }
  return std::string(text.substr(start, end - start));
}

std::string secondWord(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size() && isSpace(text[pos])) {
    ++pos;
  }
  while (pos < text.size() && !isSpace(text[pos])) {
    ++pos;
  }
  return firstWord(text.substr(pos));
}

ImapLine newOwnCommand(uint32_t& ownTagCounter) {
  ImapLine line;
  line.kind = LineKind::Command;
  appendToken(line.tokens, TokenType::Atom, "KRTL" + std::to_string(ownTagCounter++));
  return line;
}

} // namespace km
