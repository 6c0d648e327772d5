#include "ui/shell.h"

#include <mutex>

#include "config/config.h"

namespace km {

namespace {

std::mutex hooksLock;

ShellHooks& installedHooks() {
  static ShellHooks hooks;
  return hooks;
}

ShellHooks currentHooks() {
  std::lock_guard guard(hooksLock);
  return installedHooks();
}

} // namespace

void setShellHooks(ShellHooks hooks) {
  std::lock_guard guard(hooksLock);
  installedHooks() = std::move(hooks);
}

ShellState shellState() {
  ShellHooks hooks = currentHooks();
  if (hooks.state) {
    return hooks.state();
  }
  ShellState state;
  ConfigRef config = AcquireConfig();
  state.filteringDisabled = config && config->filteringDisabled;
  return state;
}

bool runShellCommand(int commandId) {
  ShellHooks hooks = currentHooks();
  return hooks.command && hooks.command(commandId);
}

} // namespace km
