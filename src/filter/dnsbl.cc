// The DNSBL query engine: one table of distinct lookups, each with the messages that
// wait for it, and a pool of worker threads that resolve them. Workers start when
// more queries wait than idle workers can take and leave after 2 to 4 seconds
// without work. Everything here runs under the DNSBL lock, which is never held
// during a lookup.
#include "filter/dnsbl.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <random>

#include "config/plugin_table.h"
#include "diag/crash_report.h"
#include "diag/error_report.h"
#include "filter/dnsbl_cache.h"
#include "filter/dnsbl_lock.h"
#include "filter/dnsbl_queries.h"
#include "filter/dnsbl_statistics.h"
#include "filter/pipeline.h"
#include "filter/verdict.h"
#include "message/message.h"
#include "platform/errors.h"
#include "platform/lang.h"
#include "platform/resolver.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "platform/thread_records.h"
#include "platform/threads.h"

namespace km {

namespace {

// Workers call into plug-ins when a host name resolves, so they get a real stack.
constexpr size_t kWorkerStackSize = 256 * 1024;
constexpr unsigned kIdleTimeoutBaseMs = 2048;
constexpr unsigned kIdleTimeoutSpreadMs = 2048;
constexpr auto kStopCheckInterval = std::chrono::milliseconds(250);
constexpr unsigned kWaitPollMs = 50;
constexpr uint64_t kStatusIntervalMs = 500;
// One attempt waits no longer than the sessions wait for the answer, and never
// longer than this, so that shutdown waits for no worker for long.
constexpr int kLongestAttemptSeconds = 5;
constexpr int kLookupAttempts = 2;
constexpr const char* kBlacklistKey = "BLIST";
constexpr const char* kHostNamePattern = "HOSTNAME";

struct DnsblEngine {
  DnsblQueryTable queries; // in submission order
  int queued = 0;
  int workers = 0;
  int idle = 0;
  Event wakeUp{Event::Reset::Automatic};
  // Counts finished lookups, so that waiting sessions look again as soon as an
  // answer arrives instead of at their next poll.
  std::mutex answerLock;
  std::condition_variable answered;
  uint64_t answers = 0;
};

// Never destroyed: a worker that finishes a lookup while the program ends must
// still find the table.
DnsblEngine& engine() {
  static DnsblEngine* const instance = new DnsblEngine;
  return *instance;
}

const Config& configOf(const Message& message) {
  static const Config defaults;
  const ConfigRef& config = message.pluginContext.config;
  return config ? *config : defaults;
}

bool waitsOn(const DnsblQuery& query, const Message* message) {
  return std::any_of(query.waiters.begin(), query.waiters.end(),
                     [message](const DnsblWaiter& waiter) { return waiter.message == message; });
}

const DnsblWaiter* waiterOf(const DnsblQuery& query, const Message* message) {
  for (const DnsblWaiter& waiter : query.waiters) {
    if (waiter.message == message) {
      return &waiter;
    }
  }
  return nullptr;
}

// The message's queries, in table order.
std::vector<DnsblQuery*> queriesOf(const Message* message) {
  std::vector<DnsblQuery*> found;
  for (const auto& query : engine().queries) {
    if (waitsOn(*query, message)) {
      found.push_back(query.get());
    }
  }
  return found;
}

// Frees every query that no message waits for and no worker resolves.
void freeUnusedQueries() {
  DnsblEngine& e = engine();
  std::erase_if(e.queries, [&e](const std::unique_ptr<DnsblQuery>& query) {
    if (!query->waiters.empty() || query->state == DnsblQueryState::Resolving) {
      return false;
    }
    if (query->state == DnsblQueryState::Queued) {
      --e.queued;
    }
    return true;
  });
}

// Removes from `target` the waiters of every message that also waits on `answer`.
void dropWaitersAnsweredBy(DnsblQuery& target, const DnsblQuery& answer) {
  std::erase_if(target.waiters,
                [&answer](const DnsblWaiter& waiter) { return waitsOn(answer, waiter.message); });
}

// The redundancy rule, with the query as the waiting side: its waiters whose
// messages have their answer from a finished query go.
void dropRedundantAsWaiter(DnsblQuery& query) {
  for (const auto& other : engine().queries) {
    if (answers(*other, query, false, true)) {
      dropWaitersAnsweredBy(query, *other);
    }
  }
}

// The redundancy rule, with a positive query as the answering side.
void dropRedundantAsAnswer(const DnsblQuery& query) {
  if (query.state != DnsblQueryState::Positive || query.waiters.empty()) {
    return;
  }
  for (const auto& other : engine().queries) {
    if (answers(query, *other, false, true)) {
      dropWaitersAnsweredBy(*other, query);
    }
  }
}

const std::string& outcomeText(bool positive) {
  return languageText(positive ? kTextDnsblListed : kTextDnsblNotListed);
}

void logAnswer(DnsblWaiter& waiter, const DnsblQuery& query, const AddressLookup& found) {
  Message& message = *waiter.message;
  if (found.error != 0 || found.addresses.empty()) {
    logMessage(message, LogLevel::Extreme, kTextLogDnsblNoAnswer, {query.name});
    return;
  }
  const ResolvedAddress& first = found.addresses.front();
  logMessage(message, LogLevel::Extreme, kTextLogDnsblAnswer,
             {query.name, first[0], first[1], first[2], first[3],
              outcomeText(query.state == DnsblQueryState::Positive)});
}

void logAndDeliver(DnsblQuery& query, const AddressLookup& found) {
  for (DnsblWaiter& waiter : query.waiters) {
    if (!waiter.delivered) {
      waiter.delivered = true;
      logAnswer(waiter, query, found);
    }
  }
}

bool anyOf(const std::vector<ResolvedAddress>& returned, const std::vector<Ipv4Address>& wanted) {
  return std::any_of(returned.begin(), returned.end(), [&wanted](const ResolvedAddress& address) {
    return std::find(wanted.begin(), wanted.end(), address) != wanted.end();
  });
}

// Whether the answer lists the address: the list (looked up by key in the current
// configuration) takes any answer without result codes, else one of its codes.
bool listedByAnswer(std::string_view listKey, const std::vector<ResolvedAddress>& returned) {
  RecursiveGuard guard(configLock());
  ConfigRef config = AcquireConfig();
  if (!config) {
    return false;
  }
  for (const DnsblList& list : config->dnsblLists) {
    if (equalsIgnoreCase(list.key, listKey)) {
      return list.resultCodes.empty() || anyOf(returned, list.resultCodes);
    }
  }
  return false;
}

// Each resolved address of a host name is checked as a relay of every waiting
// message. The query counts as being resolved meanwhile, so that what the checks
// submit can neither free it nor take it for an answer; waiters that merge into it
// meanwhile are served in the next round.
void deliverResolvedHost(DnsblQuery& query) {
  for (;;) {
    std::vector<DnsblWaiter> round;
    for (DnsblWaiter& waiter : query.waiters) {
      if (!waiter.delivered) {
        waiter.delivered = true;
        round.push_back(waiter);
      }
    }
    if (round.empty()) {
      return;
    }
    for (const DnsblWaiter& waiter : round) {
      for (const Ipv4Address& address : query.addresses) {
        logMessage(*waiter.message, LogLevel::Verbose, kTextLogHostResolved,
                   {query.name, ipToString(address)});
        CheckIpAddress(*waiter.message, address, waiter.gather, waiter.evidence.source,
                       verdictSourceText(waiter.evidence));
      }
    }
  }
}

void processAnswer(DnsblQuery& query, const AddressLookup& found) {
  bool resolving = query.state == DnsblQueryState::Resolving;
  bool gotResult = found.error == 0 && !found.addresses.empty();
  switch (query.type) {
  case DnsblQueryType::DnsblName:
    if (resolving) {
      bool positive = gotResult && listedByAnswer(query.listKey, found.addresses);
      query.state = positive ? DnsblQueryState::Positive : DnsblQueryState::Negative;
      // A failing name service is asked again next time; only answers are kept.
      if (gotResult || found.error == wsa::kHostNotFound || found.error == wsa::kNoData) {
        cacheStore(query.ip, query.listKey, positive);
      }
      countDnsblAnswer(query.listKey, positive, tickCountMs() - query.startTick);
    }
    logAndDeliver(query, found);
    break;
  case DnsblQueryType::HostName:
    if (resolving && gotResult) {
      query.addresses = found.addresses;
      deliverResolvedHost(query);
      query.state = DnsblQueryState::Positive;
    } else {
      if (resolving) {
        query.state = DnsblQueryState::Negative;
      }
      for (DnsblWaiter& waiter : query.waiters) {
        if (!waiter.delivered) {
          waiter.delivered = true;
          logMessage(*waiter.message, LogLevel::Extreme, kTextLogHostNotResolved, {query.name});
        }
      }
    }
    break;
  case DnsblQueryType::HostCheck:
    if (resolving) {
      bool positive =
          gotResult && (query.addresses.empty() || anyOf(found.addresses, query.addresses));
      query.state = positive ? DnsblQueryState::Positive : DnsblQueryState::Negative;
    }
    logAndDeliver(query, found);
    break;
  default:
    break;
  }
  dropRedundantAsAnswer(query);
  freeUnusedQueries();
  DnsblEngine& e = engine();
  {
    std::lock_guard guard(e.answerLock);
    ++e.answers;
  }
  e.answered.notify_all();
}

uint64_t answersSoFar() {
  DnsblEngine& e = engine();
  std::lock_guard guard(e.answerLock);
  return e.answers;
}

// Sleeps one poll interval, or less when a lookup finishes meanwhile.
void waitForAnswer(uint64_t seen) {
  DnsblEngine& e = engine();
  std::unique_lock lock(e.answerLock);
  e.answered.wait_for(lock, std::chrono::milliseconds(kWaitPollMs),
                      [&e, seen] { return e.answers != seen; });
}

LookupOptions lookupOptions() {
  LookupOptions options;
  options.attempts = kLookupAttempts;
  options.timeoutSeconds = kLongestAttemptSeconds;
  RecursiveGuard guard(configLock());
  if (ConfigRef config = AcquireConfig()) {
    // A value that is no address and port leaves the system's resolvers in charge.
    options.server = parseNameServer(config->dnsblNameserver);
    options.timeoutSeconds = std::clamp(config->dnsblTimeout, 1, kLongestAttemptSeconds);
  }
  return options;
}

// Waits for the wake-up event; false when the time-out passed or the program is
// stopping first.
bool waitForWork(std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (!stopRequested()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    if (engine().wakeUp.wait(std::min(left, std::chrono::milliseconds(kStopCheckInterval)))) {
      return true;
    }
  }
  return false;
}

void workerThread() {
  std::minstd_rand random(static_cast<uint32_t>(tickCountMs() + currentThreadId()));
  auto idleTimeout =
      std::chrono::milliseconds(kIdleTimeoutBaseMs + random() % kIdleTimeoutSpreadMs);
  registerThread("DNSBL query thread");
  DnsblEngine& e = engine();
  std::unique_lock lock(dnsblLock(), std::defer_lock);
  for (;;) {
    bool woken = waitForWork(idleTimeout);
    lock.lock();
    // A query left queued after a time-out is taken as if a wake-up had come.
    if (stopRequested() || e.queued == 0) {
      if (!woken || stopRequested()) {
        break;
      }
      lock.unlock();
      continue;
    }
    setThreadStatus("Picking query");
    DnsblQuery* query = pickQuery(e.queries, static_cast<uint32_t>(random()));
    if (query != nullptr) {
      setThreadCommand(query->name);
      --e.queued;
      --e.idle;
      if (e.queued > 0) {
        e.wakeUp.set();
      }
      // The query cannot be freed while it is being resolved.
      query->startTick = tickCountMs();
      std::string name = query->name;
      bool addressLookup = query->type == DnsblQueryType::DnsblName;
      LookupOptions options = lookupOptions();
      lock.unlock();
      setThreadStatus("Calling gethostbyname");
      AddressLookup found =
          addressLookup ? lookupDnsblName(name, options) : lookupHostName(name, options);
      lock.lock();
      setThreadStatus("DNSBL query complete");
      processAnswer(*query, found);
      ++e.idle;
    }
    setThreadCommand("");
    lock.unlock();
  }
  --e.idle;
  --e.workers;
  lock.unlock();
  unregisterThread();
  sessionThreadEnded();
}

// Starts a worker when more queries are queued than idle workers can take.
void startWorkerIfNeeded(const Config& config) {
  DnsblEngine& e = engine();
  if (stopRequested() || e.workers >= config.maxDnsblThreads || e.idle >= e.queued) {
    return;
  }
  ++e.workers;
  ++e.idle;
  sessionThreadStarted();
  if (!startDetachedThread([] { runWithDnsblFaultGuard(workerThread); }, kWorkerStackSize)) {
    --e.workers;
    --e.idle;
    sessionThreadEnded();
    // The queries stay queued for the other workers; with none the user is told.
    if (e.workers == 0) {
      reportSystemError("DNSBL query thread creation", nullptr);
    }
  }
}

void submitQuery(std::unique_ptr<DnsblQuery> query, const Config& config) {
  RecursiveGuard guard(dnsblLock());
  DnsblEngine& e = engine();
  query->hash = dnsblQueryHash(query->type, query->kind, query->name);
  query->weight = 1;
  if (query->state == DnsblQueryState::Queued && query->type == DnsblQueryType::DnsblName) {
    std::optional<DnsblCounts> counts = dnsblListCounts(query->listKey);
    if (counts && counts->queries > 0) {
      query->weight = counts->listed * 100 / counts->queries + 1;
    }
  }
  DnsblQuery* target = nullptr;
  size_t firstNew = 0;
  for (const auto& existing : e.queries) {
    if (sameQuery(*existing, *query)) {
      target = existing.get();
      firstNew = target->waiters.size();
      target->waiters.insert(target->waiters.end(), query->waiters.begin(), query->waiters.end());
      break;
    }
  }
  if (target == nullptr) {
    target = query.get();
    if (target->state == DnsblQueryState::Queued) {
      ++e.queued;
    }
    e.queries.push_back(std::move(query));
  }
  if (!target->open() && !target->name.empty()) {
    for (size_t n = firstNew; n < target->waiters.size(); ++n) {
      logMessage(*target->waiters[n].message, LogLevel::Extreme, kTextLogDnsblCached,
                 {target->name, outcomeText(target->state == DnsblQueryState::Positive)});
    }
  }
  dropRedundantAsWaiter(*target);
  bool waiting = target->state == DnsblQueryState::Queued && !target->waiters.empty();
  freeUnusedQueries();
  if (waiting) {
    startWorkerIfNeeded(config);
    e.wakeUp.set();
  }
}

std::unique_ptr<DnsblQuery> newQuery(DnsblQueryKind kind, DnsblQueryType type, std::string name) {
  auto query = std::make_unique<DnsblQuery>();
  query->kind = kind;
  query->type = type;
  query->name = std::move(name);
  return query;
}

DnsblWaiter newWaiter(Message& message, int32_t source, int32_t reason,
                      std::string_view sourceText) {
  DnsblWaiter waiter;
  waiter.message = &message;
  setVerdictEvidence(waiter.evidence, source, reason, sourceText);
  return waiter;
}

void setEvidenceIp(DnsblWaiter& waiter, const Ipv4Address& ip) {
  waiter.ip = ip;
  std::copy(ip.begin(), ip.end(), waiter.evidence.ip);
}

// The evidence record, from `source` to the end, copied whole.
void copyEvidence(Verdict& verdict, const Verdict& evidence) {
  constexpr size_t kStart = offsetof(Verdict, source);
  std::memcpy(reinterpret_cast<char*>(&verdict) + kStart,
              reinterpret_cast<const char*>(&evidence) + kStart, sizeof(Verdict) - kStart);
}

// What the message still waits for, and whether a finished answer already decides.
struct WaitState {
  int open[4] = {0, 0, 0, 0}; // queued or running queries by kind
  bool hit0 = false;          // listed (or spam already)
  bool hit1 = false;          // white (or whitelisted already)
  // A listing waits for a provider list still asked about the same relay.
  bool providerPending = false;
  int total() const { return open[0] + open[1] + open[2] + open[3]; }
};

// A positive query counts unless another query of the message (finished or not,
// of another type) makes it unnecessary.
bool countsAsHit(const DnsblQuery& query, const std::vector<DnsblQuery*>& mine) {
  return std::none_of(mine.begin(), mine.end(), [&query](const DnsblQuery* other) {
    return answers(*other, query, true, false);
  });
}

WaitState waitState(const Message& message) {
  WaitState state;
  state.hit0 = message.verdict.isSpam != 0;
  state.hit1 = message.verdict.isWhitelisted != 0;
  std::vector<DnsblQuery*> mine = queriesOf(&message);
  for (const DnsblQuery* query : mine) {
    if (query->open()) {
      ++state.open[static_cast<size_t>(query->kind)];
    } else if (query->state == DnsblQueryState::Positive && countsAsHit(*query, mine)) {
      // A listing settles nothing while a provider list may still name the same
      // relay: that answer, not the order the answers came in, decides.
      bool providerOpen = std::any_of(mine.begin(), mine.end(), [query](const DnsblQuery* other) {
        return other->open() && other->kind == DnsblQueryKind::Provider &&
               answers(*other, *query, true, true);
      });
      state.hit0 = state.hit0 || (query->kind == DnsblQueryKind::Listing && !providerOpen);
      state.providerPending =
          state.providerPending || (query->kind == DnsblQueryKind::Listing && providerOpen);
      state.hit1 = state.hit1 || query->kind == DnsblQueryKind::Whitelisting;
    }
  }
  return state;
}

// Whether the open queries can still change the verdict. Provider queries alone
// keep nobody waiting.
bool settled(const WaitState& state, uint32_t capabilities) {
  bool hostNamesSettled = state.open[static_cast<size_t>(DnsblQueryKind::HostName)] == 0 ||
                          (state.hit1 && (capabilities & kCapabilityWantsAnswersWhenWhite) == 0) ||
                          (state.hit0 && (capabilities & kCapabilitiesWantingAllAnswers) == 0);
  return (state.open[static_cast<size_t>(DnsblQueryKind::Listing)] == 0 || state.hit0 ||
          state.hit1) &&
         (state.open[static_cast<size_t>(DnsblQueryKind::Whitelisting)] == 0 || state.hit1) &&
         hostNamesSettled && (!state.providerPending || state.hit1);
}

// Writes the finished positive answers into the verdict: a listing makes the message
// spam unless a provider or whitelisting query (finished or not) overrules it; a
// whitelisting answer makes it white.
void applyOutcome(Message& message) {
  Verdict& verdict = message.verdict;
  std::vector<DnsblQuery*> mine = queriesOf(&message);
  bool whitelistingOpen = std::any_of(mine.begin(), mine.end(), [](const DnsblQuery* query) {
    return query->open() && query->kind == DnsblQueryKind::Whitelisting;
  });
  for (const DnsblQuery* query : mine) {
    if (query->state != DnsblQueryState::Positive) {
      continue;
    }
    auto overruledBy = [&](auto accepts) {
      return std::any_of(mine.begin(), mine.end(), [&](const DnsblQuery* other) {
        return accepts(*other) && answers(*other, *query, true, true);
      });
    };
    const DnsblWaiter* waiter = waiterOf(*query, &message);
    if (query->kind == DnsblQueryKind::Listing) {
      if (!verdict.isSpam && !verdict.isWhitelisted && !whitelistingOpen &&
          !overruledBy([&](const DnsblQuery& other) { return other.kind != query->kind; })) {
        verdict.isSpam = 1;
        copyEvidence(verdict, waiter->evidence);
      }
    } else if (query->kind == DnsblQueryKind::Whitelisting) {
      if (!verdict.isWhitelisted && !overruledBy([](const DnsblQuery& other) {
            return other.kind == DnsblQueryKind::Provider || other.kind == DnsblQueryKind::HostName;
          })) {
        verdict.isWhitelisted = 1;
        verdict.isSpam = 0;
        copyEvidence(verdict, waiter->evidence);
      }
    }
  }
}

} // namespace

void queueDnsblQueries(const Ipv4Address& ip, int32_t source, std::string_view sourceText,
                       Message& message, const Config& config) {
  RecursiveGuard guard(dnsblLock());
  for (int index : config.enabledDnsbl) {
    if (index < 0 || static_cast<size_t>(index) >= config.dnsblLists.size()) {
      continue;
    }
    const DnsblList& list = config.dnsblLists[static_cast<size_t>(index)];
    auto query = newQuery(list.type == DnsblType::ProviderIgnore ? DnsblQueryKind::Provider
                                                                 : DnsblQueryKind::Listing,
                          DnsblQueryType::DnsblName, dnsblQueryName(ip, list.zone));
    query->ip = ip;
    query->listKey = list.key;
    DnsblWaiter waiter = newWaiter(message, source, KM_REASON_DNSBL, sourceText);
    waiter.evidence.pattern.entry = list.name.c_str();
    waiter.list = &list;
    setEvidenceIp(waiter, ip);
    query->waiters.push_back(waiter);
    switch (cacheLookup(ip, list.key)) {
    case CacheAnswer::Listed:
      query->state = DnsblQueryState::Positive;
      break;
    case CacheAnswer::NotListed:
      query->state = DnsblQueryState::Negative;
      break;
    default:
      query->state = DnsblQueryState::Queued;
    }
    submitQuery(std::move(query), config);
  }
}

void queueHostLookup(std::string_view hostName, int32_t source, std::string_view sourceText,
                     Message& message, bool gather) {
  auto query = newQuery(DnsblQueryKind::HostName, DnsblQueryType::HostName, std::string(hostName));
  DnsblWaiter waiter = newWaiter(message, source, KM_REASON_OTHER, sourceText);
  setVerdictPatternText(waiter.evidence, kHostNamePattern);
  waiter.gather = gather;
  query->waiters.push_back(waiter);
  submitQuery(std::move(query), configOf(message));
}

void queueHostCheck(Message& message, std::string_view hostName,
                    std::span<const Ipv4Address> addresses, DnsblQueryKind kind,
                    const Verdict& evidence) {
  auto query = newQuery(kind, DnsblQueryType::HostCheck, std::string(hostName));
  query->addresses.assign(addresses.begin(), addresses.end());
  DnsblWaiter waiter;
  waiter.message = &message;
  copyEvidence(waiter.evidence, evidence);
  std::copy(std::begin(evidence.ip), std::end(evidence.ip), waiter.ip.begin());
  query->waiters.push_back(waiter);
  submitQuery(std::move(query), configOf(message));
}

void queueBlacklistHit(const Ipv4Address& ip, int32_t source, std::string_view sourceText,
                       Message& message) {
  auto query = newQuery(DnsblQueryKind::Listing, DnsblQueryType::BlacklistHit, {});
  query->ip = ip;
  query->listKey = kBlacklistKey;
  query->state = DnsblQueryState::Positive;
  DnsblWaiter waiter = newWaiter(message, source, KM_REASON_BLIST_IP, sourceText);
  setEvidenceIp(waiter, ip);
  waiter.delivered = true;
  query->waiters.push_back(waiter);
  submitQuery(std::move(query), configOf(message));
}

bool hasOpenQueries(const Message& message) {
  if (message.verdict.isWhitelisted) {
    return false;
  }
  RecursiveGuard guard(dnsblLock());
  const auto& queries = engine().queries;
  return std::any_of(queries.begin(), queries.end(), [&message](const auto& query) {
    return query->open() && waitsOn(*query, &message);
  });
}

void waitForDnsblResults(Message& message, ProgressDisplay* progress) {
  if (message.verdict.isWhitelisted) {
    return;
  }
  const Config& config = configOf(message);
  uint32_t capabilities = pluginCapabilityWord(config, 3);
  uint64_t start = tickCountMs();
  uint64_t deadline = start + static_cast<uint64_t>(std::max(config.dnsblTimeout, 0)) * 1000;
  uint64_t shownAt = start;
  int shownTotal = 0;
  bool timedOut = false;
  int stillOpen = 0;
  for (;;) {
    WaitState state;
    uint64_t seen;
    {
      RecursiveGuard guard(dnsblLock());
      seen = answersSoFar();
      state = waitState(message);
    }
    stillOpen = state.total();
    if (settled(state, capabilities)) {
      break;
    }
    uint64_t now = tickCountMs();
    if (progress != nullptr && stillOpen != shownTotal && now - shownAt >= kStatusIntervalMs) {
      progress->show(formatText(languageText(kTextWaitingForDnsbl), {stillOpen}));
      shownTotal = stillOpen;
      shownAt = now;
    }
    if (now >= deadline || stopRequested()) {
      timedOut = true;
      break;
    }
    waitForAnswer(seen);
  }
  {
    RecursiveGuard guard(dnsblLock());
    applyOutcome(message);
  }
  if (timedOut) {
    setVerdictEvidence(message.verdict, KM_SOURCE_DNSBL_TIMEOUT, KM_REASON_OTHER, {});
    setVerdictPatternText(message.verdict, std::to_string(stillOpen));
  }
  if (progress != nullptr) {
    progress->show("");
  }
}

void withdrawMessage(Message& message) {
  RecursiveGuard guard(dnsblLock());
  for (const auto& query : engine().queries) {
    std::erase_if(query->waiters,
                  [&message](const DnsblWaiter& waiter) { return waiter.message == &message; });
  }
  freeUnusedQueries();
}

DnsblEngineCounts dnsblEngineCounts() {
  RecursiveGuard guard(dnsblLock());
  const DnsblEngine& e = engine();
  DnsblEngineCounts counts;
  counts.queries = e.queries.size();
  for (const auto& query : e.queries) {
    counts.waiters += query->waiters.size();
  }
  counts.queued = e.queued;
  counts.workers = e.workers;
  counts.idleWorkers = e.idle;
  return counts;
}

} // namespace km
