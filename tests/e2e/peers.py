"""Real mail servers for the end-to-end tests, started and stopped by the tests.

Dovecot serves POP3 and IMAP4 (plain, and TLS with a certificate made for the run)
from a private configuration, private folders and a maildir the tests fill.
"""

import os
import poplib
import pwd
import shutil
import socket
import subprocess
import tempfile
import time
import uuid


def cleanup(owner, function, *args):
    """Calls `function` when a test (an instance) or its class (a class) is done."""
    (owner.addClassCleanup if isinstance(owner, type) else owner.addCleanup)(function, *args)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_ports(count):
    """`count` different free ports (each one free_port() alone could repeat)."""
    sockets = [socket.socket(socket.AF_INET, socket.SOCK_STREAM) for _ in range(count)]
    for s in sockets:
        s.bind(("127.0.0.1", 0))
    ports = [s.getsockname()[1] for s in sockets]
    for s in sockets:
        s.close()
    return ports


def wait_for_port(port, host="127.0.0.1", timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection((host, port), timeout=1.0):
                return
        except OSError:
            time.sleep(0.05)
    raise AssertionError("nothing listens on %s:%d" % (host, port))


def make_certificate(folder, host="localhost"):
    """A self-signed certificate and key for `host`; returns (cert, key) paths."""
    cert = os.path.join(folder, "cert.pem")
    key = os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=" + host, "-addext", "subjectAltName=DNS:%s,IP:127.0.0.1" % host,
                    "-keyout", key, "-out", cert],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


