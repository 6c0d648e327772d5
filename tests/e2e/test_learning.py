"""What the proxy learns from the mail it relays, through real POP3 sessions against
Dovecot: auto-whitelisting of senders, the warning about accounts without Received
lines, the day statistics (and kestrelmail -stats), and DNSBL definitions brought
by an update check from a web server on loopback."""

import http.server
import os
import struct
import subprocess
import threading
import time
import unittest

from dnsbl_servers import Rbldnsd
from kestrel import BINARY, CONFIG_HEAD, Kestrel, Workspace, wait_for
from peers import Dovecot, free_port, pop3_login

DAY = 86400


def message(sender, subject, message_id=None, relay=None):
    lines = []
    if relay:
        lines.append("Received: from relay.example (relay.example [%s])" % relay)
        lines.append("\tby mx.example.net; Mon, 7 Dec 2026 10:00:00 +0000")
    lines += ["From: %s" % sender, "To: alice@example.net", "Subject: %s" % subject]
    if message_id:
        lines.append("Message-ID: %s" % message_id)
    return ("\n".join(lines) + "\n\nHello.\n").encode()


def pending_senders(data):
    """The records of auto_wlist_from_pending.dat: {address: (count, last counted)}."""
    (count,), position, records = struct.unpack_from("<I", data), 4, {}
    for _ in range(count):
        end = data.index(b"\0", position)
        address = data[position:end].decode()
        records[address] = struct.unpack_from("<II", data, end + 1)
        position = end + 9
    return records


class LearningCase(unittest.TestCase):
    messages = []
    extra_config = ""

    def setUp(self):
        self.dovecot = Dovecot().started(self, self.messages)
        self.ws = Workspace()
        self.addCleanup(self.ws.remove)
        self.port = free_port()
        self.ws.write("config.dat", CONFIG_HEAD + "TAG_SUBJECT TRUE\nLOGGING_ENABLED YES\n%s"
                      "PORT %d\nPORT_TYPE POP3_GENERIC\n" % (self.extra_config, self.port))
        self.kestrel = None

    def start(self):
        # Ready once it says so: a probing connection would be a session, and the
        # housekeeping after it would run the update check too early.
        self.kestrel = Kestrel(self.ws)
        wait_for(lambda: "port %d:" % self.port in self.kestrel.stdout(), what="the port")

    def tearDown(self):
        if self.kestrel:
            self.kestrel.stop()

    def session(self):
        return pop3_login(self.port, "alice@127.0.0.1:%d" % self.dovecot.pop3_port)

    def fetch(self, numbers):
        """The header lines of the messages, fetched in one session."""
        pop = self.session()
        headers = {}
        for n in numbers:
            lines = pop.retr(n)[1]
            headers[n] = b"\n".join(lines[:lines.index(b"")]).decode()
        pop.quit()
        return headers

    def log(self):
        return self.ws.read("log.txt") if os.path.exists(self.ws.path("log.txt")) else ""

    def stats(self):
        return subprocess.run([BINARY, "-configdir", self.ws.data, "-stats"],
                              env=self.ws.environment(), capture_output=True, text=True,
                              timeout=30, check=True).stdout


class AutoWhitelistTest(LearningCase):
    messages = [message("Friend <friend@example.org>", "seventh day", "<f7@example.org>"),
                message("friend@example.org", "after that", "<f8@example.org>"),
                message("twice@example.net", "first copy", "<same@example.net>"),
                message("twice@example.net", "second copy", "<same@example.net>"),
                message("Deals <deals@spam.example>", "offer", "<s1@spam.example>")]

    def test_a_sender_counted_on_enough_days_becomes_auto_white_and_the_state_survives(self):
        # Six days counted already, the last one yesterday: today's is the seventh.
        yesterday = int(time.time()) - DAY
        self.ws.write("auto_wlist_from_pending.dat",
                      struct.pack("<I", 1) + b"friend@example.org\0" + struct.pack("<II", 6, yesterday))
        self.ws.write("blist_email.dat", "*@spam.example\n")
        self.start()

        first = self.fetch([1])[1]
        self.assertIn("X-Kestrelmail: PASS", first)
        self.assertNotIn("A-WLIST", first)
        wait_for(lambda: os.path.exists(self.ws.path("auto_wlist_from.dat"))
                 and "friend@example.org" in self.ws.read("auto_wlist_from.dat"),
                 what="the promotion")
        self.assertEqual(self.ws.read("auto_wlist_from.dat"), "friend@example.org\n")

        # The next message from the sender is judged by the list it joined.
        headers = self.fetch([2, 3, 4, 5])
        self.assertIn("X-Kestrelmail: PASS A-WLIST EMAIL", headers[2])
        self.assertIn("Subject: **SPAM** offer", headers[5])

        self.kestrel.stop()
        self.kestrel = None
        pending = pending_senders(self.ws.read("auto_wlist_from_pending.dat", "rb"))
        self.assertNotIn("friend@example.org", pending)
        self.assertEqual(pending["twice@example.net"][0], 1, "the same Message-ID counts once")
        self.assertNotIn("deals@spam.example", pending, "spam is not counted")
        ids = self.ws.read("auto_wlist_msgids.dat", "rb")
        self.assertEqual(ids.count(b"Message-ID: <same@example.net>"), 1)

        # After a restart the sender is still white, and the pending counts are kept.
        self.start()
        self.assertIn("A-WLIST", self.fetch([1])[1])
        self.kestrel.stop()
        self.kestrel = None
        self.assertEqual(
            pending_senders(self.ws.read("auto_wlist_from_pending.dat", "rb"))["twice@example.net"][0], 1)


