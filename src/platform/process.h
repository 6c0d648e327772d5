// Other processes: the running ones as /proc lists them, ending one, and starting a
// program that outlives its starter.
#pragma once

#include <string>
#include <vector>

namespace km {

struct ProcessEntry {
  int pid = 0;
  // The file name of the program the process runs, as its command line names it
  // (the part after the last "/" or "\"). Programs run through a loader such as
  // wine are named by the program they were given.
  std::string executableName;
};

// Every process this user may see, except the calling one.
std::vector<ProcessEntry> listProcesses();

// Whether the process has the file open (the file names compared as given).
bool processHasFileOpen(int pid, const std::string& path);

// Asks the process to end (SIGTERM), waits up to `waitMs` for it to go, and kills
// it (SIGKILL) when it has not. True when it has ended.
bool endProcess(int pid, int waitMs);

// Starts the program with the arguments in a session of its own, detached from
// the caller (no shared terminal, standard streams on /dev/null), so that it
// keeps running after the caller ends. False when it could not be started.
bool startDetachedProgram(const std::string& program, const std::vector<std::string>& arguments);

} // namespace km
