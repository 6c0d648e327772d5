// Holds the place of the DNSBL query engine until it is built: no list answers and
// nothing waits, so no address is looked up and no host name resolved. Relays on
// the IP black list already count: each is kept as an immediate positive answer for
// its message and applied to the verdict when the session collects the outcome,
// exactly as the engine applies its black-list hits.
#include <algorithm>
#include <string>
#include <vector>

#include "filter/dnsbl.h"
#include "filter/dnsbl_lock.h"
#include "filter/verdict.h"
#include "message/message.h"

namespace km {

namespace {

struct BlacklistHit {
  const Message* message = nullptr;
  int32_t source = 0;
  std::string sourceText;
  Ipv4Address ip{};
};

// The answered black-list hits, by message, under the DNSBL lock.
std::vector<BlacklistHit>& blacklistHits() {
  static std::vector<BlacklistHit> hits;
  return hits;
}

} // namespace

void queueDnsblQueries(const Ipv4Address&, int32_t, std::string_view, Message&, const Config&) {}

void queueHostLookup(std::string_view, int32_t, std::string_view, Message&, bool) {}

void queueBlacklistHit(const Ipv4Address& ip, int32_t source, std::string_view sourceText,
                       Message& message) {
  RecursiveGuard guard(dnsblLock());
  blacklistHits().push_back(BlacklistHit{&message, source, std::string(sourceText), ip});
}

bool hasOpenQueries(const Message&) {
  return false;
}

void waitForDnsblResults(Message& message, ProgressDisplay*) {
  RecursiveGuard guard(dnsblLock());
  for (const BlacklistHit& hit : blacklistHits()) {
    Verdict& verdict = message.verdict;
    if (hit.message != &message || verdict.isSpam || verdict.isWhitelisted) {
      continue;
    }
    verdict.isSpam = 1;
    setVerdictEvidence(verdict, hit.source, KM_REASON_BLIST_IP, hit.sourceText);
    std::copy(hit.ip.begin(), hit.ip.end(), verdict.ip);
  }
}

void withdrawMessage(Message& message) {
  RecursiveGuard guard(dnsblLock());
  std::erase_if(blacklistHits(), [&](const BlacklistHit& hit) { return hit.message == &message; });
}

} // namespace km
