// The Bayesian content classifier: the tokeniser of a message's headers and decoded
// body text, the token counts learned from spam and ham, the Robinson/Fisher
// combining of the evidence into a spam probability, and the crash-safe token file.
// The plug-in library, the trainer program and the benchmark share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "mailtext.h"

namespace bayes {

// ---- Decoding

using mailtext::decodeBase64;
using mailtext::decodeQuotedPrintable;
// Decodes the encoded words (=?charset?B?...?= and =?charset?Q?...?=) of a header
// value; the bytes keep their charset.
std::string decodeHeaderWords(std::string_view value);
// The text a reader sees in HTML: tags, comments, scripts and styles removed (each
// leaves a space), entities decoded. At most `limit` bytes of output.
std::string htmlToText(std::string_view html, size_t limit);

// ---- Tokens

// How much of a message the tokeniser looks at, so that a huge or hostile message
// costs bounded work.
struct TokenLimits {
  size_t headerBytes = 64 * 1024; // of the header block
  size_t bodyBytes = 256 * 1024;  // of the raw body (all parts together)
  size_t textBytes = 128 * 1024;  // of decoded text tokenised (all text parts together)
  int parts = 64;                 // MIME parts visited
  int depth = 8;                  // nesting of multiparts and attached messages
};

// The distinct tokens of one message as 64-bit hashes, sorted.
using TokenSet = std::vector<uint64_t>;

// The hash a token text is stored under.
uint64_t tokenHash(std::string_view text);

// Tokenises a whole message (header block, blank line, body; a leading mailbox
// "From " line is skipped).
TokenSet tokeniseMessage(std::string_view message, const TokenLimits& limits = {});
// The same for a message given as header lines (each a whole field with its line
// end) and its body.
TokenSet tokeniseParts(const std::vector<std::string_view>& headerLines, std::string_view body,
                       const TokenLimits& limits = {});
// The token texts of a message, in the order found, repeats included; for tests
// and for tuning the tokeniser.
std::vector<std::string> tokenTexts(std::string_view message, const TokenLimits& limits = {});

// Names a message across copies of it: the hash of its Message-ID, or, without
// one, of its Subject, Date and the start of its body. Learning a message twice
// under the same name changes nothing.
uint64_t messageFingerprint(std::string_view message);
uint64_t messageFingerprint(const std::vector<std::string_view>& headerLines,
                            std::string_view body);

// Splits a raw message into its header lines and body (a leading mailbox "From "
// line is dropped).
using mailtext::splitMessage;

// ---- Counts and scores

enum class Category : uint8_t { Spam = 1, Ham = 2 };
enum class Judgement { Ham, Unsure, Spam };

// Chosen by cross-validation on the benchmark's training half (bench/bayes_bench.cc
// --tune): no ham called spam, the fewest spam missed, and the same around it.
struct Parameters {
  double unknownTokenProbability = 0.5; // Robinson's x: what a token never seen says
  double unknownTokenStrength = 0.25;   // Robinson's s: how much x weighs against counts
  double minimumDeviation = 0.0;        // tokens with |f - 0.5| below this are ignored
  int maxDiscriminators = 150;          // the strongest this many tokens decide
  double hamCutoff = 0.20;              // at or below: ham
  double spamCutoff = 0.98;             // at or above: spam; between: unsure
};

struct TokenCounts {
  uint32_t spam = 0;
  uint32_t ham = 0;
};

// Everything learned: per-token counts, messages per category, and the
// fingerprints of the messages learned with their category.
struct TokenTable {
  uint32_t spamMessages = 0;
  uint32_t hamMessages = 0;
  std::unordered_map<uint64_t, TokenCounts> tokens;
  std::unordered_map<uint64_t, Category> learned;
};

// The chi-square combined spam probability of a message, 0 (ham) to 1 (spam); 0.5
// when nothing has been learned of one category yet.
double spamProbability(const TokenTable& table, const TokenSet& tokens, const Parameters& p);
Judgement judge(double probability, const Parameters& p);

enum class LearnOutcome {
  Learned,      // new message
  AlreadyKnown, // learned before in the same category: nothing changed
  Moved,        // learned before in the other category: moved over
};

// Adds a message's tokens to a category, or moves a message learned in the other
// category over (its tokens must be the same as when it was learned).
LearnOutcome learn(TokenTable& table, uint64_t fingerprint, const TokenSet& tokens,
                   Category category);

// ---- The token file

// The token counts of one configuration folder, kept in "tokens.dat" there. Reads
// and scores may run on many threads at once; learning and saving take the table
// alone. Another process (the trainer) may change the file meanwhile: saving merges
// what this store learned into the file's current contents under a file lock.
class TokenStore {
public:
  // Loads the folder's token file. A missing file starts empty; a corrupt or
  // truncated one is kept aside as "tokens.dat.corrupt", the store starts empty,
  // and `notice()` says so.
  explicit TokenStore(std::string folder);

