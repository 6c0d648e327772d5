// IMAP4 lines as token lists, read and written in both directions: atoms, quoted
// strings, parenthesised lists and literals (a byte count in braces at the end of a
// line, then that many bytes). Reading a literal from a client answers the "+"
// continuation it waits for; writing a literal to a server waits for the server's
// "+" and keeps what else the server says meanwhile for the session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace km {

class LineSocket;
struct Message;
class ProgressDisplay;

// String is only a request to insertToken: it is stored as Quoted or Literal.
enum class TokenType { Atom, String, Quoted, Literal, Message, List };

// A command travels from the client to the server, a response the other way.
enum class LineKind { Command, Response };

struct ImapToken {
  TokenType type = TokenType::Atom;
  // Atom, quoted and literal tokens: the bytes (quotes removed, backslashes kept as
  // received).
  std::string text;
  // List: the nested tokens.
  std::vector<ImapToken> list;
  // Message: the message sent as a literal (its working copy); not owned.
  const Message* message = nullptr;
};
using ImapTokens = std::vector<ImapToken>;

// Token 0 is the tag ("*" for untagged responses, "+" for continuations).
struct ImapLine {
  LineKind kind = LineKind::Response;
  ImapTokens tokens;
  // False when a literal of the line could not be read to its end: the connection
  // ended or failed on the way.
  bool complete = true;
};

// Lists nest at most this deep; a deeper "(" is read as part of an atom, so that a
// hostile peer cannot exhaust the stack with parentheses.
inline constexpr int kDeepestImapList = 64;

// Parses one line. With a socket, a literal at the end of the text is read from it
// (a command line first gets "+ Please continue\r\n"), and the parse goes on with
// the next line read from it. `status` shows the progress of large literals.
ImapLine parseImapLine(LineKind kind, std::string_view text, LineSocket* socket,
                       ProgressDisplay* status);

enum class WriteResult { Written, Refused, Failed };

// Writes the tokens (writeImapLine adds CR LF) with the buffered write; the caller
// flushes. A literal of a command line is announced, flushed, and sent only after
// the server's "+"; the lines the server sends meanwhile are pushed back into the
// connection once the line is written. Refused: the server answered the tag instead
// of "+" (that answer is pushed back too; nothing more is written).
WriteResult writeImapTokens(const ImapLine& line, LineSocket& socket, ProgressDisplay* status);
WriteResult writeImapLine(const ImapLine& line, LineSocket& socket, ProgressDisplay* status);

// The line as it is written, without waiting for any continuation (memory only).
std::string imapLineText(const ImapLine& line);

// Inserts before `index` (later tokens move up). A String becomes Quoted when every
// byte lies between 32 and 126 and none is a double quote, else Literal. A List is
// created empty.
void insertToken(ImapTokens& list, size_t index, TokenType type, std::string_view text = {});
void appendToken(ImapTokens& list, TokenType type, std::string_view text = {});
void appendMessageToken(ImapTokens& list, const Message& message);
void removeToken(ImapTokens& list, size_t index);

// Whether the token at `index` is an atom, quoted or literal token equal to `text`
// ignoring case.
bool tokenIs(const ImapTokens& list, size_t index, std::string_view text);
// The text of an atom, quoted or literal token; "" for anything else or out of range.
std::string_view tokenText(const ImapTokens& list, size_t index);
bool isListToken(const ImapTokens& list, size_t index);

// The first and second white-space separated words.
std::string firstWord(std::string_view text);
std::string secondWord(std::string_view text);

// A command line of one atom, the proxy's own tag "KRTL<n>"; the counter goes up.
ImapLine newOwnCommand(uint32_t& ownTagCounter);

} // namespace km
