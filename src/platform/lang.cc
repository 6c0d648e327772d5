#include "platform/lang.h"

#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "platform/files.h"
#include "platform/text.h"

namespace km {

namespace {

struct LanguageTable {
  std::shared_mutex lock;
  std::unordered_map<int, std::string> texts;
  std::unordered_map<int, std::string> placeholders;
};

LanguageTable& table() {
  static LanguageTable instance;
  return instance;
}

std::string unescape(std::string_view raw) {
  std::string text;
  text.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\' || i + 1 == raw.size()) {
      text += raw[i];
      continue;
    }
    switch (raw[++i]) {
    case 'n':
      text += '\n';
      break;
    case 'r':
      text += '\r';
      break;
    case 't':
      text += '\t';
      break;
    case '\\':
      text += '\\';
      break;
    default:
      text += '\\';
      text += raw[i];
      break;
    }
  }
  return text;
}

} // namespace

size_t loadLanguageTableText(std::string_view text) {
  std::unordered_map<int, std::string> texts;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    std::string_view line = text.substr(pos, end == std::string_view::npos ? end : end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    if (line.empty() || line[0] == '#') {
      continue;
    }
    size_t tab = line.find('\t');
    if (tab == std::string_view::npos || tab == 0) {
      continue;
    }
    int id = readInt(line.substr(0, tab));
    if (id > 0) {
      texts[id] = unescape(line.substr(tab + 1));
    }
  }
  size_t count = texts.size();
  std::unique_lock lock(table().lock);
  table().texts = std::move(texts);
  return count;
}

bool loadLanguageTable(const std::string& path) {
  std::optional<std::string> text = readWholeFile(path);
  if (!text) {
    return false;
  }
  loadLanguageTableText(*text);
  return true;
}

bool hasLanguageText(int id) {
  std::shared_lock lock(table().lock);
  return table().texts.count(id) != 0;
}

const std::string& languageText(int id) {
  {
    std::shared_lock lock(table().lock);
    auto found = table().texts.find(id);
    if (found != table().texts.end()) {
      return found->second;
    }
  }
  // Entries are never erased while the program runs, so references stay valid.
  std::unique_lock lock(table().lock);
  auto [entry, added] = table().placeholders.try_emplace(id);
  if (added) {
    entry->second = "[text " + std::to_string(id) + "]";
  }
  return entry->second;
}

} // namespace km
