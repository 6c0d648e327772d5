#include "platform/resolver.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "platform/errors.h"

namespace km {

namespace {

// Big enough for any DNS message (UDP or TCP), so an answer is never cut short by
// our own buffer.
constexpr size_t kAnswerBufferSize = 65536;

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

std::optional<ResolvedAddress> parseDottedAddress(std::string_view text) {
  if (text.empty() || text.size() > 15) {
    return std::nullopt;
  }
  std::string copy(text);
  in_addr parsed{};
  if (inet_pton(AF_INET, copy.c_str(), &parsed) != 1) {
    return std::nullopt;
  }
  ResolvedAddress address;
  std::memcpy(address.data(), &parsed, 4);
  return address;
}

// The calling thread's resolver state: made on first use, closed when the thread
// ends. It remembers whether it was pointed at a chosen server so that a later
// lookup without one starts again from the system's configuration.
class ThreadResolver {
public:
  ThreadResolver() : answer_(kAnswerBufferSize) {}
  ~ThreadResolver() { close(); }
  ThreadResolver(const ThreadResolver&) = delete;
  ThreadResolver& operator=(const ThreadResolver&) = delete;

  bool prepare(const LookupOptions& options) {
    if (ready_ && overridden_ && !options.server) {
      close();
    }
    if (!ready_) {
      std::memset(&state_, 0, sizeof state_);
      if (res_ninit(&state_) != 0) {
        return false;
      }
      ready_ = true;
      overridden_ = false;
    }
    state_.retrans = std::max(1, options.timeoutSeconds);
    state_.retry = std::max(1, options.attempts);
    if (options.server) {
      sockaddr_in server{};
      server.sin_family = AF_INET;
      server.sin_port = htons(options.server->port);
      std::memcpy(&server.sin_addr, options.server->address.data(), 4);
      // The library notices the changed list and drops the sockets of the old one.
      state_.nsaddr_list[0] = server;
      state_.nscount = 1;
      overridden_ = true;
    }
    return true;
  }

  res_state state() { return &state_; }
  std::vector<unsigned char>& answer() { return answer_; }

private:
  void close() {
    if (ready_) {
      res_nclose(&state_);
      ready_ = false;
    }
  }

  struct __res_state state_ {};
  bool ready_ = false;
  bool overridden_ = false;
  std::vector<unsigned char> answer_;
};

ThreadResolver& threadResolver() {
  thread_local ThreadResolver resolver;
  return resolver;
}

// Names as the parser prints them, compared ignoring case and a final dot.
bool sameDomainName(std::string_view a, std::string_view b) {
  auto withoutDot = [](std::string_view name) {
    return !name.empty() && name.back() == '.' ? name.substr(0, name.size() - 1) : name;
  };
  a = withoutDot(a);
  b = withoutDot(b);
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Takes the A records out of a reply. Only records of the asked name, or of a name
// an alias (CNAME) of it leads to, count: a reply cannot slip in addresses for
// other names. Malformed messages are refused by the library's parser.
AddressLookup readAnswer(const unsigned char* reply, int length, const std::string& name) {
  ns_msg message;
  if (ns_initparse(reply, length, &message) != 0) {
    return {wsa::kNoRecovery, {}};
  }
  std::vector<std::string> owners{name};
  auto ownedName = [&owners](const char* candidate) {
    return std::any_of(owners.begin(), owners.end(), [candidate](const std::string& owner) {
      return sameDomainName(owner, candidate);
    });
  };
  AddressLookup result;
  int count = ns_msg_count(message, ns_s_an);
  for (int i = 0; i < count; ++i) {
    ns_rr record;
    if (ns_parserr(&message, ns_s_an, i, &record) != 0) {
      return {wsa::kNoRecovery, {}};
    }
    if (ns_rr_class(record) != ns_c_in || !ownedName(ns_rr_name(record))) {
      continue;
    }
    if (ns_rr_type(record) == ns_t_a && ns_rr_rdlen(record) == 4) {
      ResolvedAddress address;
      std::memcpy(address.data(), ns_rr_rdata(record), 4);
      result.addresses.push_back(address);
    } else if (ns_rr_type(record) == ns_t_cname) {
      char target[NS_MAXDNAME];
      if (ns_name_uncompress(ns_msg_base(message), ns_msg_end(message), ns_rr_rdata(record), target,
                             sizeof target) >= 0) {
        owners.emplace_back(target);
      }
    }
  }
  if (result.addresses.empty()) {
    result.error = wsa::kNoData;
  }
  return result;
}

int errorFromResolverState(res_state state) {
  int error = socketErrorFromResolver(state->res_h_errno);
  // A failed query always carries a reason; one without is still a failure.
  return error == 0 ? wsa::kNoRecovery : error;
}

} // namespace

std::optional<NameServer> parseNameServer(std::string_view text) {
  text = trimBlanks(text);
  NameServer server;
  size_t colon = text.find(':');
  std::optional<ResolvedAddress> address = parseDottedAddress(text.substr(0, colon));
  if (!address) {
    return std::nullopt;
  }
  server.address = *address;
  if (colon != std::string_view::npos) {
    std::string_view digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return std::nullopt;
    }
    int port = std::stoi(std::string(digits));
    if (port < 1 || port > 65535) {
      return std::nullopt;
    }
    server.port = static_cast<uint16_t>(port);
  }
  return server;
}

AddressLookup lookupDnsblName(std::string_view name, const LookupOptions& options) {
  if (name.empty() || name.find('\0') != std::string_view::npos || name.size() > NS_MAXDNAME) {
    return {wsa::kNoRecovery, {}};
  }
  ThreadResolver& resolver = threadResolver();
  if (!resolver.prepare(options)) {
    return {wsa::kTryAgain, {}};
  }
  std::string query(name);
  std::vector<unsigned char>& answer = resolver.answer();
  int length = res_nquery(resolver.state(), query.c_str(), ns_c_in, ns_t_a, answer.data(),
                          static_cast<int>(answer.size()));
  if (length < 0) {
    return {errorFromResolverState(resolver.state()), {}};
  }
  // The library reports the full length of an answer that did not fit.
  length = std::min(length, static_cast<int>(answer.size()));
  return readAnswer(answer.data(), length, query);
}

AddressLookup lookupHostName(std::string_view name, const LookupOptions& options) {
  if (std::optional<ResolvedAddress> literal = parseDottedAddress(trimBlanks(name))) {
    return {0, {*literal}};
  }
  if (options.server) {
    return lookupDnsblName(name, options);
  }
  if (name.empty() || name.find('\0') != std::string_view::npos) {
    return {wsa::kHostNotFound, {}};
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string host(name);
  int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (status != 0) {
    int error = socketErrorFromAddrInfo(status);
    return {error == 0 ? wsa::kNoRecovery : error, {}};
  }
  AddressLookup result;
  for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addrlen < sizeof(sockaddr_in)) {
      continue;
    }
    ResolvedAddress address;
    std::memcpy(address.data(), &reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr, 4);
    if (std::find(result.addresses.begin(), result.addresses.end(), address) ==
        result.addresses.end()) {
      result.addresses.push_back(address);
    }
  }
  freeaddrinfo(found);
  if (result.addresses.empty()) {
    result.error = wsa::kNoData;
  }
  return result;
}

} // namespace km