class StatisticsTest(LearningCase):
    messages = [message("a@example.org", "one", "<1@a>"),
                message("deals@spam.example", "two", "<2@a>"),
                message("b@example.org", "three", "<3@a>")]
    extra_config = "FILTERING_STATS_DAYS 3\n"

    def today_row(self, text):
        lines = text.splitlines()
        header = next(n for n, line in enumerate(lines) if line.startswith("Day"))
        return lines[header + 1].split()[-4:], lines[header + 4].split()

    def test_messages_judged_are_counted_per_day_and_survive_a_restart(self):
        self.ws.write("blist_email.dat", "*@spam.example\n")
        self.assertIn("No filtering statistics", self.stats())
        self.start()
        self.fetch([1, 2, 3])
        self.kestrel.stop()
        self.kestrel = None
        today, total = self.today_row(self.stats())
        self.assertEqual(today, ["3", "1", "2", "0"])
        self.assertEqual(total, ["Total", "3", "1", "2", "0"])
        self.assertEqual(self.ws.read("statistics.dat").count("DAY_SUMMARY\n"), 3)

        self.start()
        self.fetch([1])
        # Saved as the session ended, while the program goes on.
        wait_for(lambda: self.today_row(self.stats())[0] == ["4", "1", "3", "0"],
                 what="the statistics of the second run")


class ReceivedTrackingTest(LearningCase):
    messages = ([message("n%d@example.org" % n, "bare %d" % n) for n in range(80)]
                + [message("r@example.org", "relayed", relay="192.0.2.77")])

    def test_an_account_without_received_lines_is_warned_about_once(self):
        self.start()
        warning = "The last 75 messages of the mail account alice@127.0.0.1:%d" % self.dovecot.pop3_port
        pop = self.session()
        for n in range(1, 75):
            pop.retr(n)
        self.assertNotIn("without any Received line", self.kestrel.stderr())
        pop.retr(75)
        wait_for(lambda: warning in self.kestrel.stderr(), what="the warning")
        for n in range(76, 82):  # the last one has a Received line
            pop.retr(n)
        pop.quit()
        kestrel, self.kestrel = self.kestrel, None
        kestrel.stop()
        self.assertEqual(kestrel.stderr().count(warning), 1)
        self.assertEqual(self.ws.read("recv-track.dat"),
                         "LACKING_RECEIVED_LINES_ACCOUNT alice@127.0.0.1:%d\n"
                         "LACKING_RECEIVED_LINES_ACCOUNT_NUM_MSGS 0\n"
                         "LACKING_RECEIVED_LINES_ACCOUNT_WARNING_SHOWN YES\n" % self.dovecot.pop3_port)


class DefinitionsServer:
    """A web server on loopback offering one definitions file."""

    def __init__(self, text):
        body = text.encode()

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        self.url = "http://127.0.0.1:%d/default_dnsbl.dat" % self.server.server_address[1]

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class UpdateCheckTest(LearningCase):
    messages = [message("a@example.org", "before", "<u1@a>", relay="203.0.113.9"),
                message("b@example.org", "after", "<u2@a>", relay="203.0.113.10")]

    def offered(self, date):
        # The list SPAMCOP moves to a zone the test's rbldnsd serves.
        return ("LAST_UPDATED %s\nREVISION 99991231\n\nLIST SPAMCOP\nNAME Moved list\n"
                "ZONE bl.test\nTYPE STANDARD\nRESULT_CODE 127.0.0.2\n" % date)

    def check(self, date):
        rbldnsd = Rbldnsd({"bl.test": ":127.0.0.2:\n203.0.113.0/24\n"})
        server = DefinitionsServer(self.offered(date))
        self.addCleanup(rbldnsd.stop)
        self.addCleanup(server.close)
        config = self.ws.read("config.dat").replace(
            "\nPORT ", "\nDNSBL SPAMCOP SpamCop BL\nDNSBL_NAMESERVER %s\nDNSBL_UPDATES_SOURCE %s\nPORT "
            % (rbldnsd.nameserver, server.url), 1)
        self.ws.write("config.dat", config)
        self.start()
        before = self.fetch([1])[1]
        wait_for(lambda: "Update check: " in self.log() and "DNSBL definitions" in self.log(),
                 what="the update check after the session")
        return before

    def test_newer_definitions_change_the_next_snapshot_without_a_restart(self):
        before = self.check("2099-01-01")
        self.assertIn("Subject: before", before)
        self.assertIn("newer DNSBL definitions were stored", self.log())
        after = self.fetch([2])[2]
        self.assertIn("Subject: **SPAM** after", after, self.log())
        self.assertIn("X-Kestrelmail: SPAM Moved list 203.0.113.10", after)
        self.assertTrue(self.ws.read("dnsbl.dat").startswith("LAST_UPDATED 2099-01-01\n\n"))

    def test_an_older_offer_changes_nothing(self):
        self.check("2000-01-01")
        self.assertIn("are not newer than those in use", self.log())
        self.assertFalse(os.path.exists(self.ws.path("dnsbl.dat")))
        self.assertIn("Subject: after", self.fetch([2])[2])
        self.kestrel.stop()
        self.kestrel = None
        self.assertNotIn("DNSBL_UPDATES_LAST_CHECK 0\n", self.ws.read("config.dat"))


if __name__ == "__main__":
    unittest.main()
