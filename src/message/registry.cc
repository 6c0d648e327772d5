// Creating and releasing messages, and the registry that lets plug-ins reach a
// message by its handle.
#include <unordered_map>

#include "filter/dnsbl.h"
#include "filter/plugin_calls.h"
#include "filter/session_record.h"
#include "message/message.h"
#include "net/thread_records.h"

namespace km {

namespace {

constexpr int64_t kDefaultBodyFilterLimit = 65536;

// Every live message by handle. Handles start at 1 and are never reused.
struct MessageRegistry {
  uint32_t lastHandle = 0;
  std::unordered_map<uint32_t, PluginMessageContext*> contexts;
};

MessageRegistry& registry() {
  static MessageRegistry instance;
  return instance;
}

int64_t bodyFilterLimit(const SessionRecord* session, const FetchRecord& fetch) {
  if (session == nullptr || session->portConfig == nullptr) {
    return kDefaultBodyFilterLimit;
  }
  const PortConfig& port = *session->portConfig;
  switch (session->info.protocol) {
  case KM_PROTOCOL_POP3:
    return int64_t{fetch.isRetr ? port.pop3.bodyKRetr : port.pop3.bodyKTop} * 1024;
  case KM_PROTOCOL_IMAP4:
    return int64_t{port.imap4.bodyK} * 1024;
  case KM_PROTOCOL_SMTP:
    return int64_t{port.smtp.bodyK} * 1024;
  default:
    return kDefaultBodyFilterLimit;
  }
}

} // namespace

void ThreadStatusProgress::show(std::string_view text) {
  setThreadStatus(text);
}

std::mutex& registryLock() {
  static std::mutex lock;
  return lock;
}

MessagePtr CreateMessage(ConfigRef config, SessionRecord* session, FetchRecord& fetch) {
  MessagePtr message(new Message);
  message->session = session;
  message->fetch = &fetch;
  PluginMessageContext& context = message->pluginContext;
  context.config = std::move(config);
  context.verdictPtr = &message->verdict;
  context.message = message.get();
  {
    std::lock_guard guard(registryLock());
    MessageRegistry& table = registry();
    message->handle = ++table.lastHandle;
    context.contextHandle = message->handle;
    table.contexts[message->handle] = &context;
  }
  fetch.pristineBodySize = 0;
  fetch.workingBodySize = 0;
  fetch.bodyFilterLimit = bodyFilterLimit(session, fetch);
  if (messageProtocol(*message) == KM_PROTOCOL_SMTP) {
    fetch.expectedSize = 0;
  }
  pluginsFetchStart(*message);
  return message;
}

void DestroyMessage(Message* message) {
  if (message == nullptr) {
    return;
  }
  withdrawMessage(*message);
  pluginsFetchEnd(*message);
  {
    std::lock_guard guard(registryLock());
    registry().contexts.erase(message->handle);
  }
  delete message;
}

void MessageDestroyer::operator()(Message* message) const {
  DestroyMessage(message);
}

PluginMessageContext* LookupMessage(uint32_t handle) {
  std::lock_guard guard(registryLock());
  auto& contexts = registry().contexts;
  auto found = contexts.find(handle);
  return found == contexts.end() ? nullptr : found->second;
}

int32_t messageProtocol(const Message& message) {
  return message.session == nullptr ? 0 : message.session->info.protocol;
}

SessionLog* messageSessionLog(const Message& message) {
  return message.session == nullptr ? nullptr : &message.session->log;
}

void logMessage(Message& message, int level, int textId, std::initializer_list<FormatArg> args) {
  if (message.session != nullptr) {
    logMessageText(message.session->log, message.log, level, textId, args);
  }
}

} // namespace km
