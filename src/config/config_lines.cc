#include "config/config_lines.h"

#include <algorithm>

#include "platform/data_path.h"
#include "platform/files.h"
#include "platform/text.h"

namespace km {

std::string_view cutAtControl(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) < 32) {
      return text.substr(0, i);
    }
  }
  return text;
}

namespace {
// Far beyond any setting's range, and far from overflowing.
constexpr int64_t kLargestConfigNumber = 1000000000000000;
} // namespace

int64_t readConfigLong(std::string_view value) {
  size_t i = value.find_first_not_of(" \t");
  int64_t number = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    number = std::min<int64_t>(number * 10 + (value[i] - '0'), kLargestConfigNumber);
  }
  return number;
}

int32_t readConfigNumber(std::string_view value) {
  return static_cast<int32_t>(std::min<int64_t>(readConfigLong(value), INT32_MAX));
}

bool readConfigLine(FILE* file, std::string& line, bool* endsLine) {
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
  if (endsLine != nullptr) {
    *endsLine = buffer[length - 1] == '\n';
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

namespace km {

std::optional<std::string> readSavedSetting(std::string_view key) {
  File file = openFileRetrying(dataPath("config.dat"), "r");
  if (!file) {
    return std::nullopt;
  }
  std::string line;
  while (readConfigLine(file.get(), line)) {
    KeyValue entry = splitKeyValue(line);
    if (equalsIgnoreCase(entry.key, key)) {
      return std::string(entry.value);
    }
  }
  return std::nullopt;
}

} // namespace km
