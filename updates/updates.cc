// The update library: checks a source of DNSBL definitions for a newer file and
// hands newer definitions to the program. The source is a file path or an http or
// https URL (fetched with libcurl, certificates checked unless the program says
// otherwise). Definitions count as newer when their LAST_UPDATED date (YYYY-MM-DD)
// is later than that of the definitions in use. Program versions and plug-in
// updates are not offered by this library.
#include <curl/curl.h>
#include <kestrelmail/updates.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int64_t kSecondsPerDay = 86400;
// Definition files are a few kilobytes; anything this large is not one.
constexpr size_t kLargestDefinitions = 4 * 1024 * 1024;
constexpr int32_t kDefaultTimeoutSeconds = 60;
constexpr long kLongestConnectSeconds = 20;
constexpr long kMostRedirects = 5;
constexpr const char* kDefaultSource = KESTREL_DNSBL_UPDATES_URL;

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) {
    return false;
  }
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i];
    char b = prefix[i];
    if (a >= 'A' && a <= 'Z') {
      a = static_cast<char>(a - 'A' + 'a');
    }
    if (a != b) {
      return false;
    }
  }
  return true;
}

// A calendar date as LAST_UPDATED gives it, comparable as a number.
std::optional<int> parseDate(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
    return std::nullopt;
  }
  int parts[3] = {0, 0, 0};
  size_t starts[3] = {0, 5, 8};
  size_t lengths[3] = {4, 2, 2};
  for (int p = 0; p < 3; ++p) {
    for (size_t i = starts[p]; i < starts[p] + lengths[p]; ++i) {
      if (text[i] < '0' || text[i] > '9') {
        return std::nullopt;
      }
      parts[p] = parts[p] * 10 + (text[i] - '0');
    }
  }
  if (parts[0] < 1970 || parts[1] < 1 || parts[1] > 12 || parts[2] < 1 || parts[2] > 31) {
    return std::nullopt;
  }
  return parts[0] * 10000 + parts[1] * 100 + parts[2];
}

// What a definitions file says about itself, read from its lines before the first
// LIST: its date and revision, and the text without its LAST_UPDATED line (the
// program writes that line itself).
struct Definitions {
  std::string date;
  std::string text;
  std::string problem; // empty when the file is usable
};

Definitions examine(const std::string& fetched) {
  Definitions found;
  if (fetched.find('\0') != std::string::npos) {
    found.problem = "it is not a text file";
    return found;
  }
  bool sawDate = false;
  bool sawList = false;
  size_t position = 0;
  while (position < fetched.size()) {
    size_t end = fetched.find('\n', position);
    size_t next = end == std::string::npos ? fetched.size() : end + 1;
    std::string_view line(fetched.data() + position, next - position);
    position = next;
    std::string_view content = line;
    while (!content.empty() && static_cast<unsigned char>(content.back()) <= ' ') {
      content.remove_suffix(1);
    }
    while (!content.empty() && (content.front() == ' ' || content.front() == '\t')) {
      content.remove_prefix(1);
    }
    size_t gap = content.find_first_of(" \t");
    std::string_view key = content.substr(0, gap);
    std::string_view value;
    size_t valueStart = content.find_first_not_of(" \t", gap);
    if (gap != std::string_view::npos && valueStart != std::string_view::npos) {
      value = content.substr(valueStart);
    }
    bool beforeLists = !sawList;
    if (startsWithIgnoringCase(key, "list") && key.size() == 4) {
      sawList = true;
    }
    if (beforeLists && key.size() == 12 && startsWithIgnoringCase(key, "last_updated")) {
      if (sawDate || !parseDate(value)) {
        found.problem = "its LAST_UPDATED line \"" + std::string(content) + "\" is not a date";
        return found;
      }
      found.date = std::string(value);
      sawDate = true;
      continue; // the program writes this line itself
    }
    if (beforeLists && key.size() == 8 && startsWithIgnoringCase(key, "revision")) {
      bool number = !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
      if (!number || value.size() > 9) {
        found.problem = "its REVISION line \"" + std::string(content) + "\" is not a number";
        return found;
      }
    }
    found.text.append(line);
  }
  if (!sawDate) {
    found.problem = "it has no LAST_UPDATED line";
  } else if (!sawList) {
    found.problem = "it defines no list";
  }
  return found;
}

// One check, with the program's record.
class Check {
public:
  explicit Check(KmUpdateCheckRequest& request) : request_(request) {}

  void run() {
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    bool forced = request_.forced != 0;
    if (forced ||
        due(request_.programCheckOn, request_.programLastCheck, request_.programInterval, now)) {
      log("program versions are not offered by this source");
      request_.programLastCheck = static_cast<uint32_t>(now);
    }
    if (forced ||
        due(request_.dnsblCheckOn, request_.dnsblLastCheck, request_.dnsblInterval, now)) {
      if (checkDefinitions()) {
        request_.dnsblLastCheck = static_cast<uint32_t>(now);
      }
    }
  }

private:
  static bool due(int32_t on, uint32_t lastCheck, int32_t intervalDays, int64_t now) {
    return on != 0 && now - int64_t{lastCheck} > int64_t{intervalDays} * kSecondsPerDay;
  }

