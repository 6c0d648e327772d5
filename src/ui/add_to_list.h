// Adding one entry to the white lists or the black lists: the entry is classified
// as a netblock or an e-mail pattern and appended to the matching list file; for
// an e-mail entry the entries of the other lists that contradict it are offered
// for removal first, one question each, in a fixed order.
//
// State: none of its own; the list files are read and written under the
// configuration lock, and one addition runs at a time.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/notifier.h"

namespace km {

enum class ListMode { White, Black };

enum class AddResult {
  Added,          // the entry was appended (and any entries the answers removed went)
  AlreadyCovered, // white mode: a white-list pattern covers it already; nothing written
  Cancelled,      // a question was cancelled (or timed out); nothing written
  Empty,          // nothing to add
  NotAnEntry,     // neither a netblock nor an address or pattern; nothing written
  ListsChanged,   // the list files changed while the questions were asked; nothing written
  Busy,           // another addition is in progress; nothing written
  Failed,         // a list file could not be read or written (reported)
};

struct AddOutcome {
  AddResult result = AddResult::Empty;
  std::string file;  // the list file the entry went to (or would have gone to)
  std::string entry; // the entry as written
  std::string message;
};

// Asks one contradiction question (Yes/No/Cancel) or tells one notice (Ok).
using ListQuestion = std::function<NoticeAnswer(const Notice&)>;

// Adds the text as an entry of the white or black lists. Questions go to `ask`,
// each with the mode's title; their headless answer is Cancel, so a question
// nobody answers writes nothing. Any thread other than the main thread (the
// questions wait for the user).
AddOutcome addToList(ListMode mode, std::string_view text, const ListQuestion& ask);

// The addresses offered in the list: the recent sender addresses, in their order,
// except those a white pattern matches, the auto-white ones and, in black mode,
// those a black pattern matches.
std::vector<std::string> addToListChoices(ListMode mode);

} // namespace km
