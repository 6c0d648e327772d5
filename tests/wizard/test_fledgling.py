"""The setup wizard fledgling run for real on real client stores in a private home:
redirect, run again, restore; the produced configuration started in kestrelmail;
the terminal wizard driven through tmux; running clients, read-only stores and a
truncated backup file."""

import fcntl
import os
import stat
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from kestrel import BUILD_DIR, Kestrel, Workspace, wait_for  # noqa: E402
from client_stores import WHITELIST, ClientStores  # noqa: E402
from peers import wait_for_port  # noqa: E402

FLEDGLING = os.path.join(BUILD_DIR, "fledgling")

SMTP_BLOCK = (
    "\nPORT %d\n"
    "PORT_TYPE SMTP_SPECIFIC\n"
    "PORT_SMTP_SERVERNAME %s\n"
    "PORT_SMTP_MUTE_CONNECTION_ERRORS NO\n"
    "PORT_SMTP_AWLIST_RCPT_TO YES\n"
    "PORT_SMTP_REMOVE_SERVERNAME_FROM_USERNAME YES\n"
    "PORT_SMTP_REJECT_ON_MAIL_FROM NO\n"
    "PORT_SMTP_REJECT_ON_ORIGINATING_IP NO\n"
    "PORT_SMTP_ADD_RECEIVIED_HEADER YES\n"
    "PORT_SMTP_USE_FILTERING NO\n"
    "PORT_SMTP_DEFAULT_BODY_FILTERING_K 64\n"
    "PORT_SMTP_LOCAL_EMAIL_LEAFNAME port25_permissions_email.txt\n"
    "PORT_SMTP_LOCAL_IP_LEAFNAME port25_permissions_ip.txt\n"
    "PORT_SPECIAL_ACCESS_CONTROL_LIST NO\n\n")

# The accounts in list order, with the SMTP server their port block names.
ACCOUNTS = [
    ("Outlook Express", "smtp.work.example"),
    ("Outlook Express", "smtp.home.example"),
    ("Incredimail", "smtp.incredi.example:587"),
    ("Eudora", "smtp.eudora.example"),
    ("Eudora", "smtp.side.example:2525"),
    ("Outlook 2000", "smtp.office.example"),
    ("Outlook XP", "smtp.xp.example"),
    ("Thunderbird", "smtp.tb.example:587"),
    ("Claws Mail", "smtp.claws.example"),
]


def lock_is_held(path):
    try:
        fd = os.open(path, os.O_RDWR)
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        return False
    except BlockingIOError:
        return True
    finally:
        os.close(fd)


def processes_holding(path):
    pids = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            for fd in os.listdir("/proc/%s/fd" % pid):
                if os.readlink("/proc/%s/fd/%s" % (pid, fd)) == path:
                    pids.append(int(pid))
                    break
        except OSError:
            pass
    return pids


class Setup:
    """A private home with client stores, a data directory and a runtime folder."""

    def __init__(self):
        self.ws = Workspace()
        self.stores = ClientStores(self.ws.root)
        self.original = self.stores.snapshot()
        self.lock = os.path.join(self.ws.runtime, "KestrelmailMutex")

    def environment(self):
        env = self.ws.environment()
        env["HOME"] = self.stores.home
        env.pop("WINEPREFIX", None)
        env.pop("DISPLAY", None)
        return env

    def command(self, *args):
        return [FLEDGLING, "-configdir", self.ws.data] + list(args)

    def run(self, *args, start=False):
        extra = [] if start else ["--no-start"]
        return subprocess.run(self.command(*args, *extra), env=self.environment(),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=60)

    def restore(self):
        return self.run("/restore", start=True)

    def data(self, name):
        """A data file's text exactly as written (line ends untranslated)."""
        return self.ws.read(name, "rb").decode("utf-8")

    def normalized(self, text):
        return text.replace(self.ws.root, "ROOT")

    def remove(self):
        for pid in processes_holding(self.lock):
            os.kill(pid, 9)
        self.ws.remove()


