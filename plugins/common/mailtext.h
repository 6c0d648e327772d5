// What the plug-ins of our own share in reading mail and their configuration
// folders: case-blind comparison of ASCII text, the transfer encodings, the walk
// over HTML's text, a MIME part's header fields and the parts of a multipart
// body, and the files a plug-in keeps in its configuration folder. Everything here
// works on bounded input and keeps no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mailtext {

// ---- ASCII text

char lower(char c);
std::string lowered(std::string_view text);
// Whether `text` is `lowerOther` (given in lower case) but for the case of letters.
bool equalsIgnoreCase(std::string_view text, std::string_view lowerOther);
bool startsWithIgnoreCase(std::string_view text, std::string_view lowerPrefix);
bool endsWithIgnoreCase(std::string_view text, std::string_view lowerSuffix);
// Spaces, tabs, line ends and the other control bytes.
bool isBlank(char c);
std::string_view trim(std::string_view text);
// The value of a hexadecimal digit, -1 for any other byte.
int hexValue(char c);

// ---- Transfer encodings

std::string decodeBase64(std::string_view text);
std::string decodeQuotedPrintable(std::string_view text);

// ---- HTML

// Appends the text of the character reference at `at` (just after its "&") and
// returns the position after it, or `at` when there is no reference there.
using EntityReader = size_t (*)(std::string_view html, size_t at, std::string& out);

// The text a reader of the HTML sees: tags, comments, scripts and styles removed
// (each leaves a space), character references read by `readEntity`. At most
// `limit` bytes of output.
std::string htmlText(std::string_view html, size_t limit, EntityReader readEntity);

// ---- MIME

// A header field's value with its folding undone.
std::string unfold(std::string_view value);

// Content-Type, Content-Transfer-Encoding and Content-Disposition: the lower-case
// value and the parameters that matter.
struct FieldValue {
  std::string value;
  std::string boundary; // as written
  std::string charset;  // lower case
  std::string name;     // lower case, from "name" or "filename"
};
FieldValue parseFieldValue(std::string_view text);

struct HeaderField {
  std::string_view name; // trimmed
  std::string_view value;
};
// A whole field split at its colon (a line without one is all name).
HeaderField splitField(std::string_view line);

// The fields of a MIME part's header that say how to read its body.
struct PartHeaders {
  FieldValue type;
  FieldValue encoding;
  FieldValue disposition;
};
PartHeaders readPartHeaders(const std::vector<std::string_view>& lines);

// Splits the header block (up to the blank line) off `text` into whole fields
// (folded lines joined, line ends kept); `text` keeps the body.
void readHeaderBlock(std::string_view& text, std::vector<std::string_view>& lines);

// Splits a raw message into its header fields and body (a leading mailbox "From "
// line is dropped).
void splitMessage(std::string_view message, std::vector<std::string_view>& headerLines,
                  std::string_view& body);

// Calls `each` with every part of a multipart body, headers and body, in order,
// while it returns true. A part starts after a delimiter line, "--" and the
// boundary followed by the line end, transport padding (blanks) or "--", and ends
// at the line end before the next one; the line with "--" after the boundary closes
// the multipart. A part cut short by the end of the body is still handed over.
void forEachPart(std::string_view body, std::string_view boundary,
                 const std::function<bool(std::string_view part)>& each);

// ---- Configuration folder

enum class ConfigFileState {
  Read,       // the folder's file
  Written,    // it had none: the shipped text, now written there
  Unwritable, // it had none and it could not be written: the shipped text
  Unreadable, // the file is there but could not be read (or is too large): nothing
};

struct ConfigFile {
  ConfigFileState state = ConfigFileState::Read;
  std::string text;
};

// Reads the file `name` of a configuration folder (ending in "/"), writing the
// shipped text there first when the folder has none.
ConfigFile readConfigFile(const std::string& folder, std::string_view name,
                          std::string_view shipped, std::uintmax_t largest);

// Whether a plug-in written for interface 1.53 runs under the host's interface
// version: 1.53 and later versions of the same major number keep its exports.
bool hostVersionAccepted(const char* hostVersion);

} // namespace mailtext
