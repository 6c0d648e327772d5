"""The DNSBL result cache files across runs of the real program."""

import socket
import struct
import time
import unittest

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
        self.run_once()
        self.assertIn("The DNSBL cache file seems to be corrupt", self.kestrel.stderr())
        self.assertEqual(self.ws.read("dnsbl_cache_neg.dat", "rb"), good)


if __name__ == "__main__":
    unittest.main()
