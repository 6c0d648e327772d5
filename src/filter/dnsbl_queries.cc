#include "filter/dnsbl_queries.h"

#include <algorithm>
#include <cctype>

#include "config/plugin_table.h"
#include "message/message.h"
#include "platform/text.h"

namespace km {

namespace {

bool aboutOneAddress(const DnsblQuery& query) {
  return query.type == DnsblQueryType::DnsblName || query.type == DnsblQueryType::BlacklistHit;
}

// Whether a plug-in of any waiting message's configuration wants every answer.
bool pluginsWantAllAnswers(const DnsblQuery& query) {
  return std::any_of(query.waiters.begin(), query.waiters.end(), [](const DnsblWaiter& waiter) {
    if (waiter.message == nullptr) {
      return false;
    }
    const ConfigRef& config = waiter.message->pluginContext.config;
    return config && (pluginCapabilityWord(*config, 3) & kCapabilitiesWantingAllAnswers) != 0;
  });
}

int32_t urgency(const DnsblQuery& query) {
  int32_t most = 1;
  for (const DnsblWaiter& waiter : query.waiters) {
    most = std::max(most, waiter.evidence.source);
  }
  return most;
}

// The passes of pickQuery, in order.
bool inPass(const DnsblQuery& query, int pass) {
  switch (pass) {
  case 0:
    return query.kind == DnsblQueryKind::HostName;
  case 1:
    return query.kind == DnsblQueryKind::Whitelisting && query.type == DnsblQueryType::HostCheck;
  case 2:
    return query.kind == DnsblQueryKind::Provider;
  case 3:
    return query.kind == DnsblQueryKind::Whitelisting;
  default:
    return true;
  }
}
constexpr int kPasses = 5;

} // namespace

uint32_t dnsblQueryHash(DnsblQueryType type, DnsblQueryKind kind, std::string_view name) {
  uint32_t hash = static_cast<uint32_t>(type) + static_cast<uint32_t>(kind);
  for (char c : name) {
    hash += static_cast<uint8_t>(std::tolower(static_cast<unsigned char>(c)));
  }
  return hash;
}

std::string dnsblQueryName(const Ipv4Address& ip, std::string_view zone) {
  return formatText("%d.%d.%d.%d.%s", {ip[3], ip[2], ip[1], ip[0], zone});
}

bool sameQuery(const DnsblQuery& a, const DnsblQuery& b) {
  if (a.hash != b.hash || a.type != b.type || a.kind != b.kind || a.name != b.name) {
    return false;
  }
  // A black-list hit has no name: the address tells hits apart.
  if (a.type == DnsblQueryType::BlacklistHit) {
    return a.ip == b.ip;
  }
  return a.type != DnsblQueryType::HostCheck || a.addresses == b.addresses;
}

bool answers(const DnsblQuery& a, const DnsblQuery& b, bool countUnfinished, bool sameTypeAllowed) {
  if (a.state == DnsblQueryState::Negative || &a == &b) {
    return false;
  }
  if (a.open() && !countUnfinished) {
    return false;
  }
  if (!sameTypeAllowed && a.type == b.type) {
    return false;
  }
  if (aboutOneAddress(a) && aboutOneAddress(b) && a.ip == b.ip &&
      (a.kind == DnsblQueryKind::Provider ||
       (a.kind == DnsblQueryKind::Whitelisting && b.kind != DnsblQueryKind::Provider) ||
       (a.kind == DnsblQueryKind::Listing && b.kind == DnsblQueryKind::Listing))) {
    return true;
  }
  if (a.type == DnsblQueryType::HostCheck &&
      (a.kind == DnsblQueryKind::Whitelisting || a.kind == DnsblQueryKind::Listing) &&
      b.kind == DnsblQueryKind::Listing) {
    return true;
  }
  return a.kind == DnsblQueryKind::Listing && b.kind == DnsblQueryKind::HostName &&
         !pluginsWantAllAnswers(a) && !pluginsWantAllAnswers(b);
}

DnsblQuery* pickQuery(const DnsblQueryTable& table, uint32_t random) {
  int32_t top = 0;
  for (const auto& query : table) {
    if (query->state == DnsblQueryState::Queued) {
      top = std::max(top, urgency(*query));
    }
  }
  if (top == 0) {
    return nullptr;
  }
  for (int pass = 0; pass < kPasses; ++pass) {
    std::vector<DnsblQuery*> candidates;
    uint64_t totalWeight = 0;
    for (const auto& query : table) {
      if (query->state == DnsblQueryState::Queued && inPass(*query, pass) &&
          urgency(*query) == top) {
        candidates.push_back(query.get());
        totalWeight += query->weight;
      }
    }
    if (candidates.empty()) {
      continue;
    }
    DnsblQuery* chosen = candidates.front();
    if (candidates.size() > 1) {
      uint64_t draw = random % totalWeight;
      uint64_t runningSum = 0;
      for (DnsblQuery* candidate : candidates) {
        runningSum += candidate->weight;
        if (runningSum >= draw) {
          chosen = candidate;
          break;
        }
      }
    }
    chosen->state = DnsblQueryState::Resolving;
    return chosen;
  }
  return nullptr;
}

} // namespace km
