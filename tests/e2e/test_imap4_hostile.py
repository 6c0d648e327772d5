"""The IMAP4 proxy against servers that break the protocol or refuse its commands,
scripted or standing in front of a real Dovecot: no crash, no hang, and never a
message lost on the server."""

import imaplib
import signal
import time
import unittest

from imap_support import ImapProxy, ServerView, header_value, imap_port_config
from kestrel import Kestrel, run_kestrel, wait_for
from peers import (CLEAN, SEEN, SPAM_SENDER, Conversation, Middleman, ScriptedServer, big_message, free_port,
                   read_line, wait_for_port)

GENERIC = imap_port_config(FILTER_TYPE="ALL", AUTO_MOVE_SPAM="YES", SPAMTRAP_FOLDER="Junk",
                           EXPUNGE_DELETIONS="YES")


def tagged(line, answer):
    return line.split(b" ")[0] + b" " + answer + b"\r\n"


class InFrontOfDovecotTest(unittest.TestCase):
    """A middleman between the proxy and Dovecot refuses, interrupts or adds to the
    server's answers; the mailbox is checked directly afterwards."""

    def run_with(self, ports=GENERIC, messages=(SPAM_SENDER, CLEAN), on_command=None,
                 on_reply=None):
        self.proxy = ImapProxy(ports, messages=messages)
        self.addCleanup(lambda proxy: self.assertEqual(proxy.stop(), 0, "kestrelmail ends normally"),
                        self.proxy)
        self.middleman = Middleman(self.proxy.dovecot.imap_port, on_command, on_reply)
        self.addCleanup(self.middleman.close)
        view = ServerView(self.proxy.dovecot)
        before = view.messages("INBOX")
        try:
            imap = imaplib.IMAP4("127.0.0.1", self.proxy.ports[0], timeout=60)
            imap.login("alice@127.0.0.1:%d" % self.middleman.port, "secret")
            self.selected = imap.select("INBOX")
            imap.logout()
        except (imaplib.IMAP4.error, OSError) as failure:
            self.selected = ("ended", str(failure))
        wait_for(lambda: "Session ended" in self.proxy.log().split("User alice")[-1],
                 what="the session to end")
        return view, before

    def assert_untouched(self, view, before):
        def lasting(messages):  # \Recent belongs to a session, not to the message
            return [(uid, flags - {"\\Recent"}, data) for uid, flags, data in messages]
        self.assertEqual(lasting(view.messages("INBOX")), lasting(before),
                         "every message where it was, as it was")
        view.close()

    def test_refused_own_commands_change_nothing_and_the_client_is_served(self):
        def refusing(condition, answer=b"NO [OVERQUOTA] full"):
            return lambda line: tagged(line, answer) if condition(line) else None

        rewriting = GENERIC.replace("PORT_IMAP4_EXPUNGE", "PORT_IMAP4_REWRITE SPAM\nPORT_IMAP4_EXPUNGE")
        cases = [("every own command", GENERIC, refusing(
                     lambda line: line.startswith(b"KRTL") and not line.startswith(b"KRTLCB"),
                     b"NO [SERVERBUG] refused")),
                 ("a copy", GENERIC, refusing(lambda line: b" UID COPY " in line)),
                 ("an append", rewriting, refusing(lambda line: b" APPEND " in line))]
        for what, ports, refuse in cases:
            with self.subTest(refused=what):
                view, before = self.run_with(ports, on_command=refuse)
                if what == "every own command":
                    self.assertEqual(self.selected[0], "OK", "the client's own SELECT goes through")
                    self.assertIn("refused", self.proxy.kestrel.stderr())
                self.assert_untouched(view, before)
        self.assertIn("PORT_IMAP4_REWRITE NEVER", self.proxy.ws.read("config.dat"),
                      "a server that refuses copies gets no more")

    def test_a_connection_closed_in_the_middle_of_a_message_loses_nothing(self):
        ports = GENERIC.replace("PORT_IMAP4_EXPUNGE", "PORT_IMAP4_REWRITE ALWAYS\nPORT_IMAP4_EXPUNGE")

        def cut(data):
            if b"BODY[TEXT]" in data:
                return data[:data.index(b"BODY[TEXT]") + 2000], True
            return data
        view, before = self.run_with(ports, messages=(big_message(1), SPAM_SENDER), on_reply=cut)
        self.assertEqual(self.selected[0], "ended")
        self.assertNotIn("Junk", view.folders())
        self.assert_untouched(view, before)

    def test_untagged_answers_in_the_middle_of_own_commands(self):
        noise = (b"* OK [ALERT] noise\r\n* 1 FETCH (FLAGS (\\Seen))\r\n* 9 EXISTS\r\n"
                 b"* 2 RECENT\r\n* 1 EXPUNGE\r\n")

        def chatter(line):
            return (noise, True) if line.startswith(b"KRTL") else None
        view, before = self.run_with(on_command=chatter)
        self.assertEqual(self.selected[0], "OK")
        self.assertEqual([header_value(d, b"Subject") for _, _, d in view.messages("Junk")],
                         [b"You have won"], "filtered as if nothing had been said")
        self.assertEqual(len(view.messages("INBOX")), 1)
        view.close()

    def test_unseen_state_comes_back_where_fetching_may_have_changed_it(self):
        view, before = self.run_with(messages=(CLEAN, (SEEN, "S")))
        stores = [line.split(b" ", 1)[1] for line in self.middleman.sent() if b"UID STORE" in line]
        unseen = [uid for uid, flags, _ in before if "\\Seen" not in flags]
        self.assertEqual(stores, [b"UID STORE %d -FLAGS.SILENT (\\Seen)\r\n" % unseen[0]],
                         "one STORE, for the unseen message only")
        self.assert_untouched(view, before)

    def test_a_server_that_will_not_search_is_asked_for_every_flag_instead(self):
        def no_search(line):
            return tagged(line, b"NO not here") if b"UID SEARCH" in line else None
        view, before = self.run_with(
            messages=(SPAM_SENDER, CLEAN, CLEAN.replace(b"clean-1", b"mine")), on_command=no_search)
        sent = self.middleman.sent()
        # The pass and the expunge both go by the flags of all messages.
        self.assertGreaterEqual(sum(b"FETCH 1:* (FLAGS UID)" in line for line in sent), 2)
        self.assertEqual(len(view.messages("Junk")), 1)
        self.assertEqual(len(view.messages("INBOX")), 2)
        view.close()


