"""A small mail-like server for the TLS tests: plain greeting, STLS upgrades the
connection in place, then it echoes lines and answers BURST n with n bytes.

usage: starttls_peer.py PORTFILE CERT KEY [inject]
With "inject" the STLS answer is followed by a plain line in the same packet, as
a hostile server (or a man in the middle) might send it."""

import socket
import ssl
import sys


def serve(conn, context, inject):
    conn.sendall(b"+OK ready\r\n")
    reader = conn.makefile("rb")
    line = reader.readline()
    if not line.startswith(b"STLS"):
        return
    conn.sendall(b"+OK begin TLS\r\n" + (b"+OK injected\r\n" if inject else b""))
    reader.close()
    tls = context.wrap_socket(conn, server_side=True)
    tls_reader = tls.makefile("rb")
    while True:
        line = tls_reader.readline()
        if not line or line.startswith(b"QUIT"):
            break
        if line.startswith(b"BURST "):
            count = int(line.split()[1])
            tls.sendall(b"x" * count + b"\r\n")
        else:
            tls.sendall(b"echo: " + line)
    tls.close()


def main():
    port_file, cert, key = sys.argv[1:4]
    inject = len(sys.argv) > 4 and sys.argv[4] == "inject"
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(5)
    with open(port_file + ".tmp", "w") as f:
        f.write(str(server.getsockname()[1]))
    import os
    os.rename(port_file + ".tmp", port_file)
    while True:
        conn, _ = server.accept()
        try:
            serve(conn, context, inject)
        except (OSError, ssl.SSLError):
            pass
        finally:
            conn.close()


main()
