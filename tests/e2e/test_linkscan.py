"""The link scanner plug-in linkscan, loaded by the real program, finds the links in
mail that a real client fetches through the POP3 proxy from a real Dovecot; their
hosts resolve through the test's own name server (rbldnsd), which also serves the
DNS blacklist and the domain blocklist."""

import base64
import os
import unittest

from dnsbl_servers import Rbldnsd
from kestrel import BUILD_DIR
from test_plugins import PluginCase

LINKSCAN = os.path.join(BUILD_DIR, "plugins", "linkscan", "linkscan.so")

ZONES = {
    # The DNS blacklist: the addresses 192.0.2.64 to 192.0.2.79 are listed.
    "bl.test": ":127.0.0.2:\n192.0.2.64/28\n",
    # The hosts the links name.
    "shady-offer.test": ("generic", "www A 192.0.2.66\ncdn A 192.0.2.67\n"),
    "clean-shop.test": ("generic", "www A 192.0.2.99\n"),
    "listed-domain.test": ("generic", "promo A 192.0.2.99\n"),
    # A bare name counts only with a top-level domain that exists.
    "shady.example.net": ("generic", "www A 192.0.2.68\n"),
    # The domain blocklist.
    "dbl.test": ("dnset", ":127.0.1.2:\nlisted-domain.test\n"),
}


def message(subject, body, headers=b""):
    return (b"Received: from mail.example.org (mail.example.org [192.0.2.10])\n"
            b"\tby mx.example.net; Sun, 6 Dec 2026 10:00:00 +0000\n"
            b"From: Shop <news@example.org>\nTo: alice@example.net\n"
            b"Date: Sun, 6 Dec 2026 10:00:00 +0000\n"
            b"Subject: " + subject + b"\nMessage-ID: <" + subject.replace(b" ", b".") +
            b"@example.org>\n" + headers + b"\n" + body)


HIDDEN_HTML = (b'<html><body><p>Our catalogue</p><a href="http&#58;&#47;&#47;'
               b'cdn.shady-offer.test/c">look</a></body></html>')

MESSAGES = [
    message(b"Listed link", b"Our new offer: http://www.shady-offer.test/deal\n"),
    message(b"Clean link", b"Our new offer: http://www.clean-shop.test/deal\n"),
    # The link only shows once the base64 part and its character references are
    # decoded.
    message(b"Hidden link",
            b"--b\nContent-Type: text/plain\n\nSee the catalogue.\n"
            b"--b\nContent-Type: text/html\nContent-Transfer-Encoding: base64\n\n" +
            base64.encodebytes(HIDDEN_HTML) + b"--b--\n",
            headers=b"MIME-Version: 1.0\nContent-Type: multipart/alternative; boundary=b\n"),
    message(b"Listed domain", b"Visit http://promo.listed-domain.test/ today.\n"),
    message(b"Bare name", b"Visit www.shady.example.net today, not www.shady-offer.test.\n"),
]


class LinkscanTest(PluginCase):
    messages = MESSAGES
    plugins = {"linkscan/linkscan.so": LINKSCAN}
    files = {"extra_dnsbl.txt": "LIST TESTBL\nNAME TestBL\nZONE bl.test\nRESULT_CODE 127.0.0.2\n",
             "plugins/linkscan/domain_dnsbl.txt":
                 "LIST DBLT\nNAME Test domains\nZONE dbl.test\nRESULT_CODE 127.0.1.2\n"}

    @classmethod
    def setUpClass(cls):
        cls.rbldnsd = Rbldnsd(ZONES)
        cls.addClassCleanup(cls.rbldnsd.stop)
        cls.config_lines = ("DNSBL TESTBL TestBL\nDNSBL_NAMESERVER %s\nDNSBL_TIME_OUT 5\n"
                            "ENABLED_PLUGIN linkscan Link scanner\n" % cls.rbldnsd.nameserver)
        super().setUpClass()

    def test_links_whose_host_resolves_into_a_listed_range_or_domain_tag_the_message(self):
        self.assertEqual(self.judged(1), ("**SPAM** Listed link", "SPAM TestBL 192.0.2.66 LINK"))
        self.assertEqual(self.judged(2), ("Clean link", "PASS"))
        self.assertEqual(self.judged(3), ("**SPAM** Hidden link", "SPAM TestBL 192.0.2.67 LINK"))
        self.assertEqual(self.judged(5), ("**SPAM** Bare name", "SPAM TestBL 192.0.2.68 LINK"))
        self.assertEqual(self.judged(4), ("**SPAM** Listed domain", "SPAM DBLT LINK"))
        for host in ("www.shady-offer.test", "cdn.shady-offer.test", "www.shady.example.net",
                     "promo.listed-domain.test"):
            self.assert_logged("linkscan: links to %s\r\n" % host)
        # Its settings file was written with the shipped defaults.
        self.assertIn("MAX_HOSTS_PER_MESSAGE 10", self.ws.read("plugins/linkscan/linkscan.txt"))


if __name__ == "__main__":
    unittest.main()
