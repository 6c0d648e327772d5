"""The program's pages from tests: the address with the token, HTTP requests with
and without it, and the headless browser driven through playwright-core."""

import http.client
import json
import os
import re
import subprocess

from kestrel import BUILD_DIR, wait_for

DRIVER = os.path.join(os.path.dirname(__file__), "pages_driver.js")
PLAYWRIGHT = os.path.join(BUILD_DIR, "pages-driver", "node_modules", "playwright-core")
CHROMIUM = "/usr/bin/chromium"


def pages_address(workspace, timeout=20.0):
    """The address with the token, once the program has written it."""
    def written():
        try:
            return re.match(r"http://127\.0\.0\.1:\d+/\?token=[0-9a-f]+\n$",
                            workspace.read("web_interface.txt"))
        except OSError:
            return None
    wait_for(written, timeout=timeout, what="web_interface.txt")
    return workspace.read("web_interface.txt").strip()


class Pages:
    """HTTP requests to the pages of one running program."""

    def __init__(self, address):
        match = re.match(r"http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]+)$", address)
        self.address = address
        self.port = int(match.group(1))
        self.token = match.group(2)

    def request(self, method, path, body=None, headers=None, token=True, raw=None):
        """(status, headers, decoded JSON or text) of one request."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        sent = {"Host": "127.0.0.1:%d" % self.port}
        if token:
            sent["X-Kestrel-Token"] = self.token
        data = raw
        if body is not None:
            data = json.dumps(body).encode()
            sent["Content-Type"] = "application/json"
        sent.update(headers or {})
        try:
            connection.request(method, path, body=data, headers=sent)
            response = connection.getresponse()
            payload = response.read()
        finally:
            connection.close()
        kind = response.getheader("Content-Type", "")
        decoded = json.loads(payload) if kind.startswith("application/json") else payload.decode()
        return response.status, dict(response.getheaders()), decoded

    def get(self, path, **options):
        return self.request("GET", path, **options)

    def post(self, path, body, **options):
        return self.request("POST", path, body=body, **options)

    def status(self):
        code, _, body = self.get("/api/status")
        assert code == 200, body
        return body

    def options(self):
        code, _, body = self.get("/api/options")
        assert code == 200, body
        return body


def drive(address, steps, data_dir, screenshots):
    """Runs scenarios of pages_driver.js one after the other in one headless
    Chromium page; `steps` holds (scenario, arguments) pairs. Returns what each
    step observed, or raises with the output when a step failed."""
    env = dict(os.environ)
    env["KESTREL_PLAYWRIGHT"] = PLAYWRIGHT
    env["KESTREL_CHROMIUM"] = CHROMIUM
    task = {"address": address, "steps": [[name, arguments] for name, arguments in steps],
            "dataDir": data_dir, "screenshots": screenshots}
    done = subprocess.run(["node", DRIVER, json.dumps(task)], env=env, capture_output=True,
                          text=True, timeout=120)
    if done.returncode != 0:
        raise AssertionError("the pages failed:\n%s%s" % (done.stdout, done.stderr))
    return json.loads(done.stdout.strip().splitlines()[-1])


def browser_available():
    return os.path.exists(CHROMIUM) and os.path.isdir(PLAYWRIGHT)
