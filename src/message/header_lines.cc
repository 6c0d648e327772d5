// Header lines of a message: assembling them from received data, reading values,
// sanitising and padding.
#include <algorithm>
#include <array>

#include "message/message.h"
#include "platform/lang.h"
#include "platform/notifier.h"
#include "platform/text.h"
#include "platform/text_ids.h"

namespace km {

namespace {

constexpr std::string_view kSubject = "Subject:";
constexpr size_t kPadColumns = 75;
// The longest line a header field may have. Padding that does not fit on the last
// line goes into padding fields of its own: clients refuse header lines of tens
// of kilobytes, which a big message's allowance would otherwise make.
constexpr int64_t kLongestHeaderLine = 998;
constexpr std::string_view kPaddingField = "X-Kestrelmail-Padding:";

// Lines that mail clients read closely: padding them could change how they are
// shown or parsed.
constexpr std::array<std::string_view, 12> kUnpaddedNames = {"From:",
                                                             "Reply-To:",
                                                             "To:",
                                                             "Cc:",
                                                             "Content-Type:",
                                                             "MIME-Version:",
                                                             "Subject:",
                                                             "Message-ID:",
                                                             "Content-Transfer-Encoding:",
                                                             "X-MS-TNEF-Correlator:",
                                                             "X-MimeOLE:",
                                                             "Date:"};

bool endsWithLineEnd(std::string_view line) {
  return line.ends_with("\r\n");
}

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

bool isControl(char c) {
  return static_cast<unsigned char>(c) < 32;
}

void appendToLines(std::vector<std::string>& lines, std::string_view data) {
  size_t from;
  if (!lines.empty() && (isBlank(data[0]) || !endsWithLineEnd(lines.back()))) {
    from = lines.back().size();
    lines.back().append(data);
  } else {
    from = 0;
    lines.emplace_back(data);
  }
  std::string& line = lines.back();
  std::replace(line.begin() + static_cast<std::ptrdiff_t>(from), line.end(), '\0', '0');
}

// The value of one header line: blanks after the name skipped, folds joined by one
// space, the final line end dropped.
void appendUnfoldedValue(std::string& value, std::string_view line, size_t nameLength) {
  size_t i = nameLength;
  while (i < line.size() && isBlank(line[i])) {
    ++i;
  }
  while (i < line.size()) {
    if (line.compare(i, 2, "\r\n") == 0) {
      i += 2;
      while (i < line.size() && isBlank(line[i])) {
        ++i;
      }
      if (i < line.size()) {
        value += ' ';
      }
      continue;
    }
    value += line[i++];
  }
}

// The length of the last physical line of a (possibly folded) header line,
// without its line end.
size_t lastPhysicalLineLength(std::string_view line) {
  size_t end = line.size();
  while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n')) {
    --end;
  }
  size_t start = end;
  while (start > 0 && !isControl(line[start - 1])) {
    --start;
  }
  return end - start;
}

bool isUnpadded(std::string_view line) {
  return std::any_of(kUnpaddedNames.begin(), kUnpaddedNames.end(),
                     [&](std::string_view name) { return startsWithIgnoreCase(line, name); });
}

uint64_t totalLength(const std::vector<std::string>& lines) {
  uint64_t total = 0;
  for (const std::string& line : lines) {
    total += line.size();
  }
  return total;
}

} // namespace

void AppendHeaderData(Message& message, std::string_view data, bool both) {
  if (data.empty()) {
    return;
  }
  appendToLines(message.headerLines, data);
  if (both) {
    appendToLines(message.pristineHeaderLines, data);
    if (messageProtocol(message) == KM_PROTOCOL_SMTP) {
      message.fetch->expectedSize += static_cast<int64_t>(data.size());
    }
  }
}

void RemoveHeaderLine(Message& message, size_t index, bool both) {
  auto removeFrom = [index](std::vector<std::string>& lines) -> size_t {
    if (lines.empty()) {
      return 0;
    }
    size_t at = std::min(index, lines.size() - 1);
    size_t length = lines[at].size();
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(at));
    return length;
  };
  removeFrom(message.headerLines);
  if (both) {
    size_t removed = removeFrom(message.pristineHeaderLines);
    if (messageProtocol(message) == KM_PROTOCOL_SMTP) {
      message.fetch->expectedSize -= static_cast<int64_t>(removed);
    }
  }
}

std::string GetHeaderValue(const Message& message, std::string_view name) {
  std::string value;
  for (const std::string& line : message.pristineHeaderLines) {
    if (startsWithIgnoreCase(line, name)) {
      appendUnfoldedValue(value, line, name.size());
    }
  }
  return value;
}

std::string GetSubject(const Message& message) {
  return GetHeaderValue(message, kSubject);
}

std::string GetSenderField(const Message& message) {
  for (std::string_view name : {"From:", "Sender:", "Reply-To:"}) {
    std::string value = GetHeaderValue(message, name);
    if (!value.empty()) {
      return value;
    }
  }
  return {};
}

