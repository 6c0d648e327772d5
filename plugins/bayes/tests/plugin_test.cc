// The built plug-in library loaded with dlopen and driven through its exports in the
// order the plug-in host calls them, with the trainer program filling its token
// file first. The harness here stands in for the host until the host calls
// plug-ins over real sessions.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <kestrelmail/plugin.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "bayes.h"
#include "test_helpers.h"

namespace bayes {
namespace {

using test::hamMessage;
using test::spamMessage;
using test::TempFolder;
using test::writeText;

// What the plug-in wrote to the activity log through callback table B.
std::mutex logLock;
std::vector<std::pair<int32_t, std::string>> logged;

void logText(uint32_t, int32_t level, const char* text) {
  std::lock_guard guard(logLock);
  logged.emplace_back(level, text);
}
void logFormatted(uint32_t message, int32_t level, const char* format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  logText(message, level, text);
}

size_t countLogged(const std::string& part, int32_t level = -1) {
  std::lock_guard guard(logLock);
  size_t n = 0;
  for (const auto& [l, text] : logged) {
    n += text.find(part) != std::string::npos && (level < 0 || l == level);
  }
  return n;
}

// Runs a program and returns its exit status and what it printed.
std::pair<int, std::string> runProgram(const std::string& command) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) {
    output.append(buffer, n);
  }
  int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// The plug-in library and its exports, looked up by name as the host does.
class PluginLibrary {
public:
  PluginLibrary() : handle_(dlopen(BAYES_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL)) {}
  ~PluginLibrary() {
    if (handle_ != nullptr) {
      dlclose(handle_);
    }
  }
  bool loaded() const { return handle_ != nullptr; }
  template <typename F> F find(const char* name) const {
    return reinterpret_cast<F>(dlsym(handle_, name));
  }

private:
  void* handle_;
};

// A message as the host hands it over: its header lines and a body handle.
struct HostMessage {
  explicit HostMessage(const std::string& raw) : text(raw) {
    std::vector<std::string_view> views;
    std::string_view body;
    splitMessage(text, views, body);
    for (std::string_view line : views) {
      lines.emplace_back(line);
    }
    for (const std::string& line : lines) {
      pointers.push_back(line.c_str());
    }
    bodyText = std::string(body);
  }
  // The body in a temporary file, rewound, as a body held in a file is passed.
  int bodyFile() const {
    FILE* file = std::tmpfile();
    std::fwrite(bodyText.data(), 1, bodyText.size(), file);
    std::fflush(file);
    int fd = dup(fileno(file));
    std::fclose(file);
    lseek(fd, 0, SEEK_SET);
    return fd;
  }
  std::string text, bodyText;
  std::vector<std::string> lines;
  std::vector<const char*> pointers;
};

class BayesPlugin : public ::testing::Test {
protected:
  BayesPlugin() {
    signal(SIGPIPE, SIG_IGN);
    std::lock_guard guard(logLock);
    logged.clear();
  }

  void SetUp() override {
    ASSERT_TRUE(library_.loaded()) << dlerror();
    loadConfig_ = library_.find<KmLoadConfig>("loadConfig");
    releaseConfig_ = library_.find<KmReleaseConfig>("releaseConfig");
    sessionStart_ = library_.find<KmSessionEvent>("sessionStart");
    requireBody_ = library_.find<KmRequireFromHeaders>("requireBodyFiltering");
    minBytes_ = library_.find<KmMinBodyBytesRequired>("minBodyBytesRequired");
    filterBody_ = library_.find<KmFilterOnMessageBody>("filterOnMessageBody");
    processed_ = library_.find<KmProcessedMessage>("processedMessage");
    housekeeping_ = library_.find<KmHousekeeping>("housekeeping");
    for (bool found : {loadConfig_ != nullptr, releaseConfig_ != nullptr, sessionStart_ != nullptr,
                       requireBody_ != nullptr, minBytes_ != nullptr, filterBody_ != nullptr,
                       processed_ != nullptr, housekeeping_ != nullptr}) {
      ASSERT_TRUE(found);
    }
  }

