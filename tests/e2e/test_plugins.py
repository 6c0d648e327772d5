"""Plug-ins loaded by the real program from plugins/<folder>/ beside it, judging mail
that a real client fetches through the POP3 proxy from a real Dovecot."""

import hashlib
import os
import poplib
import re
import shutil
import subprocess
import threading
import time
import unittest

from kestrel import BUILD_DIR, Workspace, run_kestrel, test_plugin, wait_for
from peers import Dovecot, free_port, header, pop3_login, split_message

SOURCE_DIR = os.path.join(os.path.dirname(__file__), "..", "..")


def message(subject, sender="friend@example.org", body=b"Shall we meet at noon?\n"):
    return (b"Received: from mail.example.org (mail.example.org [192.0.2.10])\n"
            b"\tby mx.example.net; Sun, 6 Dec 2026 10:00:00 +0000\n"
            b"From: Friend <" + sender.encode() + b">\n"
            b"To: alice@example.net\n"
            b"Date: Sun, 6 Dec 2026 10:00:00 +0000\n"
            b"Subject: " + subject.encode() + b"\n"
            b"Message-ID: <" + subject.encode() + b"@example.org>\n"
            b"\n" + body)


class PluginCase(unittest.TestCase):
    """Dovecot with a mailbox and Kestrelmail with a generic POP3 port; subclasses
    say which messages, plug-ins and configuration lines they need."""

    messages = []
    plugins = {}
    config_lines = ""
    files = {}

    @classmethod
    def prepare(cls):
        """Sets up what the class needs once its workspace is there."""

    @classmethod
    def setUpClass(cls):
        cls.ws = Workspace()
        cls.addClassCleanup(cls.ws.remove)
        cls.prepare()
        cls.dovecot = Dovecot().started(cls, cls.messages)
        cls.calls_path = os.path.join(cls.ws.root, "calls.log")
        cls.port = free_port()
        cls.server = "127.0.0.1:%d" % cls.dovecot.pop3_port
        cls.ws, cls.kestrel = run_kestrel(
            cls, "TAG_SUBJECT TRUE\nLOGGING_ENABLED YES\nLOGGING_LEVEL VERBOSE\nLOGFILE %s\n%s"
                 "PORT %d\nPORT_TYPE POP3_GENERIC\n\n" % (cls.ws.path("log.txt"), cls.config_lines,
                                                        cls.port),
            dict({"blist_email.dat": "*@spam.example\n"}, **cls.files), (cls.port,), ws=cls.ws,
            plugins=cls.plugins, env={"RECORDER_LOG": cls.calls_path})

    def proxied(self, timeout=60):
        return pop3_login(self.port, "alice@" + self.server, timeout=timeout)

    def fetch(self, number):
        """(header lines, body lines) of a message fetched in a session of its own,
        once the session has ended for a recording plug-in too."""
        before = self.count_calls("sessionEnd")
        pop = self.proxied()
        _, lines, _ = pop.retr(number)
        pop.quit()
        # Sessions may start and end in any order (the port probe's among them):
        # wait until every session that started has ended.
        if "recorder/recorder.so" in self.plugins:
            wait_for(lambda: self.count_calls("sessionStart") == self.count_calls("sessionEnd") > before,
                     what="the session's end")
        return split_message(lines)

    def judged(self, number):
        """(Subject, X-Kestrelmail) of a message fetched in a session of its own."""
        headers, _ = self.fetch(number)
        return header(headers, "Subject"), header(headers, "X-Kestrelmail")

    def reload(self):
        """Has the program load its (touched) configuration again."""
        with open(self.ws.path("config.dat"), "a") as f:
            f.write("\n")
        os.utime(self.ws.path("config.dat"), (time.time() + 5, time.time() + 5))

    def calls(self, tag="recorder"):
        """The recorded calls of the plug-in, one "function arguments" text each."""
        try:
            with open(self.calls_path) as f:
                return [line.rstrip("\n")[len(tag) + 1:] for line in f
                        if line.startswith(tag + " ")]
        except FileNotFoundError:
            return []

    def count_calls(self, function):
        return sum(1 for call in self.calls() if call.split()[0] == function)

    def message_calls(self, handle):
        """The calls about one message, by its handle, function name first."""
        pattern = re.compile(r"^(\w+) #%d( |$)" % handle)
        return [call for call in self.calls() if pattern.match(call)]

    def last_handle(self):
        return int([c for c in self.calls() if c.startswith("fetchStart ")][-1].split()[1][1:])

    def log(self):
        with open(self.ws.path("log.txt"), "rb") as f:
            return f.read().decode("utf-8", "replace")

    def assert_logged(self, text):
        """A session writes its log lines as it ends, after the plug-ins have seen
        its end: wait for them rather than read too early."""
        wait_for(lambda: text in self.log(), what="the log line " + text)