  void log(const std::string& text) const {
    if (request_.logLine != nullptr) {
      request_.logLine(text.c_str());
    }
  }

  bool shuttingDown() const { return request_.shuttingDown != nullptr && request_.shuttingDown(); }

  // The program's setting, else the environment's KESTREL_UPDATES_SOURCE (a mirror,
  // or a test that must not reach the network), else the published file.
  std::string source() const {
    const char* environment = std::getenv("KESTREL_UPDATES_SOURCE");
    for (const char* given : {request_.dnsblSource, environment}) {
      if (given != nullptr && given[0] != '\0') {
        return given;
      }
    }
    return kDefaultSource;
  }

  // True when the check came to an end: newer definitions stored, or none offered.
  bool checkDefinitions() {
    std::string from = source();
    std::string fetched;
    std::string failure;
    bool ok = startsWithIgnoringCase(from, "http://") || startsWithIgnoringCase(from, "https://")
                  ? fetchUrl(from, fetched, failure)
                  : readFile(from, fetched, failure);
    if (!ok) {
      log("the DNSBL definitions could not be fetched from " + from + ": " + failure +
          "; the definitions in use stay");
      return false;
    }
    Definitions offered = examine(fetched);
    if (!offered.problem.empty()) {
      log("the DNSBL definitions from " + from + " cannot be used: " + offered.problem +
          "; the definitions in use stay");
      return false;
    }
    std::string current(request_.dnsblDate, strnlen(request_.dnsblDate, sizeof request_.dnsblDate));
    std::optional<int> currentDate = parseDate(current);
    if (currentDate && *parseDate(offered.date) <= *currentDate) {
      log("the DNSBL definitions from " + from + " (" + offered.date +
          ") are not newer than those in use (" + current + ")");
      return true;
    }
    if (request_.storeDnsblDefinitions == nullptr ||
        request_.storeDnsblDefinitions(offered.date.c_str(), offered.text.c_str()) == 0) {
      log("the newer DNSBL definitions from " + from + " (" + offered.date +
          ") could not be stored; the definitions in use stay");
      return false;
    }
    log("newer DNSBL definitions were stored from " + from + " (" + offered.date +
        ", before: " + (current.empty() ? "none" : current) + ")");
    return true;
  }

  bool readFile(const std::string& source, std::string& out, std::string& failure) const {
    std::string path = startsWithIgnoringCase(source, "file://") ? source.substr(7) : source;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
      failure = std::strerror(errno);
      return false;
    }
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0 && !tooLarge(out, got)) {
      out.append(buffer, got);
    }
    bool readError = std::ferror(file) != 0;
    std::fclose(file);
    if (readError) {
      failure = "the file could not be read";
      return false;
    }
    if (got > 0) {
      failure = largeText();
      return false;
    }
    return true;
  }

  static bool tooLarge(const std::string& held, size_t more) {
    return held.size() + more > kLargestDefinitions;
  }

  static std::string largeText() {
    return "it is larger than " + std::to_string(kLargestDefinitions / 1024) + " KB";
  }

  struct Transfer {
    const Check* check = nullptr;
    std::string* body = nullptr;
    bool tooLarge = false;
  };

  static size_t receive(char* data, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    size_t bytes = size * count;
    if (tooLarge(*transfer->body, bytes)) {
      transfer->tooLarge = true;
      return 0; // ends the transfer
    }
    transfer->body->append(data, bytes);
    return bytes;
  }

  static int progress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(context)->check->shuttingDown() ? 1 : 0;
  }

  bool fetchUrl(const std::string& url, std::string& out, std::string& failure) const {
    static std::once_flag curlReady;
    std::call_once(curlReady, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
      failure = "libcurl could not be started";
      return false;
    }
    Transfer transfer{this, &out, false};
    char error[CURL_ERROR_SIZE] = {};
    long seconds = request_.timeoutSeconds > 0 ? request_.timeoutSeconds : kDefaultTimeoutSeconds;
    bool verify = request_.tlsVerify != 0;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMostRedirects);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, seconds);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, std::min(seconds, kLongestConnectSeconds));
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kLargestDefinitions));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    if (request_.tlsCaFile != nullptr && request_.tlsCaFile[0] != '\0') {
      curl_easy_setopt(curl, CURLOPT_CAINFO, request_.tlsCaFile);
    }
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Kestrelmail-updates");
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, receive);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    CURLcode result = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (result == CURLE_OK) {
      return true;
    }
    if (transfer.tooLarge || result == CURLE_FILESIZE_EXCEEDED) {
      failure = largeText();
    } else if (result == CURLE_ABORTED_BY_CALLBACK) {
      failure = "the program is shutting down";
    } else {
      failure = error[0] != '\0' ? error : curl_easy_strerror(result);
    }
    return false;
  }

  KmUpdateCheckRequest& request_;
};

} // namespace

extern "C" __attribute__((visibility("default"))) void
checkForUpdates(KmUpdateCheckRequest* request) {
  if (request == nullptr) {
    return;
  }
  Check(*request).run();
}
