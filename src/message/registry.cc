// The message registry that lets plug-ins reach a message by its handle, and the
// list of live sessions.
#include <algorithm>
#include <unordered_map>
#include <vector>

#include "message/message.h"
#include "net/session_rows.h"
#include "platform/thread_records.h"

namespace km {

namespace {

// Every live message by handle. Handles start at 1 and are never reused.
struct MessageRegistry {
  uint32_t lastHandle = 0;
  std::unordered_map<uint32_t, PluginMessageContext*> contexts;
};

MessageRegistry& registry() {
  static MessageRegistry instance;
  return instance;
}

// Every live session record, and the counter session handles are drawn from; under
// the registry lock.
struct SessionList {
  uint32_t lastHandle = 0;
  std::vector<SessionRecord*> records;
};

SessionList& sessionList() {
  static SessionList list;
  return list;
}

} // namespace

void ThreadStatusProgress::show(std::string_view text) {
  setThreadStatus(text);
}

void RowProgress::show(std::string_view text) {
  if (row_ >= 0) {
    setRowText(row_, kColumnStatus, text);
  }
}

std::mutex& registryLock() {
  static std::mutex lock;
  return lock;
}

MessagePtr registerMessage(ConfigRef config) {
  MessagePtr message(new Message);
  PluginMessageContext& context = message->pluginContext;
  context.config = std::move(config);
  context.verdictPtr = &message->verdict;
  context.message = message.get();
  std::lock_guard guard(registryLock());
  MessageRegistry& table = registry();
  message->handle = ++table.lastHandle;
  context.contextHandle = message->handle;
  table.contexts[message->handle] = &context;
  return message;
}

void DestroyMessage(Message* message) {
  if (message == nullptr) {
    return;
  }
  if (message->beforeRelease != nullptr) {
    message->beforeRelease(*message);
  }
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

namespace {

std::vector<MessageProperty>* propertiesOf(uint32_t handle) {
  auto& contexts = registry().contexts;
  auto found = contexts.find(handle);
  return found == contexts.end() ? nullptr : &found->second->properties;
}

auto findProperty(std::vector<MessageProperty>& properties, std::string_view name) {
  return std::find_if(properties.begin(), properties.end(),
                      [name](const MessageProperty& property) { return property.name == name; });
}

} // namespace

void setMessageProperty(uint32_t handle, std::string_view name, int32_t value) {
  std::lock_guard guard(registryLock());
  if (std::vector<MessageProperty>* properties = propertiesOf(handle)) {
    auto found = findProperty(*properties, name);
    if (found != properties->end()) {
      found->value = value;
    } else {
      properties->push_back(MessageProperty{std::string(name), value});
    }
  }
}

void removeMessageProperty(uint32_t handle, std::string_view name) {
  std::lock_guard guard(registryLock());
  if (std::vector<MessageProperty>* properties = propertiesOf(handle)) {
    auto found = findProperty(*properties, name);
    if (found != properties->end()) {
      properties->erase(found);
    }
  }
}

int32_t messageProperty(uint32_t handle, std::string_view name) {
  std::lock_guard guard(registryLock());
  if (std::vector<MessageProperty>* properties = propertiesOf(handle)) {
    auto found = findProperty(*properties, name);
    if (found != properties->end()) {
      return found->value;
    }
  }
  return 0;
}

int32_t messageProtocol(const Message& message) {
  return message.protocol;
}

SessionLog* messageSessionLog(const Message& message) {
  return message.sessionLog;
}

void logMessage(Message& message, LogLevel level, int textId,
                std::initializer_list<FormatArg> args) {
  if (message.sessionLog != nullptr) {
    logMessageText(*message.sessionLog, message.log, level, textId, args);
  }
}

uint32_t enlistSession(SessionRecord* record) {
  std::lock_guard guard(registryLock());
  SessionList& list = sessionList();
  list.records.push_back(record);
  return ++list.lastHandle;
}

void delistSession(SessionRecord* record) {
  std::lock_guard guard(registryLock());
  auto& records = sessionList().records;
  auto found = std::find(records.begin(), records.end(), record);
  if (found != records.end()) {
    *found = records.back();
    records.pop_back();
  }
}

bool anySessionActive() {
  std::lock_guard guard(registryLock());
  return !sessionList().records.empty();
}

} // namespace km