RECORDER = {"recorder/recorder.so": test_plugin("recorder"),
            "refuser/refuser.so": test_plugin("refuser"),
            # Not plug-ins: a hidden folder, and a second library of a name already
            # found (the refusing one, which would show if it were taken).
            ".hidden/hidden.so": test_plugin("recorder"),
            "zz-later/recorder.so": test_plugin("refuser")}


class RecorderTest(PluginCase):
    messages = [message("Plain"), message("rec-spam"), message("rec-check"),
                message("rec-white", sender="deals@spam.example"),
                message("rec-rewrite", body=b"Quiet words.\n"), message("rec-prefix"),
                message("rec-absurd"), message("rec-open"), message("Second plain")]
    plugins = RECORDER
    config_lines = ("ENABLED_PLUGIN recorder Call Recorder\nENABLED_PLUGIN refuser A refuser\n"
                    "ENABLED_PLUGIN missing Gone Away\n")

    def test_every_export_is_called_in_its_place_and_discovery_finds_the_plugins(self):
        self.fetch(1)
        calls = self.calls()
        # Loading: the version check once, the configuration folder, the capabilities
        # (a zeroed record), before the first session starts.
        folder = self.ws.path("plugins/recorder") + "/"
        self.assertEqual(calls[:3], ["checkKestrelmailVersion 1.53", "loadConfig " + folder,
                                     "getPluginCapabilities 1 0 0 0 0 0"])
        self.assertTrue(os.path.isdir(folder))
        # The session information: POP3, the session number, the interface version,
        # the client; a generic port's server and the user are known by the end.
        end = [c for c in calls if c.startswith("sessionEnd ") and "[alice]" in c][0].split()
        self.assertEqual(end[2:], ["[%s]" % self.server, "[alice]", "1"])
        session = [c for c in calls if c.startswith("sessionStart 1 %s " % end[1])][0].split()
        self.assertEqual(session[3:], ["1.53", "127.0.0.1", "[]", "1"])

        handle = self.last_handle()
        names = [c.split()[0] for c in self.message_calls(handle)]
        expected_order = ["fetchStart", "filterOnEmailAddress", "ignoreIpAddress",
                          "filterOnIpAddress", "filterOnMessageHeaders", "requireBodyFiltering",
                          "minBodyBytesRequired", "filterOnMessageBody", "requireBodyRewriting",
                          "requireHeaderRewriting", "getAddedHeaderLines", "processedMessage",
                          "fetchEnd"]
        self.assertEqual(names, expected_order)
        by_name = {c.split()[0]: c.split()[2:] for c in self.message_calls(handle)}
        self.assertEqual(by_name["filterOnEmailAddress"], ["1", "friend@example.org", "18"])
        self.assertEqual(by_name["filterOnIpAddress"], ["192.0.2.10"])
        self.assertEqual(by_name["minBodyBytesRequired"][0], "50")
        body = b"Shall we meet at noon?\r\n"
        # Body filtering reads the whole body; the property set at the header stage
        # is there (its second value); processedMessage removes the other one.
        self.assertEqual(by_name["filterOnMessageBody"][1:], [str(len(body)), "42"])
        self.assertEqual(by_name["processedMessage"][1:], [str(len(body)), "0", "7", "0"])
        self.assertIn("housekeeping 1 0", calls)
        self.assert_logged("recorder saw 6 header lines")
        # The fingerprint digests the Message-ID, From and Date fields.
        call = [c for c in self.message_calls(self.last_handle())
                if c.startswith("filterOnMessageHeaders ")][0].split()
        fields = [b": Friend <friend@example.org>__", b": Sun, 6 Dec 2026 10:00:00 +0000__",
                  b": <Plain@example.org>__"]
        self.assertEqual(call[2:4], ["6", "1"])
        self.assertEqual(call[4], hashlib.md5(b"".join(fields)).hexdigest())
        # A plug-in refusing the version is never called again.
        self.assertEqual(self.calls("refuser"), ["checkKestrelmailVersion 1.53"])
        self.assertIn('The plug-in "refuser"', self.kestrel.stderr())
        # Discovery skips hidden folders and repeated names.
        written = self.ws.read("config.dat")
        known = re.findall(r"^KNOWN_INSTALLED_PLUGIN (.*)$", written, re.M)
        self.assertEqual(sorted(known), ["recorder", "refuser"])
        # Enabled plug-ins are written back with their display names; a missing one
        # is dropped (and was named by the text it came with).
        enabled = re.findall(r"^ENABLED_PLUGIN (.*)$", written, re.M)
        self.assertEqual(enabled, ["recorder Call Recorder", "refuser (Unnamed plugin)"])
        self.assertIn("Gone Away", self.kestrel.stderr())
        # The size allowance of the plug-ins is announced.
        pop = self.proxied()
        _, listing, _ = pop.list()
        pop.quit()
        direct = pop3_login(self.dovecot.pop3_port, "alice")
        _, original, _ = direct.list()
        direct.quit()
        proxied_size = int(listing[0].split()[1])
        self.assertGreaterEqual(proxied_size - int(original[0].split()[1]), 4000)

    def test_verdicts_and_rewriting_a_plugin_does_show(self):
        cases = [(2, True, "SPAM RECORDED"),
                 (3, True, "SPAM BLIST EMAIL RECORD"),  # through table A, its source text
                 (4, False, "PASS TRUSTED")]  # its whitelisting beats the black list
        for number, spam, label in cases:
            with self.subTest(number=number):
                headers, _ = self.fetch(number)
                self.assertEqual(header(headers, "Subject").startswith("**SPAM**"), spam)
                self.assertEqual(header(headers, "X-Kestrelmail"), label)
                self.assertEqual(header(headers, "X-Recorder"), "spam=%d" % spam)
        # The body and the header block are rewritten through pipes.
        headers, body = self.fetch(5)
        self.assertEqual(body[0], b"QUIET WORDS.")
        self.assertEqual(header(headers, "X-Recorder-Rewritten"), "yes")
        calls = self.message_calls(self.last_handle())
        self.assertTrue(any(c.startswith("rewriteMessageBody ") for c in calls))
        rewrite = [c for c in calls if c.startswith("rewriteMessageHeaders ")][0].split()
        self.assertEqual(rewrite[2:], ["6", "0"])
        # A body prefix longer than the buffer is asked for again with room.
        _, body = self.fetch(6)
        prefix = body[:body.index(b"Shall we meet at noon?")]
        self.assertEqual(sum(len(line) + 2 for line in prefix), 2999)
        self.assertEqual(set(b"".join(prefix)), {ord("p")})
        sizes = [int(c.split()[2]) for c in self.message_calls(self.last_handle())
                 if c.startswith("getMessageBodyPrefix ")]
        self.assertEqual(sizes[0], 1024)
        self.assertGreaterEqual(sizes[1], 3000)
        # An absurd buffer answer is left out and logged.
        headers, body = self.fetch(7)
        self.assertIsNone(header(headers, "X-Recorder"))
        self.assertEqual(header(headers, "X-Kestrelmail"), "PASS")
        self.assertEqual(body[0], b"Shall we meet at noon?")
        self.assert_logged("Plug-in recorder answered 2147483647 bytes in getAddedHeaderLines")

    def test_a_pipe_left_open_is_given_up_without_holding_other_sessions(self):
        results = {}

        def fetch_left_open():
            pop = self.proxied()
            results["open"] = split_message(pop.retr(8)[1])
            pop.quit()

        first = threading.Thread(target=fetch_left_open)
        first.start()
        wait_for(lambda: any(c.startswith("rewriteMessageBody ") for c in self.calls()),
                 what="the rewriting call")
        pop = self.proxied()  # a second session, while the first one waits on the pipe
        _, lines, _ = pop.retr(9)
        pop.quit()
        first.join(60)
        self.assertFalse(first.is_alive())
        self.assertEqual(split_message(lines)[1][0], b"Shall we meet at noon?")
        self.assertEqual(results["open"][1][0], b"Only this line came through.")
        wait_for(lambda: "Plug-in recorder left its pipe open in rewriteMessageBody" in self.log(),
                 what="the log line about the pipe")


