"""The SMTP proxy between real clients (smtplib, swaks, curl, msmtp) and a real
server (aiosmtpd delivering into a maildir): what the server stores is what the
client sent, apart from the Received line and, with filtering, the tags."""

import os
import re
import shutil
import signal
import smtplib
import socket
import subprocess
import tempfile
import unittest

from dnsbl_servers import Rbldnsd, SilentUdpPort
from kestrel import BINARY, Kestrel, Workspace, run_kestrel
from peers import (ScriptedServer, SmtpSink, cleanup, free_port, free_ports, make_certificate, read_line,
                   wait_for_port)

RECEIVED = re.compile(
    rb"Received: from (\S+) \(\[127\.0\.0\.1\]\)\r\n"
    rb"\tby \[127\.0\.0\.1\] with (E?SMTP) \(Kestrelmail v1\.53\)\r\n"
    rb"\tsender <([^>]*)>; \d\d [A-Z][a-z][a-z] \d{4} \d\d:\d\d:\d\d [+-]\d{4}\r\n")


def message(subject, body=b"Hello,\r\nsee you at noon.\r\n", sender=b"alice@example.org"):
    return (b"Date: Sun, 6 Dec 2026 10:00:00 +0100\r\n"
            b"From: Alice <" + sender + b">\r\nTo: bob@example.net\r\nSubject: " + subject +
            b"\r\nMessage-ID: <" + subject.replace(b" ", b".") + b"@example.org>\r\n\r\n" + body)


TRICKY = [
    ("dots", message(b"dots", b".\r\n..\r\n.leading dot\r\nmiddle . dot\r\n.\r\nend.\r\n")),
    ("eight bit", message(b"Caf\xe9", b"Une tasse de caf\xe9.\r\n\xff\xfe\x80\r\n")),
    ("headers only", b"From: alice@example.org\r\nSubject: terse\r\n"),
    ("empty lines", message(b"empty lines", b"\r\n\r\n\r\n")),
    ("two megabytes", message(b"big", (b"0123456789" * 99 + b"\r\n") * 2100)),
]


def split_received(stored):
    """(the Received line's fields, the rest) of a stored message."""
    match = RECEIVED.match(stored)
    if not match:
        raise AssertionError("no Received line of Kestrelmail at the top: %r" % stored[:300])
    return match.groups(), stored[match.end():]


def smtp_proxy(owner, servers, global_keys="", files=None):
    """Kestrelmail with an SMTP port for each entry of `servers` ({name: (server
    port on 127.0.0.1 or "host:port", the port block's keys besides the type and
    server)}); returns the workspace, the program and {name: port}."""
    ports = dict(zip(servers, free_ports(len(servers))))
    blocks = "".join("PORT %d\nPORT_TYPE SMTP_SPECIFIC\nPORT_SMTP_SERVERNAME %s\n%s\n"
                     % (ports[name], server if isinstance(server, str) else "127.0.0.1:%d" % server,
                        keys) for name, (server, keys) in servers.items())
    ws, kestrel = run_kestrel(owner, global_keys + blocks, files=files, ports=ports.values())
    return ws, kestrel, ports


def started_sink(owner, **options):
    sink = SmtpSink(**options)
    cleanup(owner, sink.stop)
    return sink.start()


LOCAL_IP = "PORT_SMTP_LOCAL_IP_LEAFNAME local_ip.txt\n"


class SmtpProxyCase(unittest.TestCase):
    """An SMTP sink that accepts AUTH (and mail without it) and Kestrelmail with
    SMTP ports to it; `ports` maps a name to the port block's keys besides the type
    and server."""

    sink_options = {"auth": ("alice", "secret")}
    ports = {"relay": "PORT_SMTP_ADD_RECEIVIED_HEADER YES\n" + LOCAL_IP,
             # A client outside the port's local IP blocks.
             "strangers": "PORT_SMTP_LOCAL_EMAIL_LEAFNAME local_email.txt\n",
             "wizard": "PORT_SMTP_LOCAL_EMAIL_LEAFNAME local_email.txt\n"
                       "PORT_SMTP_REMOVE_SERVERNAME_FROM_USERNAME YES\n",
             "filter": "PORT_SMTP_USE_FILTERING YES\nPORT_SMTP_ADD_RECEIVIED_HEADER YES\n" + LOCAL_IP}
    files = {"local_ip.txt": "127.0.0.1\n", "local_email.txt": "*@example.org\n",
             "blist_email.dat": "*@spam.example\n"}

    @classmethod
    def setUpClass(cls):
        cls.sink = started_sink(cls, **cls.sink_options)
        cls.ws, cls.kestrel, cls.port = smtp_proxy(
            cls, {name: (cls.sink.port, keys) for name, keys in cls.ports.items()},
            "TAG_SUBJECT TRUE\n", cls.files)

    def smtp(self, name="relay"):
        client = smtplib.SMTP("127.0.0.1", self.port[name], timeout=60)
        self.addCleanup(client.close)
        return client

    def stored_since(self, before, count=1):
        return self.sink.wait_for_messages(before + count)[before:]


