"""Start-up, the single-instance rule and shutdown of the real program, and the
DNSBL result cache files across its runs."""

import os
import shutil
import signal
import socket
import struct
import time
import poplib
import subprocess
import unittest

from kestrel import BINARY, Kestrel, Workspace, wait_for
from peers import Dovecot, free_port

SUBFOLDERS = ["auto_wlist_from_logs", "auto_wlist_ip_logs", "plugins", "imap4_state",
              "activity-logs"]


class StartupTest(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()
        self.running = []

    def tearDown(self):
        for kestrel in self.running:
            kestrel.kill()
        self.ws.remove()

    def start(self, *args, **kwargs):
        kestrel = Kestrel(self.ws, *args, **kwargs)
        self.running.append(kestrel)
        return kestrel

    def listening(self, kestrel, count):
        """The (port, what) pairs of the first `count` ports the program says it
        listens on."""
        def said():
            if kestrel.process.poll() is not None:
                raise AssertionError("kestrelmail ended early: %s" % kestrel.stderr())
            return kestrel.stdout().count("Listening on ") >= count
        wait_for(said, what="the listening ports on standard output")
        return [(int(line.split()[4].rstrip(":")), line.split(": ", 1)[1])
                for line in kestrel.stdout().splitlines() if line.startswith("Listening on ")]

    def test_a_first_start_serves_on_the_generic_ports_at_once(self):
        dovecot = Dovecot().started(self, [b"From: friend@example.org\nSubject: Welcome\n\nHello.\n"])
        kestrel = self.start()
        ports = dict((what, port) for port, what in self.listening(kestrel, 2))
        pop3 = ports["POP3, server named in the user name"]
        self.assertIn(pop3, (110, 1110) + tuple(range(1111, 1200)))
        self.assertIn("IMAP4, server named in the user name", ports)
        self.assertIn("with the data directory %s/" % self.ws.data, kestrel.stdout())
        pop = poplib.POP3("127.0.0.1", pop3, timeout=30)
        self.assertIn(b"USER command must include mailserver name", pop.getwelcome())
        pop.user("alice@127.0.0.1:%d" % dovecot.pop3_port)
        pop.pass_("secret")
        _, lines, octets = pop.retr(1)
        self.assertIn(b"X-Kestrelmail: PASS", [line.rstrip() for line in lines])
        self.assertEqual(octets, int(pop.list(1).split()[2]))
        pop.quit()
        for folder in SUBFOLDERS:
            self.assertTrue(os.path.isdir(self.ws.path(folder)), folder)
        self.assertEqual(self.ws.read("wlist_ip.dat").splitlines()[1], "127.0.0.0/8")
        self.assertTrue(self.ws.read("blist_email.dat").startswith("# "))
        config = self.ws.read("config.dat")
        self.assertIn("IS_FIRST_RUN NO\n", config)
        self.assertIn("PORT %d\nPORT_TYPE POP3_GENERIC\n" % pop3, config)
        self.assertIn("TAG_SUBJECT TRUE\n", config)
        self.assertIn("DNSBL ZEN Spamhaus ZEN\n", config, "the medium scheme")
        self.assertNotIn("DNSBL SBL ", config, "a list of the safe scheme only")
        self.assertEqual(kestrel.stop(), 0)
        self.assertTrue(kestrel.stdout().endswith("Kestrelmail has stopped.\n"))
        # The next start is no first start: the ports stay as they are, and the
        # file survives restarts (ended by SIGTERM or SIGINT) unchanged.
        written = self.ws.read("config.dat")
        for sig in (signal.SIGTERM, signal.SIGINT):
            self.assertEqual(self.start().wait_until_loaded().stop(sig), 0)
            self.assertEqual(self.ws.read("config.dat"), written)

    def test_help_and_version_print_and_end(self):
        for option, expected in (("--help", "-allow_multiple_instances yes"),
                                 ("--version", f"Kestrelmail {os.environ['KESTREL_VERSION']}\n")):
            result = subprocess.run([BINARY, option], capture_output=True, timeout=20,
                                    env=self.ws.environment())
            self.assertEqual(result.returncode, 0)
            self.assertIn(expected, result.stdout.decode())
        self.assertFalse(os.path.exists(self.ws.data), "nothing was started")

    def test_a_second_instance_ends_with_code_one_unless_allowed(self):
        first = self.start().wait_until_loaded()
        second = self.start()
        self.assertEqual(second.wait(), 1)
        self.assertIn("(process %d) is already running" % first.process.pid, second.stderr())
        self.assertIn("-allow_multiple_instances yes", second.stderr())

        silent = self.start("-suppress_multiple_instances_warning", "yes")
        self.assertEqual(silent.wait(), 1)
        self.assertNotIn("already running", silent.stderr())

        # Multiple instances may be allowed.
        second = self.start("-allow_multiple_instances", "YES").wait_until_loaded()
        self.assertIsNone(second.process.poll(), second.stderr())
        self.assertEqual(second.stop(), 0)
        self.assertEqual(first.stop(), 0)

    def test_data_directories_with_spaces_or_that_cannot_be_created(self):
        spaced = os.path.join(self.ws.root, "My Mail Data")
        kestrel = self.start(data_dir=spaced)
        wait_for(lambda: os.path.exists(os.path.join(spaced, "config.dat")), what="config.dat")
        self.assertEqual(kestrel.stop(), 0)
        kestrel = self.start(data_dir="/proc/no/such/place")
        self.assertEqual(kestrel.wait(), 1)
        self.assertIn("/proc/no/such/place", kestrel.stderr())

    def test_without_its_string_table_the_program_cannot_start(self):
        lonely = os.path.join(self.ws.root, "bin")
        os.mkdir(lonely)
        shutil.copy(BINARY, lonely)
        kestrel = self.start(binary=os.path.join(lonely, "kestrelmail"))
        self.assertEqual(kestrel.wait(), 1)
        self.assertIn("Unable to load language resources!", kestrel.stderr())
        self.assertIn(os.path.join(lonely, "kestrelmail.lang"), kestrel.stderr())

    def test_hangup_reloads_a_changed_configuration(self):
        port = free_port()
        self.ws.write("config.dat", "IS_FIRST_RUN NO\nCREATE_DEFAULT_IMAP4_PORT NO\n")
        kestrel = self.start().wait_until_loaded()
        self.ws.write("config.dat", "IS_FIRST_RUN NO\nCREATE_DEFAULT_IMAP4_PORT NO\n"
                                    "LOG_MAX_SIZE 77\nOBSOLETE_KEY dropped\n"
                                    "PORT %d\nPORT_TYPE POP3_SPECIFIC\n"
                                    "PORT_POP3_SERVERNAME pop.example.org\n" % port)
        os.utime(self.ws.path("config.dat"), (time.time() + 5, time.time() + 5))
        kestrel.process.send_signal(signal.SIGHUP)
        wait_for(lambda: "Kestrelmail_COMPATIBILITY" in self.ws.read("config.dat"),
                 what="the reload to write the file back")
        self.assertIn("LOG_MAX_SIZE 77\n", self.ws.read("config.dat"))
        self.assertNotIn("OBSOLETE_KEY", self.ws.read("config.dat"))
        # The dropped line is named, and the port the reload added announced.
        wait_for(lambda: "port %d: POP3 relay to pop.example.org" % port in kestrel.stdout(),
                 what="the new port on standard output")
        self.assertIn("line 4 ", kestrel.stderr())
        self.assertIn("OBSOLETE_KEY dropped", kestrel.stderr())
        self.assertIn("OBSOLETE_KEY dropped", self.ws.read("config.dat.bak"))
        self.assertEqual(kestrel.stop(), 0)

    def test_session_logs_left_by_a_crash_are_merged_at_start(self):
        self.ws.write("config.dat", "LOGGING_ENABLED YES\nLOGFILE %s\n" % self.ws.path("log.txt"))
        self.ws.write("activity-logs/logQ1W2E3", "12:00:00 01/01/26 RETR 1 from a crashed run\r\n")
        kestrel = self.start().wait_until_loaded()
        wait_for(lambda: os.path.exists(self.ws.path("log.txt")), what="the main log")
        self.assertIn("from a crashed run", self.ws.read("log.txt"))
        self.assertFalse(os.path.exists(self.ws.path("activity-logs/logQ1W2E3")))
        self.assertEqual(kestrel.stop(), 0)


DAY = 86400


def record(key, buckets):
    """One record of a cache file: key, bucket count, then each bucket."""
    data = key.encode("ascii") + b"\0" + struct.pack("<I", len(buckets))
    for closes_at, addresses in buckets:
        data += struct.pack("<II", closes_at, len(addresses))
        data += b"".join(socket.inet_aton(address) for address in addresses)
    return data


class DnsblCacheFilesTest(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()
        self.kestrel = None

    def tearDown(self):
        if self.kestrel:
            self.kestrel.kill()
        self.ws.remove()

    def run_once(self):
        self.kestrel = Kestrel(self.ws).wait_until_loaded()
        self.assertEqual(self.kestrel.stop(), 0)

    def test_cache_files_survive_a_restart_and_expire_old_buckets(self):
        now = int(time.time())
        fresh = record("SBL", [(now + 3600, ["192.0.2.10", "192.0.2.11"])])
        self.ws.write("dnsbl_cache_pos.dat",
                      record("SBL", [(now - 3 * DAY, ["198.51.100.1"]),
                                     (now + 3600, ["192.0.2.10", "192.0.2.11"])]))
        negative = record("XBL", [(now - DAY, ["203.0.113.5"])]) + record("SBL", [(now, [])])
        self.ws.write("dnsbl_cache_neg.dat", negative)
        self.run_once()
        # The positive period of 2 days dropped the old bucket; the negative half
        # did not change and was not rewritten.
        self.assertEqual(self.ws.read("dnsbl_cache_pos.dat", "rb"), fresh)
        self.assertEqual(self.ws.read("dnsbl_cache_neg.dat", "rb"), negative)
        self.run_once()
        self.assertEqual(self.ws.read("dnsbl_cache_pos.dat", "rb"), fresh)

    def test_a_corrupt_file_is_reported_and_rewritten_with_its_good_records(self):
        now = int(time.time())
        good = record("SBL", [(now + 60, ["192.0.2.10"])])
        self.ws.write("dnsbl_cache_neg.dat", good + b"\0garbage")
        self.run_once()
        self.assertIn("The DNSBL cache file seems to be corrupt", self.kestrel.stderr())
        self.assertEqual(self.ws.read("dnsbl_cache_neg.dat", "rb"), good)


if __name__ == "__main__":
    unittest.main()