class CrashTest(PluginCase):
    messages = [message("rec-crash")]
    plugins = {"recorder/recorder.so": test_plugin("recorder")}
    config_lines = "ENABLED_PLUGIN recorder Call Recorder\n"

    def test_a_crash_inside_a_plugin_is_reported_with_its_name(self):
        pop = self.proxied()
        with self.assertRaises((poplib.error_proto, OSError, EOFError)):
            pop.retr(1)
        pop.close()
        self.assertEqual(self.kestrel.wait(), 1)
        report = self.ws.read("crash-report.txt", "rb")
        self.assertIn(b" Plugin: recorder (filterOnMessageHeaders)\r\n", report)


def readme_example():
    """The C source of the README's plug-in example."""
    with open(os.path.join(SOURCE_DIR, "README.md")) as f:
        readme = f.read()
    section = readme[readme.index("## Writing a plug-in"):]
    return section[section.index("```c\n") + 5:section.index("```\n", section.index("```c"))]


class ReadmeExampleTest(PluginCase):
    """The plug-in of the README, built the way it says, judges mail."""

    messages = [message("You won the lottery"), message("Lunch on Friday")]
    config_lines = "ENABLED_PLUGIN subjectwords Subject words\n"

    @classmethod
    def setUpClass(cls):
        cls.build = os.path.join(BUILD_DIR, "readme-example-%d" % os.getpid())
        os.makedirs(cls.build, exist_ok=True)
        source = os.path.join(cls.build, "subjectwords.c")
        with open(source, "w") as f:
            f.write(readme_example())
        library = os.path.join(cls.build, "subjectwords.so")
        subprocess.run(["cc", "-std=c99", "-Wall", "-Wextra", "-Werror", "-shared", "-fPIC",
                        "-I" + os.path.join(SOURCE_DIR, "include"), source, "-o", library],
                       check=True)
        cls.plugins = {"subjectwords/subjectwords.so": library}
        super().setUpClass()

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        shutil.rmtree(cls.build, ignore_errors=True)

    def test_the_example_gets_its_folder_and_its_verdicts_show(self):
        folder = self.ws.path("plugins/subjectwords")
        wait_for(lambda: os.path.isdir(folder), what="the plug-in's folder")
        with open(os.path.join(folder, "words.txt"), "w") as f:
            f.write("lottery\nprize\n")
        # A changed configuration gives the plug-in a fresh loadConfig.
        self.reload()
        self.assertEqual(self.judged(1), ("**SPAM** You won the lottery", "SPAM WORD lottery"))
        self.assertEqual(self.judged(2), ("Lunch on Friday", "PASS"))


