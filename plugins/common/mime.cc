// A MIME part's header fields and the parts of a multipart body.
#include "mailtext.h"

namespace mailtext {

std::string unfold(std::string_view value) {
  std::string out(value);
  for (char& c : out) {
    if (c == '\r' || c == '\n') {
      c = ' ';
    }
  }
  return out;
}

FieldValue parseFieldValue(std::string_view text) {
  FieldValue field;
  size_t semicolon = text.find(';');
  field.value = lowered(trim(text.substr(0, semicolon)));
  size_t at = semicolon;
  while (at != std::string_view::npos && at < text.size()) {
    ++at;
    size_t equals = text.find('=', at);
    if (equals == std::string_view::npos) {
      break;
    }
    std::string key = lowered(trim(text.substr(at, equals - at)));
    size_t start = equals + 1;
    while (start < text.size() && isBlank(text[start])) {
      ++start;
    }
    std::string_view value;
    if (start < text.size() && text[start] == '"') {
      size_t close = text.find('"', start + 1);
      value = text.substr(start + 1,
                          (close == std::string_view::npos ? text.size() : close) - start - 1);
      at = close == std::string_view::npos ? close : text.find(';', close);
    } else {
      size_t end = text.find(';', start);
      value = trim(text.substr(start, (end == std::string_view::npos ? text.size() : end) - start));
      at = end;
    }
    if (key == "boundary") {
      field.boundary = std::string(value);
    } else if (key == "charset") {
      field.charset = lowered(value);
    } else if (key == "name" || key == "filename") {
      field.name = lowered(value);
    }
  }
  return field;
}

HeaderField splitField(std::string_view line) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) {
    return {trim(line), {}};
  }
  return {trim(line.substr(0, colon)), line.substr(colon + 1)};
}

PartHeaders readPartHeaders(const std::vector<std::string_view>& lines) {
  PartHeaders headers;
  for (std::string_view line : lines) {
    HeaderField field = splitField(line);
    if (equalsIgnoreCase(field.name, "content-type")) {
      headers.type = parseFieldValue(unfold(field.value));
    } else if (equalsIgnoreCase(field.name, "content-transfer-encoding")) {
      headers.encoding = parseFieldValue(unfold(field.value));
    } else if (equalsIgnoreCase(field.name, "content-disposition")) {
      headers.disposition = parseFieldValue(unfold(field.value));
    }
  }
  return headers;
}

void readHeaderBlock(std::string_view& text, std::vector<std::string_view>& lines) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    end = end == std::string_view::npos ? text.size() : end + 1;
    std::string_view line = text.substr(at, end - at);
    if (line == "\n" || line == "\r\n") {
      at = end;
      break;
    }
    if ((line[0] == ' ' || line[0] == '\t') && !lines.empty()) {
      std::string_view& last = lines.back();
      last = std::string_view(last.data(), last.size() + line.size());
    } else {
      lines.push_back(line);
    }
    at = end;
  }
  text.remove_prefix(at);
}

void splitMessage(std::string_view message, std::vector<std::string_view>& headerLines,
                  std::string_view& body) {
  if (message.starts_with("From ")) {
    size_t end = message.find('\n');
    message.remove_prefix(end == std::string_view::npos ? message.size() : end + 1);
  }
  readHeaderBlock(message, headerLines);
  body = message;
}

void forEachPart(std::string_view body, std::string_view boundary,
                 const std::function<bool(std::string_view part)>& each) {
  std::string delimiter = "--" + std::string(boundary);
  size_t at = 0;
  bool inPart = false;
  size_t partStart = 0;
  while (at < body.size()) {
    size_t end = body.find('\n', at);
    end = end == std::string_view::npos ? body.size() : end + 1;
    std::string_view line = body.substr(at, end - at);
    if (line.starts_with(delimiter)) {
      std::string_view rest = line.substr(delimiter.size());
      bool closing = rest.starts_with("--");
      // "--b" followed by anything but blanks is no delimiter of "b" ("--b2" is not).
      if (closing || trim(rest).empty()) {
        // The line end before the delimiter belongs to the delimiter.
        if (inPart && !each(body.substr(partStart, at - partStart))) {
          return;
        }
        if (closing) {
          return;
        }
        inPart = true;
        partStart = end;
      }
    }
    at = end;
  }
  if (inPart) {
    each(body.substr(partStart)); // cut short: take what came
  }
}

} // namespace mailtext
