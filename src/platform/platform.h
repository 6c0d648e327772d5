// The platform layer: everything the rest of the program needs from the operating
// system, in small pieces. Nothing outside this folder includes a system header
// for files, threads, sockets, signals or dynamic libraries; the build lets this
// layer include nothing of the layers above it.
//
//   calendar.h       local dates in the user's language, days before a time
//   desktop.h        handing a file to the desktop (xdg-open)
//   errors.h         errno values, their texts, and the numeric socket error codes
//   sync.h           re-entrant locks, events, the stop flag and shut-down event
//   threads.h        detached threads with a chosen stack size, thread ids, clocks
//   files.h          buffered files opened with retries, directories, temporary files
//   descriptors.h    pipes, whole and positioned reads and writes of descriptors,
//                    bounded waits on them
//   dynamic_library.h  loading shared libraries (the plug-ins) and their symbols
//   user_dirs.h      the user's configuration folder
//   instance_lock.h  the single-instance lock
//   md5.h            MD5 digests (APOP, message digests)
//   memory.h         giving free heap memory back to the system
//   text.h           ASCII case rules, number reading, safe printf-style formatting
//   lang.h           the string table kestrelmail.lang
//   text_ids.h       the ids of its texts
//   notifier.h       message boxes and questions, with the headless implementation
//   process.h        the running processes, ending one, starting a detached program
//   random.h         random bytes from the kernel, for secrets
//   resolver.h       DNS address lookups of DNSBL names and host names
//   sockets.h        TCP sockets: listening, accepting, connecting, waits, own addresses
//   tls.h            the client side of TLS towards mail servers (OpenSSL)
//   ipv4.h           IPv4 addresses and netblocks, parsing, host entries
//   thread_records.h the status record of each worker thread; running sessions
//   main_loop.h      the main thread's loop: posted calls, descriptors, timers, quit
//   data_path.h      where the data directory is; dataPath
//   fault_signals.h  hardware faults of guarded threads, signal-safe output
#pragma once

#include "platform/calendar.h"
#include "platform/data_path.h"
#include "platform/descriptors.h"
#include "platform/desktop.h"
#include "platform/dynamic_library.h"
#include "platform/errors.h"
#include "platform/fault_signals.h"
#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/ipv4.h"
#include "platform/lang.h"
#include "platform/main_loop.h"
#include "platform/md5.h"
#include "platform/memory.h"
#include "platform/notifier.h"
#include "platform/process.h"
#include "platform/random.h"
#include "platform/resolver.h"
#include "platform/sockets.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "platform/thread_records.h"
#include "platform/threads.h"
#include "platform/tls.h"
#include "platform/user_dirs.h"