class SmtpProxyTest(SmtpProxyCase):
    def send_with(self, client, data, port, helo="client.example.org"):
        """Sends `data` to a port with one of the clients."""
        if client == "smtplib":
            smtp = smtplib.SMTP("127.0.0.1", port, timeout=60)
            smtp.ehlo(helo)
            smtp.sendmail("alice@example.org", ["bob@example.net"], data)
            smtp.quit()
            return
        with tempfile.NamedTemporaryFile(suffix=".eml", dir=self.ws.root, delete=False) as f:
            f.write(data)
        port = str(port)
        commands = {
            "swaks": ["swaks", "--server", "127.0.0.1", "--port", port, "--helo", helo,
                      "--from", "alice@example.org", "--to", "bob@example.net",
                      "--data", f.name, "--timeout", "60"],
            "curl": ["curl", "-sS", "--url", "smtp://127.0.0.1:%s/%s" % (port, helo),
                     "--mail-from", "alice@example.org", "--mail-rcpt", "bob@example.net",
                     "--upload-file", f.name],
            "msmtp": ["msmtp", "--file=/dev/null", "--host=127.0.0.1", "--port=" + port,
                      "--auth=off", "--tls=off", "--domain=" + helo,
                      "--from=alice@example.org", "bob@example.net"],
        }[client]
        with open(f.name, "rb") as stdin:
            result = subprocess.run(commands, stdin=stdin, capture_output=True, timeout=120,
                                    env=self.ws.environment())
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_every_client_delivers_through_the_proxy_what_it_delivers_directly(self):
        # Each client has its own ways (swaks ends the data with an empty line,
        # msmtp adds missing headers): the server directly is the reference.
        for client in ("smtplib", "swaks", "curl", "msmtp"):
            for what, data in [("plain", message(client.encode() + b" says hello"))] + TRICKY[:2]:
                with self.subTest(client=client, message=what):
                    before = len(self.sink.envelopes())
                    self.send_with(client, data, self.sink.port)
                    self.send_with(client, data, self.port["relay"])
                    direct, proxied = self.stored_since(before, 2)
                    (helo, protocol, sender), rest = split_received(proxied)
                    self.assertEqual(rest, direct)
                    self.assertEqual((helo, protocol, sender),
                                     (b"client.example.org", b"ESMTP", b"alice@example.org"))
                    envelopes = self.sink.envelopes()[-2:]
                    self.assertEqual([(e["from"], e["to"]) for e in envelopes],
                                     [("alice@example.org", ["bob@example.net"])] * 2)

    def test_tricky_messages_starttls_and_relaying_permissions(self):
        smtp = self.smtp()
        for what, data in TRICKY:
            with self.subTest(message=what):
                before = len(self.sink.envelopes())
                smtp.sendmail("alice@example.org", ["bob@example.net"], data)
                self.assertEqual(split_received(self.stored_since(before)[0])[1], data)
        smtp.quit()
        # STARTTLS never reaches the client, and unknown commands stay here.

        smtp = self.smtp()
        code, _ = smtp.ehlo("client.example.org")
        self.assertEqual(code, 250)
        self.assertNotIn("starttls", smtp.esmtp_features)
        self.assertIn("size", smtp.esmtp_features)
        self.assertEqual(smtp.docmd("STARTTLS"),
                         (500, b"5.7.1 Command unrecognised or unsupported"))
        self.assertEqual(smtp.docmd("DATA"), (503, b"5.5.1 Incorrect command sequence"))
        self.assertEqual(smtp.docmd("RCPT TO:<bob@example.net>"),
                         (503, b"5.5.1 Incorrect command sequence"))
        code, text = smtp.docmd("HELP")
        self.assertEqual(code, 250, text)  # the server's own answer
        self.assertEqual(smtp.noop()[0], 250)
        smtp.quit()
        # Relaying needs a local recipient or a log-in.
        smtp = self.smtp("strangers")
        smtp.ehlo("client.example.org")
        smtp.mail("stranger@example.net")
        self.assertEqual(smtp.rcpt("friend@example.net"),
                         (550, b"5.7.1 You have no permission to relay for that address."))
        self.assertEqual(smtp.rcpt("me%friend.example.net@example.org"),
                         (550, b"5.7.1 Open relay exploit detected in RCPT TO address."))
        self.assertEqual(smtp.rcpt("me@example.org")[0], 250)
        smtp.rset()
        with self.assertRaises(smtplib.SMTPAuthenticationError):
            smtp.login("alice", "wrong")
        smtp.mail("stranger@example.net")
        self.assertEqual(smtp.rcpt("friend@example.net")[0], 550)
        smtp.rset()
        smtp.login("alice", "secret")
        before = len(self.sink.envelopes())
        smtp.sendmail("alice@example.org", ["friend@example.net"], message(b"relayed"))
        smtp.quit()
        self.assertEqual(self.stored_since(before)[0], message(b"relayed"))
        self.assertTrue(self.sink.envelopes()[-1]["authenticated"])

        # A user name with the POP3 server logs in without it.
        for mechanism in ("PLAIN", "LOGIN"):
            with self.subTest(mechanism=mechanism):
                smtp = self.smtp("wizard")
                smtp.ehlo("client.example.org")
                smtp.user, smtp.password = "alice@pop.example.com", "secret"
                code, _ = smtp.auth(mechanism, getattr(smtp, "auth_" + mechanism.lower()),
                                    initial_response_ok=mechanism == "PLAIN")
                self.assertEqual(code, 235)
                smtp.quit()
        with self.assertRaises(smtplib.SMTPAuthenticationError):
            self.smtp("strangers").login("alice@pop.example.com", "secret")

    def test_bad_input_from_a_client_never_delivers_half_a_message(self):
        envelope = [b"HELO c\r\n", b"MAIL FROM:<a@example.org>\r\n", b"RCPT TO:<b@example.net>\r\n",
                    b"DATA\r\n"]

        def open_message():
            conn = socket.create_connection(("127.0.0.1", self.port["relay"]), timeout=60)
            self.addCleanup(conn.close)
            read_line(conn)
            for line in envelope:
                conn.sendall(line)
                read_line(conn)
            return conn

        before = len(self.sink.envelopes())
        # Clients that go in the middle of a message: the server never sees its
        # end. A message with bare line feeds only never ends either.
        for cut in (b"", b"Subject: cut\r\n\r\nfirst half\r\n",
                    b"Subject: cut\r\n\r\n" + b"0123456789" * 200000,
                    b"Subject: bare\n\nbody\n.\n"):
            conn = open_message()
            conn.sendall(cut)
            conn.close()
        # A 10 MB header line: the server refuses the message, the session goes on.
        conn = open_message()
        conn.sendall(b"Subject: long\r\nX-Long: " + b"x" * (10 * 1024 * 1024) +
                     b"\r\n\r\nbody\r\n.\r\n")
        self.assertTrue(read_line(conn).startswith(b"500 "))
        # A lone dot inside a line, and a thousand recipients.
        conn.sendall(b"MAIL FROM:<a@example.org>\r\n")
        self.assertTrue(read_line(conn).startswith(b"250"))
        for n in range(1000):
            conn.sendall(b"RCPT TO:<r%d@example.net>\r\n" % n)
        replies = [read_line(conn) for _ in range(1000)]
        self.assertTrue(all(r.startswith(b"250") for r in replies), set(replies))
        conn.sendall(b"DATA\r\n")
        self.assertTrue(read_line(conn).startswith(b"354"))
        conn.sendall(b"Subject: dots\r\n\r\na . b\r\n.. c\r\n.\r\n")
        self.assertTrue(read_line(conn).startswith(b"250"))
        conn.close()
        stored = self.stored_since(before)
        self.assertEqual(split_received(stored[0])[1], b"Subject: dots\r\n\r\na . b\r\n. c\r\n")
        self.assertEqual(len(self.sink.envelopes()[-1]["to"]), 1000)
        self.assertEqual(len(self.sink.envelopes()), before + 1, "only the whole message")


    def test_spam_is_tagged_clean_mail_only_gets_its_verdict_and_the_exit_is_told(self):
        smtp = self.smtp("filter")
        before = len(self.sink.envelopes())
        clean = message(b"lunch", (b"a line of the body\r\n" * 20000))
        spam = message(b"offer", b"Buy now.\r\n", sender=b"deals@spam.example")
        smtp.sendmail("alice@example.org", ["bob@example.net"], clean)
        smtp.sendmail("alice@example.org", ["bob@example.net"], spam)
        smtp.quit()
        stored_clean, stored_spam = [split_received(m)[1] for m in self.stored_since(before, 2)]
        header, body = clean.split(b"\r\n\r\n", 1)
        self.assertEqual(stored_clean, header + b"\r\nX-Kestrelmail: PASS\r\n\r\n" + body)
        self.assertIn(b"Subject: **SPAM** offer\r\n", stored_spam)
        self.assertIn(b"X-Kestrelmail: SPAM BLIST EMAIL\r\n", stored_spam)
        self.assertTrue(stored_spam.endswith(b"\r\n\r\nBuy now.\r\n"))

        # A waiting client hears that the proxy exits.
        with socket.create_connection(("127.0.0.1", self.port["relay"]), timeout=30) as conn:
            self.assertTrue(read_line(conn).startswith(b"220"))
            self.kestrel.process.send_signal(signal.SIGTERM)
            self.assertEqual(read_line(conn), b"421 4.3.0 Kestrelmail exited.\r\n")
        self.assertEqual(self.kestrel.wait(), 0)
        type(self).kestrel = Kestrel(self.ws)  # for the tests that follow
        self.addClassCleanup(self.kestrel.close)
        wait_for_port(self.port["relay"])


