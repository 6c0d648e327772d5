// The program's pages: a small HTTP server on 127.0.0.1 that shows the status
// (sessions, tray state, statistics) and changes the program (filtering, lists,
// options, welcome) from a browser on this machine.
//
// It refuses requests whose Host header names anything but the loopback address
// or "localhost" with its port (a page of another site whose name was made to
// point here gets nothing), and every request but the pages' own files must carry
// the per-run token: the start-up address "http://127.0.0.1:PORT/?token=..."
// (printed and written to web_interface.txt in the data directory, private to the
// user) hands the browser the token, which the pages then send with each request.
// Questions and notices of the program appear in the pages while one is open.
//
// State: the one running server, under its own mutex; started and stopped on the
// main thread, served on threads of its own.
#pragma once

#include <string>

namespace km {

struct WebInterfaceStart {
  bool serving = false;
  int port = 0;        // the port it listens on
  std::string address; // the address with the token
  // Lines for the user: why the configured port was not used, or why nothing
  // is served.
  std::string trouble;
};

// Starts serving on 127.0.0.1 at the port (0 serves nothing). When the port is
// taken, the server takes a free port instead and says so. Installs the pages'
// notifier as the program's notifier while it serves.
WebInterfaceStart startWebInterface(int port);

// Stops serving; the headless notifier takes over again.
void stopWebInterface();

// The address with the token while serving, else empty.
std::string webInterfaceAddress();

} // namespace km
