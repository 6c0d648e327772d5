// The filtering state of one proxy session: what plug-ins learn about the session,
// the configuration and port in use, the session's activity log and its message
// counters; and the process-wide list of live sessions.
#pragma once

#include <kestrelmail/plugin.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "config/config.h"
#include "config/plugin_table.h"
#include "diag/activity_log.h"
#include "message/message.h"
#include "platform/ipv4.h"

namespace km {

struct SessionRecord {
  // A record not yet registered: CreateSessionRecord registers it later.
  SessionRecord() = default;
  // Registered at once, as CreateSessionRecord does.
  SessionRecord(ConfigRef sessionConfig, const PortConfig& port, const Ipv4Address& clientAddress);
  // A record still registered is finished (FinishSessionRecord) when it goes; a
  // session that wants the end at a chosen moment finishes it itself.
  ~SessionRecord();
  // Plug-ins and the session list hold its address.
  SessionRecord(const SessionRecord&) = delete;
  SessionRecord& operator=(const SessionRecord&) = delete;

  // What plug-ins receive; its texts point into serverName and userName.
  KmSessionInfo info{};
  std::string serverName;
  std::string userName;
  ConfigRef config;
  // The session's uses of the plug-ins its snapshot enables, from SessionStarted to
  // SessionEnded.
  PluginUses pluginUses;
  const PortConfig* portConfig = nullptr;
  SessionLog log;
  int32_t messagesFiltered = 0;
  int32_t messagesSpam = 0;
  int32_t messagesWhitelisted = 0;
  // The proxy's own per-session items (message tables, pending messages), released
  // when the record is finished.
  std::function<void()> releaseProtocolItems;
  // Between CreateSessionRecord and FinishSessionRecord.
  bool registered = false;
};

// 1 POP3, 2 IMAP4, 3 SMTP by the port's type.
int32_t protocolOfPort(const PortConfig& port);

// Registers the record under the next session handle (also in the calling thread's
// status record), fills what plug-ins see (the server name of a port bound to one
// server, else empty; an empty user name), starts the session log when logging is
// on and zeroes the counters. The record must stay where it is until finished.
void CreateSessionRecord(SessionRecord& record, ConfigRef config, const PortConfig& port,
                         const Ipv4Address& clientAddress);

// Ends the session log, releases the protocol items, removes the record from the
// session list and saves the filtering statistics. A second call does nothing.
void FinishSessionRecord(SessionRecord& record);

// Takes the session's uses of the enabled plug-ins (which loads them and, the first
// time for the snapshot, their data and capabilities), writes the session-start log
// line, then calls the plug-ins' sessionStart.
void SessionStarted(SessionRecord& record);
// The plug-ins' sessionEnd, the session-end log line with the counters, the
// Received-line accounts saved; then the session's plug-in uses are given back.
void SessionEnded(SessionRecord& record);

// The session learns whom it serves (the POP3 USER command, a generic port's server).
void setSessionServerName(SessionRecord& record, std::string_view name);
void setSessionUserName(SessionRecord& record, std::string_view name);

// A new message of the session (the session may be null: no protocol, no log),
// registered under the next handle. Resets the body sizes of the fetch record and
// sets its body-filtering limit from the session's port (for SMTP also clears the
// running size), then tells the plug-ins that a fetch starts. When the MessagePtr
// ends, the message is withdrawn from pending DNSBL queries and the plug-ins hear
// that the fetch ends.
MessagePtr CreateMessage(ConfigRef config, SessionRecord* session, FetchRecord& fetch);

} // namespace km
