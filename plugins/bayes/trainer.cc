// kestrelmail-train: teaches the Bayesian plug-in spam and ham by hand, in the data
// directory the program uses (the same -configdir rule).
//
//   kestrelmail-train [-configdir DIR] --spam|--ham FILE|MAILDIR|MBOX...
//
// --spam and --ham set the category of the sources that follow them; both may be
// given in one run. A running proxy picks the new counts up at its next session.
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bayes.h"
#include "config/data_dir.h"
#include "config/plugin_table.h"

namespace {

// The plug-in's name (its library is bayes.so); the plug-in host gives it the
// configuration folder of that name, and the trainer works in the same one.
constexpr const char* kPluginName = "bayes";

int usage() {
  std::fprintf(stderr,
               "usage: kestrelmail-train [-configdir DIR] --spam|--ham FILE|MAILDIR|MBOX...\n");
  return 2;
}

struct Source {
  std::string path;
  bayes::Category category;
};

} // namespace

int main(int argc, char** argv) {
  std::optional<std::string> configDirectory;
  std::optional<bayes::Category> category;
  std::vector<Source> sources;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-configdir" || arg == "--configdir") {
      if (++i >= argc) {
        return usage();
      }
      configDirectory = argv[i];
    } else if (arg == "--spam") {
      category = bayes::Category::Spam;
    } else if (arg == "--ham") {
      category = bayes::Category::Ham;
    } else if (arg.starts_with("-") && arg != "-") {
      return usage();
    } else if (!category) {
      return usage(); // a source before --spam or --ham
    } else {
      sources.push_back({arg, *category});
    }
  }
  if (sources.empty()) {
    return usage();
  }

  km::chooseDataDirectory(configDirectory);
  std::string folder = km::pluginConfigFolder(kPluginName);
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    std::fprintf(stderr, "kestrelmail-train: %s: %s\n", folder.c_str(), ec.message().c_str());
    return 1;
  }
  bayes::createDropFolders(folder);

  bayes::TokenStore store(folder);
  if (std::string notice = store.takeNotice(); !notice.empty()) {
    std::fprintf(stderr, "kestrelmail-train: %s\n", notice.c_str());
  }
  int status = 0;
  for (const Source& source : sources) {
    bayes::LearnTally tally;
    std::string error;
    if (!bayes::learnFromSource(store, source.path, source.category, tally, error)) {
      std::fprintf(stderr, "kestrelmail-train: %s\n", error.c_str());
      status = 1;
    }
    const char* name = source.category == bayes::Category::Spam ? "spam" : "ham";
    std::printf("%s: %zu learned as %s, %zu already known, %zu moved from %s\n",
                source.path.c_str(), tally.learned, name, tally.known, tally.moved,
                source.category == bayes::Category::Spam ? "ham" : "spam");
  }
  if (!store.save()) {
    std::fprintf(stderr, "kestrelmail-train: %s\n", store.notice().c_str());
    return 1;
  }
  std::printf("%s%s: %u spam, %u ham, %zu tokens\n", folder.c_str(), bayes::kTokenFileName,
              store.messages(bayes::Category::Spam), store.messages(bayes::Category::Ham),
              store.tokenCount());
  return status;
}