class SenderChecksTest(SmtpProxyCase):
    sink_options = {}
    ports = {"by_address": "PORT_SMTP_REJECT_ON_MAIL_FROM YES\n"
                           "PORT_SMTP_LOCAL_IP_LEAFNAME local_ip.txt\n",
             # The client is no local one here, so the recipients are.
             "by_ip": "PORT_SMTP_REJECT_ON_ORIGINATING_IP YES\n"
                      "PORT_SMTP_LOCAL_EMAIL_LEAFNAME local_email.txt\n"}
    files = {"blist_email.dat": "*@spam.example\n", "blist_ip.dat": "127.0.0.1\n",
             "wlist_email.dat": "boss@example.org\n", "local_ip.txt": "127.0.0.1\n",
             "local_email.txt": "*@example.net\n"}

    def test_black_listed_senders_are_refused_before_the_server_hears_of_them(self):
        smtp = self.smtp("by_address")
        smtp.ehlo("client.example.org")
        self.assertEqual(smtp.mail("deals@spam.example"),
                         (501, b"5.7.1 Your email address has been locally blacklisted; you "
                               b"have no permission to send."))
        self.assertEqual(smtp.rcpt("bob@example.net")[0], 503)
        before = len(self.sink.envelopes())
        smtp.sendmail("alice@example.org", ["bob@example.net"], message(b"fine"))
        self.assertEqual(self.stored_since(before)[0], message(b"fine"))
        smtp.quit()

        smtp = self.smtp("by_ip")
        self.assertEqual(smtp.mail("alice@example.org"),
                         (501, b"5.7.1 Your I.P. address has been locally blacklisted; you have "
                               b"no permission to send."))
        before = len(self.sink.envelopes())
        smtp.sendmail("boss@example.org", ["bob@example.net"], message(b"from the boss"))
        self.assertEqual(self.stored_since(before)[0], message(b"from the boss"))
        smtp.quit()
        self.assertNotIn("deals@spam.example", [e["from"] for e in self.sink.envelopes()])


