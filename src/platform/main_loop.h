// The main thread's loop, standing in for the hidden main window and its message
// queue: it runs calls posted by other threads, reacts to readable descriptors
// (the listening sockets), fires timers, turns SIGTERM/SIGINT into the exit path
// and SIGHUP into a configuration reload, notices resume from suspend, and ends on
// the quit message.
#pragma once

#include <functional>

namespace km {

struct MainLoopHandlers {
  std::function<void()> onExitRequested; // SIGTERM, SIGINT
  std::function<void()> onHangup;        // SIGHUP
  std::function<void()> onResume;        // the machine woke from suspend
};

// Prepares the loop. Blocks SIGTERM, SIGINT and SIGHUP in the calling thread (and
// so in every thread started later) so that only the loop receives them. Call on
// the main thread before any other thread starts.
bool initMainLoop(MainLoopHandlers handlers);

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread (and every thread it
// starts later); the loop reads them once it runs.
void blockLoopSignals();

// Runs until the quit message; returns the exit code it carries. A quit posted
// before the loop runs ends it at once.
int runMainLoop();

// Posts the quit message with an exit code; the first one posted counts.
void postQuitMessage(int exitCode);
bool quitMessagePosted();

// Runs `call` on the main thread (from any thread).
void postMainThreadCall(std::function<void()> call);

// Runs the calls waiting in the queue; used by waits on the main thread so that
// threads waiting for the main thread are not blocked.
void dispatchPendingCalls();

// Calls `onReadable` on the main thread whenever the descriptor is readable.
void watchReadable(int fd, std::function<void()> onReadable);
void unwatchReadable(int fd);

// Repeating timers identified by a number; setting a running timer restarts it.
void setTimer(int timerId, unsigned intervalMs, std::function<void()> onTimer);
void killTimer(int timerId);
bool timerActive(int timerId);

// Closes the loop's descriptors and forgets its state (shutdown; tests).
void closeMainLoop();

} // namespace km
