// Body storage: in memory up to kMemoryBodyLimit bytes, then in a temporary file
// that deletes itself when closed.
#include <algorithm>
#include <new>

#include "diag/error_report.h"
#include "message/message.h"
#include "platform/descriptors.h"

namespace km {

namespace {

constexpr const char* kTemporaryPrefix = "mai";
constexpr size_t kScanPiece = 32768;

// Moves a memory body into a new temporary file.
bool spillToFile(Message& message, BodyCopy& body) {
  UniqueFd file = createDeleteOnCloseFile(kTemporaryPrefix);
  if (!file.valid()) {
    reportSystemError(temporaryDirectory() + kTemporaryPrefix + "XXXXXX",
                      messageSessionLog(message));
    return false;
  }
  if (!writeAllAt(file.get(), body.memory.data(), body.memory.size(), 0)) {
    reportSystemError(kBodyStorageName, messageSessionLog(message));
    return false;
  }
  body.file = std::move(file);
  body.storageType = BodyStorage::InFile;
  std::string().swap(body.memory);
  return true;
}

bool growInMemory(BodyCopy& body, std::string_view data) {
  try {
    body.memory.append(data);
  } catch (const std::bad_alloc&) {
    return false;
  }
  body.size += data.size();
  return true;
}

} // namespace

bool appendToBody(Message& message, BodyCopy& body, std::string_view data) {
  if (body.storageType == BodyStorage::InMemory) {
    if (body.size + data.size() <= kMemoryBodyLimit && growInMemory(body, data)) {
      return true;
    }
    if (!spillToFile(message, body)) {
      return false;
    }
  }
  if (!writeAllAt(body.file.get(), data.data(), data.size(), body.size)) {
    reportSystemError(kBodyStorageName, messageSessionLog(message));
    return false;
  }
  body.size += data.size();
  return true;
}

namespace {

bool cutCopy(Message& message, BodyCopy& body, uint64_t newSize) {
  if (body.storageType == BodyStorage::InMemory) {
    body.memory.resize(newSize);
    body.memory.shrink_to_fit();
  } else if (!resizeFile(body.file.get(), newSize)) {
    reportSystemError(kBodyStorageName, messageSessionLog(message));
    return false;
  }
  body.size = newSize;
  return true;
}

// Scans for line ends (a LF right after a CR) and counts them towards `wanted`.
// Returns the offset just after the line end that completes the count, if it is
// in this text.
struct LineCounter {
  int64_t wanted;
  int64_t counted = 0;
  bool lastWasCr = false;

  std::optional<size_t> scan(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\n' && lastWasCr && ++counted == wanted) {
        return i + 1;
      }
      lastWasCr = text[i] == '\r';
    }
    return std::nullopt;
  }
};

// Where in the body the count of lines is complete, if it is.
std::optional<uint64_t> findLineCut(Message& message, const BodyCopy& body, LineCounter& counter) {
  std::optional<uint64_t> cut;
  uint64_t offset = 0;
  bool scannedAll = forEachBodyPiece(body, kScanPiece, [&](std::string_view piece) {
    if (std::optional<size_t> at = counter.scan(piece)) {
      cut = offset + *at;
      return false;
    }
    offset += piece.size();
    return true;
  });
  if (!cut && !scannedAll) {
    reportSystemError(kBodyStorageName, messageSessionLog(message));
  }
  return cut;
}

} // namespace

void refreshBodySizes(Message& message) {
  message.fetch->pristineBodySize = message.pristineBody.size;
  message.fetch->workingBodySize = message.body.size;
}

bool forEachBodyPiece(const BodyCopy& body, size_t pieceSize,
                      const std::function<bool(std::string_view)>& piece) {
  if (body.storageType == BodyStorage::InMemory) {
    std::string_view all(body.memory.data(), body.size);
    for (size_t at = 0; at < all.size(); at += pieceSize) {
      if (!piece(all.substr(at, pieceSize))) {
        return false;
      }
    }
    return true;
  }
  std::string buffer(pieceSize, '\0');
  for (uint64_t at = 0; at < body.size;) {
    size_t wanted = static_cast<size_t>(std::min<uint64_t>(pieceSize, body.size - at));
    long got = readAt(body.file.get(), buffer.data(), wanted, at);
    if (got <= 0) {
      return false;
    }
    if (!piece(std::string_view(buffer.data(), static_cast<size_t>(got)))) {
      return false;
    }
    at += static_cast<uint64_t>(got);
  }
  return true;
}

std::optional<std::string> bodyText(const BodyCopy& body) {
  std::string text;
  if (!forEachBodyPiece(body, 65536, [&](std::string_view piece) {
        text.append(piece);
        return true;
      })) {
    return std::nullopt;
  }
  return text;
}

bool AppendBody(Message& message, std::string_view data, bool both) {
  if (data.empty()) {
    return true;
  }
  bool ok = appendToBody(message, message.body, data);
  if (ok && both) {
    ok = appendToBody(message, message.pristineBody, data);
    if (ok && messageProtocol(message) == KM_PROTOCOL_SMTP) {
      message.fetch->expectedSize += static_cast<int64_t>(data.size());
    }
  }
  refreshBodySizes(message);
  return ok;
}

bool TruncateBody(Message& message, uint64_t count, bool both) {
  bool ok = cutCopy(message, message.body, message.body.size - std::min(count, message.body.size));
  if (both) {
    uint64_t removed = std::min(count, message.pristineBody.size);
    ok = cutCopy(message, message.pristineBody, message.pristineBody.size - removed) && ok;
    if (messageProtocol(message) == KM_PROTOCOL_SMTP) {
      message.fetch->expectedSize -= static_cast<int64_t>(removed);
    }
  }
  refreshBodySizes(message);
  return ok;
}

void AppendBodyPrefix(Message& message, std::string_view data) {
  message.bodyPrefix.append(data);
}

int64_t KeepBodyLines(Message& message, int64_t lineCount) {
  if (lineCount < 0) {
    return lineCount;
  }
  LineCounter counter{lineCount};
  if (lineCount == 0) {
    message.bodyPrefix.clear();
    cutCopy(message, message.body, 0);
  } else if (std::optional<size_t> at = counter.scan(message.bodyPrefix)) {
    message.bodyPrefix.resize(*at);
    cutCopy(message, message.body, 0);
  } else {
    if (std::optional<uint64_t> cut = findLineCut(message, message.body, counter)) {
      cutCopy(message, message.body, *cut);
    }
  }
  message.fetch->workingBodySize = message.body.size;
  return counter.counted;
}

uint8_t LastPristineBodyByte(const Message& message) {
  return lastBodyByte(message.pristineBody);
}

uint8_t lastBodyByte(const BodyCopy& body) {
  if (body.size == 0) {
    return 0;
  }
  if (body.storageType == BodyStorage::InMemory) {
    return static_cast<uint8_t>(body.memory[body.size - 1]);
  }
  char last = 0;
  return readAt(body.file.get(), &last, 1, body.size - 1) == 1 ? static_cast<uint8_t>(last) : 0;
}

} // namespace km