def fake_imap(script):
    """A scripted IMAP4 server: greets, accepts LOGIN, LOGOUT and NOOP, and lets
    `script(conn, tag, command, line)` answer the rest (returning False ends the
    connection). Every connection's end is noted in `ended`."""
    ended = []

    def handler(conn):
        conn.sendall(b"* OK fake server ready\r\n")
        try:
            while True:
                line = read_line(conn)
                if not line:
                    return
                parts = line.rstrip(b"\r\n").split(b" ")
                tag = parts[0]
                command = b" ".join(parts[1:3]).upper() if parts[1:2] == [b"UID"] else \
                    (parts[1].upper() if len(parts) > 1 else b"")
                if command == b"LOGIN":
                    conn.sendall(tag + b" OK logged in\r\n")
                elif command == b"LOGOUT":
                    conn.sendall(b"* BYE\r\n" + tag + b" OK bye\r\n")
                    return
                elif not script(conn, tag, command, line):
                    return
        finally:
            ended.append(time.monotonic())

    server = ScriptedServer(handler)
    server.ended = ended
    return server


class ScriptedServersTest(unittest.TestCase):
    """Servers that send what no server should."""

    @classmethod
    def setUpClass(cls):
        cls.port = free_port()
        cls.ws, cls.kestrel = run_kestrel(cls, GENERIC.format(port0=cls.port), ports=(cls.port,))

    @classmethod
    def tearDownClass(cls):
        code = cls.kestrel.stop()
        assert code == 0, "kestrelmail must end normally after hostile servers, not %r" % code

    def client(self, server):
        """A conversation logged in at `server` through the proxy."""
        client = Conversation(self.port)
        client.command(b"a1 LOGIN alice@127.0.0.1:%d secret\r\n" % server.port)
        return client

    def assert_alive(self):
        with Conversation(self.port) as client:
            self.assertTrue(client.greeting.startswith(b"* OK [CAPABILITY IMAP4rev1] Kestrelmail"))
        self.assertIsNone(self.kestrel.process.poll())

    def standard(self, literal_header=None, search=b"* SEARCH 5\r\n"):
        """A mailbox of one message (UID 5) whose header answer is `literal_header`."""
        def script(conn, tag, command, line):
            if command in (b"SELECT", b"EXAMINE"):
                conn.sendall(b"* 1 EXISTS\r\n* 1 RECENT\r\n" + tag + b" OK [READ-WRITE] done\r\n")
            elif command == b"UID SEARCH":
                conn.sendall(search + tag + b" OK done\r\n")
            elif command == b"UID FETCH" and b"RFC822.SIZE" in line:
                conn.sendall(b"* 1 FETCH (UID 5 RFC822.SIZE 40 FLAGS ())\r\n" + tag + b" OK done\r\n")
            elif command == b"UID FETCH" and b"RFC822.HEADER" in line:
                conn.sendall(literal_header(tag))
            else:
                conn.sendall(tag + b" OK done\r\n")
            return True
        return fake_imap(script)

    def test_literals_longer_or_shorter_than_announced(self):
        longer = self.standard(lambda tag: b"* 1 FETCH (UID 5 RFC822.HEADER {10}\r\n"
                                           b"Subject: much longer than ten\r\n\r\n)\r\n" +
                                           tag + b" OK done\r\n")
        conn = self.client(longer)
        replies = conn.command(b"a2 SELECT INBOX\r\n")
        self.assertTrue(replies[-1].startswith(b"a2 OK"), replies)
        self.assertEqual(conn.command(b"a3 LOGOUT\r\n")[-1], b"a3 OK bye\r\n")
        conn.close()

        # Fewer bytes than announced: the proxy waits for the rest until the client
        # gives up, and then lets the server go too.
        shorter = self.standard(lambda tag: b"* 1 FETCH (UID 5 RFC822.HEADER {1000}\r\n"
                                            b"Subject: short\r\n\r\n)\r\n" + tag + b" OK done\r\n")
        conn = self.client(shorter)
        conn.conn.sendall(b"a2 SELECT INBOX\r\n")
        time.sleep(0.5)
        conn.close()
        wait_for(lambda: len(shorter.ended) == 1, what="the server connection to end")
        longer.close()
        shorter.close()
        self.assert_alive()

    def test_unbalanced_parentheses_and_a_flood_of_exists(self):
        def script(conn, tag, command, line):
            if command in (b"SELECT", b"EXAMINE"):
                conn.sendall(b"* 1 EXISTS\r\n* OK ((((([UIDNEXT 9\r\n" + tag + b" OK done\r\n")
            elif command == b"UID SEARCH":
                conn.sendall(b"* SEARCH 5\r\n" + tag + b" OK done\r\n")
            elif command == b"UID FETCH":
                conn.sendall(b"* 1 FETCH (UID 5 RFC822.SIZE (((( FLAGS ()))))))\r\n"
                             b"* 1 FETCH )))(((\r\n" + tag + b" OK done\r\n")
            elif command == b"NOOP" and line.startswith(b"a"):
                conn.sendall(b"".join(b"* %d EXISTS\r\n" % n for n in range(1, 100001)) +
                             tag + b" OK done\r\n")
            else:
                conn.sendall(tag + b" OK done\r\n")
            return True
        server = fake_imap(script)
        conn = self.client(server)
        self.assertTrue(conn.command(b"a2 SELECT INBOX\r\n")[-1].startswith(b"a2 OK"))
        replies = conn.command(b"a3 NOOP\r\n")
        self.assertEqual(replies[-1], b"a3 OK done\r\n")
        self.assertEqual(sum(r.endswith(b" EXISTS\r\n") for r in replies), 100000)
        # One filter run for all that news, then the client goes on.
        self.assertEqual(conn.command(b"a4 NOOP\r\n")[-1], b"a4 OK done\r\n")
        self.assertEqual(conn.command(b"a5 LOGOUT\r\n")[-1], b"a5 OK bye\r\n")
        conn.close()
        server.close()
        self.assert_alive()

    def test_a_server_that_hangs_up_before_its_greeting_leaves_the_client_served(self):
        mute = ScriptedServer(lambda conn: None)  # accepts, then closes at once
        working = self.standard()
        with Conversation(self.port) as conn:
            login = b"a1 LOGIN alice@127.0.0.1:%d secret\r\n" % mute.port
            self.assertEqual(conn.command(login),
                             [b"a1 NO Unable to connect to IMAP4 server\r\n"])
            # The session goes on unconnected: the client may try another server.
            self.assertEqual(conn.command(b"a2 NOOP\r\n"), [b"a2 OK NOOP completed\r\n"])
            login = b"a3 LOGIN alice@127.0.0.1:%d secret\r\n" % working.port
            self.assertEqual(conn.command(login)[-1], b"a3 OK logged in\r\n")
            self.assertEqual(conn.command(b"a4 LOGOUT\r\n")[-1], b"a4 OK bye\r\n")
        mute.close()
        working.close()

    def test_a_server_that_never_answers_does_not_hold_the_program_at_its_end(self):
        def silent(conn, tag, command, line):
            if command in (b"SELECT", b"EXAMINE"):
                time.sleep(60)
            conn.sendall(tag + b" OK done\r\n")
            return True
        server = fake_imap(silent)
        conn = self.client(server)
        conn.conn.sendall(b"a2 SELECT INBOX\r\n")
        time.sleep(0.5)
        self.kestrel.process.send_signal(signal.SIGTERM)
        self.assertEqual(self.kestrel.wait(timeout=20), 0)
        conn.close()
        server.close()
        type(self).kestrel = Kestrel(self.ws)  # for the tests that follow
        self.addClassCleanup(self.kestrel.close)
        wait_for_port(self.port)


if __name__ == "__main__":
    unittest.main()
