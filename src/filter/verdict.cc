#include "filter/verdict.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/text.h"

namespace km {

// Plug-ins read and change the record in place.
static_assert(sizeof(Verdict) == 64);
static_assert(offsetof(Verdict, source) == 12);
static_assert(offsetof(Verdict, sourceText) == 20);
static_assert(offsetof(Verdict, pattern) == 32);
static_assert(offsetof(Verdict, ip) == 48);

namespace {

std::string boundedText(const char* field, size_t size) {
  return std::string(field, ::strnlen(field, size));
}

void storeBounded(char* field, size_t size, std::string_view text) {
  size_t length = std::min(text.size(), size - 1);
  std::memset(field, 0, size);
  if (length > 0) {
    std::memcpy(field, text.data(), length);
  }
}

} // namespace

void setVerdictEvidence(Verdict& verdict, int32_t source, int32_t reason,
                        std::string_view sourceText) {
  std::memset(reinterpret_cast<char*>(&verdict) + offsetof(Verdict, source), 0,
              sizeof(Verdict) - offsetof(Verdict, source));
  verdict.source = source;
  verdict.reason = reason;
  if (source == KM_SOURCE_OTHER) {
    storeBounded(verdict.sourceText, sizeof verdict.sourceText, sourceText);
  }
}

std::string verdictSourceText(const Verdict& verdict) {
  return boundedText(verdict.sourceText, sizeof verdict.sourceText);
}

std::string verdictPatternText(const Verdict& verdict) {
  return boundedText(verdict.pattern.text, sizeof verdict.pattern.text);
}

void setVerdictPatternText(Verdict& verdict, std::string_view text) {
  storeBounded(verdict.pattern.text, sizeof verdict.pattern.text, text);
}

std::string VerdictLabel(bool isSpam, const Verdict& verdict) {
  std::string label = isSpam ? "SPAM" : "PASS";
  if (verdict.source == KM_SOURCE_DNSBL_TIMEOUT) {
    return (label + " TIME-OUT " + verdictPatternText(verdict)).substr(0, kLongestVerdictLabel);
  }
  std::string listName;
  switch (verdict.reason) {
  case KM_REASON_BLIST_EMAIL:
  case KM_REASON_BLIST_IP:
    label += " BLIST";
    break;
  case KM_REASON_WLIST_EMAIL:
  case KM_REASON_WLIST_IP:
    label += " WLIST";
    break;
  case KM_REASON_AWLIST_EMAIL:
  case KM_REASON_AWLIST_IP:
    label += " A-WLIST";
    break;
  case KM_REASON_DNSBL:
    listName = verdict.pattern.entry != nullptr ? verdict.pattern.entry : "";
    break;
  case KM_REASON_OTHER:
    label += " " + verdictPatternText(verdict);
    break;
  default:
    break;
  }
  switch (verdict.reason) {
  case KM_REASON_BLIST_EMAIL:
  case KM_REASON_WLIST_EMAIL:
  case KM_REASON_AWLIST_EMAIL:
    label += " EMAIL";
    break;
  case KM_REASON_BLIST_IP:
  case KM_REASON_WLIST_IP:
  case KM_REASON_AWLIST_IP:
  case KM_REASON_DNSBL:
    label +=
        formatText(" %d.%d.%d.%d", {verdict.ip[0], verdict.ip[1], verdict.ip[2], verdict.ip[3]});
    break;
  default:
    break;
  }
  if (verdict.source == KM_SOURCE_BODY) {
    label += " BODY";
  } else if (verdict.source == KM_SOURCE_OTHER) {
    label += " " + verdictSourceText(verdict);
  }
  if (verdict.reason == KM_REASON_DNSBL) {
    // A long list name gives way to the address and the source.
    size_t room = kLongestVerdictLabel - std::min(kLongestVerdictLabel, label.size() + 1);
    listName.resize(std::min(listName.size(), room));
    while (!listName.empty() && listName.back() == ' ') {
      listName.pop_back();
    }
    label.insert(4, " " + listName);
  }
  return label.substr(0, kLongestVerdictLabel);
}

} // namespace km
