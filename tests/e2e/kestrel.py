"""Running the built kestrelmail program from tests."""

import os
import shutil
import signal
import subprocess
import tempfile
import time

from peers import cleanup, wait_for_port

BUILD_DIR = os.environ.get("KESTREL_BUILD_DIR",
                           os.path.join(os.path.dirname(__file__), "..", "..", "build"))
BINARY = os.path.join(BUILD_DIR, "kestrelmail")


def wait_for(predicate, timeout=20.0, interval=0.05, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(interval)
    raise AssertionError("timed out waiting for " + what)


class Workspace:
    """A private folder holding a data directory and the per-user runtime folder."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="kestrel-e2e-")
        self.runtime = os.path.join(self.root, "runtime")
        os.mkdir(self.runtime, 0o700)
        self.data = os.path.join(self.root, "data")

    def path(self, name):
        return os.path.join(self.data, name)

    def read(self, name, mode="r"):
        with open(self.path(name), mode) as f:
            return f.read()

    def write(self, name, text):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), "w" if isinstance(text, str) else "wb") as f:
            f.write(text)

    def environment(self):
        env = dict(os.environ)
        env["XDG_RUNTIME_DIR"] = self.runtime
        env["HOME"] = self.root
        env.pop("XDG_CONFIG_HOME", None)
        # Update checks read a local file that is not there, never the network.
        env["KESTREL_UPDATES_SOURCE"] = os.path.join(self.root, "no-updates-here.dat")
        return env

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


# Files the program reads from beside its executable.
RESOURCES = ["kestrelmail.lang", "default_dnsbl.dat", "default_extra_dnsbl.dat",
             "extra_dnsbl_instructions.txt"]
TEST_PLUGINS = os.path.join(BUILD_DIR, "test-plugins")


def program_folder(workspace, plugins):
    """A copy of the program and its files in a folder of the workspace, with the
    plug-in libraries `plugins` ({"folder/name.so": source path}) in its plugins/
    folder; returns the program's path. The program looks for plug-ins beside its
    own executable, so the build's own plug-ins stay out of the way."""
    folder = os.path.join(workspace.root, "program")
    os.makedirs(folder, exist_ok=True)
    binary = os.path.join(folder, "kestrelmail")
    shutil.copy(BINARY, binary)
    for name in RESOURCES:
        shutil.copy(os.path.join(BUILD_DIR, name), folder)
    for place, source in plugins.items():
        target = os.path.join(folder, "plugins", place)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(source, target)
    return binary


def test_plugin(name):
    """The path of a plug-in built for the tests (tests/plugins)."""
    return os.path.join(TEST_PLUGINS, name, name + ".so")


class Kestrel:
    """One running kestrelmail process."""

    def __init__(self, workspace, *extra_args, binary=BINARY, data_dir=None, env=None,
                 tray_icon=False):
        args = [binary, "-configdir", data_dir or workspace.data]
        if not tray_icon:
            args += ["-trayicon", "none"]
        args += list(extra_args)
        environment = workspace.environment()
        environment.update(env or {})
        self.workspace = workspace
        self.config_stamp = self._config_stamp()
        # What it says goes to stdout, notices to stderr; a file never fills up the
        # way a pipe nobody reads does.
        fd, self.stderr_path = tempfile.mkstemp(prefix="stderr-", dir=workspace.root)
        out, self.stdout_path = tempfile.mkstemp(prefix="stdout-", dir=workspace.root)
        with os.fdopen(fd, "wb") as stderr, os.fdopen(out, "wb") as stdout:
            self.process = subprocess.Popen(args, env=environment,
                                            stdout=stdout, stderr=stderr)

    def _config_stamp(self):
        try:
            return os.stat(self.workspace.path("config.dat")).st_mtime_ns
        except OSError:
            return None

    def wait_until_loaded(self):
        """Waits until the configuration was loaded: every load writes it back."""
        def loaded():
            if self.process.poll() is not None:
                raise AssertionError("kestrelmail ended early: %s" % self.stderr())
            stamp = self._config_stamp()
            return stamp is not None and stamp != self.config_stamp
        wait_for(loaded, what="the configuration to load")
        return self

    def stop(self, sig=signal.SIGTERM, timeout=20):
        if self.process.poll() is None:
            self.process.send_signal(sig)
        return self.wait(timeout)

    def wait(self, timeout=20):
        return self.process.wait(timeout=timeout)

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stdout(self):
        with open(self.stdout_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def close(self):
        """Stops it, or kills it when it does not stop."""
        try:
            self.stop()
        except subprocess.TimeoutExpired:
            self.kill()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


# What every test configuration starts with: no first-start ports.
CONFIG_HEAD = "IS_FIRST_RUN NO\nCREATE_DEFAULT_IMAP4_PORT NO\n"


def run_kestrel(owner, config, files=None, ports=(), ws=None, plugins=None, **options):
    """Kestrelmail in a workspace (its own, or `ws`) whose config.dat is
    CONFIG_HEAD and `config`, with the data files `files` ({name: text}) and the
    plug-ins `plugins` (as for program_folder), once it listens on `ports`;
    stopped and removed when the test (or the class, for a class `owner`) is done.
    Returns (workspace, program)."""
    if ws is None:
        ws = Workspace()
        cleanup(owner, ws.remove)
    if plugins is not None:
        options["binary"] = program_folder(ws, plugins)
    ws.write("config.dat", CONFIG_HEAD + config)
    for name, text in (files or {}).items():
        ws.write(name, text)
    kestrel = Kestrel(ws, **options)
    cleanup(owner, kestrel.close)
    for port in ports:
        wait_for_port(port)
    return ws, kestrel
