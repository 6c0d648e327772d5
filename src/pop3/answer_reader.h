// Reading the body of a multi-line answer (RETR, TOP) from a POP3 server.
#pragma once

#include <cstddef>
#include <string>

#include "net/line_socket.h"

namespace km {

// Reads the rest of one multi-line answer, from the first body byte to the line
// that is a lone ".", in runs. It keeps its place in the answer from one run to the
// next for the whole answer, so an end that arrives in pieces (".", then CR LF a
// moment later) is still recognised. The end line is taken from the connection but
// never handed out: the runs hold exactly the body as the server sent it, its last
// line with its line end. A line end the server writes as a bare line feed is
// handed out as CR LF, as clients reading such a server directly take it.
class Pop3AnswerReader {
public:
  // A reader at the start of a line of the answer on `server`; `ended` for an
  // answer that ended before its body (it then reads nothing).
  explicit Pop3AnswerReader(LineSocket& server, bool ended = false);

  // Replaces `run` with the next bytes: those the connection holds already, or
  // those that arrive within `waitSec` seconds (none on a time-out). About
  // `maxBytes` at most (a run may end up to two bytes past it). False when the
  // connection ended or failed before the end of the answer and nothing came.
  bool read(std::string& run, size_t maxBytes, int waitSec);

  // Whether the end line has been read.
  bool ended() const { return state_ == State::Ended; }

  // Takes bytes as if they had come from the server; returns how many of them it
  // used (it stops at the end line, or once the run holds `maxBytes`).
  size_t take(const char* bytes, size_t count, std::string& run, size_t maxBytes);

private:
  enum class State { LineStart, InLine, Dot, DotCarriageReturn, Ended };

  LineSocket& server_;
  State state_;
  bool lastWasCarriageReturn_ = false;
};

} // namespace km
