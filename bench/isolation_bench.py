"""The cost of the session bounds on a load of 500 concurrent POP3 sessions.

Runs the same load through Kestrelmail with the bounds on (MAX_SESSIONS and
CLIENT_IDLE_TIME_OUT at their defaults) and off (both 0), alternating, and reports
the wall time of each run, the proxy's CPU time and its peak resident size. Then:
500 clients waiting inside an AUTH exchange (the proxy's CPU use while they wait),
and 2,000 sessions that end together (how long a new client then waits for its
greeting, and the resident size before and after).

Usage: /usr/bin/python3 bench/isolation_bench.py [BUILD_DIR]
"""

import os
import poplib
import resource
import socket
import statistics
import struct
import threading
import time

from bench_support import report_message, start_proxy as start_kestrel, status_mb
from kestrel import Workspace
from peers import Dovecot, free_port, read_line

SESSIONS = 500
MESSAGES = 10
SIZE = 20 * 1024
ROUNDS = 5


def proc_stat(pid):
    """(CPU seconds, peak resident MB) of a process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return cpu, status_mb(pid)


AUTH_PORT = free_port()


def start_proxy(ws, port, bounds, server):
    """Kestrelmail with a generic port and a port for `server` (AUTH_PORT)."""
    extra = "" if bounds else "MAX_SESSIONS 0\nCLIENT_IDLE_TIME_OUT 0\n"
    return start_kestrel(ws, "%sPORT %d\nPORT_TYPE POP3_GENERIC\n\n"
                             "PORT %d\nPORT_TYPE POP3_SPECIFIC\nPORT_POP3_SERVERNAME %s\n"
                             % (extra, port, AUTH_PORT, server), [port, AUTH_PORT])


def load(port, user):
    """SESSIONS clients at once, each reading every message; the wall time."""
    errors = []
    start_line = threading.Barrier(SESSIONS + 1)

    def session():
        try:
            start_line.wait()
            pop = poplib.POP3("127.0.0.1", port, timeout=600)
            pop.user(user)
            pop.pass_("secret")
            for n in range(1, MESSAGES + 1):
                pop.retr(n)
            pop.quit()
        except Exception as e:  # noqa: BLE001 - counted below
            errors.append(e)
    threads = [threading.Thread(target=session) for _ in range(SESSIONS)]
    for t in threads:
        t.start()
    start_line.wait()
    began = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - began, len(errors)


def waiting_in_auth(seconds=10):
    """SESSIONS clients that stay inside an AUTH exchange, and for how long."""
    conns = []
    for _ in range(SESSIONS):
        conn = socket.create_connection(("127.0.0.1", AUTH_PORT), timeout=60)
        read_line(conn)
        conn.sendall(b"AUTH PLAIN\r\n")
        read_line(conn)  # the server's "+ " asks for the credentials: nobody answers
        conns.append(conn)
    return conns, seconds


def main():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 8192), hard))
    dovecot = Dovecot(sessions=SESSIONS + 50).start()
    for n in range(MESSAGES):
        dovecot.deliver("alice", report_message(n, SIZE, 0))
    server = "127.0.0.1:%d" % dovecot.pop3_port
    user = "alice@" + server
    ws = Workspace()
    port = free_port()
    results = {True: [], False: []}
    try:
        load(dovecot.pop3_port, "alice")  # warm the server's index and caches
        for _ in range(ROUNDS):
            for bounds in (True, False):
                kestrel = start_proxy(ws, port, bounds, server)
                elapsed, failed = load(port, user)
                cpu, peak = proc_stat(kestrel.process.pid)
                kestrel.stop(timeout=120)
                results[bounds].append((elapsed, cpu, peak, failed))

        print("%d concurrent POP3 sessions, %d RETR of 20 KB each, %d rounds:"
              % (SESSIONS, MESSAGES, ROUNDS))
        for bounds, label in ((True, "bounds on "), (False, "bounds off")):
            runs = results[bounds]
            walls = [r[0] for r in runs]
            print("  %s  wall %s s (median %.2f)  proxy CPU median %.2f s  peak RSS median "
                  "%.1f MB  failed %d"
                  % (label, " ".join("%.2f" % w for w in walls), statistics.median(walls),
                     statistics.median(r[1] for r in runs), statistics.median(r[2] for r in runs),
                     sum(r[3] for r in runs)))
        on = statistics.median(r[0] for r in results[True])
        off = statistics.median(r[0] for r in results[False])
        spread = max(max(r[0] for r in results[b]) - min(r[0] for r in results[b])
                     for b in (True, False))
        print("  median difference %+.2f s (%+.1f%%); largest spread within one setting %.2f s"
              % (on - off, 100.0 * (on - off) / off, spread))

        # Clients waiting inside an AUTH exchange.
        kestrel = start_proxy(ws, port, True, server)
        conns, seconds = waiting_in_auth()
        cpu_before, _ = proc_stat(kestrel.process.pid)
        time.sleep(seconds)
        cpu_after, _ = proc_stat(kestrel.process.pid)
        print("%d clients waiting inside AUTH for %d s: proxy CPU %.2f s (%.1f%% of a core)"
              % (SESSIONS, seconds, cpu_after - cpu_before,
                 100.0 * (cpu_after - cpu_before) / seconds))
        for conn in conns:
            conn.close()
        kestrel.stop(timeout=120)
    finally:
        dovecot.stop()

    # 2,000 sessions that end together, then a new client.
    kestrel = start_proxy(ws, port, False, server)
    pid = kestrel.process.pid
    time.sleep(2)
    before = status_mb(pid, "VmRSS")
    flood = [socket.create_connection(("127.0.0.1", port), timeout=60) for _ in range(2000)]
    for conn in flood:
        read_line(conn)
    during = status_mb(pid, "VmRSS")
    linger = struct.pack("ii", 1, 0)
    for conn in flood:
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, linger)
        conn.close()
    # New clients over the next seconds, while the ended sessions clean up.
    waits = []
    until = time.perf_counter() + 6
    while time.perf_counter() < until:
        began = time.perf_counter()
        with socket.create_connection(("127.0.0.1", port), timeout=120) as conn:
            read_line(conn)
        waits.append(time.perf_counter() - began)
        time.sleep(0.25)
    time.sleep(4)
    print("2,000 sessions ending together: new clients wait for their greeting at most %.3f s "
          "(%d clients over 6 s); resident %.1f MB before, %.1f MB with them, %.1f MB 10 s after"
          % (max(waits), len(waits), before, during, status_mb(pid, "VmRSS")))
    kestrel.stop(timeout=120)
    ws.remove()


if __name__ == "__main__":
    main()
