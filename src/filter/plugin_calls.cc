#include "filter/plugin_calls.h"

#include <algorithm>
#include <cstring>

#include "diag/error_report.h"
#include "filter/verdict.h"
#include "message/message.h"
#include "message/pipe_pumps.h"
#include "platform/descriptors.h"
#include "platform/sync.h"
#include "platform/text_ids.h"
#include "platform/thread_records.h"

namespace km {

std::string pluginStatusName(int installedIndex) {
  if (auto getName =
          reinterpret_cast<KmGetPluginText>(FindExport(installedIndex, "getPluginName"))) {
    PluginCallScope scope(installedIndex, "getPluginName");
    if (const char* name = getName()) {
      return name;
    }
  }
  return installedPluginName(installedIndex);
}

HeaderLineArray::HeaderLineArray(const std::vector<std::string>& lines) {
  pointers_.reserve(lines.size());
  for (const std::string& line : lines) {
    pointers_.push_back(line.c_str());
  }
}

void logVerdictChange(Message& message, const Verdict& before, int installedIndex,
                      std::string_view call) {
  const Verdict& after = message.verdict;
  std::string name = installedPluginName(installedIndex);
  if (before.isWhitelisted && !after.isWhitelisted) {
    logMessage(message, LogLevel::Verbose, kTextLogPluginRemovedWhitelisting, {name, call});
  }
  if (after.isWhitelisted && !before.isWhitelisted) {
    logMessage(message, LogLevel::Verbose, kTextLogPluginWhitelisted, {name, call});
  } else if (after.isSpam && !before.isSpam) {
    logMessage(message, LogLevel::Verbose, kTextLogPluginMarkedSpam, {name, call});
  } else if (before.isSpam && !after.isSpam) {
    logMessage(message, LogLevel::Verbose, kTextLogPluginClearedSpam, {name, call});
  }
}

BodyForPlugin::BodyForPlugin(Message& message, bool pristine, int installedIndex,
                             std::string_view function)
    : message_(message), installedIndex_(installedIndex), function_(function) {
  const BodyCopy& body = bodyOf(message, pristine);
  if (body.storageType == BodyStorage::InFile) {
    rewindFile(body.file.get());
    handle_ = body.file.get();
    return;
  }
  UniqueFd writeEnd;
  if (!createPipe(readEnd_, writeEnd)) {
    reportSystemError({}, messageSessionLog(message));
    return;
  }
  handle_ = readEnd_.get();
  streamed_ = true;
  StartBodyWriter(message, std::move(writeEnd), pristine);
}

BodyForPlugin::~BodyForPlugin() {
  if (streamed_) {
    // Closing first lets a writer still blocked on a plug-in that stopped reading
    // fail and end.
    readEnd_.reset();
    logPipeTransfer(message_, FinishBodyWriter(), installedIndex_, function_);
  }
}

void logPipeTransfer(Message& message, PipeTransfer outcome, int installedIndex,
                     std::string_view function) {
  if (outcome == PipeTransfer::Abandoned) {
    logMessage(message, LogLevel::Minimal, kTextLogPluginPipeAbandoned,
               {installedPluginName(installedIndex), function, kPipeDrainLimitMs / 1000});
  }
}

void pluginsFetchStart(Message& message) {
  forEachPluginExport<KmFetchEvent>(
      *message.pluginContext.config, "fetchStart", nullptr, [&](const auto& plugin) {
        PluginCallScope scope(plugin.installedIndex, "fetchStart");
        plugin.function(message.handle, &message.verdict, plugin.data);
      });
}

void pluginsFetchEnd(Message& message) {
  forEachPluginExport<KmFetchEvent>(
      *message.pluginContext.config, "fetchEnd", nullptr, [&](const auto& plugin) {
        PluginCallScope scope(plugin.installedIndex, "fetchEnd");
        plugin.function(message.handle, &message.verdict, plugin.data);
      });
}

void pluginsSessionStart(const Config& config, const KmSessionInfo& session) {
  forEachPluginExport<KmSessionEvent>(config, "sessionStart", nullptr, [&](const auto& plugin) {
    PluginCallScope scope(plugin.installedIndex, "sessionStart");
    plugin.function(&session, plugin.data);
  });
}

void pluginsSessionEnd(const Config& config, const KmSessionInfo& session) {
  forEachPluginExport<KmSessionEvent>(config, "sessionEnd", nullptr, [&](const auto& plugin) {
    PluginCallScope scope(plugin.installedIndex, "sessionEnd");
    plugin.function(&session, plugin.data);
  });
}

void pluginsHousekeeping(const Config& config) {
  forEachPluginExport<KmHousekeeping>(config, "housekeeping", nullptr, [&](const auto& plugin) {
    // The plug-in may poll the flag while it works and stop early when the program
    // is closing.
    PluginCallScope scope(plugin.installedIndex, "housekeeping");
    plugin.function(plugin.data, stopFlagWord());
  });
}

std::string collectPluginTexts(Message& message, const char* exportName) {
  constexpr size_t kInitialSize = 1024;
  // A plug-in that answers consistently fits after one growth; one that keeps
  // asking for more than it was given is not asked forever.
  constexpr int kMostCalls = 3;
  std::string buffer(kInitialSize, '\0');
  size_t used = 0;
  forEachPluginExport<KmFillBuffer>(
      *message.pluginContext.config, exportName, nullptr, [&](const auto& plugin) {
        PluginCallScope scope(plugin.installedIndex, exportName);
        for (int call = 0; call < kMostCalls; ++call) {
          size_t free = buffer.size() - used;
          int32_t needed = plugin.function(message.handle, &message.verdict, plugin.data,
                                           buffer.data() + used, static_cast<int32_t>(free));
          if (needed <= 0) {
            return;
          }
          if (needed > kLongestPluginText) {
            logMessage(message, LogLevel::Minimal, kTextLogPluginAbsurdSize,
                       {installedPluginName(plugin.installedIndex), needed, exportName});
            return;
          }
          if (static_cast<size_t>(needed) <= free) {
            // The answer counts the terminating NUL; the text itself must end
            // within it, whatever the plug-in wrote.
            used += ::strnlen(buffer.data() + used, static_cast<size_t>(needed) - 1);
            return;
          }
          buffer.resize(buffer.size() + static_cast<size_t>(needed));
        }
      });
  buffer.resize(used);
  return buffer;
}

} // namespace km
