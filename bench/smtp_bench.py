"""SMTP through the proxy against SMTP straight to the server, in one run.

Reports: the time to send 1,000 messages of 20 KB (one session, smtplib) to
aiosmtpd directly and through Kestrelmail (filtering off, and filtering on with big
lists loaded and the Received line added) as ratios; and a 100 MB message with the
proxy's peak resident memory.
Usage: /usr/bin/python3 bench/smtp_bench.py [BUILD_DIR]
"""

import smtplib
import time

from bench_support import start_proxy as start_kestrel, status_mb, write_big_lists
from kestrel import Workspace
from peers import SmtpSink, free_port

MESSAGES = 1000
SIZE = 20 * 1024


def message(n):
    head = ("Date: Sun, 6 Dec 2026 10:00:00 +0100\r\nFrom: Alice <alice@example.org>\r\n"
            "To: friend%d@example.net\r\nSubject: Report number %d\r\n"
            "Message-ID: <%d@example.org>\r\n\r\n" % (n, n, n))
    line = "The quick brown fox jumps over the lazy dog, again and again and again.\r\n"
    return (head + line * ((SIZE - len(head)) // len(line))).encode()


def send_all(port, messages):
    smtp = smtplib.SMTP("127.0.0.1", port, timeout=300)
    smtp.ehlo("bench.example.org")
    start = time.perf_counter()
    for n, data in enumerate(messages):
        smtp.sendmail("alice@example.org", ["friend%d@example.net" % n], data)
    elapsed = time.perf_counter() - start
    smtp.quit()
    return elapsed


def best_of(runs, port, messages):
    """The fastest of several runs: the machine's other work only ever slows one."""
    return min(send_all(port, messages) for _ in range(runs))


def write_lists(ws):
    write_big_lists(ws)
    ws.write("local_ip.txt", "127.0.0.1\n")


def start_proxy(ws, port, sink, keys=""):
    return start_kestrel(ws, "TAG_SUBJECT TRUE\nPORT %d\nPORT_TYPE SMTP_SPECIFIC\n"
                             "PORT_SMTP_SERVERNAME 127.0.0.1:%d\n"
                             "PORT_SMTP_LOCAL_IP_LEAFNAME local_ip.txt\n%s" % (port, sink.port, keys),
                         [port])


def main():
    messages = [message(n) for n in range(MESSAGES)]
    sink = SmtpSink(size=256 * 1024 * 1024).start()
    ws = Workspace()
    write_lists(ws)
    port = free_port()
    try:
        send_all(sink.port, messages[:50])  # warm the server up
        direct = best_of(3, sink.port, messages)

        kestrel = start_proxy(ws, port, sink)
        relayed = best_of(3, port, messages)
        kestrel.stop()

        kestrel = start_proxy(ws, port, sink, "PORT_SMTP_USE_FILTERING YES\n"
                                              "PORT_SMTP_ADD_RECEIVIED_HEADER YES\n")
        filtered = best_of(3, port, messages)
        kestrel.stop()
        direct = min(direct, best_of(3, sink.port, messages))

        print("%d messages of 20 KB in one SMTP session:" % MESSAGES)
        print("  direct to the server        %7.3f s" % direct)
        print("  through Kestrelmail, relay  %7.3f s  ratio %.2f (target at most 1.3)"
              % (relayed, relayed / direct))
        print("  through Kestrelmail, filter %7.3f s  ratio %.2f (target at most 1.5)"
              % (filtered, filtered / direct))

        line = b"0123456789abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n"
        big = (b"From: big@example.org\r\nSubject: 100 MB\r\n\r\n" +
               line * (100 * 1024 * 1024 // len(line)))
        kestrel = start_proxy(ws, port, sink, "PORT_SMTP_USE_FILTERING YES\n")
        before = status_mb(kestrel.process.pid)
        elapsed = send_all(port, [big])
        peak = status_mb(kestrel.process.pid)
        print("100 MB message: %.2f s; proxy peak resident memory %.1f MB (%.1f MB before)"
              % (elapsed, peak, before))
        kestrel.stop()
    finally:
        sink.stop()
        ws.remove()


if __name__ == "__main__":
    main()
