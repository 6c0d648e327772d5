// The link scanner's core on the SpamAssassin public corpus (unpacked into the build
// folder by bench/bayes_bench or the Bayesian plug-in's end-to-end test): how fast
// it reads messages, how many distinct link hosts spam and ham name, and how often
// the default MAX_HOSTS_PER_MESSAGE cuts the list short. Then the same on hostile
// messages made up here.
//
// Usage: linkscan_bench [--corpus DATA_DIR]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "links.h"

namespace fs = std::filesystem;

namespace {

struct Tally {
  size_t messages = 0, bytes = 0, withLinks = 0, hosts = 0, cut = 0;
  double seconds = 0;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return std::move(buffer).str();
}

void scan(const std::vector<std::string>& messages, const linkscan::Settings& settings,
          const linkscan::Suffixes& suffixes, Tally& tally) {
  auto start = std::chrono::steady_clock::now();
  for (const std::string& message : messages) {
    linkscan::LinkHosts found =
        linkscan::findLinkHosts(message, settings.limits, suffixes, settings.skipDomains);
    tally.messages++;
    tally.bytes += message.size();
    tally.withLinks += !found.hosts.empty();
    tally.hosts += found.hosts.size();
    tally.cut += found.moreHosts;
  }
  tally.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void printRow(const char* name, const Tally& t) {
  auto number = [](size_t count) {
    return static_cast<double>(count);
  };
  double messages = number(t.messages);
  std::printf("| %-16s | %8zu | %9.1f %% | %10.2f | %9.1f %% | %10.0f | %8.1f |\n", name,
              t.messages, 100.0 * number(t.withLinks) / messages, number(t.hosts) / messages,
              100.0 * number(t.cut) / messages, messages / t.seconds,
              number(t.bytes) / t.seconds / (1024 * 1024));
}

} // namespace

int main(int argc, char** argv) {
  std::string corpus =
      (fs::path(argv[0]).parent_path() / "spam-assassin-corpus/package/data").string();
  if (argc == 3 && std::string(argv[1]) == "--corpus") {
    corpus = argv[2];
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: %s [--corpus DATA_DIR]\n", argv[0]);
    return 2;
  }
  linkscan::Settings settings;
  linkscan::parseSettings(linkscan::defaultSettingsText(), settings);
  linkscan::Suffixes suffixes;
  std::printf("| %-16s | %-8s | %-11s | %-10s | %-11s | %-10s | %-8s |\n", "messages", "count",
              "with links", "hosts/msg", "over limit", "msg/s", "MB/s");
  std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(18, '-').c_str(),
              std::string(10, '-').c_str(), std::string(13, '-').c_str(),
              std::string(12, '-').c_str(), std::string(13, '-').c_str(),
              std::string(12, '-').c_str(), std::string(10, '-').c_str());
  if (fs::exists(corpus)) {
    std::vector<std::string> spam, ham;
    for (const char* group : {"easy-ham-1", "easy-ham-2", "hard-ham-1", "spam-1", "spam-2"}) {
      for (const auto& entry : fs::directory_iterator(corpus + "/" + group)) {
        if (entry.path().extension() == ".txt") {
          (std::string(group).starts_with("spam") ? spam : ham)
              .push_back(readFile(entry.path().string()));
        }
      }
    }
    Tally spamTally, hamTally;
    scan(spam, settings, suffixes, spamTally);
    scan(ham, settings, suffixes, hamTally);
    printRow("corpus spam", spamTally);
    printRow("corpus ham", hamTally);
  } else {
    std::fprintf(stderr, "No corpus at %s (bench/bayes_bench unpacks it)\n", corpus.c_str());
  }
  // Hostile bodies of the largest size the scanner reads.
  size_t size = settings.limits.bodyBytes;
  std::string head = "Subject: x\r\nContent-Type: text/html\r\n\r\n";
  std::vector<std::pair<const char*, std::string>> hostile = {
      {"angle brackets", head + std::string(size, '<')},
      {"entities", head + std::string(size / 2, '&') + std::string(size / 2, '#')},
      {"one long name", "Subject: x\r\n\r\n" + std::string(size - 4, 'a') + ".com"},
  };
  std::string links = "Subject: x\r\n\r\n", names = links;
  while (links.size() < size) {
    links += "http://" + std::to_string(links.size()) + ".example.com/ ";
    names += "http://b\xc3\xbc" + std::to_string(names.size()) + ".example/ ";
  }
  hostile.push_back({"distinct links", links});
  hostile.push_back({"intl. names", names});
  for (const auto& [name, message] : hostile) {
    Tally tally;
    std::vector<std::string> many(200, message);
    scan(many, settings, suffixes, tally);
    printRow(name, tally);
  }
  return 0;
}