class DnsblSenderTest(unittest.TestCase):
    """The client's address is looked up at MAIL FROM."""

    def start(self, nameserver, keys, website=""):
        sink = started_sink(self)
        _, _, ports = smtp_proxy(
            self, {"dnsbl": (sink.port, keys)},
            "DNSBL TESTBL Test Blacklist\nDNSBL_NAMESERVER %s\nDNSBL_TIME_OUT 600\n" % nameserver,
            {"extra_dnsbl.txt": "LIST TESTBL\nNAME Test Blacklist\nZONE bl.test\n%s"
                                "RESULT_CODE 127.0.0.2\n" % website,
             "wlist_email.dat": "boss@example.org\n", "local_email.txt": "*@example.net\n",
             "local_ip.txt": "127.0.0.1\n"})
        return sink, smtplib.SMTP("127.0.0.1", ports["dnsbl"], timeout=60)

    def test_a_client_listed_by_a_dnsbl_hears_which_one(self):
        with Rbldnsd({"bl.test": ":127.0.0.2:\n127.0.0.1\n"}) as rbldnsd:
            sink, smtp = self.start(rbldnsd.nameserver,
                                    "PORT_SMTP_REJECT_ON_ORIGINATING_IP YES\n"
                                    "PORT_SMTP_LOCAL_EMAIL_LEAFNAME local_email.txt\n",
                                    "WEBSITE https://bl.example.org/\n")
            self.assertEqual(smtp.mail("alice@example.org"),
                             (501, b"5.7.1 Your I.P. address is listed by Test Blacklist "
                                   b"(https://bl.example.org/); you have no permission to send."))
            smtp.sendmail("boss@example.org", ["bob@example.net"], message(b"white"))
            smtp.quit()
            self.assertEqual(sink.wait_for_messages(1), [message(b"white")])

    def test_without_filtering_nothing_waits_for_dnsbl_answers(self):
        # A name server that never answers would hold the message for ten minutes
        # if anything waited.
        with SilentUdpPort() as silent:
            sink, smtp = self.start(silent.nameserver,
                                    "PORT_SMTP_ADD_RECEIVIED_HEADER YES\n" + LOCAL_IP)
            smtp.sendmail("alice@example.org", ["bob@example.net"], message(b"no waiting"))
            smtp.quit()
            self.assertEqual(split_received(sink.wait_for_messages(1)[0])[1],
                             message(b"no waiting"))


