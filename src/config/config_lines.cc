#include "config/config_lines.h"

namespace km {

std::string_view cutAtControl(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) < 32) {
      return text.substr(0, i);
    }
  }
  return text;
}

bool readConfigLine(FILE* file, std::string& line) {
  char buffer[kConfigLineBuffer];
  size_t length = 0;
  int c = 0;
  while (length < kConfigLineBuffer - 1 && (c = std::getc(file)) != EOF) {
    buffer[length++] = static_cast<char>(c);
    if (c == '\n') {
      break;
    }
  }
  if (length == 0) {
    line.clear();
    return false;
  }
  line.assign(cutAtControl(std::string_view(buffer, length)));
  return true;
}

KeyValue splitKeyValue(std::string_view line) {
  size_t space = line.find(' ');
  if (space == std::string_view::npos) {
    return {line, {}};
  }
  return {line.substr(0, space), line.substr(space + 1)};
}

} // namespace km