class BayesThroughTheHostTest(PluginCase):
    """The Bayesian plug-in, loaded by the program like any other, learns a
    black-listed message in its own configuration folder."""

    messages = [message("Cheap watches", sender="deals@spam.example",
                        body=b"Replica watches at unbeatable prices, order today.\n")]
    plugins = {"bayes/bayes.so": os.path.join(BUILD_DIR, "plugins", "bayes", "bayes.so")}
    config_lines = "ENABLED_PLUGIN bayes Bayesian content filter\n"

    def test_it_learns_a_sure_verdict_into_its_folder(self):
        self.assertEqual(self.judged(1)[1], "SPAM BLIST EMAIL")
        folder = self.ws.path("plugins/bayes")
        self.assertTrue(os.path.isdir(os.path.join(folder, "train_spam")))
        # Its data is handed back when the program ends, and it saves then.
        self.assertEqual(self.kestrel.stop(), 0)
        self.assertGreater(os.path.getsize(os.path.join(folder, "tokens.dat")), 0)


class PatternsieveTest(PluginCase):
    """The pattern plug-in with its shipped rules, then with the user's own."""

    messages = [message("You are a winner of our lottery"),
                message("A letter", body=b"I am the next of kin\nof a man who left 4 million.\n"),
                message("Quarterly report"), message("Lunch on Friday")]
    plugins = {"patternsieve/patternsieve.so":
               os.path.join(BUILD_DIR, "plugins", "patternsieve", "patternsieve.so")}
    config_lines = "ENABLED_PLUGIN patternsieve Pattern sieve\n"

    def test_matching_rules_tag_the_message_and_are_read_again_with_the_configuration(self):
        self.assertEqual(self.judged(1), ("**SPAM** You are a winner of our lottery",
                                          "SPAM LOTTERY"))
        self.assertEqual(self.judged(2), ("**SPAM** A letter", "SPAM NEXTOFKIN BODY"))
        self.assertEqual(self.judged(4), ("Lunch on Friday", "PASS"))
        self.assertIn("NEXTOFKIN", self.ws.read("plugins/patternsieve/rules.txt"))
        self.assertEqual(self.judged(3), ("Quarterly report", "PASS"))
        self.ws.write("plugins/patternsieve/rules.txt",
                      "# my rules\nSubject spam QUARTERLY (?i)quarterly\nSubject maybe X y\n")
        self.reload()
        self.assertEqual(self.judged(3), ("**SPAM** Quarterly report", "SPAM QUARTERLY"))
        self.assertEqual(self.judged(1)[1], "PASS")  # the shipped rules are gone
        self.assert_logged("patternsieve: rules.txt line 3: the verdict \"maybe\"")