class UpstreamTlsTest(unittest.TestCase):
    def test_tls_towards_the_server_with_the_test_authority_and_a_refusal_with_another(self):
        """The client side stays plain."""
        starttls = started_sink(self, tls="starttls", auth=("alice", "secret"))
        implicit = started_sink(self, tls="implicit")
        other = tempfile.mkdtemp(prefix="kestrel-ca-")
        self.addCleanup(shutil.rmtree, other, True)
        wrong_ca, _ = make_certificate(other)
        _, _, ports = smtp_proxy(self, {
            "starttls": ("localhost:%d" % starttls.port, "PORT_UPSTREAM_TLS STARTTLS\nPORT_TLS_CA_FILE %s\n%s"
                         % (starttls.cert, LOCAL_IP)),
            "implicit": ("localhost:%d" % implicit.port, "PORT_UPSTREAM_TLS IMPLICIT\nPORT_TLS_CA_FILE %s\n%s"
                         % (implicit.cert, LOCAL_IP)),
            "wrong": ("localhost:%d" % implicit.port, "PORT_UPSTREAM_TLS IMPLICIT\nPORT_TLS_CA_FILE %s\n%s"
                      % (wrong_ca, LOCAL_IP))}, files={"local_ip.txt": "127.0.0.1\n"})
        # STARTTLS with the server comes before the client's EHLO and AUTH.
        smtp = smtplib.SMTP("127.0.0.1", ports["starttls"], timeout=60)
        smtp.ehlo("client.example.org")
        self.assertIn("auth", smtp.esmtp_features, "offered only over TLS")
        self.assertNotIn("starttls", smtp.esmtp_features)
        smtp.login("alice", "secret")
        smtp.sendmail("alice@example.org", ["bob@example.net"], message(b"secure"))
        smtp.quit()
        self.assertEqual(starttls.wait_for_messages(1), [message(b"secure")])
        self.assertTrue(starttls.envelopes()[0]["authenticated"])
        # Implicit TLS from the first byte.
        smtp = smtplib.SMTP("127.0.0.1", ports["implicit"], timeout=60)
        smtp.sendmail("alice@example.org", ["bob@example.net"], message(b"implicit"))
        smtp.quit()
        self.assertEqual(implicit.wait_for_messages(1), [message(b"implicit")])
        # A certificate of another authority fails cleanly.
        with socket.create_connection(("127.0.0.1", ports["wrong"]), timeout=60) as conn:
            reply = read_line(conn)
            self.assertTrue(reply.startswith(b"421 4.4.1 Unable to connect to SMTP server "
                                             b"(error 10053): "), reply)
            self.assertIn(b"certificate verify failed", reply)
            self.assertEqual(conn.recv(1), b"")
        self.assertEqual(len(implicit.envelopes()), 1)


