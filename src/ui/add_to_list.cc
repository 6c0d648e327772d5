#include "ui/add_to_list.h"

#include <atomic>
#include <optional>

#include "config/config.h"
#include "config/data_dir.h"
#include "config/lists.h"
#include "diag/error_report.h"
#include "filter/auto_whitelist.h"
#include "filter/pipeline.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/text.h"
#include "platform/text_ids.h"

namespace km {

namespace {

constexpr const char* kWhiteEmailFile = "wlist_email.dat";
constexpr const char* kBlackEmailFile = "blist_email.dat";

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (isBlank(text.front()) || text.front() == '\r' || text.front() == '\n')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (isBlank(text.back()) || text.back() == '\r' || text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

// A list file's text split into lines, each with the byte range it takes
// including its line end, so that a line can be cut out exactly.
struct ListLine {
  size_t start = 0;
  size_t end = 0; // past the line end
  std::string entry;
  bool hasEntry = false;
  bool remove = false;
};

std::vector<ListLine> splitListText(const std::string& text) {
  std::vector<ListLine> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t newline = text.find('\n', start);
    size_t end = newline == std::string::npos ? text.size() : newline + 1;
    ListLine line;
    line.start = start;
    line.end = end;
    std::string_view cleaned = cleanListLine(std::string_view(text).substr(start, end - start));
    line.hasEntry = !cleaned.empty() && ParseListAddress(cleaned, line.entry);
    lines.push_back(std::move(line));
    start = end;
  }
  return lines;
}

std::string withoutRemovedLines(const std::string& text, const std::vector<ListLine>& lines) {
  std::string kept;
  kept.reserve(text.size());
  for (const ListLine& line : lines) {
    if (!line.remove) {
      kept.append(text, line.start, line.end - line.start);
    }
  }
  return kept;
}

// A list file's whole text; a missing file is an empty list.
std::optional<std::string> readListText(const std::string& path) {
  if (!fileExists(path)) {
    return std::string();
  }
  return readWholeFile(path);
}

bool writeListText(const std::string& path, const std::string& text) {
  if (replaceFileContents(path, text)) {
    return true;
  }
  reportSystemError(path, nullptr);
  return false;
}

// One addition at a time: the window of the tray's command exists only once.
std::atomic<bool> additionRunning{false};

class AdditionSlot {
public:
  AdditionSlot() : taken_(!additionRunning.exchange(true)) {}
  ~AdditionSlot() {
    if (taken_) {
      additionRunning = false;
    }
  }
  AdditionSlot(const AdditionSlot&) = delete;
  AdditionSlot& operator=(const AdditionSlot&) = delete;
  bool taken() const { return taken_; }

private:
  bool taken_;
};

// The entry text after the first rules: trimmed, "@domain" made a pattern, and a
// "#" inside a word made a "*" ("#" starts a comment only after a blank).
std::string prepareEntryText(std::string_view text) {
  std::string entry(trimBlanks(text));
  if (!entry.empty() && entry.front() == '@') {
    entry = std::string("*").append(entry);
  }
  for (size_t i = 1; i < entry.size(); ++i) {
    if (entry[i] == '#' && !isBlank(entry[i - 1])) {
      entry[i] = '*';
    }
  }
  return entry;
}

// The e-mail entry of a text that is no netblock: the comment cut off, a final ">"
// and a "mailto:" prefix dropped, and a bare domain made a pattern.
std::string emailEntryOf(const std::string& text) {
  std::string entry(trimBlanks(std::string_view(text).substr(0, text.find('#'))));
  if (!entry.empty() && entry.back() == '>') {
    entry.pop_back();
  }
  if (startsWithIgnoreCase(entry, "mailto:")) {
    entry = entry.substr(7);
  }
  if (!entry.empty() && entry.find('@') == std::string::npos &&
      entry.find('*') == std::string::npos) {
    entry = std::string("*").append(entry).append("*");
  }
  return entry;
}

// An e-mail entry is one word of printable characters that a list line would
// read back as itself.
bool isListableEntry(const std::string& entry) {
  if (entry.empty()) {
    return false;
  }
  for (char c : entry) {
    unsigned char code = static_cast<unsigned char>(c);
    if (code <= ' ' || code == 127 ||
        std::string_view("<>\"(),;[]\\").find(c) != std::string_view::npos) {
      return false;
    }
  }
  std::string readBack;
  return ParseListAddress(entry, readBack) && readBack == entry;
}

// Appends a line to a list's text, first ending a last line that has no end.
void appendEntryLine(std::string& text, const std::string& entry, bool endLastLineIfUnended) {
  if (endLastLineIfUnended) {
    text += "\r\n";
  }
  text += entry;
  text += "\r\n";
}

AddOutcome outcome(AddResult result, std::string file, std::string entry, std::string message) {
  return AddOutcome{result, std::move(file), std::move(entry), std::move(message)};
}

AddOutcome addNetblock(ListMode mode, const std::string& text) {
  std::string name = mode == ListMode::White ? "wlist_ip.dat" : "blist_ip.dat";
  std::string path = dataPath(name);
  RecursiveGuard guard(configLock());
  std::optional<std::string> file = readListText(path);
  if (!file) {
    reportSystemError(path, nullptr);
    return outcome(AddResult::Failed, name, text, languageText(kTextOptionListNotSaved));
  }
  appendEntryLine(*file, text, !file->empty() && file->back() != '\n');
  if (!writeListText(path, *file)) {
    return outcome(AddResult::Failed, name, text,
                   formatText(languageText(kTextOptionListNotSaved), {name}));
  }
  return outcome(AddResult::Added, name, text,
                 formatText(languageText(kTextAddAdded), {text, name}));
}

// The questions of one e-mail addition, asked in their order, and the answers
// kept until everything is written.
class Contradictions {
public:
  Contradictions(ListMode mode, std::string entry, const ListQuestion& ask)
      : mode_(mode), entry_(std::move(entry)), ask_(ask) {}

