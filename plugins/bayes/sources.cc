// Reading messages from message files, mbox files, Maildirs and folders.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "bayes.h"

namespace bayes {

namespace {

namespace fs = std::filesystem;

bool readWhole(const fs::path& path, std::string& bytes, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path.string() + ": cannot be opened";
    return false;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) {
    error = path.string() + ": cannot be read";
    return false;
  }
  bytes = std::move(buffer).str();
  return true;
}

// An mbox: messages start at lines beginning "From " at the start of the file or
// after a blank line; ">From " quoting inside a message is undone.
void forEachMboxMessage(std::string_view bytes, const std::function<void(std::string_view)>& each) {
  size_t start = 0;
  size_t at = 0;
  auto emit = [&](size_t end) {
    std::string_view message = bytes.substr(start, end - start);
    if (message.find(">From ") == std::string_view::npos) {
      each(message);
      return;
    }
    std::string unquoted;
    unquoted.reserve(message.size());
    size_t lineStart = 0;
    while (lineStart < message.size()) {
      size_t lineEnd = message.find('\n', lineStart);
      lineEnd = lineEnd == std::string_view::npos ? message.size() : lineEnd + 1;
      std::string_view line = message.substr(lineStart, lineEnd - lineStart);
      size_t quotes = line.find_first_not_of('>');
      if (quotes != std::string_view::npos && quotes > 0 && line.substr(quotes, 5) == "From ") {
        line.remove_prefix(1);
      }
      unquoted.append(line);
      lineStart = lineEnd;
    }
    each(unquoted);
  };
  while (true) {
    size_t next = bytes.find("\n\nFrom ", at);
    size_t crlf = bytes.find("\n\r\nFrom ", at);
    next = std::min(next == std::string_view::npos ? bytes.size() : next + 2,
                    crlf == std::string_view::npos ? bytes.size() : crlf + 3);
    if (next >= bytes.size()) {
      emit(bytes.size());
      return;
    }
    emit(next);
    start = next;
    at = next;
  }
}

void forEachFileMessage(std::string_view bytes, const std::function<void(std::string_view)>& each) {
  if (bytes.substr(0, 5) == "From ") {
    forEachMboxMessage(bytes, each);
  } else {
    each(bytes);
  }
}

std::vector<fs::path> filesIn(const fs::path& folder) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    std::string name = entry.path().filename().string();
    if (!name.empty() && name[0] != '.' && entry.is_regular_file(ec)) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

} // namespace

bool forEachMessage(const std::string& path, const std::function<void(std::string_view)>& each,
                    std::string& error) {
  std::error_code ec;
  fs::path source(path);
  if (fs::is_directory(source, ec)) {
    std::vector<fs::path> files;
    if (fs::is_directory(source / "cur", ec) || fs::is_directory(source / "new", ec)) {
      for (const char* folder : {"cur", "new"}) {
        std::vector<fs::path> more = filesIn(source / folder);
        files.insert(files.end(), more.begin(), more.end());
      }
    } else {
      files = filesIn(source);
    }
    bool allRead = true;
    for (const fs::path& file : files) {
      std::string bytes, fileError;
      if (!readWhole(file, bytes, fileError)) {
        error = fileError;
        allRead = false;
        continue;
      }
      forEachFileMessage(bytes, each);
    }
    return allRead;
  }
  std::string bytes;
  if (!readWhole(source, bytes, error)) {
    return false;
  }
  forEachFileMessage(bytes, each);
  return true;
}

bool learnFromSource(TokenStore& store, const std::string& path, Category category,
                     LearnTally& tally, std::string& error, const TokenLimits& limits) {
  return forEachMessage(
      path,
      [&](std::string_view message) {
        std::vector<std::string_view> lines;
        std::string_view body;
        splitMessage(message, lines, body);
        switch (store.learn(messageFingerprint(lines, body), tokeniseParts(lines, body, limits),
                            category)) {
        case LearnOutcome::Learned:
          ++tally.learned;
          break;
        case LearnOutcome::AlreadyKnown:
          ++tally.known;
          break;
        case LearnOutcome::Moved:
          ++tally.moved;
          break;
        }
      },
      error);
}

void createDropFolders(const std::string& configFolder) {
  std::error_code ec;
  for (const char* name : {kSpamDropFolder, kHamDropFolder}) {
    fs::create_directories(fs::path(configFolder) / name, ec);
  }
}

LearnTally learnDropFolders(TokenStore& store, int settleSeconds, std::string& error,
                            const TokenLimits& limits) {
  LearnTally tally;
  auto settled = fs::file_time_type::clock::now() - std::chrono::seconds(settleSeconds);
  for (auto [name, category] :
       {std::pair{kSpamDropFolder, Category::Spam}, std::pair{kHamDropFolder, Category::Ham}}) {
    for (const fs::path& file : filesIn(fs::path(store.folder()) / name)) {
      std::error_code ec;
      auto modified = fs::last_write_time(file, ec);
      if (ec || (settleSeconds > 0 && modified > settled)) {
        continue;
      }
      std::string fileError;
      if (!learnFromSource(store, file.string(), category, tally, fileError, limits)) {
        error = fileError;
        continue;
      }
      fs::remove(file, ec);
    }
  }
  return tally;
}

} // namespace bayes