class Dovecot:
    """A private Dovecot instance serving POP3 and IMAP4 on loopback."""

    def __init__(self, ssl=False, sessions=200):
        self.root = tempfile.mkdtemp(prefix="kestrel-dovecot-")
        os.chmod(self.root, 0o755)  # the server's own users must reach their folders
        self.users = {"alice": "secret"}
        self.ssl = ssl
        self.sessions = sessions  # sessions at once, of one user too
        self.pop3_port, self.pop3s_port, self.imap_port, self.imaps_port = free_ports(4)
        self.cert = self.key = None
        entry = pwd.getpwnam("dovecot")
        self.uid, self.gid = entry.pw_uid, entry.pw_gid
        self.process = None

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def maildir(self, user):
        return self.path("mail", user, "Maildir")

    def _chown_tree(self, top):
        for folder, dirs, files in os.walk(top):
            os.chown(folder, self.uid, self.gid)
            for name in files:
                os.chown(os.path.join(folder, name), self.uid, self.gid)

    def deliver(self, user, message, flags=None, folder=None):
        """Puts a message (bytes) into a user's inbox, or into a folder of it; with
        flags (maildir letters such as "S" for seen) it is no longer new. Returns
        its file name."""
        # The server numbers new messages in the order of their file names.
        self.delivered = getattr(self, "delivered", 0) + 1
        name = "%d.M%06dP%s.kestreltest" % (time.time(), self.delivered, uuid.uuid4().hex[:8])
        box = self.maildir(user) if folder is None else os.path.join(self.maildir(user), "." + folder)
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(box, sub), exist_ok=True)
        if flags is None:
            target = os.path.join(box, "new", name)
        else:
            target = os.path.join(box, "cur", name + ":2," + flags)
        with open(target, "wb") as f:
            f.write(message)
        self._chown_tree(self.path("mail"))
        return target

    def deliver_all(self, messages, user="alice"):
        """Delivers messages in order; an entry may be a pair (message, flags)."""
        for message in messages:
            self.deliver(user, *message) if isinstance(message, tuple) else self.deliver(user, message)
        return self

    def _write_config(self):
        for folder in ("run", "state", "mail"):
            os.makedirs(self.path(folder), exist_ok=True)
        with open(self.path("passwd"), "w") as f:
            for user, password in self.users.items():
                f.write("%s:{PLAIN}%s\n" % (user, password))
        ssl_lines = "ssl = no\n"
        if self.ssl:
            self.cert, self.key = make_certificate(self.root)
            ssl_lines = "ssl = yes\nssl_cert = <%s\nssl_key = <%s\n" % (self.cert, self.key)
        config = f"""
protocols = pop3 imap
listen = 127.0.0.1
base_dir = {self.path("run")}
state_dir = {self.path("state")}
log_path = {self.path("dovecot.log")}
{ssl_lines}
disable_plaintext_auth = no
auth_mechanisms = plain login apop cram-md5
auth_failure_delay = 0
passdb {{
  driver = passwd-file
  args = scheme=PLAIN {self.path("passwd")}
}}
userdb {{
  driver = static
  args = uid=dovecot gid=dovecot home={self.path("mail")}/%u
}}
mail_location = maildir:{self.path("mail")}/%u/Maildir
mail_max_userip_connections = {self.sessions}
default_process_limit = {max(100, self.sessions + 20)}
default_client_limit = {max(1000, 4 * self.sessions)}
first_valid_uid = {self.uid}
first_valid_gid = {self.gid}
default_internal_user = dovecot
default_login_user = dovenull
pop3_uidl_format = %08Xu%08Xv
service pop3-login {{
  inet_listener pop3 {{
    port = {self.pop3_port}
  }}
  inet_listener pop3s {{
    port = {self.pop3s_port}
    ssl = yes
  }}
}}
service imap-login {{
  inet_listener imap {{
    port = {self.imap_port}
  }}
  inet_listener imaps {{
    port = {self.imaps_port}
    ssl = yes
  }}
}}
service anvil {{
  chroot =
}}
"""
        with open(self.path("dovecot.conf"), "w") as f:
            f.write(config)
        for user in self.users:
            for sub in ("cur", "new", "tmp"):
                os.makedirs(os.path.join(self.maildir(user), sub), exist_ok=True)
        self._chown_tree(self.path("mail"))

    def start(self):
        self._write_config()
        # Dovecot puts itself in the background; its output goes to the log file.
        subprocess.run(["dovecot", "-c", self.path("dovecot.conf")], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        wait_for_port(self.pop3_port)
        wait_for_port(self.imap_port)
        return self

    def started(self, owner, messages=()):
        """Starts with the messages delivered, stopped when the test (or the class
        for a class `owner`) is done."""
        cleanup(owner, self.stop)
        return self.start().deliver_all(messages)

    def stop(self):
        pid_file = self.path("run", "master.pid")
        try:
            with open(pid_file) as f:
                pid = int(f.read().strip())
            os.kill(pid, 15)
        except (OSError, ValueError):
            pass
        deadline = time.monotonic() + 20
        while os.path.exists(pid_file) and time.monotonic() < deadline:
            time.sleep(0.05)
        shutil.rmtree(self.root, ignore_errors=True)

    def log(self):
        try:
            with open(self.path("dovecot.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""


class Middleman:
    """Stands between a client and a real server on loopback: every line the
    client sends passes `on_command(line)`, which may return bytes to answer in
    the server's place (the line then never reaches it), or a pair (bytes, True)
    to send the bytes first and pass the line on; the server's bytes pass
    `on_reply(data)`, which returns what to pass on, or a pair (bytes, True) to
    pass that on and then cut the connection. Lines the client sent are kept in
    `commands`."""

    def __init__(self, server_port, on_command=None, on_reply=None):
        import threading
        self.server_port = server_port
        self.on_command = on_command or (lambda line: None)
        self.on_reply = on_reply or (lambda data: data)
        self.commands = []
        self.lock = threading.Lock()
        self.front = ScriptedServer(self._run)
        self.port = self.front.port

    def _run(self, client):
        import threading
        upstream = socket.create_connection(("127.0.0.1", self.server_port))
        done = threading.Event()
        sending = threading.Lock()

        def replies():
            try:
                while True:
                    data = upstream.recv(65536)
                    if not data:
                        break
                    data = self.on_reply(data)
                    cut = isinstance(data, tuple)
                    with sending:
                        client.sendall(data[0] if cut else data)
                    if cut:
                        break
            except OSError:
                pass
            done.set()
            for s in (client, upstream):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

        threading.Thread(target=replies, daemon=True).start()
        try:
            while not done.is_set():
                line = read_line(client)
                if not line:
                    break
                with self.lock:
                    self.commands.append(line)
                answer = self.on_command(line)
                if isinstance(answer, tuple):
                    with sending:
                        client.sendall(answer[0])
                    upstream.sendall(line)
                elif answer is None:
                    upstream.sendall(line)
                elif answer:
                    with sending:
                        client.sendall(answer)
        except OSError:
            pass
        finally:
            done.wait(5)
            upstream.close()

    def sent(self):
        with self.lock:
            return list(self.commands)

    def close(self):
        self.front.close()


class ScriptedServer:
    """A TCP server on loopback whose every connection runs `handler(conn)` in a
    thread of its own; for peers that misbehave on purpose."""

    def __init__(self, handler):
        import threading
        self.handler = handler
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        import threading
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._run, args=(conn,), daemon=True).start()

    def _run(self, conn):
        try:
            self.handler(conn)
        except OSError:
            pass
        finally:
            conn.close()

    def close(self):
        self.listener.close()


class ScriptedPop3:
    """A POP3 server on loopback serving `messages` (their lines separated by
    "\\n"), ending every line it sends with `eol`, its message lines with
    `message_eol`. It knows the user alice with the password secret, or with
    `anyone` logs anybody in with a bare "+OK". `script(conn, command, line)` may
    answer a command other than USER, PASS and QUIT its own way: it returns None
    to leave it to the server, False to end the connection. The commands it gets are kept in
    `commands`; `quit` is set when the proxy said QUIT, `left` when it went
    without. Closed when the test `owner` is done."""

    def __init__(self, owner, messages=(), eol=b"\r\n", message_eol=None, greeting=b"+OK scripted",
                 anyone=False, script=None):
        import threading
        self.messages = messages
        self.eol = eol
        self.message_eol = message_eol or eol
        self.greeting = greeting
        self.anyone = anyone
        self.script = script or (lambda conn, command, line: None)
        self.commands = []
        self.quit = threading.Event()
        self.left = threading.Event()
        self.server = ScriptedServer(self._serve)
        owner.addCleanup(self.server.close)
        self.port = self.server.port

    def wire(self, n):
        text = self.messages[n - 1]
        lines = text.split(b"\n")[:-1] if text.endswith(b"\n") else text.split(b"\n")
        return b"".join((b"." + l if l.startswith(b".") else l) + self.message_eol
                        for l in lines)

    def _serve(self, conn):
        try:
            self._converse(conn)
        except OSError:
            pass
        if not self.quit.is_set():
            self.left.set()

    def _converse(self, conn):
        def send(*lines):
            conn.sendall(b"".join(line + self.eol for line in lines))
        send(self.greeting)
        user = None
        count = len(self.messages)
        while line := read_line(conn).rstrip(b"\r\n"):
            self.commands.append(line)
            words = line.split()
            command = words[0].upper()
            answer = None if command in (b"USER", b"PASS", b"QUIT") else self.script(conn, command, line)
            if answer is False:
                return
            if answer is not None:
                continue
            if command in (b"USER", b"PASS") and self.anyone:
                send(b"+OK")
            elif command == b"USER":
                user = words[1] if words[1] == b"alice" else None
                send(b"+OK user alice" if user else b"-ERR no such user")
            elif command == b"PASS":
                ok = user is not None and words[1:] == [b"secret"]
                send(b"+OK logged in" if ok else
                     b"-ERR no USER given" if user is None else b"-ERR bad password")
            elif command == b"STAT":
                send(b"+OK %d %d" % (count, sum(len(self.wire(n)) for n in range(1, count + 1))))
            elif command == b"LIST" and len(words) > 1:
                send(b"+OK %d %d" % (int(words[1]), len(self.wire(int(words[1])))))
            elif command == b"LIST":
                send(b"+OK", *[b"%d %d" % (n, len(self.wire(n))) for n in range(1, count + 1)], b".")
            elif command == b"RETR":
                conn.sendall(b"+OK" + self.eol + self.wire(int(words[1])) + b"." + self.eol)
            elif command == b"QUIT":
                self.quit.set()
                return send(b"+OK bye")
            else:
                send(b"+OK %s" % command.lower())


def read_line(conn):
    """One CR LF line from a socket, or b'' at the end."""
    data = b""
    while not data.endswith(b"\r\n"):
        byte = conn.recv(1)
        if not byte:
            break
        data += byte
    return data


class SmtpSink:
    """aiosmtpd on loopback (smtp_sink.py), delivering into a maildir of its own.
    `tls` is None, "starttls" (required before MAIL) or "implicit"; `auth` a
    (user, password) pair the server then accepts (mail without AUTH too)."""

    SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "smtp_sink.py")

    def __init__(self, tls=None, auth=None, size=None):
        self.root = tempfile.mkdtemp(prefix="kestrel-smtp-")
        self.maildir = os.path.join(self.root, "Maildir")
        self.port = free_port()
        self.tls = tls
        self.auth = auth
        self.size = size
        self.cert = self.key = None
        self.process = None

    def start(self):
        args = ["/usr/bin/python3", self.SCRIPT, "--port", str(self.port),
                "--maildir", self.maildir]
        if self.tls:
            self.cert, self.key = make_certificate(self.root)
            args += ["--" + self.tls, self.cert, self.key]
        if self.auth:
            args += ["--auth", "%s:%s" % self.auth]
        if self.size:
            args += ["--size", str(self.size)]
        self.log_path = os.path.join(self.root, "sink.log")
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=log)
        if self.process.stdout.readline().strip() != b"ready":
            raise AssertionError("the SMTP server did not start: " + self.log())
        return self

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process:
            self.process.stdout.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def log(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def envelopes(self):
        """What each delivery's envelope said, in delivery order."""
        import json
        try:
            with open(os.path.join(self.maildir, "envelopes.jsonl")) as f:
                return [json.loads(line) for line in f]
        except OSError:
            return []

    def messages(self):
        """The stored messages (bytes), in delivery order."""
        result = []
        for envelope in self.envelopes():
            with open(os.path.join(self.maildir, "new", envelope["file"]), "rb") as f:
                result.append(f.read())
        return result

    def wait_for_messages(self, count, timeout=60.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if len(self.envelopes()) >= count:
                return self.messages()
            time.sleep(0.05)
        raise AssertionError("expected %d stored messages, have %d" % (count, len(self.envelopes())))


def pop3_login(port, user, password="secret", timeout=60):
    """A poplib session logged in through a port."""
    pop = poplib.POP3("127.0.0.1", port, timeout=timeout)
    pop.user(user)
    pop.pass_(password)
    return pop


def fetchmail(folder, port, proto, user, options=""):
    """Runs fetchmail once against a port on loopback, delivering into an mbox in
    `folder`; returns the mbox's bytes."""
    import subprocess
    mbox = os.path.join(folder, "mbox")
    rc = os.path.join(folder, "fetchmailrc")
    with open(rc, "w") as f:
        f.write('poll 127.0.0.1 port %d proto %s auth password\n'
                '  user "%s" password "secret" keep %s\n'
                '  sslproto "" mda "/bin/sh -c \'cat >> %s\'"\n' % (port, proto, user, options, mbox))
    os.chmod(rc, 0o600)
    result = subprocess.run(["fetchmail", "-f", rc, "--nodetach", "-v"], capture_output=True,
                            env=dict(os.environ, HOME=folder, FETCHMAILHOME=folder), timeout=120)
    if result.returncode not in (0, 1):  # 1: no mail
        raise AssertionError("fetchmail failed: " + result.stderr.decode(errors="replace"))
    with open(mbox, "rb") as f:
        return f.read()


def split_message(lines):
    """(header lines, body lines) of a message as poplib returns it."""
    blank = lines.index(b"") if b"" in lines else len(lines)
    return lines[:blank], lines[blank + 1:]


def header(lines, name):
    """The value of the first header line of that name (as text), or None."""
    prefix = name.lower().encode() + b":"
    found = [line for line in lines if line.lower().startswith(prefix)]
    return found[0].decode("latin-1").split(":", 1)[1].strip() if found else None


# Sample mail the tests deliver.
CLEAN = (b"Received: from mail.example.org (mail.example.org [192.0.2.10])\n"
         b"\tby mx.example.net; Sun, 6 Dec 2026 10:00:00 +0000\n"
         b"From: Friend <friend@example.org>\n"
         b"To: alice@example.net\n"
         b"Subject: Lunch on Friday\n"
         b"Message-ID: <clean-1@example.org>\n"
         b"\n"
         b"Shall we meet at noon?\n"
         b".A line that starts with a dot\n"
         b"\n"
         b"See you.\n")

SEEN = (b"From: Colleague <colleague@example.org>\n"
        b"Subject: Minutes\n"
        b"Message-ID: <seen-1@example.org>\n"
        b"\n"
        b"Already read.\n")

SPAM_SENDER = (b"From: Offers <deals@spam.example>\n"
               b"To: alice@example.net\n"
               b"Subject: You have won\n"
               b"Message-ID: <spam-1@spam.example>\n"
               b"\n"
               b"Click here.\n")

SPAM_RELAY = (b"Received: from relay.example (relay.example [198.51.100.77])\n"
              b"\tby mx.example.net; Sun, 6 Dec 2026 10:00:00 +0000\n"
              b"From: someone@example.com\n"
              b"Subject: Hello\n"
              b"Message-ID: <spam-2@example.com>\n"
              b"\n"
              b"Body.\n")

EIGHT_BIT = (b"From: =?iso-8859-1?q?Ren=E9?= <rene@example.fr>\n"
             b"Subject: Caf\xe9 cr\xe8me\n"
             b"Message-ID: <eight-1@example.fr>\n"
             b"Content-Type: text/plain; charset=iso-8859-1\n"
             b"\n"
             b"Une tasse de caf\xe9, s'il vous pla\xeet.\n\xff\xfe\x80\n")

HEADERS_ONLY = b"From: terse@example.org\nSubject: Nothing to say\n"


def big_message(megabytes=2, subject=b"Big attachment", sender=b"archive@example.org"):
    line = b"0123456789abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ\n"
    body = line * (megabytes * 1024 * 1024 // len(line))
    return b"From: " + sender + b"\nSubject: " + subject + b"\n\n" + body


def relayed_by(address, subject, sender=b"sender@example.com"):
    """A message whose relay (its Received line) has the address."""
    return (b"Received: from relay.example (relay.example [%s])\n"
            b"\tby mx.example.net; Sun, 6 Dec 2026 10:00:00 +0000\n"
            b"From: %s\nSubject: %s\n\nThe body.\n" % (address.encode(), sender, subject.encode()))


class Conversation:
    """A raw line conversation with a port on loopback; `transcript` holds every
    line that came, `greeting` the first."""

    def __init__(self, port, timeout=30):
        self.conn = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.lines = []
        self.greeting = self.line()

    @property
    def transcript(self):
        return b"".join(self.lines)

    def line(self):
        self.lines.append(read_line(self.conn))
        return self.lines[-1]

    def until(self, done):
        """The lines up to the one `done` accepts, or up to the end."""
        replies = []
        while True:
            replies.append(self.line())
            if not replies[-1] or done(replies[-1]):
                return replies

    def command(self, line, tag=None):
        """Sends a line; the replies up to the one that starts with `tag` (by
        default the line's first word) or, with an empty tag, one line."""
        self.conn.sendall(line)
        tag = line.split(b" ")[0] if tag is None else tag
        return self.until(lambda reply: reply.startswith(tag + b" ") or not tag.strip())

    def close(self):
        self.conn.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
