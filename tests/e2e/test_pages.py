"""The program's pages: refusals at the HTTP level, and a user's tasks done in a
real headless Chromium against a running Kestrelmail with a real POP3 session
against Dovecot in progress."""

import os
import poplib
import socket
import tempfile
import threading
import time
import unittest

from kestrel import Kestrel, Workspace, wait_for
from pages import Pages, browser_available, drive, pages_address
from peers import Dovecot, free_port, wait_for_port

# Screenshots of each page go here when set (the README shows those in
# docs/screenshots); otherwise into the test's own folder.
SCREENSHOTS = os.environ.get("KESTREL_SCREENSHOT_DIR")


def start_kestrel(config):
    workspace = Workspace()
    workspace.write("config.dat", config)
    kestrel = Kestrel(workspace)
    return workspace, kestrel, Pages(pages_address(workspace))


class PagesOverHttp(unittest.TestCase):
    """Requests a page would not make, or not like this, are refused whole."""

    @classmethod
    def setUpClass(cls):
        cls.pop3_port = free_port()
        cls.web_port = free_port()
        cls.ws, cls.kestrel, cls.pages = start_kestrel(
            "IS_FIRST_RUN NO\nCREATE_DEFAULT_IMAP4_PORT NO\nWEB_INTERFACE_PORT %d\n"
            # No update check writes its time into config.dat while the tests change it.
            "Kestrelmail_UPDATES_CHECK NO\nDNSBL_UPDATES_CHECK NO\n"
            "PORT %d\nPORT_TYPE POP3_GENERIC\n\n" % (cls.web_port, cls.pop3_port))
        wait_for_port(cls.pop3_port)

    @classmethod
    def tearDownClass(cls):
        cls.kestrel.stop()
        cls.ws.remove()

    def test_serves_on_loopback_at_the_configured_port_and_says_where(self):
        self.assertEqual(self.pages.port, self.web_port)
        wait_for(lambda: self.pages.address in self.kestrel.stdout(), what="the address line")
        self.assertEqual(os.stat(self.ws.path("web_interface.txt")).st_mode & 0o077, 0)
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.2", self.web_port), timeout=5).close()

    def test_a_foreign_host_header_is_refused(self):
        for host in ("evil.example:%d" % self.web_port, "127.0.0.1", "localhost:1",
                     "127.0.0.1:%d.evil.example" % self.web_port):
            for method, path, body in (("GET", "/api/status", None), ("GET", "/", None),
                                       ("POST", "/api/command", {"command": "disable-filtering"})):
                code, _, _ = self.pages.request(method, path, body=body, headers={"Host": host})
                self.assertEqual(code, 403, (host, path))
        code, _, _ = self.pages.get("/api/status", headers={"Host": "LOCALHOST:%d" % self.web_port})
        self.assertEqual(code, 200)
        self.assertNotIn("FILTERING_DISABLED YES", self.ws.read("config.dat"))

    def test_requests_without_this_runs_token_are_refused(self):
        wrong = "0" * len(self.pages.token)
        self.assertEqual(self.pages.get("/api/status", token=False)[0], 401)
        self.assertEqual(self.pages.get("/api/status", headers={"X-Kestrel-Token": wrong})[0], 401)
        code, _, _ = self.pages.post("/api/command", {"command": "disable-filtering"}, token=False)
        self.assertEqual(code, 401)
        self.assertNotIn("FILTERING_DISABLED YES", self.ws.read("config.dat"))
        # The page itself: the start-up address sets the cookie and drops the token
        # from the address; without the cookie the page is not served.
        self.assertEqual(self.pages.get("/", token=False)[0], 401)
        self.assertEqual(self.pages.get("/?token=" + wrong, token=False)[0], 401)
        code, headers, _ = self.pages.get("/?token=" + self.pages.token, token=False)
        self.assertEqual(code, 303)
        self.assertEqual(headers["Location"], "/")
        cookie = headers["Set-Cookie"].split(";")[0]
        self.assertIn("HttpOnly", headers["Set-Cookie"])
        code, _, page = self.pages.get("/", token=False, headers={"Cookie": cookie})
        self.assertEqual(code, 200)
        self.assertIn('content="%s"' % self.pages.token, page)
        # A cross-site form can carry the cookie's name but never this origin.
        code, _, _ = self.pages.post("/api/command", {"command": "disable-filtering"},
                                     headers={"Origin": "http://evil.example"})
        self.assertEqual(code, 403)

    def test_malformed_and_oversized_bodies_change_nothing(self):
        before = self.ws.read("config.dat")
        revision = self.pages.options()["revision"]
        cases = [
            (b"x" * (2 * 1024 * 1024), "application/json", 413),
            (b"{\"revision\": ", "application/json", 400),
            (b"[1, 2]", "application/json", 400),
            (b"{\"revision\": \"%s\", \"values\": 5}" % revision.encode(), "application/json", 400),
            (b"{\"revision\": \"%s\", \"values\": {\"TAG_SUBJECT\": true}}" % revision.encode(),
             "application/json", 400),
            (b"revision=1", "application/x-www-form-urlencoded", 415),
        ]
        for raw, kind, expected in cases:
            code, _, body = self.pages.request("POST", "/api/options/settings", raw=raw,
                                               headers={"Content-Type": kind})
            self.assertEqual(code, expected, raw[:40])
            self.assertIn("error", body)
        self.assertEqual(self.pages.request("PUT", "/api/options/settings", raw=b"{}")[0], 405)
        self.assertEqual(self.pages.get("/api/no-such-request")[0], 404)
        self.assertEqual(self.ws.read("config.dat"), before)

    def test_of_racing_writes_on_one_setting_one_wins_and_the_rest_are_told(self):
        revision = self.pages.options()["revision"]
        results = []

        def write(days):
            code, _, body = self.pages.post("/api/options/settings", {
                "revision": revision, "values": {"FILTERING_STATS_DAYS": str(days)}})
            results.append((code, days, body))

        writers = [threading.Thread(target=write, args=(20 + i,)) for i in range(4)]
        for writer in writers:
            writer.start()
        for writer in writers:
            writer.join()
        codes = sorted(code for code, _, _ in results)
        self.assertEqual(codes, [200, 409, 409, 409])
        winner = [days for code, days, _ in results if code == 200][0]
        self.assertIn("FILTERING_STATS_DAYS %d\n" % winner, self.ws.read("config.dat"))
        for code, _, body in results:
            if code == 409:
                self.assertIn("changed meanwhile", body["message"])

    def test_a_port_in_use_and_a_list_entry_that_is_none_get_a_message(self):
        with socket.socket() as other:
            other.bind(("127.0.0.1", 0))
            other.listen(1)
            taken = other.getsockname()[1]
            code, _, body = self.pages.post("/api/options/port", {
                "revision": self.pages.options()["revision"], "action": "add",
                "type": "SMTP_SPECIFIC", "listenPort": taken, "serverName": "smtp.example.com"})
        self.assertEqual(code, 422)
        self.assertIn("Port %d is already in use" % taken, body["message"])
        code, _, body = self.pages.post("/api/add-to-list",
                                        {"mode": "black", "entry": "Friend <friend@example.org>"})
        self.assertEqual(code, 422)
        self.assertEqual(body["result"], "not-an-entry")
        self.assertIn("neither", body["message"])
        code, _, body = self.pages.post("/api/lists/wlist_ip.dat",
                                        {"text": "192.0.2.1\nfriend.example\n", "revision": ""})
        self.assertEqual(code, 422)
        self.assertIn("Line 2", body["message"])
        self.assertNotIn("SMTP_SPECIFIC", self.ws.read("config.dat"))

    def test_a_new_smtp_port_listens_after_the_change(self):
        port = free_port()
        code, _, body = self.pages.post("/api/options/port", {
            "revision": self.pages.options()["revision"], "action": "add",
            "type": "SMTP_SPECIFIC", "listenPort": port, "serverName": "127.0.0.1:%d" % free_port(),
            "keys": [["PORT_SMTP_ADD_RECEIVIED_HEADER", "YES"]]})
        self.assertEqual(code, 200, body)
        wait_for_port(port)
        wait_for(lambda: any(l["port"] == port and l["type"] == "SMTP_SPECIFIC"
                             for l in self.pages.status()["listeners"]), what="the listener row")
        # The id and the revision of one listing: each load numbers the ports anew.
        options = self.pages.options()
        added = [p for p in options["ports"] if p["listenPort"] == port]
        self.assertEqual(len(added), 1, options["ports"])
        code, _, body = self.pages.post("/api/options/port", {
            "revision": options["revision"], "action": "remove", "id": added[0]["id"]})
        self.assertEqual(code, 200, body)
        # Removed: no longer served (the socket itself closes once the sessions the
        # probe above started have ended).
        wait_for(lambda: all(l["port"] != port for l in self.pages.status()["listeners"]),
                 what="the removed port's listener to go")