  // Yes marks for removal; false when the user cancelled.
  bool ask(int textId, std::initializer_list<FormatArg> args, bool& remove) {
    Notice notice;
    notice.title =
        languageText(mode_ == ListMode::White ? kTextAddToWhiteTitle : kTextAddToBlackTitle);
    notice.text = formatText(languageText(textId), args);
    notice.icon = NoticeIcon::Question;
    notice.buttons = NoticeButtons::YesNoCancel;
    notice.headlessAnswer = NoticeAnswer::Cancel;
    NoticeAnswer answer = ask_(notice);
    if (answer != NoticeAnswer::Yes && answer != NoticeAnswer::No) {
      return false;
    }
    remove = answer == NoticeAnswer::Yes;
    return true;
  }

  void tell(int textId, std::initializer_list<FormatArg> args) {
    Notice notice;
    notice.title =
        languageText(mode_ == ListMode::White ? kTextAddToWhiteTitle : kTextAddToBlackTitle);
    notice.text = formatText(languageText(textId), args);
    notice.icon = NoticeIcon::Information;
    ask_(notice);
  }

  // The white list walk; false when the addition stops here.
  bool walkWhiteList(std::vector<ListLine>& lines, AddOutcome& stopped) {
    for (ListLine& line : lines) {
      if (!line.hasEntry) {
        continue;
      }
      if (MatchEmailPattern(line.entry, entry_)) {
        if (mode_ == ListMode::White) {
          std::string text = formatText(languageText(kTextAddCoveredByWhite), {entry_, line.entry});
          tell(kTextAddCoveredByWhite, {entry_, line.entry});
          stopped = outcome(AddResult::AlreadyCovered, kWhiteEmailFile, entry_, text);
          return false;
        }
        if (!ask(kTextAddRemoveWhiteCovering, {line.entry, entry_}, line.remove)) {
          return cancelled(stopped);
        }
      } else if (mode_ == ListMode::White && MatchEmailPattern(entry_, line.entry)) {
        if (!ask(kTextAddRemoveWhiteCovered, {entry_, line.entry}, line.remove)) {
          return cancelled(stopped);
        }
      }
    }
    return true;
  }

  bool walkBlackList(std::vector<ListLine>& lines, AddOutcome& stopped) {
    for (ListLine& line : lines) {
      if (!line.hasEntry) {
        continue;
      }
      bool asked = true;
      if (mode_ == ListMode::White) {
        asked = !equalsIgnoreCase(line.entry, entry_) ||
                ask(kTextAddRemoveBlackEqual, {line.entry}, line.remove);
      } else if (MatchEmailPattern(line.entry, entry_)) {
        asked = ask(kTextAddRemoveBlackCovering, {line.entry, entry_}, line.remove);
      } else if (MatchEmailPattern(entry_, line.entry)) {
        asked = ask(kTextAddRemoveBlackCovered, {entry_, line.entry}, line.remove);
      }
      if (!asked) {
        return cancelled(stopped);
      }
    }
    return true;
  }

  // Collects the auto-white addresses to remove.
  bool walkAutoWhiteList(const std::vector<std::string>& addresses,
                         std::vector<std::string>& removed, AddOutcome& stopped) {
    int textId = mode_ == ListMode::White ? kTextAddRemoveAutoWhiteForWhite
                                          : kTextAddRemoveAutoWhiteForBlack;
    for (const std::string& address : addresses) {
      bool concerned = equalsIgnoreCase(address, entry_) ||
                       (mode_ == ListMode::White && MatchEmailPattern(entry_, address));
      bool remove = false;
      if (concerned && !ask(textId, {address}, remove)) {
        return cancelled(stopped);
      }
      if (remove) {
        removed.push_back(address);
      }
    }
    return true;
  }

private:
  bool cancelled(AddOutcome& stopped) {
    stopped = outcome(AddResult::Cancelled, "", entry_, languageText(kTextAddCancelled));
    return false;
  }