class HostileServerTest(unittest.TestCase):
    """Scripted servers that misbehave on purpose."""

    @staticmethod
    def converse(conn, answers):
        """Answers each line the proxy sends with the next reply, by its command."""
        conn.sendall(b"220 scripted ready\r\n")
        while True:
            line = read_line(conn)
            if not line:
                return
            reply = answers(line)
            if reply is None:
                return
            conn.sendall(reply)
            if not reply.endswith(b"\n"):
                return  # a reply cut off by the server's going

    def test_servers_that_misbehave(self):
        sessions = []  # the commands of each connection to the server refusing STARTTLS

        def refuses_starttls(conn):
            seen = []
            sessions.append(seen)

            def answers(line):
                seen.append(line.split()[0].upper())
                if seen[-1] == b"EHLO":
                    return b"250-scripted\r\n250 STARTTLS\r\n"
                return b"454 4.7.0 TLS not available now\r\n"
            self.converse(conn, answers)

        def goes_mid_message(line):
            command = line[:4].upper()
            if command == b"DATA":
                return b"354 go on\r\n"
            if command in (b"EHLO", b"MAIL", b"RCPT"):
                return b"250 fine\r\n"
            return None  # mid-message: it goes without a word

        def malformed(line):
            command = line[:4].upper()
            if command == b"EHLO":
                return b"250-scripted\n250-SIZE 10\r\n250-STARTTLS\r\nOK\r\n"
            if command == b"NOOP":
                return b"2\r\n"
            if command == b"VRFY":
                return b"252-first\r\n252-and then nothing"
            return b"221 bye\r\n"

        servers = {}
        for name, handler in (("refuses_starttls", refuses_starttls),
                              ("goes_mid_message", lambda conn: self.converse(conn, goes_mid_message)),
                              ("malformed", lambda conn: self.converse(conn, malformed))):
            server = ScriptedServer(handler)
            self.addCleanup(server.close)
            keys = "PORT_UPSTREAM_TLS STARTTLS\n" if name == "refuses_starttls" else ""
            servers[name] = (server.port, keys + LOCAL_IP)
        _, kestrel, ports = smtp_proxy(self, servers, files={"local_ip.txt": "127.0.0.1\n"})

        # A server that refuses STARTTLS is not used in the clear.
        with socket.create_connection(("127.0.0.1", ports["refuses_starttls"]), timeout=60) as conn:
            self.assertEqual(read_line(conn), b"421 4.4.1 Unable to connect to SMTP server "
                                              b"(error 10053): 454 4.7.0 TLS not available now\r\n")
            self.assertEqual(conn.recv(1), b"")
        # Each connection (the readiness probe's too) went no further than STARTTLS.
        self.assertIn([b"EHLO", b"STARTTLS"], sessions)
        for seen in sessions:
            self.assertEqual(seen, [b"EHLO", b"STARTTLS"][:len(seen)])

        # A server that goes mid-message never lets the client think it went.
        smtp = smtplib.SMTP("127.0.0.1", ports["goes_mid_message"], timeout=60)
        with self.assertRaises(smtplib.SMTPServerDisconnected):
            smtp.sendmail("alice@example.org", ["bob@example.net"], message(b"lost"))

        # Malformed replies reach the client as the server sent them.
        with socket.create_connection(("127.0.0.1", ports["malformed"]), timeout=60) as conn:
            self.assertEqual(read_line(conn), b"220 scripted ready\r\n")
            conn.sendall(b"EHLO me\r\n")
            reply = b"".join(read_line(conn) for _ in range(3))
            self.assertEqual(reply, b"250-scripted\r\n250-SIZE 10\r\nOK\r\n")
            conn.sendall(b"NOOP\r\n")
            self.assertEqual(read_line(conn), b"2\r\n")
            conn.sendall(b"VRFY x\r\n")
            # The server goes mid-reply: the client gets what came, then the end.
            self.assertEqual(read_line(conn), b"252-first\r\n")
            self.assertEqual(read_line(conn), b"252-and then nothing")
        # A new session still works.
        with socket.create_connection(("127.0.0.1", ports["malformed"]), timeout=60) as conn:
            self.assertEqual(read_line(conn), b"220 scripted ready\r\n")
        self.assertEqual(kestrel.stop(), 0)