class FledglingTest(unittest.TestCase):
    def setUp(self):
        self.setup = Setup()
        self.helpers = []

    def tearDown(self):
        for process in self.helpers:
            process.kill()
            process.wait()
        self.setup.remove()

    def fake_client(self, argv0):
        """A process that looks like a running mail client in the process list."""
        process = subprocess.Popen([argv0, "60"], executable="/bin/sleep")
        self.helpers.append(process)
        # The wizard reads the process list at once: wait until the new name shows.
        cmdline = "/proc/%d/cmdline" % process.pid
        wait_for(lambda: open(cmdline, "rb").read().split(b"\0")[0] == argv0.encode(),
                 what="the fake client in the process list")
        return process

    def test_redirect_twice_then_restore_leaves_every_store_byte_identical(self):
        s = self.setup
        # Without a backup, restoring changes nothing.
        result = s.restore()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(s.stores.snapshot(), s.original)
        self.assertFalse(os.path.exists(s.ws.path("accounts_backup.ini")))
        s.ws.write("wlist_email.dat", WHITELIST)
        first = s.run("--yes")
        self.assertEqual(first.returncode, 0, first.stdout + first.stderr)
        config = s.data("config.dat")
        blocks = "".join(SMTP_BLOCK % (1110 + i, server)
                         for i, (_, server) in reversed(list(enumerate(ACCOUNTS))))
        self.assertTrue(config.startswith(blocks), config[:2000])
        # The first-run file follows, with the medium level's lines after its last line.
        self.assertIn("IS_FIRST_RUN YES\n", config)
        self.assertTrue(config.endswith(
            "DNSBL_NEGATIVE_CACHE_PERIOD 3,0\r\nDNSBL SBL Spamhaus SBL"
            "\r\nDNSBL UCEPROT UCEPROTECT L1\r\nDNSBL PSBL PSBL"
            "\r\nDNSBL XBL Spamhaus XBL\n"), config[-400:])
        self.assertEqual(s.data("port25_permissions_ip.txt"), "127.0.0.1")
        self.assertEqual(s.data("port25_permissions_email.txt"), "")

        reg = s.stores.read(s.stores.user_reg)
        self.assertIn('"POP3 User Name"="alice@pop.work.example"\n"SMTP Port"=dword:00000456\n'
                      '"SMTP Server"="localhost"\n', reg)
        self.assertIn('"POP3 Server"=str(2):"localhost"\n', reg)
        self.assertIn('"SMTP Port"="1115"\r\n', reg)
        self.assertIn('"Unknown kind"=hex(7f):01,02,\\\n  03\n"Strange form"=quad:0000000000000001\n'
                      '"SMTP Port"=dword:00000457\n', reg)
        prefs = s.stores.read(s.stores.prefs_js)
        self.assertIn('user_pref("mail.server.server1.userName", "ivy@pop.tb.example");\n', prefs)
        self.assertIn('user_pref("mail.smtpserver.smtp1.port", 1117);\n', prefs)
        self.assertIn('user_pref("mail.server.server2.hostname", "imap.tb.example");\n', prefs)
        self.assertIn('"mail.server.server9.hostname", "in.a.comment"', prefs)
        ini = s.stores.read(s.stores.eudora_ini)
        self.assertIn("CheckFrequency=15\r\nSMTPPort=1113\r\n", ini)
        self.assertIn("PopServer = localhost\r\n", ini)
        self.assertIn("set_smtpport=1\nsmtp_port=1118\n", s.stores.read(s.stores.accountrc))
        self.assertEqual(s.data("wlist_email.dat").split("\r\n"), [
            "bat.friend@bat-pals.example", "incredi.pal@im-friends.example",
            "friend@pals.example", "a.person@x.example", "b.jones@y.example",
            "lee@tb-friends.example", "old@friend.example", "second@tb-friends.example",
            "kim@claws-friends.example", "A&B@odd.example", "after@blank.example", ""])

        redirected = s.stores.snapshot()
        backup = s.data("accounts_backup.ini")
        second = s.run("--yes")
        self.assertEqual(second.returncode, 0, second.stdout + second.stderr)
        self.assertEqual(s.data("config.dat"), config)
        self.assertEqual(s.stores.snapshot(), redirected)
        self.assertEqual(s.data("accounts_backup.ini"), backup)

        restored = s.restore()
        self.assertEqual(restored.returncode, 0, restored.stdout + restored.stderr)
        self.assertEqual(s.stores.snapshot(), s.original)

    def test_the_produced_configuration_runs_and_restore_stops_the_program(self):
        s = self.setup
        result = s.run("--yes", "--accounts", "1,8,9", start=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        wait_for(lambda: lock_is_held(s.lock), what="kestrelmail to start")
        for port in (1110, 1111, 1112):
            wait_for_port(port)
        # Another user's instance (its own runtime folder) is left alone.
        other = Workspace()
        self.addCleanup(other.remove)
        bystander = Kestrel(other).wait_until_loaded()
        self.addCleanup(bystander.kill)

        restored = s.restore()
        self.assertEqual(restored.returncode, 0, restored.stdout + restored.stderr)
        self.assertFalse(lock_is_held(s.lock))
        self.assertEqual(s.stores.snapshot(), s.original)
        self.assertIsNone(bystander.process.poll())

    def test_a_running_client_stops_the_wizard_before_anything_changes(self):
        s = self.setup
        self.fake_client("C:\\Program Files\\Outlook Express\\MSIMN.EXE")
        self.fake_client("/usr/lib/wine/wine64")  # a loader alone names no client
        result = s.run("--yes")
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertIn("Outlook Express", result.stdout)
        self.assertNotIn("Outlook 2000", result.stdout)
        self.assertEqual(s.stores.snapshot(), s.original)
        self.assertFalse(os.path.exists(s.ws.path("config.dat")))

        self.helpers.pop(0).kill()
        self.fake_client("c:\\office\\outlook.exe")
        result = s.restore()
        self.assertEqual(result.returncode, 1)
        self.assertIn("Outlook 2000", result.stdout)
        self.assertIn("Outlook XP", result.stdout)

    def test_a_read_only_store_is_reported_and_left_whole(self):
        s = self.setup
        os.chmod(s.stores.prefs_js, 0o444)
        result = s.run("--yes")
        self.assertEqual(result.returncode, 3, result.stdout + result.stderr)
        self.assertIn("Thunderbird", result.stdout)
        self.assertIn("Cannot write " + s.stores.prefs_js, result.stdout)
        self.assertEqual(s.stores.snapshot()[s.stores.prefs_js], s.original[s.stores.prefs_js])
        self.assertEqual(sorted(os.listdir(os.path.dirname(s.stores.prefs_js))),
                         ["abook.sqlite", "prefs.js"])
        self.assertEqual(stat.S_IMODE(os.stat(s.stores.prefs_js).st_mode), 0o444)
        # The other clients went ahead, and the read-only account got no port.
        self.assertIn("alice@pop.work.example", s.stores.read(s.stores.user_reg))
        self.assertNotIn("smtp.tb.example", s.data("config.dat"))
        os.chmod(s.stores.prefs_js, 0o644)

    def test_a_thunderbird_profile_in_use_is_not_changed(self):
        s = self.setup
        holder = self.fake_client("/opt/other/mail-helper")
        profile = os.path.dirname(s.stores.prefs_js)
        os.symlink("127.0.0.1:+%d" % holder.pid, os.path.join(profile, "lock"))
        result = s.run("--yes")
        self.assertEqual(result.returncode, 3, result.stdout + result.stderr)
        self.assertIn("Thunderbird is using the profile " + profile, result.stdout)
        self.assertEqual(s.stores.snapshot()[s.stores.prefs_js], s.original[s.stores.prefs_js])

    def test_a_truncated_backup_restores_what_it_still_holds(self):
        s = self.setup
        self.assertEqual(s.run("--yes").returncode, 0)
        backup = s.data("accounts_backup.ini")
        cut = backup.index("path_0=", backup.index("[Thunderbird]"))
        s.ws.write("accounts_backup.ini", backup[:cut + 10])
        redirected = s.stores.snapshot()

        result = s.restore()
        self.assertEqual(result.returncode, 3)
        self.assertIn("Thunderbird is incomplete", result.stdout)
        now = s.stores.snapshot()
        for path in (s.stores.user_reg, s.stores.eudora_ini):
            self.assertEqual(now[path], s.original[path], path)
        for path in (s.stores.prefs_js, s.stores.accountrc):
            self.assertEqual(now[path], redirected[path], path)

    def test_the_terminal_wizard_gives_what_the_options_give(self):
        scripted = Setup()
        self.addCleanup(scripted.remove)
        result = scripted.run("--yes", "--accounts", "1,3,8", "--level", "aggressive")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

        s = self.setup
        tmux = TmuxSession(s)
        self.addCleanup(tmux.close)
        tmux.wait_for("Enter: next   q: cancel")
        tmux.keys("Enter")
        tmux.wait_for("a: all, n: none")
        self.assertIn("Thunder \"home\"", tmux.screen())
        tmux.keys("n", "Enter")
        tmux.keys("1 3,8", "Enter")
        tmux.wait_for_count("[x]", 3)
        tmux.keys("Enter")
        tmux.wait_for("1-3: choose")
        tmux.keys("3", "Enter")
        tmux.wait_for("(*) Aggressive")
        tmux.keys("Enter")
        tmux.wait_for("Emails")
        tmux.keys("Enter")
        tmux.wait_for("Enter: finish")
        tmux.keys("Enter")
        tmux.wait_for("EXIT=0")

        for name in ("config.dat", "wlist_email.dat", "accounts_backup.ini"):
            self.assertEqual(s.normalized(s.data(name)),
                             scripted.normalized(scripted.data(name)), name)
        mine = s.stores.snapshot()
        theirs = scripted.stores.snapshot()
        for path in s.stores.files:
            other = path.replace(s.ws.root, scripted.ws.root)
            self.assertEqual(s.normalized(mine[path].decode()),
                             scripted.normalized(theirs[other].decode()), path)


class TmuxSession:
    """fledgling in a tmux session of its own server."""

    def __init__(self, setup):
        self.socket = os.path.join(setup.ws.root, "tmux.sock")
        env = setup.environment()
        command = " ".join("'%s'" % a for a in setup.command("--no-start"))
        assignments = " ".join("%s='%s'" % (k, env[k]) for k in ("HOME", "XDG_RUNTIME_DIR"))
        subprocess.run(["tmux", "-S", self.socket, "-f", "/dev/null", "new-session", "-d",
                        "-x", "200", "-y", "60",
                        "env %s %s; echo EXIT=$?; sleep 600" % (assignments, command)],
                       check=True, env=env)

    def screen(self):
        return subprocess.run(["tmux", "-S", self.socket, "capture-pane", "-p", "-S", "-"],
                              capture_output=True, text=True).stdout

    def keys(self, *keys):
        subprocess.run(["tmux", "-S", self.socket, "send-keys"] + list(keys), check=True)

    def wait_for(self, text):
        wait_for(lambda: text in self.screen(), what=repr(text))

    def wait_for_count(self, text, count):
        wait_for(lambda: self.screen().split("Numbers tick")[-2].count(text) == count
                 if self.screen().count("Numbers tick") >= 2 else False,
                 what="%d of %r" % (count, text))

    def close(self):
        subprocess.run(["tmux", "-S", self.socket, "kill-server"], capture_output=True)


if __name__ == "__main__":
    unittest.main()
