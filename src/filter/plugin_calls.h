// Calling the enabled plug-ins of a configuration from the message model, the
// filter pipeline and the rewriting. Plug-ins are called in the order the
// configuration enables them; a disabled plug-in and a missing export are skipped.
// Every call is bracketed in the calling thread's status record, so that a crash
// inside a plug-in names it. While no plug-in is enabled nothing here calls
// anything.
#pragma once

#include <kestrelmail/plugin.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "config/plugin_table.h"
#include "message/message.h"
#include "message/pipe_pumps.h"

namespace km {

// One flag per enabled plug-in of the message's configuration, in order.
using PluginFlags = std::vector<uint8_t>;

// An enabled plug-in that offers the export looked for.
template <typename Function> struct PluginExport {
  size_t position = 0; // in the configuration's enabled list
  int installedIndex = -1;
  KmPluginData data = nullptr;
  Function function = nullptr;
};

// Calls `use` with each enabled plug-in of the configuration that exports `name`,
// in order; with flags, only the plug-ins whose flag is set.
template <typename Function, typename Use>
void forEachPluginExport(const Config& config, const char* name, const PluginFlags* flags,
                         Use use) {
  for (size_t i = 0; i < config.enabledPlugins.size(); ++i) {
    if (flags != nullptr && (i >= flags->size() || (*flags)[i] == 0)) {
      continue;
    }
    const EnabledPlugin& plugin = config.enabledPlugins[i];
    // The data first: loading it takes the snapshot's use of the library.
    KmPluginData data = pluginDataOf(plugin);
    if (void* found = FindExport(plugin.installedIndex, name)) {
      use(PluginExport<Function>{i, plugin.installedIndex, data,
                                 reinterpret_cast<Function>(found)});
    }
  }
}

// How progress texts name a plug-in: its getPluginName text, else its file name.
std::string pluginStatusName(int installedIndex);

// Header lines as plug-ins receive them: an array of NUL-terminated texts that
// stays valid while the lines are not changed.
class HeaderLineArray {
public:
  explicit HeaderLineArray(const std::vector<std::string>& lines);
  const char* const* lines() const { return pointers_.data(); }
  int32_t count() const { return static_cast<int32_t>(pointers_.size()); }

private:
  std::vector<const char*> pointers_;
};

// At log level 3 and above, tells what a plug-in call (written out as `call`, for
// example "filterOnHost(mail.example.com)") changed in the verdict.
void logVerdictChange(Message& message, const Verdict& before, int installedIndex,
                      std::string_view call);

// Calls a plug-in function that may change the verdict (`call` makes the call),
// then logs what it changed; `callText` writes the call out for the log.
template <typename Call>
void callFilterPlugin(Message& message, int installedIndex, std::string_view function,
                      std::string_view callText, Call call);

// A readable descriptor of a message body for a plug-in's `function`: the body's
// own file, rewound, or the read end of a pipe the body writer fills. Ending the
// transfer closes the pipe and waits for the writer; a writer that had to be
// abandoned is logged.
class BodyForPlugin {
public:
  BodyForPlugin(Message& message, bool pristine, int installedIndex, std::string_view function);
  ~BodyForPlugin();
  BodyForPlugin(const BodyForPlugin&) = delete;
  BodyForPlugin& operator=(const BodyForPlugin&) = delete;
  int handle() const { return handle_; }

private:
  Message& message_;
  int installedIndex_;
  std::string function_;
  int handle_ = -1;
  bool streamed_ = false;
  UniqueFd readEnd_;
};

// Logs that a pipe transfer of a plug-in's `function` was abandoned (the plug-in
// left its end open), when it was.
void logPipeTransfer(Message& message, PipeTransfer outcome, int installedIndex,
                     std::string_view function);

// The fetch of a message begins and ends (fetchStart, fetchEnd).
void pluginsFetchStart(Message& message);
void pluginsFetchEnd(Message& message);

// The session begins and ends (sessionStart, sessionEnd).
void pluginsSessionStart(const Config& config, const KmSessionInfo& session);
void pluginsSessionEnd(const Config& config, const KmSessionInfo& session);

// The callback tables plug-ins receive: table A with every filter call, table B in
// the session information (filter/plugin_callbacks.cc).
const KmCallbacksA* pluginCallbacksA();
const KmCallbacksB* pluginCallbacksB();

// The message fingerprint plug-ins ask for: the MD5 digest, as 32 lower-case hex
// digits, of the pristine Message-ID, From and Date fields (from their colon on),
// or failing those of every other header line except Subject and X- lines, each
// control character written as "_". Empty when there is nothing to digest.
std::string messageFingerprint(const Message& message);

// The most a plug-in may add through getMessageBodyPrefix, getAddedHeaderLines and
// getMaxBytesToAdd; a larger answer is taken for a fault, logged, and left out.
inline constexpr int32_t kLongestPluginText = 1 << 20;

// Periodic housekeeping of every plug-in.
void pluginsHousekeeping(const Config& config);

// A buffer that plug-ins fill one after another (body prefixes, added header
// lines): each export answers the bytes it needs including the NUL; while that
// exceeds the free part, the buffer grows by the answer and the call is repeated.
std::string collectPluginTexts(Message& message, const char* exportName);

template <typename Call>
void callFilterPlugin(Message& message, int installedIndex, std::string_view function,
                      std::string_view callText, Call call) {
  Verdict before = message.verdict;
  {
    PluginCallScope scope(installedIndex, function);
    call();
  }
  logVerdictChange(message, before, installedIndex, callText);
}

} // namespace km