  const std::string& folder() const { return folder_; }
  // What went wrong when the file was read or written last (empty when nothing).
  std::string notice() const;
  // Returns the notice once and forgets it, so it is told only once.
  std::string takeNotice();

  double score(const TokenSet& tokens, const Parameters& p) const;
  LearnOutcome learn(uint64_t fingerprint, const TokenSet& tokens, Category category);
  uint32_t messages(Category category) const;
  size_t tokenCount() const;
  // Whether learning happened since the last save.
  bool dirty() const;

  // Writes what was learned: takes the folder's file lock, reads the file again
  // when someone else changed it, adds this store's changes, writes a new file and
  // renames it over the old one. False (and a notice) when the file could not be
  // written; the changes stay pending for the next attempt.
  bool save();
  // Reads the file again when another process changed it (nothing pending here is
  // lost: pending changes are added to what is read).
  void refreshIfChanged();

private:
  struct FileStamp {
    uint64_t device = 0, inode = 0, size = 0;
    int64_t modified = 0;
    bool exists = false;
    bool operator==(const FileStamp&) const = default;
  };
  // What was learned since the last save, to be added to the file's contents.
  struct Pending {
    std::unordered_map<uint64_t, std::pair<int64_t, int64_t>> counts; // spam, ham
    int64_t spamMessages = 0;
    int64_t hamMessages = 0;
    std::unordered_map<uint64_t, Category> learned;
    bool empty() const { return learned.empty(); }
  };

  enum class FileState { Missing, Intact, Corrupt, Unreadable };
  FileStamp currentStamp() const;
  // Reads the token file and the stamp of what was read.
  FileState readFile(TokenTable& table, FileStamp& stamp) const;
  void applyPending(TokenTable& table) const;
  bool writeFile(const TokenTable& table);

  std::string folder_;
  mutable std::shared_mutex lock_;
  TokenTable table_; // the file's contents as last read, with the pending changes
  Pending pending_;
  FileStamp stamp_;
  std::string notice_;
};

// Past this many tokens, saving drops the tokens seen in one message only.
inline constexpr size_t kMaxTokens = 2'000'000;

// The token file's name in a configuration folder, and the one a corrupt file is
// kept under.
inline constexpr const char* kTokenFileName = "tokens.dat";
inline constexpr const char* kCorruptTokenFileName = "tokens.dat.corrupt";

// Serialises a table in the token file format, and reads one back; false when the
// bytes are not a whole, intact token file.
std::string encodeTokenTable(const TokenTable& table);
bool decodeTokenTable(std::string_view bytes, TokenTable& table);

// ---- Mail sources

// Calls `each` with every message of a source: a message file, an mbox file (split
// at its "From " lines), a Maildir (its cur and new folders) or a folder of message
// files. False when the source could not be read at all (`error` says why).
bool forEachMessage(const std::string& path, const std::function<void(std::string_view)>& each,
                    std::string& error);

// What learning from a source did.
struct LearnTally {
  size_t learned = 0; // new messages
  size_t known = 0;   // learned before in the same category
  size_t moved = 0;   // learned before in the other category, moved over
};

// Learns every message of a source (as forEachMessage reads it) into the store.
bool learnFromSource(TokenStore& store, const std::string& path, Category category,
                     LearnTally& tally, std::string& error, const TokenLimits& limits = {});

// The drop folders in a configuration folder: message and mbox files put there are
// learned as spam or ham and then removed.
inline constexpr const char* kSpamDropFolder = "train_spam";
inline constexpr const char* kHamDropFolder = "train_ham";

// Creates the two drop folders if they are missing.
void createDropFolders(const std::string& configFolder);
// Learns and removes the files in the drop folders that have not changed for
// `settleSeconds` (a file still being copied is left for the next round); hidden
// files are left alone. A file that cannot be read stays, and `error` names it.
LearnTally learnDropFolders(TokenStore& store, int settleSeconds, std::string& error,
                            const TokenLimits& limits = {});

} // namespace bayes
