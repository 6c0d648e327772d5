"""The DNSBL result cache files across runs of the real program, and the rbldnsd
helper the DNSBL tests point the program at."""

import os
import socket
import struct
import time
import unittest

from dnsbl_servers import Rbldnsd, SilentUdpPort, query_a
from kestrel import Kestrel, Workspace

DAY = 86400


def record(key, buckets):
    """One record of a cache file: key, bucket count, then each bucket."""
    data = key.encode("ascii") + b"\0" + struct.pack("<I", len(buckets))
    for closes_at, addresses in buckets:
        data += struct.pack("<II", closes_at, len(addresses))
        data += b"".join(socket.inet_aton(address) for address in addresses)
    return data


class DnsblCacheFilesTest(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()
        self.kestrel = None

    def tearDown(self):
        if self.kestrel:
            self.kestrel.kill()
        self.ws.remove()

    def run_once(self):
        self.kestrel = Kestrel(self.ws).wait_until_loaded()
        self.assertEqual(self.kestrel.stop(), 0)

    def test_cache_files_survive_a_restart_and_expire_old_buckets(self):
        now = int(time.time())
        fresh = record("SBL", [(now + 3600, ["192.0.2.10", "192.0.2.11"])])
        self.ws.write("dnsbl_cache_pos.dat",
                      record("SBL", [(now - 3 * DAY, ["198.51.100.1"]),
                                     (now + 3600, ["192.0.2.10", "192.0.2.11"])]))
        negative = record("XBL", [(now - DAY, ["203.0.113.5"])]) + record("SBL", [(now, [])])
        self.ws.write("dnsbl_cache_neg.dat", negative)
        self.run_once()
        # The positive period of 2 days dropped the old bucket; the negative half
        # did not change and was not rewritten.
        self.assertEqual(self.ws.read("dnsbl_cache_pos.dat", "rb"), fresh)
        self.assertEqual(self.ws.read("dnsbl_cache_neg.dat", "rb"), negative)
        self.run_once()
        self.assertEqual(self.ws.read("dnsbl_cache_pos.dat", "rb"), fresh)

    def test_a_corrupt_file_is_reported_and_rewritten_with_its_good_records(self):
        now = int(time.time())
        good = record("SBL", [(now + 60, ["192.0.2.10"])])
        self.ws.write("dnsbl_cache_neg.dat", good + b"\0garbage")
        self.kestrel = Kestrel(self.ws).wait_until_loaded()
        self.assertEqual(self.kestrel.stop(), 0)
        self.assertIn("The DNSBL cache file seems to be corrupt", self.kestrel.stderr())
        self.assertEqual(self.ws.read("dnsbl_cache_neg.dat", "rb"), good)

    def test_the_older_cache_folder_is_converted_at_start(self):
        self.ws.write("dnsbl_cache/neg/ABC.1.dat", socket.inet_aton("192.0.2.10") +
                      socket.inet_aton("198.51.100.7"))
        self.run_once()
        self.assertFalse(os.path.exists(self.ws.path("dnsbl_cache")))
        data = self.ws.read("dnsbl_cache_neg.dat", "rb")
        self.assertEqual(data[:8], b"ABC\0\1\0\0\0")
        closes_at, count = struct.unpack("<II", data[8:16])
        self.assertLessEqual(abs(closes_at - time.time()), 60)
        self.assertEqual(count, 2)
        self.assertEqual(data[16:], socket.inet_aton("192.0.2.10") + socket.inet_aton("198.51.100.7"))


class DnsblServerHelperTest(unittest.TestCase):
    def test_rbldnsd_answers_with_the_listed_codes(self):
        with Rbldnsd({"bl.test": ":127.0.0.2:\n192.0.2.10\n198.51.100.0/24 :127.0.0.4:\n"}) as server:
            self.assertEqual(query_a(server.port, "10.2.0.192.bl.test"), (0, ["127.0.0.2"]))
            self.assertEqual(query_a(server.port, "9.100.51.198.bl.test"), (0, ["127.0.0.4"]))
            self.assertEqual(query_a(server.port, "11.2.0.192.bl.test"), (3, []))  # NXDOMAIN
        with SilentUdpPort() as silent:
            self.assertIsNone(query_a(silent.port, "10.2.0.192.bl.test", timeout=0.2))


if __name__ == "__main__":
    unittest.main()
