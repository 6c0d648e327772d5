// Helpers of the Bayesian plug-in's tests: temporary folders and made-up mail.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace bayes::test {

// A fresh folder under the temporary folder, removed with its contents at the end.
class TempFolder {
public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "bayes-test-XXXXXX").string();
    path_ = std::string(mkdtemp(pattern.data())) + "/";
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; } // ends in "/"

private:
  std::string path_;
};

inline void writeText(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

// A plain message; `n` makes its Message-ID and wording distinct.
inline std::string spamMessage(int n) {
  return "From: \"Best Deals\" <offers" + std::to_string(n) +
         "@cheap-pills.example>\r\n"
         "To: you@example.org\r\n"
         "Subject: Cheap pills, huge discount " +
         std::to_string(n) +
         "\r\n"
         "Message-ID: <spam" +
         std::to_string(n) +
         "@cheap-pills.example>\r\n"
         "\r\n"
         "Buy viagra now! Limited offer, order today and save money. "
         "Click http://www.cheap-pills.example/order now. Unsubscribe anytime.\r\n";
}

inline std::string hamMessage(int n) {
  return "From: Alice Example <alice@example.org>\r\n"
         "To: team@example.org\r\n"
         "Subject: Project meeting agenda " +
         std::to_string(n) +
         "\r\n"
         "Message-ID: <ham" +
         std::to_string(n) +
         "@example.org>\r\n"
         "\r\n"
         "Hello team, the agenda for tomorrow's meeting: review the build, "
         "the release schedule and the test results. Regards, Alice\r\n";
}

} // namespace bayes::test
