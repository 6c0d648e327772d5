"""What the proxy benchmarks share: the end-to-end helpers on the path, the build
folder from the command line, test mail, big lists and a running proxy.

Imported first by each bench/*_bench.py (its folder is on the path when run as
/usr/bin/python3 bench/NAME_bench.py [BUILD_DIR]).
"""

import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
if len(sys.argv) > 1:
    os.environ["KESTREL_BUILD_DIR"] = os.path.abspath(sys.argv[1])

from kestrel import Kestrel  # noqa: E402
from peers import wait_for_port  # noqa: E402

# The keys every benchmark's config.dat starts with: no welcome, no default port.
BASE_CONFIG = "IS_FIRST_RUN NO\nCREATE_DEFAULT_IMAP4_PORT NO\n"


def report_message(n, size, received_lines=8):
    """Message n of a mailbox: `received_lines` Received lines, a short header and
    plain text up to about `size` bytes, with LF line ends."""
    received = "".join("Received: from relay%d.example.net (relay%d.example.net [198.18.%d.%d])\n"
                       "\tby mx.example.net; Sun, 6 Dec 2026 10:00:%02d +0000\n"
                       % (i, i, n % 250, i + 1, i) for i in range(received_lines))
    head = (received + "From: Sender %d <sender%d@example.org>\nTo: alice@example.net\n"
            "Subject: Report number %d\nMessage-ID: <%d@example.org>\n\n" % (n, n, n, n))
    line = "The quick brown fox jumps over the lazy dog, again and again and again.\n"
    return (head + line * ((size - len(head)) // len(line))).encode()


def write_big_lists(ws):
    """A white list of 10,000 address patterns and a black list of 100,000 netblocks."""
    rnd = random.Random(7)
    ws.write("wlist_email.dat", "".join("*@friend%d.example\n" % i for i in range(10000)))
    ws.write("blist_ip.dat", "".join("%d.%d.%d.0/24\n" % (rnd.randint(1, 223), rnd.randint(0, 255),
                                                         rnd.randint(0, 255))
                                     for _ in range(100000)))


def start_proxy(ws, config, ports):
    """Kestrelmail on `ws` with BASE_CONFIG and `config` as its config.dat, once
    it listens on every one of `ports`."""
    ws.write("config.dat", BASE_CONFIG + config)
    kestrel = Kestrel(ws)
    for port in ports:
        wait_for_port(port)
    return kestrel


def status_mb(pid, field="VmHWM"):
    """A memory figure of /proc/PID/status in MB: the peak resident size by default."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024.0
    return 0.0
