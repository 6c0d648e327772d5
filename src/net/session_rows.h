// The status window's table of connections: one row per running session, seven
// text columns. Sessions take a row as they start and give it back as they end;
// the window (and tests) read a copy.
//
// State: the row table, under its own mutex, taken for single operations and never
// while another lock is taken inside it; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ipv4.h"

namespace km {

class LineSocket;

enum SessionColumn : int {
  kColumnConnection = 0,
  kColumnProtocol = 1,
  kColumnServer = 2,
  kColumnUser = 3,
  kColumnCommand = 4,
  kColumnProgress = 5,
  kColumnStatus = 6,
};
inline constexpr size_t kSessionColumns = 7;

struct SessionRow {
  bool inUse = false;
  // A row whose session has ended stays visible until then (tickCountMs); 0 while
  // its session runs.
  uint64_t removeAtMs = 0;
  std::array<std::string, kSessionColumns> columns;
  // The session's connections, so that the window can show or end them.
  LineSocket* client = nullptr;
  LineSocket* upstream = nullptr;
};

// Takes a free row (or a new one) showing the client address; returns its number.
int addSessionRow(const Ipv4Address& clientAddress);
void setRowSockets(int row, LineSocket* client, LineSocket* upstream);
// Setting the command column also sets the calling thread's command, and the status
// column its status, in its thread record.
void setRowText(int row, int column, std::string_view text);
// Clears the row and frees it for the next session.
void removeSessionRow(int row);
// As removeSessionRow, after `delayMs`: an ended session's row stays visible a
// moment without its thread having to wait for it. The row forgets its sockets
// at once.
void removeSessionRowAfter(int row, unsigned delayMs);

std::vector<SessionRow> sessionRows();

} // namespace km
