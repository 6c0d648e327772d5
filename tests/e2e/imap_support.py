"""Helpers for the IMAP4 tests: messages, a Kestrelmail with IMAP4 ports before a
real Dovecot, and a direct look at the server's mailboxes."""

import glob
import imaplib
import os
import re
import unittest

import corpus
from kestrel import Kestrel, Workspace, wait_for
from peers import Dovecot, free_ports, wait_for_port

def crlf(message):
    """A message as an IMAP4 server hands it out."""
    return re.sub(rb"\r?\n", b"\r\n", message)


def body_of(message):
    data = crlf(message)
    return data[data.index(b"\r\n\r\n") + 4:]


def header_value(message, name):
    data = crlf(message)
    head = data[:data.index(b"\r\n\r\n") + 2]
    found = re.search(rb"(?im)^" + re.escape(name) + rb":[ \t]*(.*(?:\r\n[ \t].*)*)\r\n", head)
    return found.group(1) if found else None


def imap_port_config(port="{port0}", kind="IMAP4_GENERIC", server=None, **options):
    """A port block; options are PORT_IMAP4_... keys without the prefix, plus
    UPSTREAM_TLS, TLS_CA_FILE."""
    text = "PORT %s\nPORT_TYPE %s\n" % (port, kind)
    if server:
        text += "PORT_IMAP4_SERVERNAME %s\n" % server
    for key, value in options.items():
        prefix = "PORT_" if key in ("UPSTREAM_TLS", "TLS_CA_FILE", "TLS_VERIFY") else "PORT_IMAP4_"
        text += "%s%s %s\n" % (prefix, key, value)
    return text + "\n"


class ServerView:
    """The server's mailboxes as a direct client sees them, without changing any
    flag."""

    def __init__(self, dovecot, user="alice", password="secret"):
        self.imap = imaplib.IMAP4("127.0.0.1", dovecot.imap_port, timeout=60)
        self.imap.login(user, password)

    def folders(self):
        typ, data = self.imap.list()
        names = []
        for entry in data:
            names.append(entry.decode().rsplit(" ", 1)[1].strip('"'))
        return names

    def messages(self, folder="INBOX"):
        """[(uid, flags, bytes)] of the folder, or None when it does not exist."""
        typ, data = self.imap.select(folder, readonly=True)
        if typ != "OK":
            return None
        if int(data[0]) == 0:
            return []
        typ, data = self.imap.fetch("1:*", "(UID FLAGS BODY.PEEK[])")
        found = []
        for item in data:
            if not isinstance(item, tuple):
                continue
            head = item[0].decode()
            uid = int(re.search(r"UID (\d+)", head).group(1))
            flags = set(re.search(r"FLAGS \(([^)]*)\)", head).group(1).split())
            found.append((uid, flags, item[1]))
        return found

    def mark(self, folder, uid, flags):
        self.imap.select(folder)
        self.imap.uid("STORE", str(uid), "+FLAGS.SILENT", flags)

    def close(self):
        try:
            self.imap.logout()
        except (imaplib.IMAP4.error, OSError):
            pass


class ImapProxy:
    """Dovecot and Kestrelmail with the given port blocks (a format string that may
    name {server}, the plain IMAP4 address of the server, and {port0}..{port3},
    free ports for the proxy)."""

    def __init__(self, ports, extra_config="", ssl=False, blacklist="*@spam.example\n",
                 blacklist_ip="198.51.100.0/24\n", messages=(), dovecot=None, files=None):
        self.dovecot = (dovecot or Dovecot(ssl=ssl).start()).deliver_all(messages)
        self.ws = Workspace()
        self.ports = free_ports(4)
        self.server = "127.0.0.1:%d" % self.dovecot.imap_port
        self.config = ("IS_FIRST_RUN NO\nCREATE_DEFAULT_IMAP4_PORT NO\nTAG_SUBJECT TRUE\n"
                       "LOGGING_ENABLED YES\n" + extra_config +
                       ports.format(server=self.server, port0=self.ports[0], port1=self.ports[1],
                                    port2=self.ports[2], port3=self.ports[3]))
        self.ws.write("config.dat", self.config)
        self.ws.write("blist_email.dat", blacklist)
        self.ws.write("blist_ip.dat", blacklist_ip)
        for name, text in (files or {}).items():
            self.ws.write(name, text)
        self.kestrel = None
        self.start()

    def start(self):
        self.kestrel = Kestrel(self.ws)
        for port in self.ports:
            if ("PORT %d\n" % port) in self.config:
                wait_for_port(port)
        return self

    def select(self, *folders):
        """A session that selects the folders (INBOX by default) and logs out."""
        imap = self.login()
        for folder in folders or ("INBOX",):
            imap.select(folder)
        imap.logout()

    def restart(self):
        assert self.kestrel.stop() == 0
        return self.start()

    def login(self, port_index=0, user=None, password="secret"):
        imap = imaplib.IMAP4("127.0.0.1", self.ports[port_index], timeout=120)
        imap.login(user or ("alice@" + self.server), password)
        return imap

    def view(self):
        return ServerView(self.dovecot)

    def log(self):
        try:
            return self.ws.read("log.txt", "rb").decode("utf-8", "replace")
        except OSError:
            return ""

    def filtered_counts(self):
        """The number of messages each ended session that logged in filtered, in
        order (a probe of the port is a session too)."""
        counts = []
        for block in self.log().split("Session started")[1:]:
            ended = re.search(r"Session ended: (\d+) messages filtered", block)
            if ended and "User " in block:
                counts.append(int(ended.group(1)))
        return counts

    def wait_for_sessions(self, count):
        wait_for(lambda: len(self.filtered_counts()) >= count, what="%d ended sessions" % count)
        return self.filtered_counts()

    def state_files(self):
        return sorted(os.listdir(self.ws.path("imap4_state")))

    def stop(self):
        code = self.kestrel.stop() if self.kestrel else 0
        self.dovecot.stop()
        self.ws.remove()
        return code


class ImapProxyCase(unittest.TestCase):
    """An ImapProxy with the class's port blocks and messages, for its tests."""

    ports = ""
    messages = ()
    extra_config = ""

    @classmethod
    def setUpClass(cls):
        cls.proxy = ImapProxy(cls.ports, messages=cls.messages, extra_config=cls.extra_config)

    @classmethod
    def tearDownClass(cls):
        assert cls.proxy.stop() == 0, "kestrelmail must end normally"


def corpus_messages(group, count):
    """The first raw messages of a corpus group, without their mbox "From " line."""
    files = sorted(glob.glob(os.path.join(corpus.corpus_data(), group, "*.txt")))[:count]
    messages = []
    for path in files:
        with open(path, "rb") as f:
            data = f.read()
        if data.startswith(b"From "):
            data = data[data.index(b"\n") + 1:]
        messages.append(data)
    return messages


def sender_address(message):
    value = header_value(message, b"From") or b""
    found = re.search(rb"<([^>]+)>", value) or re.search(rb"([^\s<>\"]+@[^\s<>\"]+)", value)
    return found.group(1).decode("latin-1").lower() if found else None

