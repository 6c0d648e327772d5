"""DNSBL servers for end-to-end tests: rbldnsd on a loopback port, started and
stopped by the test, and a UDP port that never answers."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time


def _free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Rbldnsd:
    """rbldnsd serving zones given as {zone name: data file text}, e.g.
    {"bl.test": ":127.0.0.2:\\n192.0.2.10\\n198.51.100.0/24 :127.0.0.4:\\n"}, ip4set
    zones; a zone of another dataset type is given as (type, text), e.g. host
    addresses {"shop.test": ("generic", "www A 192.0.2.7\\n")} or a domain list
    {"dbl.test": ("dnset", ":127.0.1.2:\\nlisted.test\\n")}.
    It refuses to run as root and switches to its own user, so its folder and zone
    files are readable by everybody. Use as a context manager or call stop()."""

    def __init__(self, zones):
        self.folder = tempfile.mkdtemp(prefix="kestrel-rbldnsd-")
        os.chmod(self.folder, 0o755)
        specs = []
        for index, (zone, text) in enumerate(zones.items()):
            kind, text = text if isinstance(text, tuple) else ("ip4set", text)
            name = "zone%d" % index
            path = os.path.join(self.folder, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o644)
            specs.append("%s:%s:%s" % (zone, kind, name))
        program = shutil.which("rbldnsd") or "/usr/sbin/rbldnsd"
        self.process = None
        for _ in range(5):
            self.port = _free_udp_port()
            self.log = open(os.path.join(self.folder, "log"), "ab")
            # The pid file is written once the socket is bound (a taken port ends it).
            self.pid_file = os.path.join(self.folder, "pid")
            if os.path.exists(self.pid_file):
                os.unlink(self.pid_file)
            self.process = subprocess.Popen(
                [program, "-n", "-b", "127.0.0.1/%d" % self.port, "-p", self.pid_file,
                 "-w", self.folder] + specs,
                stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
            if self._wait_ready():
                return
            self.stop(remove=False)
        raise RuntimeError("rbldnsd did not start: " + self._log_text())

    def _wait_ready(self):
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return False
            if os.path.exists(self.pid_file) and os.path.getsize(self.pid_file) > 0:
                return True
            time.sleep(0.05)
        return False

    def _log_text(self):
        with open(os.path.join(self.folder, "log"), "rb") as f:
            return f.read().decode("utf-8", "replace")

    @property
    def nameserver(self):
        """The value of DNSBL_NAMESERVER that points at this server."""
        return "127.0.0.1:%d" % self.port

    def stop(self, remove=True):
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        if remove:
            shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class SilentUdpPort:
    """A loopback UDP port that takes every query and never answers, so queries
    to it time out; or, with a `delay`, answers each with "no such name" that many
    seconds late. `asked` is set by the first query."""

    def __init__(self, delay=None):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", 0))
        self.port = self.socket.getsockname()[1]
        self.asked = threading.Event()
        threading.Thread(target=self._take, args=(delay,), daemon=True).start()

    def _take(self, delay):
        try:
            while True:
                query, client = self.socket.recvfrom(4096)
                self.asked.set()
                if delay is not None:
                    end = 12  # the question's name ends with a zero length
                    while query[end] != 0:
                        end += query[end] + 1
                    answer = query[:2] + b"\x81\x83\x00\x01\x00\x00\x00\x00\x00\x00" + query[12:end + 5]
                    threading.Timer(delay, self._reply, (answer, client)).start()
        except OSError:
            pass

    def _reply(self, answer, client):
        try:
            self.socket.sendto(answer, client)
        except OSError:
            pass

    @property
    def nameserver(self):
        return "127.0.0.1:%d" % self.port

    def close(self):
        self.socket.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
