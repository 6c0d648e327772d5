"""A real SMTP server for the tests: aiosmtpd on loopback, delivering every
message into a maildir byte for byte as the server received it (after undoing the
dot-stuffing), with its envelope beside it.

Run by peers.SmtpSink with Debian's interpreter:
  /usr/bin/python3 smtp_sink.py --port N --maildir DIR [--starttls CERT KEY]
      [--implicit CERT KEY] [--auth USER:PASSWORD] [--size BYTES]
It prints "ready" once it listens, and ends on SIGTERM.
"""

import argparse
import asyncio
import json
import os
import signal
import ssl
import time
import uuid

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class MaildirHandler:
    """Stores the original content of each message in maildir/new, and its
    envelope as one JSON line in maildir/envelopes.jsonl."""

    def __init__(self, maildir):
        self.maildir = maildir
        for sub in ("new", "cur", "tmp"):
            os.makedirs(os.path.join(maildir, sub), exist_ok=True)
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        name = "%d.%06d.%s.smtpsink" % (time.time(), self.count, uuid.uuid4().hex[:8])
        temporary = os.path.join(self.maildir, "tmp", name)
        with open(temporary, "wb") as f:
            f.write(envelope.original_content)
        os.rename(temporary, os.path.join(self.maildir, "new", name))
        with open(os.path.join(self.maildir, "envelopes.jsonl"), "a") as f:
            f.write(json.dumps({"file": name, "from": envelope.mail_from,
                                "to": envelope.rcpt_tos,
                                "authenticated": bool(session.authenticated)}) + "\n")
        return "250 OK stored as %s" % name


class Authenticator:
    def __init__(self, user, password):
        self.user = user.encode()
        self.password = password.encode()

    def __call__(self, server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and auth_data.login == self.user and
              auth_data.password == self.password)
        return AuthResult(success=ok, handled=False)


def tls_context(cert, key):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    return context


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--maildir", required=True)
    parser.add_argument("--starttls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--implicit", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--auth", metavar="USER:PASSWORD")
    parser.add_argument("--size", type=int, default=64 * 1024 * 1024)
    args = parser.parse_args()

    handler = MaildirHandler(args.maildir)
    options = {"data_size_limit": args.size, "hostname": "sink.example.net"}
    if args.starttls:
        options["tls_context"] = tls_context(*args.starttls)
        options["require_starttls"] = True
    if args.auth:
        user, password = args.auth.split(":", 1)
        options["authenticator"] = Authenticator(user, password)
        # Over a plain connection only where the server has no TLS at all.
        options["auth_require_tls"] = bool(args.starttls)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server_ssl = tls_context(*args.implicit) if args.implicit else None
    server = loop.run_until_complete(loop.create_server(
        lambda: SMTP(handler, loop=loop, **options), "127.0.0.1", args.port, ssl=server_ssl))
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    print("ready", flush=True)
    try:
        loop.run_forever()
    finally:
        server.close()


if __name__ == "__main__":
    main()
