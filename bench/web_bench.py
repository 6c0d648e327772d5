"""The pages: how much the browser loads, how quickly the status and the options
answer while POP3 sessions run, and how long the program takes to stop with a
browser connection left open.

Usage: /usr/bin/python3 bench/web_bench.py [BUILD_DIR]
"""

import http.client
import poplib
import statistics
import threading
import time

from bench_support import report_message, start_proxy
from kestrel import Workspace
from pages import Pages, pages_address
from peers import Dovecot, free_port

REQUESTS = 300
MESSAGES = 50


def timed_gets(pages, path, count):
    """Milliseconds of `count` GETs, each on a new connection as a page's poll makes."""
    times = []
    for _ in range(count):
        start = time.perf_counter()
        code, _, _ = pages.get(path)
        times.append((time.perf_counter() - start) * 1000)
        assert code == 200, path
    return times


def read_mail_until(stop, port, server):
    while not stop.is_set():
        pop = poplib.POP3("127.0.0.1", port, timeout=30)
        pop.user("alice@" + server)
        pop.pass_("secret")
        for n in range(1, MESSAGES + 1):
            pop.retr(n)
        pop.quit()


def main():
    dovecot = Dovecot().start()
    for n in range(MESSAGES):
        dovecot.deliver("alice", report_message(n, 20000))
    ws = Workspace()
    pop3_port = free_port()
    kestrel = start_proxy(ws, "Kestrelmail_UPDATES_CHECK NO\nDNSBL_UPDATES_CHECK NO\n"
                          "WEB_INTERFACE_PORT %d\nPORT %d\nPORT_TYPE POP3_GENERIC\n\n"
                          % (free_port(), pop3_port), [pop3_port])
    try:
        pages = Pages(pages_address(ws))
        cookie = {"Cookie": "kestrel_token=" + pages.token}
        sizes = {path: len(pages.get(path, headers=cookie)[2].encode())
                 for path in ("/", "/app.js", "/app.css")}
        print("page set: %d bytes (%s)" % (sum(sizes.values()),
                                           ", ".join("%s %d" % item for item in sizes.items())))
        stop = threading.Event()
        readers = [threading.Thread(target=read_mail_until,
                                    args=(stop, pop3_port, "127.0.0.1:%d" % dovecot.pop3_port))
                   for _ in range(2)]
        for reader in readers:
            reader.start()
        try:
            for path in ("/api/status", "/api/options"):
                times = sorted(timed_gets(pages, path, REQUESTS))
                print("%s during 2 POP3 sessions: median %.2f ms, 95th percentile %.2f ms"
                      % (path, statistics.median(times), times[int(len(times) * 0.95)]))
        finally:
            stop.set()
            for reader in readers:
                reader.join()
        idle = http.client.HTTPConnection("127.0.0.1", pages.port, timeout=30)
        idle.request("GET", "/", headers={"Host": "127.0.0.1:%d" % pages.port})
        idle.getresponse().read()  # kept open, as a browser tab keeps it
        start = time.perf_counter()
        code = kestrel.stop()
        print("stop with an idle browser connection: %.0f ms (exit %d)"
              % ((time.perf_counter() - start) * 1000, code))
        idle.close()
    finally:
        if kestrel.process.poll() is None:
            kestrel.stop()
        dovecot.stop()
        ws.remove()


if __name__ == "__main__":
    main()