WIZARD_PREFS = (
    'user_pref("mail.account.account1.identities", "id1");\n'
    'user_pref("mail.account.account1.server", "server1");\n'
    'user_pref("mail.accountmanager.accounts", "account1");\n'
    'user_pref("mail.identity.id1.smtpServer", "smtp1");\n'
    'user_pref("mail.server.server1.hostname", "pop.example.com");\n'
    'user_pref("mail.server.server1.name", "Alice");\n'
    'user_pref("mail.server.server1.type", "pop3");\n'
    'user_pref("mail.server.server1.userName", "alice");\n'
    'user_pref("mail.smtpserver.smtp1.hostname", "127.0.0.1");\n'
    'user_pref("mail.smtpserver.smtp1.port", %d);\n')


class WizardBlockTest(unittest.TestCase):
    """The port block the setup wizard writes for a Thunderbird account whose SMTP
    server listens on another port than 25."""

    def test_a_wizard_written_block_relays_to_host_and_port(self):
        sink = SmtpSink(auth=("alice", "secret")).start()
        self.addCleanup(sink.stop)
        ws = Workspace()
        self.addCleanup(ws.remove)
        profile = os.path.join(ws.root, ".thunderbird", "abc.default")
        os.makedirs(profile)
        with open(os.path.join(ws.root, ".thunderbird", "profiles.ini"), "w") as f:
            f.write("[General]\nStartWithLastProfile=1\n\n"
                    "[Profile0]\nName=default\nIsRelative=1\nPath=abc.default\nDefault=1\n")
        with open(os.path.join(profile, "prefs.js"), "w") as f:
            f.write(WIZARD_PREFS % sink.port)
        fledgling = os.path.join(os.path.dirname(BINARY), "fledgling")
        result = subprocess.run([fledgling, "-configdir", ws.data, "--yes", "--level", "safe",
                                 "--accounts", "1", "--no-start"], env=ws.environment(),
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=60)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        config = ws.read("config.dat")
        block = re.search(r"\nPORT (\d+)\nPORT_TYPE SMTP_SPECIFIC\nPORT_SMTP_SERVERNAME (\S+)\n",
                          config)
        self.assertEqual(block.group(2), "127.0.0.1:%d" % sink.port)
        # Its own free port, and no first-start ports beside it; the block stays
        # as the wizard wrote it.
        port = free_port()
        config = config.replace(block.group(0), block.group(0).replace(block.group(1), str(port)))
        config = config.replace("IS_FIRST_RUN YES", "IS_FIRST_RUN NO")
        ws.write("config.dat", "CREATE_DEFAULT_IMAP4_PORT NO\nDNSBL_NAMESERVER 127.0.0.1:9\n" +
                 config)
        kestrel = Kestrel(ws)
        self.addCleanup(kestrel.stop)
        wait_for_port(port)

        smtp = smtplib.SMTP("127.0.0.1", port, timeout=60)
        smtp.ehlo("client.example.org")
        # The client logs in with the user name the wizard gave the account.
        smtp.login("alice@pop.example.com", "secret")
        smtp.sendmail("alice@example.org", ["friend@example.net"], message(b"via the wizard"))
        smtp.quit()
        stored = sink.wait_for_messages(1)[0]
        self.assertEqual(split_received(stored)[1], message(b"via the wizard"))
        self.assertTrue(sink.envelopes()[0]["authenticated"])


if __name__ == "__main__":
    unittest.main()