class PagesPortTaken(unittest.TestCase):

    def test_a_taken_port_gives_way_to_a_free_one_and_says_so(self):
        with socket.socket() as other:
            other.bind(("127.0.0.1", 0))
            other.listen(1)
            taken = other.getsockname()[1]
            ws, kestrel, pages = start_kestrel(
                "IS_FIRST_RUN NO\nCREATE_DEFAULT_IMAP4_PORT NO\nWEB_INTERFACE_PORT %d\n" % taken)
            try:
                self.assertNotEqual(pages.port, taken)
                self.assertEqual(pages.status()["version"], "1.53")
                wait_for(lambda: "they use port %d instead" % pages.port in kestrel.stdout(),
                         what="the notice of the other port")
            finally:
                kestrel.stop()
                ws.remove()


@unittest.skipUnless(browser_available(), "needs Debian's chromium and playwright-core")
class PagesInBrowser(unittest.TestCase):
    """A user at the pages while a mail client reads mail through Kestrelmail."""

    @classmethod
    def setUpClass(cls):
        cls.dovecot = Dovecot().start()
        cls.dovecot.deliver("alice", b"From: Friend <friend@example.net>\nSubject: Hi\n\nHello.\n")
        cls.pop3_port = free_port()
        cls.server = "127.0.0.1:%d" % cls.dovecot.pop3_port
        cls.ws, cls.kestrel, cls.pages = start_kestrel(
            "IS_FIRST_RUN NO\nCREATE_DEFAULT_IMAP4_PORT NO\nALWAYS_CONFIRM_EXIT YES\n"
            "Kestrelmail_UPDATES_CHECK NO\nDNSBL_UPDATES_CHECK NO\n"
            "WEB_INTERFACE_PORT %d\nPORT %d\nPORT_TYPE POP3_GENERIC\n\n"
            % (free_port(), cls.pop3_port))
        wait_for_port(cls.pop3_port)
        cls.shots = SCREENSHOTS or tempfile.mkdtemp(prefix="shots-", dir=cls.ws.root)

    @classmethod
    def tearDownClass(cls):
        cls.kestrel.stop()
        cls.dovecot.stop()
        cls.ws.remove()

    def drive(self, *steps):
        return drive(self.pages.address, steps, self.ws.data, self.shots)

    def test_a_live_pop3_session_the_tray_state_and_about(self):
        pop = poplib.POP3("127.0.0.1", self.pop3_port, timeout=30)
        try:
            pop.user("alice@" + self.server)
            pop.pass_("secret")
            pop.retr(1)
            status, filtering, about = self.drive(("status", {"sessionText": "alice"}),
                                                  ("filtering", {}), ("about", {}))
        finally:
            pop.quit()
        self.assertIn("POP3", status["sessionRow"])
        self.assertTrue(any("alice" in column for column in status["sessionRow"]), status)
        self.assertTrue(status["tray"].startswith("Filtering on"), status)
        self.assertTrue(any(str(self.pop3_port) in row for row in status["listeners"]), status)
        # Today's counts: the message retrieved, filtered and passed.
        self.assertEqual(status["today"][1:4], ["1", "0", "1"], status)
        # Switched off and on again while the session is busy: the tray shows the
        # disabled icon, then the busy animation again; config.dat follows.
        self.assertTrue(filtering["off"].startswith("Filtering off"))
        self.assertEqual(filtering["offIcon"], "114")
        self.assertIn(filtering["onIcon"], ("111", "112", "113"))
        self.assertNotIn("FILTERING_DISABLED YES", self.ws.read("config.dat"))
        self.assertEqual(about["text"], "Kestrelmail 1.53 (14-Dec-2003)")

    def test_a_black_list_pattern_with_its_contradiction_question(self):
        self.ws.write("wlist_email.dat", "*@example.org\r\n")
        self.ws.write("blist_email.dat", "")
        pop = poplib.POP3("127.0.0.1", self.pop3_port, timeout=30)
        pop.user("alice@" + self.server)
        pop.pass_("secret")
        pop.retr(1)  # the sender is offered in the list
        pop.quit()
        [seen] = self.drive(("add", {"mode": "black", "entry": "spam@example.org",
                                     "answers": ["no"]}))
        self.assertEqual(seen["result"], "added", seen)
        self.assertEqual(len(seen["questions"]), 1)
        self.assertIn("*@example.org", seen["questions"][0])
        self.assertEqual(self.ws.read("blist_email.dat"), "spam@example.org\n")
        self.assertEqual(self.ws.read("wlist_email.dat", "rb"), b"*@example.org\r\n")
        self.assertIn("friend@example.net", seen["choices"])

    def test_ports_settings_and_plugins_changed_in_the_options(self):
        port = free_port()
        with socket.socket() as other:
            other.bind(("127.0.0.1", 0))
            other.listen(1)
            taken = other.getsockname()[1]
            refused, added, _, plugin, plugin_page = self.drive(
                ("addPort", {"type": "POP3_GENERIC", "port": taken}),
                ("addPort", {"type": "SMTP_SPECIFIC", "port": port,
                             "server": "127.0.0.1:%d" % free_port()}),
                ("settings", {"tag": "[junk]"}),
                ("enablePlugin", {"name": "patternsieve"}),
                ("pluginPage", {}))
        self.assertEqual(refused["status"], "422")
        self.assertIn("Port %d is already in use" % taken, refused["message"])
        self.assertEqual(added["status"], "200", added)
        self.assertTrue(added["listening"])
        wait_for_port(port)
        config = self.ws.read("config.dat")
        self.assertIn("PORT %d\nPORT_TYPE SMTP_SPECIFIC\n" % port, config)
        self.assertNotIn("PORT %d\n" % taken, config)
        self.assertIn("SUBJECT_TAG_STRING [junk]\n", config)
        # The plug-in built beside the program is installed: enabled from the page.
        self.assertEqual(plugin["status"], "200", plugin)
        self.assertTrue(plugin["enabled"])
        self.assertIn("ENABLED_PLUGIN patternsieve ", self.ws.read("config.dat"))
        # Its page, rendered by the plug-in itself, lists the rules it loaded.
        self.assertEqual(plugin_page["heading"], "Pattern sieve")
        self.assertRegex(plugin_page["text"], r"\d+ header rules and \d+ body rules")

    def test_exit_asks_and_do_not_ask_again_sticks(self):
        self.drive(("exit", {}))
        self.assertEqual(self.kestrel.wait(timeout=30), 0)