  // The trainer fills the data directory's token file with ten of each.
  void train() {
    std::string mbox;
    for (int i = 0; i < 10; ++i) {
      mbox += "From sender@example Mon Jan  1 00:00:00 2024\n" + spamMessage(i) + "\n";
      writeText(data_.path() + "ham/cur/" + std::to_string(i), hamMessage(i));
    }
    writeText(data_.path() + "spam.mbox", mbox);
    auto [status, output] =
        runProgram(std::string(BAYES_TRAINER_PATH) + " -configdir " + data_.path() + " --spam " +
                   data_.path() + "spam.mbox" + " --ham " + data_.path() + "ham");
    ASSERT_EQ(status, 0) << output;
    EXPECT_NE(output.find("10 learned as spam"), std::string::npos) << output;
    EXPECT_NE(output.find("10 learned as ham"), std::string::npos) << output;
  }

  // loadConfig and sessionStart, as a session's start does.
  KmPluginData start() {
    KmPluginData pluginData = loadConfig_(configFolder().c_str());
    session_.serverName = "";
    session_.protocol = KM_PROTOCOL_POP3;
    session_.userName = "";
    session_.sessionHandle = 1;
    session_.hostVersion = KM_HOST_INTERFACE_VERSION;
    session_.callbacks = &callbacksB_;
    sessionStart_(&session_, pluginData);
    return pluginData;
  }

  Verdict judge(KmPluginData pluginData, const HostMessage& message, Verdict verdict = {}) {
    int fd = message.bodyFile();
    filterBody_(message.pointers.data(), static_cast<int32_t>(message.pointers.size()), fd, 7,
                &verdict, pluginData, nullptr);
    close(fd);
    return verdict;
  }

  void learnFrom(KmPluginData pluginData, const HostMessage& message, Verdict verdict) {
    int fd = message.bodyFile();
    processed_(message.pointers.data(), static_cast<int32_t>(message.pointers.size()), fd, 7,
               &verdict, pluginData);
    close(fd);
  }

  std::string configFolder() const { return data_.path() + "plugins/bayes/"; }

