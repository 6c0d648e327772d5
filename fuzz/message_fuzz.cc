// Feeds arbitrary bytes as a POP3 message through the header filters, the
// rewriting and the padding, and checks what every message must come out as:
// whole header fields, one X-Kestrelmail line, and exactly the announced size.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "filter/dnsbl.h"
#include "filter/pipeline.h"
#include "filter/session_record.h"
#include "filter/tagging.h"
#include "fuzz_support.h"
#include "message/message.h"

namespace {

km::ConfigRef fuzzConfig(bool tagAsSuffix) {
  auto config = std::make_shared<km::Config>();
  config->whitelistEmail = {"*@white.example", "a*b@*"};
  config->blacklistEmail = {"*@black.example", "*x*"};
  config->whitelistIp = {{{10, 0, 0, 0}, {10, 255, 255, 255}}};
  config->blacklistIp = {{{1, 0, 0, 0}, {100, 255, 255, 255}}, {{1, 2, 3, 4}, {1, 2, 3, 4}}};
  config->whitelistEmailIndex = km::PatternIndex(config->whitelistEmail);
  config->blacklistEmailIndex = km::PatternIndex(config->blacklistEmail);
  config->whitelistIpIndex = km::NetblockIndex(config->whitelistIp);
  config->blacklistIpIndex = km::NetblockIndex(config->blacklistIp);
  config->tagSubject = true;
  config->verdictInSubject = true;
  config->tagAsSuffix = tagAsSuffix;
  return config;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  km::fuzz::prepareFuzzing();
  static km::PortConfig port = [] {
    km::PortConfig pop3;
    pop3.type = km::PortType::Pop3Generic;
    return pop3;
  }();
  static km::SessionRecord* session = [] {
    auto* record = new km::SessionRecord;
    km::CreateSessionRecord(*record, fuzzConfig(false), port, {127, 0, 0, 1});
    return record;
  }();
  // The first input byte chooses the tag's place.
  static const km::ConfigRef prefixTagging = fuzzConfig(false);
  static const km::ConfigRef suffixTagging = fuzzConfig(true);
  session->config = size > 0 && (data[0] & 1) != 0 ? suffixTagging : prefixTagging;

  std::string_view raw(reinterpret_cast<const char*>(data), size);
  km::FetchRecord fetch;
  fetch.expectedSize = static_cast<int64_t>(size);
  km::MessagePtr message = km::CreateMessage(session->config, session, fetch);
  while (!raw.empty()) {
    size_t end = raw.find("\r\n");
    size_t length = end == std::string_view::npos ? raw.size() : end + 2;
    km::AppendHeaderData(*message, raw.substr(0, length), true);
    raw.remove_prefix(length);
    if (message->headerLines.back() == "\r\n") {
      km::RemoveHeaderLine(*message, message->headerLines.size(), true);
      message->headersComplete = true;
      km::AppendBody(*message, raw, true);
      break;
    }
  }
  km::FilterHeaders(*message, nullptr);
  km::waitForDnsblResults(*message, nullptr);
  km::withdrawMessage(*message);
  km::RewriteBody(*message, nullptr, true, nullptr);
  km::RewriteHeaders(*message, 0, nullptr);
  int64_t target = fetch.expectedSize + km::MaxBytesToAdd(*session->config, fetch.expectedSize);
  km::PadToSize(*message, 0, target);
  km::StringSink sink;
  km::SendMessage(*message, 0, &sink, false, nullptr);
  if (sink.text.size() != km::MessageSize(*message)) {
    __builtin_trap();
  }
  // The label line comes on top of any the message brought along.
  auto labelLines = [](const std::vector<std::string>& lines) {
    return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
      return line.starts_with("X-Kestrelmail:");
    });
  };
  const auto& lines = message->headerLines;
  if (static_cast<int64_t>(km::MessageSize(*message)) != target ||
      labelLines(lines) != labelLines(message->pristineHeaderLines) + 1 ||
      std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return !line.ends_with("\r\n") || line.find('\0') != std::string::npos;
      })) {
    __builtin_trap();
  }
  return 0;
}