@unittest.skipUnless(browser_available(), "needs Debian's chromium and playwright-core")
class WelcomeInBrowser(unittest.TestCase):

    def test_a_first_run_is_welcomed_and_finished_in_the_pages(self):
        ws, kestrel, pages = start_kestrel("IS_FIRST_RUN YES\nWEB_INTERFACE_PORT %d\n" % free_port())
        try:
            shots = SCREENSHOTS or tempfile.mkdtemp(prefix="shots-", dir=ws.root)
            [seen] = drive(pages.address, [("welcome", {"scheme": "aggressive"})], ws.data, shots)
            self.assertEqual(len(seen["portTexts"]), 2)
            self.assertIn("POP3", seen["portTexts"][0])
            self.assertTrue(seen["countryTicked"])
            # Both plug-ins are built beside the program: both are offered, and the
            # aggressive scheme ticks both.
            self.assertTrue(seen["patternOffered"] and seen["patternTicked"])
            self.assertTrue(seen["linkOffered"])
            config = ws.read("config.dat")
            for key in ("CHI-KOR", "H-KONG", "TAIWAN"):
                self.assertEqual(config.count("DNSBL %s " % key), 1, key)
            self.assertIn("IS_FIRST_RUN NO", config)
            self.assertIn("ENABLED_PLUGIN patternsieve ", config)
            self.assertIn("ENABLED_PLUGIN linkscan ", config)
        finally:
            kestrel.stop()
            ws.remove()


if __name__ == "__main__":
    unittest.main()
