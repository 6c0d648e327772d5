#include "filter/session_record.h"

#include <algorithm>
#include <vector>

#include "filter/dnsbl.h"
#include "filter/filtering_statistics.h"
#include "filter/plugin_calls.h"
#include "filter/received_tracking.h"
#include "message/message.h"
#include "platform/text_ids.h"
#include "platform/thread_records.h"

namespace km {

namespace {

constexpr int64_t kDefaultBodyFilterLimit = 65536;

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

void releaseMessage(Message& message) {
  withdrawMessage(message);
  pluginsFetchEnd(message);
}

const char* protocolName(int32_t protocol) {
  switch (protocol) {
  case KM_PROTOCOL_POP3:
    return "POP3";
  case KM_PROTOCOL_IMAP4:
    return "IMAP4";
  case KM_PROTOCOL_SMTP:
    return "SMTP";
  default:
    return "(unknown)";
  }
}

} // namespace

int32_t protocolOfPort(const PortConfig& port) {
  switch (port.type) {
  case PortType::Pop3Specific:
  case PortType::Pop3Generic:
    return KM_PROTOCOL_POP3;
  case PortType::Imap4Specific:
  case PortType::Imap4Generic:
    return KM_PROTOCOL_IMAP4;
  case PortType::SmtpSpecific:
    return KM_PROTOCOL_SMTP;
  default:
    return 0;
  }
}

void setSessionServerName(SessionRecord& record, std::string_view name) {
  record.serverName = name;
  record.info.serverName = record.serverName.c_str();
}

void setSessionUserName(SessionRecord& record, std::string_view name) {
  record.userName = name;
  record.info.userName = record.userName.c_str();
}

void CreateSessionRecord(SessionRecord& record, ConfigRef config, const PortConfig& port,
                         const Ipv4Address& clientAddress) {
  uint32_t handle = enlistSession(&record);
  record.registered = true;
  setSessionHandle(static_cast<int32_t>(handle));
  record.config = std::move(config);
  record.portConfig = &port;
  record.info = KmSessionInfo{};
  bool boundToServer = port.type == PortType::Pop3Specific || port.type == PortType::Imap4Specific;
  setSessionServerName(record, boundToServer ? port.serverName : std::string());
  setSessionUserName(record, {});
  record.info.protocol = protocolOfPort(port);
  record.info.sessionHandle = handle;
  std::copy(clientAddress.begin(), clientAddress.end(), record.info.clientAddress);
  record.info.hostVersion = KM_HOST_INTERFACE_VERSION;
  record.info.callbacks = pluginCallbacksB();
  record.info.portConfig = &port;
  if (record.config) {
    startSessionLog(record.log, logSettingsOf(*record.config));
  }
  record.messagesFiltered = 0;
  record.messagesSpam = 0;
  record.messagesWhitelisted = 0;
}

SessionRecord::SessionRecord(ConfigRef sessionConfig, const PortConfig& port,
                             const Ipv4Address& clientAddress) {
  CreateSessionRecord(*this, std::move(sessionConfig), port, clientAddress);
}

SessionRecord::~SessionRecord() {
  FinishSessionRecord(*this);
}

void FinishSessionRecord(SessionRecord& record) {
  if (!record.registered) {
    return;
  }
  record.registered = false;
  endSessionLog(record.log);
  if (record.releaseProtocolItems) {
    record.releaseProtocolItems();
    record.releaseProtocolItems = nullptr;
  }
  delistSession(&record);
  saveFilteringStatistics();
}

void SessionStarted(SessionRecord& record) {
  if (record.config) {
    record.pluginUses = PluginUses(*record.config);
  }
  const uint8_t* client = record.info.clientAddress;
  logSessionText(record.log, LogLevel::Basic, kTextLogSessionStart,
                 {record.portConfig == nullptr ? 0 : record.portConfig->listenPort,
                  protocolName(record.info.protocol), client[0], client[1], client[2], client[3]});
  if (record.config) {
    pluginsSessionStart(*record.config, record.info);
  }
}

void SessionEnded(SessionRecord& record) {
  if (record.config) {
    pluginsSessionEnd(*record.config, record.info);
  }
  logSessionText(record.log, LogLevel::Basic, kTextLogSessionEnd,
                 {record.messagesFiltered, record.messagesSpam, record.messagesWhitelisted});
  SaveReceivedTracking();
  record.pluginUses.release();
}

MessagePtr CreateMessage(ConfigRef config, SessionRecord* session, FetchRecord& fetch) {
  MessagePtr message = registerMessage(std::move(config));
  message->session = session;
  message->protocol = session == nullptr ? 0 : session->info.protocol;
  message->sessionLog = session == nullptr ? nullptr : &session->log;
  message->fetch = &fetch;
  message->beforeRelease = releaseMessage;
  fetch.pristineBodySize = 0;
  fetch.workingBodySize = 0;
  fetch.bodyFilterLimit = bodyFilterLimit(session, fetch);
  if (message->protocol == KM_PROTOCOL_SMTP) {
    fetch.expectedSize = 0;
  }
  pluginsFetchStart(*message);
  return message;
}

} // namespace km
