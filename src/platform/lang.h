// The string table: user-visible texts by numeric id, read from kestrelmail.lang
// beside the executable. One "id<TAB>text" per line; "\n", "\r", "\t" and "\\"
// are escapes; lines starting with "#" and empty lines are skipped.
//
// State: the loaded string table, replaced whole by a load under its own
// reader-writer lock; any thread may read texts while another loads.
#pragma once

#include <string>
#include <string_view>

namespace km {

// Reads the table (replacing any earlier one; texts handed out before stay valid only
// until then, so the table is loaded once at start-up). False when unreadable.
bool loadLanguageTable(const std::string& path);

// Parses table text; exposed for tests. Returns the number of entries read.
size_t loadLanguageTableText(std::string_view text);

// The text of an id; a placeholder naming the id when the table lacks it.
const std::string& languageText(int id);
bool hasLanguageText(int id);

} // namespace km