void appendOwnHeaderLine(Message& message, std::string_view line) {
  auto& lines = message.headerLines;
  if (!lines.empty() && !endsWithLineEnd(lines.back())) {
    lines.back() += "\r\n";
  }
  lines.emplace_back(line);
}

void EnsureSubjectLine(Message& message) {
  const auto& lines = message.headerLines;
  if (std::none_of(lines.begin(), lines.end(),
                   [](const std::string& line) { return startsWithIgnoreCase(line, kSubject); })) {
    appendOwnHeaderLine(message, "Subject: \r\n");
  }
}

size_t endOfHeaderText(std::string_view line) {
  size_t end = line.size();
  while (end > 0 && isControl(line[end - 1])) {
    --end;
  }
  return end;
}

void SanitiseHeaders(Message& message, size_t firstIndex) {
  auto& lines = message.headerLines;
  for (size_t n = firstIndex; n < lines.size(); ++n) {
    std::string& line = lines[n];
    for (size_t i = 0; i < line.size(); ++i) {
      char c = line[i];
      bool crBeforeLf = c == '\r' && i + 1 < line.size() && line[i + 1] == '\n';
      bool lfAfterCr = c == '\n' && i > 0 && line[i - 1] == '\r';
      if (isControl(c) && c != '\t' && !crBeforeLf && !lfAfterCr) {
        line[i] = 'C';
      }
    }
  }
  size_t firstSubject = lines.size();
  for (size_t n = firstIndex; n < lines.size();) {
    if (!startsWithIgnoreCase(lines[n], kSubject)) {
      ++n;
    } else if (firstSubject == lines.size()) {
      firstSubject = n++;
    } else {
      // A later Subject line becomes a folded continuation of the first one. Its
      // line end is kept (or added) so that it does not run into the next field.
      std::string continuation =
          std::string(kSubject.size(), ' ') + lines[n].substr(kSubject.size());
      if (!endsWithLineEnd(continuation)) {
        continuation += "\r\n";
      }
      lines[firstSubject] += continuation;
      lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(n));
    }
  }
}

uint64_t MessageSize(const Message& message) {
  uint64_t size = totalLength(message.headerLines) + message.bodyPrefix.size() + message.body.size;
  if (message.body.size > 0 || !message.bodyPrefix.empty() || message.headersComplete) {
    size += 2;
  }
  return size;
}

void PadToSize(Message& message, size_t firstIndex, int64_t targetSize) {
  if (messageProtocol(message) != KM_PROTOCOL_POP3) {
    return;
  }
  int64_t pristineSize =
      static_cast<int64_t>(totalLength(message.pristineHeaderLines) + message.pristineBody.size);
  if (message.pristineBody.size > 0 || message.headersComplete) {
    pristineSize += 2;
  }
  // Counted as the server announced the message, whatever of it has arrived yet.
  int64_t current =
      static_cast<int64_t>(MessageSize(message)) + message.fetch->expectedSize - pristineSize;
  if (current > targetSize) {
    showMessage(languageText(kTextNoticeTitle),
                formatText(languageText(kTextPaddingImpossible), {targetSize, current}),
                NoticeIcon::Exclamation);
    return;
  }
  auto& lines = message.headerLines;
  int64_t ownLines = 0; // bytes for padding fields after the last line
  for (size_t n = firstIndex; n < lines.size() && current < targetSize; ++n) {
    std::string& line = lines[n];
    int64_t remaining = targetSize - current;
    int64_t padding;
    if (n + 1 == lines.size()) {
      padding = remaining;
      int64_t room = kLongestHeaderLine - static_cast<int64_t>(lastPhysicalLineLength(line));
      int64_t smallestField = static_cast<int64_t>(kPaddingField.size()) + 2;
      bool ended = line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0;
      if (ended && remaining > room) {
        ownLines = std::max(remaining - room, smallestField);
        if (ownLines <= remaining) {
          padding = remaining - ownLines;
        } else {
          ownLines = 0; // too little to make a field of it
        }
      }
    } else if (isUnpadded(line)) {
      padding = 0;
    } else {
      padding = std::min(static_cast<int64_t>(kPadColumns) -
                             static_cast<int64_t>(lastPhysicalLineLength(line)),
                         remaining);
    }
    if (padding > 0) {
      line.insert(endOfHeaderText(line), static_cast<size_t>(padding), ' ');
      current += padding;
    }
  }
  // Fields of at most the longest line each, sharing the bytes evenly.
  const int64_t longestField = kLongestHeaderLine + 2;
  int64_t fields = (ownLines + longestField - 1) / longestField;
  for (int64_t i = 0; i < fields; ++i) {
    int64_t length = ownLines / fields + (i < ownLines % fields ? 1 : 0);
    std::string field(kPaddingField);
    field.append(static_cast<size_t>(length) - kPaddingField.size() - 2, ' ');
    field += "\r\n";
    lines.push_back(std::move(field));
  }
}

} // namespace km