  TempFolder data_;
  PluginLibrary library_;
  KmCallbacksB callbacksB_{nullptr, nullptr, nullptr,      nullptr, nullptr,
                           nullptr, nullptr, logFormatted, logText, nullptr};
  KmSessionInfo session_{};
  KmLoadConfig loadConfig_ = nullptr;
  KmReleaseConfig releaseConfig_ = nullptr;
  KmSessionEvent sessionStart_ = nullptr;
  KmRequireFromHeaders requireBody_ = nullptr;
  KmMinBodyBytesRequired minBytes_ = nullptr;
  KmFilterOnMessageBody filterBody_ = nullptr;
  KmProcessedMessage processed_ = nullptr;
  KmHousekeeping housekeeping_ = nullptr;
};

TEST_F(BayesPlugin, IdentifiesItselfToTheHost) {
  auto check = library_.find<KmCheckKestrelmailVersion>("checkKestrelmailVersion");
  auto name = library_.find<KmGetPluginText>("getPluginName");
  auto version = library_.find<KmGetPluginText>("getPluginVersion");
  auto capabilities = library_.find<KmGetPluginCapabilities>("getPluginCapabilities");
  ASSERT_TRUE(check && name && version && capabilities);
  EXPECT_EQ(check(KM_HOST_INTERFACE_VERSION), 1);
  EXPECT_EQ(check("1.2"), 0);
  EXPECT_EQ(check("2.0"), 0);
  EXPECT_STREQ(name(), "Bayesian content filter");
  // Where the plug-in host looks: plugins/<folder>/<name>.so beside the program.
  EXPECT_TRUE(std::string(BAYES_PLUGIN_PATH).ends_with("/plugins/bayes/bayes.so"));
  EXPECT_GT(std::strtod(version(), nullptr), 0);
  uint32_t words[5] = {};
  capabilities(nullptr, words);
  EXPECT_EQ(words[3], 0u); // asks the DNSBL engine for nothing
  // Only the exports are visible, not the classifier's own functions.
  EXPECT_EQ(library_.find<void*>(
                "_ZN5bayes12decodeBase64B5cxx11ESt17basic_string_viewIcSt11char_traitsIcEE"),
            nullptr);

  // The trainer's command line.
  EXPECT_EQ(runProgram(BAYES_TRAINER_PATH).first, 2);
  EXPECT_EQ(runProgram(std::string(BAYES_TRAINER_PATH) + " some.mbox --spam").first, 2);
  auto [status, output] = runProgram(std::string(BAYES_TRAINER_PATH) + " -configdir " +
                                     data_.path() + " --ham " + data_.path() + "absent");
  EXPECT_EQ(status, 1);
  EXPECT_NE(output.find("absent"), std::string::npos) << output;
}

TEST_F(BayesPlugin, JudgesTheBodyAndLearnsFromSureVerdicts) {
  train();
  KmPluginData pluginData = start();
  ASSERT_NE(pluginData, nullptr);
  EXPECT_TRUE(std::filesystem::is_directory(configFolder() + kSpamDropFolder));
  EXPECT_TRUE(std::filesystem::is_directory(configFolder() + kHamDropFolder));

  HostMessage spam(spamMessage(50)), ham(hamMessage(50));
  Verdict open{};
  EXPECT_EQ(requireBody_(spam.pointers.data(), 0, 7, &open, pluginData), 1);
  EXPECT_EQ(minBytes_(KM_PHASE_BODY_FILTERING, nullptr, 0, 7, &open, pluginData),
            static_cast<int32_t>(TokenLimits{}.bodyBytes));

  Verdict judged = judge(pluginData, spam);
  EXPECT_EQ(judged.isSpam, 1);
  EXPECT_EQ(judged.isWhitelisted, 0);
  EXPECT_EQ(judged.source, KM_SOURCE_BODY);
  EXPECT_EQ(judged.reason, KM_REASON_OTHER);
  // The label shows the score with two places: "BAYES 0.99" or "BAYES 1.00".
  std::string label = judged.pattern.text;
  ASSERT_EQ(label.substr(0, 6), "BAYES ") << label;
  EXPECT_EQ(label.size(), 10u) << label;
  EXPECT_GE(std::strtod(label.c_str() + 6, nullptr), Parameters{}.spamCutoff) << label;
  EXPECT_EQ(countLogged("(spam)", 3), 1u);

  Verdict passed = judge(pluginData, ham);
  EXPECT_EQ(std::memcmp(&passed, &open, sizeof open), 0);
  EXPECT_EQ(countLogged("(ham)", 3), 1u);

  // A message the lists decided is not read, and its verdict stays.
  Verdict white{};
  white.isWhitelisted = 1;
  white.reason = KM_REASON_WLIST_EMAIL;
  EXPECT_EQ(requireBody_(spam.pointers.data(), 0, 7, &white, pluginData), 0);
  Verdict after = judge(pluginData, spam, white);
  EXPECT_EQ(std::memcmp(&after, &white, sizeof white), 0);

  // Learning: DNSBL-listed mail as spam, white-listed mail as ham; the plug-in's own
  // verdict and a DNSBL time-out teach nothing.
  Verdict listed{};
  listed.isSpam = 1;
  listed.reason = KM_REASON_DNSBL;
  EXPECT_GT(minBytes_(KM_PHASE_PROCESSED, nullptr, 0, 7, &listed, pluginData), 0);
  EXPECT_EQ(minBytes_(KM_PHASE_PROCESSED, nullptr, 0, 7, &judged, pluginData), 0);
  Verdict timedOut{};
  timedOut.source = KM_SOURCE_DNSBL_TIMEOUT;
  timedOut.reason = KM_REASON_OTHER;
  learnFrom(pluginData, HostMessage(spamMessage(60)), listed);
  learnFrom(pluginData, HostMessage(spamMessage(60)), listed); // fetched again
  learnFrom(pluginData, HostMessage(hamMessage(60)), white);
  learnFrom(pluginData, HostMessage(spamMessage(61)), judged);
  learnFrom(pluginData, HostMessage(spamMessage(62)), timedOut);
  EXPECT_EQ(countLogged("learned as spam"), 1u);
  EXPECT_EQ(countLogged("learned as ham"), 1u);
  releaseConfig_(pluginData); // writes what was learned

  TokenStore store(configFolder());
  EXPECT_EQ(store.messages(Category::Spam), 11u);
  EXPECT_EQ(store.messages(Category::Ham), 11u);
}

TEST_F(BayesPlugin, SessionsJudgeAndLearnAtTheSameTime) {
  train();
  KmPluginData pluginData = start();
  // Four session threads judge and learn different messages at once while the
  // housekeeping round writes the token file.
  std::vector<std::thread> sessions;
  std::atomic<int> judgedSpam{0};
  for (int t = 0; t < 4; ++t) {
    sessions.emplace_back([&, t] {
      Verdict listed{};
      listed.isSpam = 1;
      listed.reason = KM_REASON_BLIST_EMAIL;
      for (int i = 0; i < 25; ++i) {
        HostMessage spam(spamMessage(1000 + t * 100 + i));
        judgedSpam += judge(pluginData, spam).isSpam;
        learnFrom(pluginData, spam, listed);
      }
    });
  }
  volatile int32_t closing = 0;
  for (int i = 0; i < 5; ++i) {
    housekeeping_(pluginData, &closing);
  }
  for (std::thread& sessionThread : sessions) {
    sessionThread.join();
  }
  EXPECT_EQ(judgedSpam.load(), 100);
  releaseConfig_(pluginData);
  EXPECT_EQ(TokenStore(configFolder()).messages(Category::Spam), 110u);
}

TEST_F(BayesPlugin, ReadsAtMostItsShareOfAHugeStreamedBody) {
  train();
  KmPluginData pluginData = start();
  // 50 MB streamed through a pipe: the spam text first, then an attachment. The
  // plug-in stops reading at its cap; closing the pipe ends the writer.
  HostMessage spam(spamMessage(70));
  std::string body = "--b\nContent-Type: text/plain\n\n" + spam.bodyText +
                     "\n--b\nContent-Type: application/octet-stream\n\n";
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  size_t written = 0;
  std::thread writer([&] {
    std::string chunk(1 << 16, 'Q');
    written += static_cast<size_t>(write(ends[1], body.data(), body.size()));
    while (written < 50u * 1024 * 1024) {
      ssize_t n = write(ends[1], chunk.data(), chunk.size());
      if (n <= 0) {
        break; // the reader closed its end
      }
      written += static_cast<size_t>(n);
    }
    close(ends[1]);
  });
  std::vector<std::string> lines = spam.lines;
  lines.push_back("Content-Type: multipart/mixed; boundary=b\r\n");
  std::vector<const char*> pointers;
  for (const std::string& line : lines) {
    pointers.push_back(line.c_str());
  }
  Verdict verdict{};
  filterBody_(pointers.data(), static_cast<int32_t>(pointers.size()), ends[0], 7, &verdict,
              pluginData, nullptr);
  close(ends[0]); // as the host closes the read end after the call
  writer.join();
  EXPECT_EQ(verdict.isSpam, 1);
  EXPECT_LT(written, 50u * 1024 * 1024);
  releaseConfig_(pluginData);
}

TEST_F(BayesPlugin, ADamagedTokenFileStartsFreshAndIsToldOnce) {
  writeText(configFolder() + kTokenFileName, "KMBAYES\x01 not really a token file");
  KmPluginData pluginData = start();
  ASSERT_NE(pluginData, nullptr);
  HostMessage spam(spamMessage(1));
  Verdict verdict = judge(pluginData, spam);
  EXPECT_EQ(verdict.isSpam, 0); // nothing learned: no opinion
  verdict = judge(pluginData, spam);
  EXPECT_EQ(countLogged("damaged", 0), 1u);
  EXPECT_TRUE(std::filesystem::exists(configFolder() + kCorruptTokenFileName));
  releaseConfig_(pluginData);
}

TEST_F(BayesPlugin, HousekeepingLearnsTheDropFolders) {
  KmPluginData pluginData = start();
  std::string dropped = configFolder() + kSpamDropFolder + "/message.eml";
  writeText(dropped, spamMessage(80));
  std::filesystem::last_write_time(dropped, std::filesystem::file_time_type::clock::now() -
                                                std::chrono::hours(1));
  volatile int32_t closing = 1;
  housekeeping_(pluginData, &closing);
  EXPECT_TRUE(std::filesystem::exists(dropped)); // the program is closing: later
  closing = 0;
  housekeeping_(pluginData, &closing);
  EXPECT_FALSE(std::filesystem::exists(dropped));
  EXPECT_EQ(TokenStore(configFolder()).messages(Category::Spam), 1u); // already written
  releaseConfig_(pluginData);
}

} // namespace
} // namespace bayes
