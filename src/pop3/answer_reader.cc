#include "pop3/answer_reader.h"

#include <algorithm>
#include <cstring>

namespace km {

Pop3AnswerReader::Pop3AnswerReader(LineSocket& server, bool ended)
    : server_(server), state_(ended ? State::Ended : State::LineStart) {}

size_t Pop3AnswerReader::take(const char* bytes, size_t count, std::string& run, size_t maxBytes) {
  maxBytes = std::max<size_t>(maxBytes, 1);
  size_t used = 0;
  while (used < count && state_ != State::Ended && run.size() < maxBytes) {
    char c = bytes[used];
    // A dot at the start of a line is held back until the next byte tells whether
    // the line is the end of the answer or a line of the body.
    if (state_ == State::LineStart) {
      if (c == '.') {
        state_ = State::Dot;
        ++used;
        continue;
      }
      state_ = State::InLine;
    } else if (state_ == State::Dot) {
      if (c == '\n' || c == '\r') {
        state_ = c == '\n' ? State::Ended : State::DotCarriageReturn;
        ++used;
        continue;
      }
      run += '.';
      state_ = State::InLine;
      lastWasCarriageReturn_ = false;
    } else if (state_ == State::DotCarriageReturn) {
      if (c == '\n') {
        state_ = State::Ended;
        ++used;
        continue;
      }
      run += ".\r";
      state_ = State::InLine;
      lastWasCarriageReturn_ = true;
    }

    // Within a line: everything up to and including the next line feed.
    const char* start = bytes + used;
    size_t span = std::min(count - used, maxBytes - std::min(maxBytes - 1, run.size()));
    const char* feed = static_cast<const char*>(std::memchr(start, '\n', span));
    size_t length = feed ? static_cast<size_t>(feed - start) : span;
    run.append(start, length);
    if (length > 0) {
      lastWasCarriageReturn_ = start[length - 1] == '\r';
    }
    used += length;
    if (feed) {
      run += lastWasCarriageReturn_ ? "\n" : "\r\n";
      ++used;
      state_ = State::LineStart;
      lastWasCarriageReturn_ = false;
    }
  }
  return used;
}

bool Pop3AnswerReader::read(std::string& run, size_t maxBytes, int waitSec) {
  run.clear();
  if (ended()) {
    return true;
  }
  if (server_.bufferedInput().empty()) {
    // Nothing buffered: wait for the server (the wait also watches the client and
    // the stop flag).
    int first = server_.readChar(waitSec);
    if (first == kReadTimeout) {
      return true;
    }
    if (first < 0) {
      return false;
    }
    char byte = static_cast<char>(first);
    take(&byte, 1, run, maxBytes);
  }
  if (std::string_view buffered = server_.bufferedInput(); !ended() && !buffered.empty()) {
    server_.consume(take(buffered.data(), buffered.size(), run, maxBytes));
  }
  return true;
}

} // namespace km
