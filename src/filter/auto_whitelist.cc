#include "filter/auto_whitelist.h"

#include <algorithm>

#include "config/config.h"
#include "config/data_dir.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/notifier.h"
#include "platform/text.h"
#include "platform/text_ids.h"

namespace km {

namespace {

// Splits text into its non-empty lines; any control byte ends a line.
template <typename OnLine> void forEachLine(const std::string& text, OnLine onLine) {
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || static_cast<unsigned char>(text[i]) < 32) {
      if (i > start) {
        onLine(std::string_view(text).substr(start, i - start));
      }
      start = i + 1;
    }
  }
}

bool writeListFile(const std::string& name, const std::string& text) {
  std::string path = dataPath(name);
  File file = openFileRetrying(path, "w");
  bool ok = file && std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
  ok = closeFile(file) && ok;
  if (!ok) {
    int failure = lastErrorNumber();
    showMessage(languageText(kTextErrorTitle),
                formatText(languageText(kTextAutoWhitelistUnwritable), {path, errorText(failure)}),
                NoticeIcon::Exclamation);
  }
  return ok;
}

} // namespace

void loadAutoWhitelistFiles(Config& config) {
  if (std::optional<std::string> text = readWholeFile(dataPath("auto_wlist_from.dat"))) {
    forEachLine(*text, [&](std::string_view line) { config.autoWlistFrom.emplace_back(line); });
  }
  if (std::optional<std::string> text = readWholeFile(dataPath("auto_wlist_ip.dat"))) {
    forEachLine(*text, [&](std::string_view line) {
      Ipv4Address address;
      if (parseIpv4(line, address)) {
        config.autoWlistIp.push_back(address);
      }
    });
  }
}

std::optional<std::string> IsAutoWhiteAddress(const Config& config, std::string_view address) {
  RecursiveGuard guard(configLock());
  for (const std::string& entry : config.autoWlistFrom) {
    if (equalsIgnoreCase(entry, address)) {
      return entry;
    }
  }
  return std::nullopt;
}

bool IsAutoWhiteIp(const Config& config, const Ipv4Address& ip) {
  RecursiveGuard guard(configLock());
  return std::find(config.autoWlistIp.begin(), config.autoWlistIp.end(), ip) !=
         config.autoWlistIp.end();
}

bool SaveAutoWhitelists() {
  RecursiveGuard guard(configLock());
  ConfigRef config = AcquireConfig();
  if (!config) {
    return false;
  }
  std::string senders;
  for (const std::string& address : config->autoWlistFrom) {
    senders += address + "\n";
  }
  std::string relays;
  for (const Ipv4Address& address : config->autoWlistIp) {
    relays += ipToString(address) + "\n";
  }
  bool sendersSaved = writeListFile("auto_wlist_from.dat", senders);
  bool relaysSaved = writeListFile("auto_wlist_ip.dat", relays);
  return sendersSaved && relaysSaved;
}

void feedAutoWhitelisting(const Message&) {}

void WhitelistAddressNow(std::string_view, std::string_view, const Config&) {}

} // namespace km