  ListMode mode_;
  std::string entry_;
  const ListQuestion& ask_;
};

AddOutcome addEmailEntry(ListMode mode, const std::string& entry, const ListQuestion& ask) {
  std::string target = mode == ListMode::White ? kWhiteEmailFile : kBlackEmailFile;
  std::string whitePath = dataPath(kWhiteEmailFile);
  std::string blackPath = dataPath(kBlackEmailFile);
  std::optional<std::string> whiteText;
  std::optional<std::string> blackText;
  std::vector<std::string> autoWhite;
  {
    RecursiveGuard guard(configLock());
    blackText = readListText(blackPath);
    whiteText = readListText(whitePath);
    if (ConfigRef config = AcquireConfig()) {
      autoWhite = config->autoWlistFrom;
    }
  }
  if (!whiteText || !blackText) {
    reportSystemError(!whiteText ? whitePath : blackPath, nullptr);
    return outcome(AddResult::Failed, target, entry,
                   formatText(languageText(kTextOptionListNotSaved), {target}));
  }

  // The questions are asked without holding the configuration lock: the user may
  // take a while, and the sessions must not wait for the answer.
  std::vector<ListLine> whiteLines = splitListText(*whiteText);
  std::vector<ListLine> blackLines = splitListText(*blackText);
  std::vector<std::string> autoWhiteRemoved;
  Contradictions questions(mode, entry, ask);
  AddOutcome stopped;
  if (!questions.walkWhiteList(whiteLines, stopped) ||
      !questions.walkBlackList(blackLines, stopped) ||
      !questions.walkAutoWhiteList(autoWhite, autoWhiteRemoved, stopped)) {
    return stopped;
  }

  RecursiveGuard guard(configLock());
  if (readListText(whitePath) != whiteText || readListText(blackPath) != blackText) {
    return outcome(AddResult::ListsChanged, target, entry, languageText(kTextAddListsChanged));
  }
  std::string newWhite = withoutRemovedLines(*whiteText, whiteLines);
  std::string newBlack = withoutRemovedLines(*blackText, blackLines);
  std::string& targetText = mode == ListMode::White ? newWhite : newBlack;
  bool unended = targetText.size() > 2 && targetText.compare(targetText.size() - 2, 2, "\r\n") != 0;
  appendEntryLine(targetText, entry, unended);
  // The file that did not change is written too, so both stay as they were when
  // either write fails.
  if (!writeListText(whitePath, newWhite)) {
    return outcome(AddResult::Failed, target, entry,
                   formatText(languageText(kTextOptionListNotSaved), {kWhiteEmailFile}));
  }
  if (!writeListText(blackPath, newBlack)) {
    replaceFileContents(whitePath, *whiteText);
    return outcome(AddResult::Failed, target, entry,
                   formatText(languageText(kTextOptionListNotSaved), {kBlackEmailFile}));
  }
  if (!autoWhiteRemoved.empty()) {
    updateConfig([&](Config& changed) {
      std::erase_if(changed.autoWlistFrom, [&](const std::string& address) {
        for (const std::string& removed : autoWhiteRemoved) {
          if (equalsIgnoreCase(address, removed)) {
            return true;
          }
        }
        return false;
      });
    });
  }
  SaveAutoWhitelists();
  return outcome(AddResult::Added, target, entry,
                 formatText(languageText(kTextAddAdded), {entry, target}));
}

} // namespace

AddOutcome addToList(ListMode mode, std::string_view text, const ListQuestion& ask) {
  AdditionSlot slot;
  if (!slot.taken()) {
    return outcome(AddResult::Busy, "", std::string(text), languageText(kTextAddBusy));
  }
  std::string prepared = prepareEntryText(text);
  if (prepared.empty()) {
    return outcome(AddResult::Empty, "", "", "");
  }
  Netblock block;
  std::string_view beforeComment =
      trimBlanks(std::string_view(prepared).substr(0, prepared.find('#')));
  if (ParseNetblock(beforeComment, block)) {
    return addNetblock(mode, prepared);
  }
  std::string entry = emailEntryOf(prepared);
  if (!isListableEntry(entry)) {
    return outcome(AddResult::NotAnEntry, "", prepared,
                   formatText(languageText(kTextAddNotAnEntry), {prepared}));
  }
  return addEmailEntry(mode, entry, ask);
}

std::vector<std::string> addToListChoices(ListMode mode) {
  std::vector<std::string> choices;
  ConfigRef config = AcquireConfig();
  for (const std::string& address : recentAddresses()) {
    if (config) {
      if (patternsMatch(config->whitelistEmail, address) || IsAutoWhiteAddress(*config, address) ||
          (mode == ListMode::Black && patternsMatch(config->blacklistEmail, address))) {
        continue;
      }
    }
    choices.push_back(address);
  }
  return choices;
}

} // namespace km
