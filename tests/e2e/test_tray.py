"""The tray icon on a desktop: Kestrelmail under Xvfb with a StatusNotifierItem
watcher of the test's own on a private D-Bus session bus. The test reads the icon
and the menu the program exports, and clicks a menu item the way a panel does."""

import os
import shutil
import socket
import subprocess
import threading
import unittest

from kestrel import Kestrel, Workspace, wait_for
from peers import free_port, wait_for_port

try:
    import dbus
    import dbus.service
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib
except ImportError:  # the test is skipped below
    dbus = None

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"
PROPERTIES = "org.freedesktop.DBus.Properties"


def desktop_available():
    return dbus is not None and all(shutil.which(p) for p in ("Xvfb", "dbus-daemon"))


class PrivateDesktop:
    """A session bus and an X display of the test's own."""

    def __init__(self):
        self.bus = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--print-address=1"],
            stdout=subprocess.PIPE, text=True)
        self.bus_address = self.bus.stdout.readline().strip()
        read, write = os.pipe()
        self.x = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp",
                                   "-screen", "0", "800x600x24"], pass_fds=(write,),
                                  stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as numbers:
            self.display = ":" + numbers.readline().strip()

    def environment(self):
        # NO_AT_BRIDGE: the toolkit starts no accessibility bus of its own.
        return {"DISPLAY": self.display, "DBUS_SESSION_BUS_ADDRESS": self.bus_address,
                "XDG_CURRENT_DESKTOP": "test", "NO_AT_BRIDGE": "1"}

    def close(self):
        for process in (self.x, self.bus):
            process.terminate()
            process.wait(timeout=10)
        self.bus.stdout.close()


if dbus is not None:
    class Watcher(dbus.service.Object):
        """The panel's side: items register here."""

        def __init__(self, connection):
            self.items = []
            dbus.service.Object.__init__(self, connection, "/StatusNotifierWatcher")

        @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
        def RegisterStatusNotifierItem(self, service, sender=None):
            self.items.append((str(sender), str(service)))
            self.StatusNotifierItemRegistered(sender + service)

        @dbus.service.method(WATCHER, in_signature="s")
        def RegisterStatusNotifierHost(self, service):
            pass

        @dbus.service.signal(WATCHER, signature="s")
        def StatusNotifierItemRegistered(self, service):
            pass

        @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
        def Get(self, interface, name):
            return self.GetAll(interface)[name]

        @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
        def GetAll(self, interface):
            return {"IsStatusNotifierHostRegistered": True, "ProtocolVersion": dbus.Int32(0),
                    "RegisteredStatusNotifierItems": dbus.Array(
                        [s + p for s, p in self.items], signature="s")}


def menu_items(layout):
    """(id, label) of every item of a dbusmenu layout, depth first."""
    found = []
    identity, properties, children = layout
    if "label" in properties:
        found.append((int(identity), str(properties["label"])))
    for child in children:
        found.extend(menu_items(child))
    return found


@unittest.skipUnless(desktop_available(), "needs Xvfb, dbus-daemon, python3-dbus and python3-gi")
class TrayIcon(unittest.TestCase):

    def setUp(self):
        self.desktop = PrivateDesktop()
        # Queries go through a connection of their own; the watcher's connection
        # is served by a GLib loop on a thread.
        self.query = dbus.bus.BusConnection(self.desktop.bus_address)
        DBusGMainLoop(set_as_default=True)
        self.serving = dbus.bus.BusConnection(self.desktop.bus_address)
        self.name = dbus.service.BusName(WATCHER, self.serving)
        self.watcher = Watcher(self.serving)
        self.loop = GLib.MainLoop()
        self.loop_thread = threading.Thread(target=self.loop.run, daemon=True)
        self.loop_thread.start()
        self.pop3_port = free_port()
        self.ws = Workspace()
        self.ws.write("config.dat", "IS_FIRST_RUN NO\nCREATE_DEFAULT_IMAP4_PORT NO\n"
                      "WEB_INTERFACE_PORT %d\nPORT %d\nPORT_TYPE POP3_GENERIC\n\n"
                      % (free_port(), self.pop3_port))
        self.kestrel = Kestrel(self.ws, tray_icon=True, env=self.desktop.environment())
        wait_for_port(self.pop3_port)

    def tearDown(self):
        exit_code = self.kestrel.stop()
        stderr = self.kestrel.stderr()
        self.loop.quit()
        self.loop_thread.join(timeout=10)
        self.watcher.remove_from_connection()
        del self.name
        self.serving.close()
        self.query.close()
        self.desktop.close()
        self.ws.remove()
        # The icon goes away with the program, which ends cleanly.
        self.assertEqual(exit_code, 0, stderr)

    def item(self):
        wait_for(lambda: self.watcher.items, what="the tray icon to register")
        sender, path = self.watcher.items[0]
        return self.query.get_object(sender, path if path.startswith("/") else
                                     "/StatusNotifierItem")

    def icon(self, item):
        return str(item.Get(ITEM, "IconName", dbus_interface=PROPERTIES))

    def menu(self, item):
        path = item.Get(ITEM, "Menu", dbus_interface=PROPERTIES)
        return self.query.get_object(item.bus_name, path)

    def labels(self, menu):
        _, layout = menu.GetLayout(0, -1, dbus.Array([], signature="s"), dbus_interface=MENU)
        return menu_items(layout)

    def test_the_icon_shows_the_states_and_the_menu_switches_filtering(self):
        item = self.item()
        self.assertEqual(self.icon(item), "kestrelmail-110")
        theme = str(item.Get(ITEM, "IconThemePath", dbus_interface=PROPERTIES))
        self.assertTrue(os.path.exists(os.path.join(theme, "kestrelmail-114.svg")), theme)
        menu = self.menu(item)
        labels = [label for _, label in self.labels(menu)]
        for expected in ("Status", "Add to white list", "Add to black list", "Options",
                         "Disable filtering", "Check for updates now", "About", "Exit"):
            self.assertIn(expected, labels)

        # A client connected: the three busy frames take turns; it leaves: normal.
        seen = set()
        with socket.create_connection(("127.0.0.1", self.pop3_port)) as client:
            client.recv(100)
            wait_for(lambda: seen.add(self.icon(item)) or len(seen & {
                "kestrelmail-111", "kestrelmail-112", "kestrelmail-113"}) >= 2,
                what="the busy animation")
        wait_for(lambda: self.icon(item) == "kestrelmail-110", what="the normal icon again")

        # The filtering switch in the menu, clicked as a panel clicks it.
        switch = [i for i, label in self.labels(menu) if label == "Disable filtering"][0]
        menu.Event(switch, "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0),
                   dbus_interface=MENU)
        wait_for(lambda: self.icon(item) == "kestrelmail-114", what="the disabled icon")
        wait_for(lambda: "FILTERING_DISABLED YES" in self.ws.read("config.dat"),
                 what="config.dat")
        wait_for(lambda: "Enable filtering" in [l for _, l in self.labels(menu)],
                 what="the switch's new label")


if __name__ == "__main__":
    unittest.main()
