// The application shell: start-up, the main loop and shutdown, in their fixed order.
//
//   app.h           (this file) program entry, the exit path, the shut-down wait
//   command_line.h  findOption and the program's options
//
// The main thread's loop (posted calls, descriptors, timers, quit) is
// platform/main_loop.h: the listeners below use it too.
//   tray.h          the tray icon model, the busy animation and the menu commands
#pragma once

namespace km {

// Runs the program: start-up, the main loop, shutdown. Returns the exit code.
int runKestrelmail(int argc, const char* const* argv);

// The exit path: waits for the sessions to end, then posts the quit message.
void exitProgram();

// Raises the stop flag and waits while proxy sessions or an update check run, dispatching posted
// calls every 100 ms and asking about every ten seconds whether to stop waiting.
void waitForThreads();

// Connects the layers: installs the hooks through which the lower layers reach
// the ones above them (the proxies' session entry points, the tray's busy
// animation). Start-up calls it first; tests that run sessions call it too.
void installLayerHooks();

// False when the program was started with "-trayicon none".
bool trayIconWanted();

} // namespace km
