"""Listening ports of the real program: accepting, refusing, following reloads, and
surviving clients that misbehave."""

import os
import signal
import socket
import time
import unittest

from kestrel import Kestrel, Workspace, wait_for
from peers import free_ports


def try_connect(port):
    s = socket.socket()
    s.settimeout(10)
    try:
        s.connect(("127.0.0.1", port))
        return s
    except OSError:
        s.close()
        return None


def listening(port):
    s = try_connect(port)
    if s is None:
        return False
    s.close()
    return True


def read_to_end(sock):
    """Everything the program sends before it closes the connection."""
    data = b""
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return data
        data += chunk


def descriptor_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


class ListenerTest(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()
        self.kestrel = None
        self.pop3, self.imap4 = free_ports(2)

    def tearDown(self):
        if self.kestrel:
            self.kestrel.kill()
        self.ws.remove()

    def start(self, ports):
        self.ws.write("config.dat", "CREATE_DEFAULT_IMAP4_PORT NO\n" + ports)
        self.kestrel = Kestrel(self.ws).wait_until_loaded()
        return self.kestrel

    def ports(self, acl=None):
        text = "PORT %d\nPORT_TYPE POP3_GENERIC\n" % self.pop3
        if acl is not None:
            self.ws.write("acl.dat", acl)
            text += "PORT_SPECIAL_ACCESS_CONTROL_LIST YES\nPORT_ACCESS_CONTROL_LIST_FNAME acl.dat\n"
        return text + "PORT %d\nPORT_TYPE IMAP4_GENERIC\n" % self.imap4

    def test_a_refused_client_gets_no_byte_and_the_refusal_is_reported(self):
        self.start(self.ports(acl="10.1.2.3\n"))
        wait_for(lambda: listening(self.imap4), what="the IMAP4 port")
        client = try_connect(self.pop3)
        self.assertEqual(read_to_end(client), b"")
        client.close()
        self.assertEqual(self.kestrel.stop(), 0)
        self.assertIn("127.0.0.1", self.kestrel.stderr())

    def test_a_reload_that_drops_a_port_closes_it(self):
        self.start(self.ports())
        wait_for(lambda: listening(self.imap4), what="the IMAP4 port")
        time.sleep(0.05)  # a new modification time for the rewritten file
        self.ws.write("config.dat", "CREATE_DEFAULT_IMAP4_PORT NO\nPORT %d\nPORT_TYPE POP3_GENERIC\n"
                      % self.pop3)
        self.kestrel.process.send_signal(signal.SIGHUP)
        wait_for(lambda: not listening(self.imap4), what="the dropped port to close")
        self.assertTrue(listening(self.pop3))
        self.assertEqual(self.kestrel.stop(), 0)

    def test_hostile_clients_leak_nothing_and_stall_nobody(self):
        self.start(self.ports())
        wait_for(lambda: listening(self.pop3), what="the POP3 port")
        pid = self.kestrel.process.pid
        before = descriptor_count(pid)
        junk = [b"\x00\xff" * 1000, b"A" * (1 << 20), b"USER a\r\n" * 1000, b""]
        for i in range(600):
            client = try_connect(self.pop3 if i % 2 else self.imap4)
            self.assertIsNotNone(client, "connection %d" % i)
            try:
                client.sendall(junk[i % len(junk)])
            except OSError:
                pass  # the program may have closed it already
            if i % 5 == 0:
                # Reset instead of an orderly close.
                client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            client.close()
        wait_for(lambda: descriptor_count(pid) <= before, what="descriptors to be released")
        # An IMAP4 session still answers, and ends at the client's word.
        client = try_connect(self.imap4)
        client.sendall(b"a1 LOGOUT\r\n")
        self.assertEqual(read_to_end(client),
                         b"* OK [CAPABILITY IMAP4rev1] Kestrelmail for Windows\r\n"
                         b"* BYE Kestrelmail IMAP4 logging out\r\na1 OK LOGOUT completed.\r\n")
        client.close()
        self.assertIsNone(self.kestrel.process.poll())
        self.assertEqual(self.kestrel.stop(), 0)


if __name__ == "__main__":
    unittest.main()
