#include "ui/tray_icon.h"

#include <libayatana-appindicator/app-indicator.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/desktop.h"
#include "platform/sync.h"
#include "platform/threads.h"
#include "platform/user_dirs.h"
#include "ui/shell.h"
#include "ui/web_interface.h"

namespace km {

namespace {

constexpr unsigned kRefreshMs = 250;

// Everything below belongs to the icon's thread once it runs.
struct TrayIcon {
  AppIndicator* indicator = nullptr;
  GtkWidget* filteringItem = nullptr;
  GtkWidget* updateItem = nullptr;
  GMainLoop* loop = nullptr;
  int shownIcon = 0;
  bool shownDisabled = false;
};

struct Running {
  std::mutex lock;
  JoinableThread thread;
  GMainLoop* loop = nullptr;
};

Running& running() {
  static Running instance;
  return instance;
}

// The icon is a StatusNotifierItem on the session bus of a desktop.
bool graphicalSession() {
  return desktopSessionPresent() && environmentValue("DBUS_SESSION_BUS_ADDRESS").has_value();
}

// Opens one of the pages in the user's browser, logged in for this run.
void openPage(const char* page) {
  std::string address = webInterfaceAddress();
  if (!address.empty()) {
    startDetachedThread([target = address + "#" + page] { openWithDesktop(target); });
  }
}

// Commands that may ask the user run beside the menu, which stays usable.
void runCommandBeside(int commandId) {
  startDetachedThread([commandId] { runShellCommand(commandId); });
}

GtkWidget* addItem(GtkWidget* menu, const char* label, GCallback activated, gpointer data) {
  GtkWidget* item = gtk_menu_item_new_with_label(label);
  g_signal_connect(item, "activate", activated, data);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
  return item;
}

void onPage(GtkMenuItem*, gpointer page) {
  openPage(static_cast<const char*>(page));
}

void onCommand(GtkMenuItem*, gpointer command) {
  runCommandBeside(GPOINTER_TO_INT(command));
}

void onFiltering(GtkMenuItem*, gpointer) {
  runCommandBeside(shellState().filteringDisabled ? kCommandEnableFiltering
                                                  : kCommandDisableFiltering);
}

// Follows the tray's state: the icon of the moment and the filtering switch.
gboolean refresh(gpointer data) {
  TrayIcon& tray = *static_cast<TrayIcon*>(data);
  ShellState state = shellState();
  if (state.iconId != tray.shownIcon && state.iconId != 0) {
    tray.shownIcon = state.iconId;
    app_indicator_set_icon_full(tray.indicator, trayIconName(state.iconId).c_str(), "Kestrelmail");
  }
  if (state.filteringDisabled != tray.shownDisabled) {
    tray.shownDisabled = state.filteringDisabled;
    gtk_menu_item_set_label(GTK_MENU_ITEM(tray.filteringItem),
                            state.filteringDisabled ? "Enable filtering" : "Disable filtering");
  }
  gtk_widget_set_sensitive(tray.updateItem, !state.updateCheckRunning);
  return G_SOURCE_CONTINUE;
}

void buildMenu(TrayIcon& tray) {
  GtkWidget* menu = gtk_menu_new();
  addItem(menu, "Status", G_CALLBACK(onPage), const_cast<char*>("status"));
  addItem(menu, "Add to white list", G_CALLBACK(onPage), const_cast<char*>("add-white"));
  addItem(menu, "Add to black list", G_CALLBACK(onPage), const_cast<char*>("add-black"));
  addItem(menu, "Options", G_CALLBACK(onPage), const_cast<char*>("options"));
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), gtk_separator_menu_item_new());
  ShellState state = shellState();
  tray.shownDisabled = state.filteringDisabled;
  tray.filteringItem =
      addItem(menu, state.filteringDisabled ? "Enable filtering" : "Disable filtering",
              G_CALLBACK(onFiltering), nullptr);
  tray.updateItem = addItem(menu, "Check for updates now", G_CALLBACK(onCommand),
                            GINT_TO_POINTER(kCommandCheckForUpdates));
  addItem(menu, "About", G_CALLBACK(onPage), const_cast<char*>("about"));
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), gtk_separator_menu_item_new());
  addItem(menu, "Exit", G_CALLBACK(onCommand), GINT_TO_POINTER(kCommandExit));
  gtk_widget_show_all(menu);
  app_indicator_set_menu(tray.indicator, GTK_MENU(menu));
}

} // namespace

std::string trayIconName(int iconId) {
  return "kestrelmail-" + std::to_string(iconId);
}

bool startTrayIcon(const std::string& iconFolder) {
  if (!graphicalSession()) {
    return false;
  }
  std::unique_lock guard(running().lock);
  if (running().thread.started()) {
    return true;
  }
  // The toolkit starts on the icon's thread, which owns GLib's default context
  // (nothing else in the program uses it); the answer comes back through these.
  auto started = std::make_shared<Event>(Event::Reset::Manual);
  auto ok = std::make_shared<std::atomic<bool>>(false);
  bool threadStarted = running().thread.start([iconFolder, started, ok] {
    if (!gtk_init_check(nullptr, nullptr)) {
      started->set();
      return;
    }
    TrayIcon tray;
    ShellState state = shellState();
    tray.shownIcon = state.iconId != 0 ? state.iconId : 110;
    tray.indicator =
        app_indicator_new_with_path("kestrelmail", trayIconName(tray.shownIcon).c_str(),
                                    APP_INDICATOR_CATEGORY_APPLICATION_STATUS, iconFolder.c_str());
    app_indicator_set_title(tray.indicator, "Kestrelmail");
    app_indicator_set_status(tray.indicator, APP_INDICATOR_STATUS_ACTIVE);
    buildMenu(tray);
    guint timer = g_timeout_add(kRefreshMs, refresh, &tray);
    tray.loop = g_main_loop_new(nullptr, FALSE);
    {
      std::lock_guard inner(running().lock);
      running().loop = tray.loop;
    }
    *ok = true;
    started->set();
    g_main_loop_run(tray.loop);
    g_source_remove(timer);
    app_indicator_set_status(tray.indicator, APP_INDICATOR_STATUS_PASSIVE);
    g_object_unref(tray.indicator);
    g_main_loop_unref(tray.loop);
  });
  if (!threadStarted) {
    return false;
  }
  guard.unlock();
  started->wait();
  guard.lock();
  if (!*ok) {
    running().thread.join();
    return false;
  }
  return true;
}

void stopTrayIcon() {
  JoinableThread thread;
  {
    std::lock_guard guard(running().lock);
    if (running().loop) {
      // Runs on the icon's thread, inside its loop.
      g_idle_add(
          [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
          },
          running().loop);
      running().loop = nullptr;
    }
    thread = std::move(running().thread);
  }
  thread.join();
}

} // namespace km
