"""IMAP4 through the proxy against IMAP4 straight from Dovecot, in one run.

Reports:
  - the first SELECT of a 1,000-message INBOX with filter type ALL through
    Kestrelmail (every message's size, flags and header fetched and judged, its
    unseen state restored), against fetching the same headers straight from
    Dovecot, one message at a time and in one FETCH, as ratios;
  - the server commands a second SELECT of the same mailbox costs (counted by a
    middleman in front of Dovecot): none may fetch a message;
  - a FETCH of the 1,000 full messages relayed through Kestrelmail against the
    same FETCH straight from Dovecot, as a ratio.
Usage: /usr/bin/python3 bench/imap4_bench.py [BUILD_DIR]
"""

import imaplib
import os
import shutil
import time

from bench_support import report_message, start_proxy
from kestrel import Workspace
from peers import Dovecot, Middleman, free_port

MESSAGES = 1000
SIZE = 20 * 1024
RUNS = 5
FETCH_RUNS = 20


def timed(action):
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def direct_headers_one_by_one(dovecot):
    imap = imaplib.IMAP4("127.0.0.1", dovecot.imap_port, timeout=300)
    imap.login("alice", "secret")

    def run():
        imap.select("INBOX")
        typ, data = imap.uid("SEARCH", None, "ALL")
        for uid in data[0].split():
            imap.uid("FETCH", uid, "(RFC822.SIZE FLAGS)")
            imap.uid("FETCH", uid, "RFC822.HEADER")
    elapsed = timed(run)
    imap.logout()
    return elapsed


def direct_headers_at_once(dovecot):
    imap = imaplib.IMAP4("127.0.0.1", dovecot.imap_port, timeout=300)
    imap.login("alice", "secret")
    elapsed = timed(lambda: (imap.select("INBOX"), imap.fetch("1:*", "(UID RFC822.SIZE FLAGS "
                                                                       "RFC822.HEADER)")))
    imap.logout()
    return elapsed


def proxied_select(port, server_port):
    imap = imaplib.IMAP4("127.0.0.1", port, timeout=600)
    imap.login("alice@127.0.0.1:%d" % server_port, "secret")
    elapsed = timed(lambda: imap.select("INBOX"))
    imap.logout()
    return elapsed


def fetch_all(port, user):
    imap = imaplib.IMAP4("127.0.0.1", port, timeout=600)
    imap.login(user, "secret")
    imap.select("INBOX")
    elapsed = timed(lambda: imap.fetch("1:%d" % MESSAGES, "(BODY.PEEK[])"))
    imap.logout()
    return elapsed


def main():
    dovecot = Dovecot().start()
    for n in range(MESSAGES):
        dovecot.deliver("alice", report_message(n, SIZE))
    middleman = Middleman(dovecot.imap_port)
    ws = Workspace()
    port = free_port()
    kestrel = start_proxy(ws, "TAG_SUBJECT TRUE\nPORT %d\nPORT_TYPE IMAP4_GENERIC\n"
                              "PORT_IMAP4_FILTER_TYPE ALL\n" % port, [port])
    try:
        state = ws.path("imap4_state")
        # Warm the server's caches and index first.
        direct_headers_at_once(dovecot)

        # Runs alternate, and the best of each counts: the machine's other work only
        # ever slows a run down.
        first, one_by_one, at_once = [], [], []
        for _ in range(RUNS):
            shutil.rmtree(state)
            os.mkdir(state)
            first.append(proxied_select(port, dovecot.imap_port))
            one_by_one.append(direct_headers_one_by_one(dovecot))
            at_once.append(direct_headers_at_once(dovecot))
        best, one_by_one, at_once = min(first), min(one_by_one), min(at_once)
        print("First SELECT of %d messages, filter type ALL, through Kestrelmail: %.3f s"
              % (MESSAGES, best))
        print("  the same headers straight from Dovecot, one message at a time: %.3f s "
              "(ratio %.2f)" % (one_by_one, best / one_by_one))
        print("  the same headers straight from Dovecot in one FETCH:           %.3f s "
              "(ratio %.2f)" % (at_once, best / at_once))

        # A first and a second SELECT through a middleman that counts the server's
        # commands (the middleman names another server: a fresh account).
        imap = imaplib.IMAP4("127.0.0.1", port, timeout=600)
        imap.login("alice@127.0.0.1:%d" % middleman.port, "secret")
        imap.select("INBOX")
        before = len(middleman.sent())
        second = timed(lambda: imap.select("INBOX"))
        commands = middleman.sent()[before:]
        imap.logout()
        fetches = [c for c in commands if b"FETCH" in c.upper()]
        print("Second SELECT: %.3f s, %d server commands, %d of them fetching: %s"
              % (second, len(commands), len(fetches),
                 b" | ".join(c.strip() for c in commands[:8]).decode(errors="replace")))

        direct, proxied = [], []
        for _ in range(FETCH_RUNS):
            direct.append(fetch_all(dovecot.imap_port, "alice"))
            proxied.append(fetch_all(port, "alice@127.0.0.1:%d" % dovecot.imap_port))
        direct, proxied = min(direct), min(proxied)
        print("FETCH of %d full messages of %d KB: direct %.3f s, through Kestrelmail %.3f s "
              "(ratio %.2f)" % (MESSAGES, SIZE // 1024, direct, proxied, proxied / direct))
    finally:
        assert kestrel.stop() == 0
        middleman.close()
        dovecot.stop()
        ws.remove()


if __name__ == "__main__":
    main()
