"""tvxhost's TLS as a client on the wire meets it, with `openssl s_client`
choosing protocols, ciphers, groups and ALPN, on a server with an RSA
certificate of the test's own (so that static-RSA suites could be chosen,
were they offered):

- TLS 1.2 and 1.3 only; in TLS 1.2 only ECDHE with AEAD ciphers, in the
  server's order, X25519 then P-256; ALPN http/1.1;
- session tickets of at most an hour that resume;
- Strict-Transport-Security on HTTPS answers only, as --hsts sets it;
- a certificate renewed on disk and loaded by SIGHUP, with a connection
  open across the reload, and new pairs that do not load.
"""

import hashlib
import http.client
import os
import re
import signal
import ssl
import subprocess
import unittest

import hostkit
from hostkit import BOARD, error_line_after

HTTP_GET = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"


def s_client(port, *args, send=HTTP_GET, timeout=20):
    """Runs `openssl s_client` against the port with `args`, sends `send`
    and reads until the server closes: a dict of what was negotiated
    ("cipher" None when the handshake failed) and the whole output."""
    result = subprocess.run(
        [hostkit.require_tool("openssl"), "s_client", "-connect", f"127.0.0.1:{port}",
         "-ign_eof"] + list(args),
        input=send, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    text = result.stdout.decode(errors="replace")
    found = {"text": text}
    match = re.search(r"^(New|Reused), (\S+), Cipher is (\S+)", text, re.M)
    found["reused"] = bool(match) and match.group(1) == "Reused"
    found["protocol"] = match.group(2) if match and match.group(3) != "(NONE)" else None
    found["cipher"] = match.group(3) if match and match.group(3) != "(NONE)" else None
    match = re.search(r"^ALPN protocol: (\S+)", text, re.M)
    found["alpn"] = match.group(1) if match else None
    match = re.search(r"^Server Temp Key: (.+)$", text, re.M)
    found["key"] = match.group(1) if match else None
    found["lifetimes"] = [int(n) for n in
                          re.findall(r"TLS session ticket lifetime hint: (\d+)", text)]
    match = re.search(r"^subject=.*CN ?= ?([\w.-]+)", text, re.M)
    found["subject"] = match.group(1) if match else None
    return found


def peer_name(port):
    """The CN of the certificate a new connection is served."""
    return s_client(port)["subject"]


def copy_pair(pair, cert, key):
    """Puts a pair in place as a renewal tool does: new files written beside
    the old ones, then moved over their names."""
    for source, target in zip(pair, (cert, key)):
        with open(source, "rb") as f:
            data = f.read()
        with open(target + ".new", "wb") as f:
            f.write(data)
        os.replace(target + ".new", target)


class TlsTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.site = hostkit.Site()
        cls.tls = os.path.join(cls.site.data, "tls")
        os.makedirs(cls.tls)
        cls.first = hostkit.make_certificate(cls.tls, "first", "rsa")
        # Pairs to swap in later, made now so that the reload test is quick.
        cls.second = hostkit.make_certificate(cls.tls, "second", "rsa")
        cls.third = hostkit.make_certificate(cls.tls, "third", "ec")
        # The files the server is started with, renewed in place by the test.
        cls.cert = os.path.join(cls.tls, "live.pem")
        cls.key = os.path.join(cls.tls, "live.key")
        copy_pair(cls.first, cls.cert, cls.key)
        cls.host = hostkit.Host(cls.site, "--tls-cert", cls.cert, "--tls-key", cls.key,
                                "--keep-alive-timeout", "30").start()
        assert cls.host.scheme == "https"

    @classmethod
    def tearDownClass(cls):
        cls.host.stop_cleanly_and_remove(cls.site)

    def test_protocols_and_ciphers_as_clients_offer_them(self):
        cases = [
            # (what, s_client arguments, protocol, cipher; None: refused)
            ("TLS 1.3", ["-tls1_3"], "TLSv1.3", "TLS_AES_128_GCM_SHA256"),
            ("TLS 1.2", ["-tls1_2"], "TLSv1.2", "ECDHE-RSA-AES128-GCM-SHA256"),
            ("TLS 1.1", ["-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"], None, None),
            ("TLS 1.0", ["-tls1", "-cipher", "DEFAULT@SECLEVEL=0"], None, None),
            ("static RSA offered first",
             ["-tls1_2", "-cipher", "AES128-SHA256:ECDHE-RSA-AES128-GCM-SHA256"],
             "TLSv1.2", "ECDHE-RSA-AES128-GCM-SHA256"),
            ("AES128-SHA256 alone", ["-tls1_2", "-cipher", "AES128-SHA256"], None, None),
            ("static RSA with AEAD",
             ["-tls1_2", "-cipher", "AES128-GCM-SHA256:AES256-GCM-SHA384"], None, None),
            ("ECDHE with CBC",
             ["-tls1_2", "-cipher",
              "ECDHE-RSA-AES128-SHA256:ECDHE-RSA-AES128-SHA:ECDHE-RSA-AES256-SHA384"],
             None, None),
            ("finite-field DHE",
             ["-tls1_2", "-cipher", "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-CHACHA20-POLY1305"],
             None, None),
            ("the server's order in TLS 1.2",
             ["-tls1_2", "-cipher",
              "ECDHE-RSA-CHACHA20-POLY1305:ECDHE-RSA-AES256-GCM-SHA384:"
              "ECDHE-RSA-AES128-GCM-SHA256"],
             "TLSv1.2", "ECDHE-RSA-AES128-GCM-SHA256"),
            ("the server's order in TLS 1.3",
             ["-tls1_3", "-ciphersuites", "TLS_CHACHA20_POLY1305_SHA256:TLS_AES_128_GCM_SHA256"],
             "TLSv1.3", "TLS_AES_128_GCM_SHA256"),
        ]
        for what, args, protocol, cipher in cases:
            with self.subTest(what):
                got = s_client(self.host.port, *args)
                self.assertEqual(protocol, got["protocol"], got["text"])
                self.assertEqual(cipher, got["cipher"], got["text"])
                if cipher is None:
                    # The server said no: the client had something to offer.
                    self.assertRegex(got["text"], r"alert (protocol version|handshake failure)")
                else:
                    self.assertIn(b"HTTP/1.1 200 OK", got["text"].encode())

    def test_groups_in_the_servers_order(self):
        cases = [
            (["-tls1_2", "-groups", "P-256:X25519"], "X25519"),
            (["-tls1_2", "-groups", "P-384:P-256"], "prime256v1"),
            (["-tls1_3", "-groups", "X25519:P-256"], "X25519"),
        ]
        for args, key in cases:
            with self.subTest(args=args):
                got = s_client(self.host.port, *args)
                self.assertIsNotNone(got["cipher"], got["text"])
                self.assertIn(key, got["key"] or "", got["text"])
        got = s_client(self.host.port, "-tls1_3", "-groups", "ffdhe2048")
        self.assertIsNone(got["cipher"], got["text"])

    def test_alpn(self):
        cases = [
            (["-alpn", "http/1.1"], "http/1.1", True),
            (["-alpn", "h2,http/1.1"], "http/1.1", True),
            (["-tls1_2", "-alpn", "h2,http/1.1"], "http/1.1", True),
            ([], None, True),
            # A client that would speak only HTTP/2 is told so at once.
            (["-alpn", "h2"], None, False),
        ]
        for args, protocol, served in cases:
            with self.subTest(args=args):
                got = s_client(self.host.port, *args)
                self.assertEqual(protocol, got["alpn"], got["text"])
                self.assertEqual(served, got["cipher"] is not None, got["text"])
                if not served:
                    self.assertIn("no application protocol", got["text"])

    def test_tickets_live_an_hour_at_most_and_resume(self):
        for version in ("-tls1_2", "-tls1_3"):
            with self.subTest(version):
                session = os.path.join(self.site.dir, "session" + version)
                first = s_client(self.host.port, version, "-sess_out", session)
                self.assertIsNotNone(first["cipher"], first["text"])
                self.assertTrue(first["lifetimes"], first["text"])
                self.assertTrue(all(0 < n <= 3600 for n in first["lifetimes"]), first["lifetimes"])
                again = s_client(self.host.port, version, "-sess_in", session)
                self.assertTrue(again["reused"], again["text"])

    def test_hsts_on_https_answers_only_and_as_configured(self):
        for target in ("/", BOARD, "/missing.html"):
            with self.subTest(target=target):
                status, headers, _ = self.host.get(target)
                self.assertIn(status, (200, 404))
                self.assertEqual("max-age=31536000", headers.get("strict-transport-security"))
        cases = [
            # (extra options, over TLS, header; None: absent)
            (["--hsts", "600"], True, "max-age=600"),
            (["--hsts", "0"], True, None),
            ([], False, None),
            # Through a trusted proxy the browser's scheme counts.
            (["--trust-proxy", "127.0.0.2"], False, "max-age=31536000"),
        ]
        for extra, tls, expected in cases:
            with self.subTest(extra=extra, tls=tls):
                site = hostkit.Site()
                args = list(extra)
                if tls:
                    args += ["--tls-cert", self.first[0], "--tls-key", self.first[1]]
                host = hostkit.Host(site, *args).start()
                try:
                    proxied = "--trust-proxy" in extra
                    status, headers, _ = host.get(
                        "/", headers={"X-Forwarded-Proto": "https"} if proxied else None,
                        source="127.0.0.2" if proxied else None)
                    self.assertEqual(200, status)
                    self.assertEqual(expected, headers.get("strict-transport-security"))
                    if proxied:
                        # The same server answering plain HTTP sends none.
                        _, headers, _ = host.get("/", source="127.0.0.2")
                        self.assertIsNone(headers.get("strict-transport-security"))
                finally:
                    host.stop_cleanly_and_remove(site)

    def test_sighup_loads_a_renewed_certificate_and_keeps_the_old_on_a_bad_pair(self):
        self.assertEqual("first", peer_name(self.host.port))
        # A connection open across the reloads, served the first certificate.
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        open_conn = http.client.HTTPSConnection("127.0.0.1", self.host.port, timeout=20,
                                                context=context)

        def get_on_open_connection():
            open_conn.request("GET", "/")
            response = open_conn.getresponse()
            response.read()
            self.assertEqual(200, response.status)
            return hashlib.sha256(open_conn.sock.getpeercert(binary_form=True)).hexdigest()

        def reload(expect):
            mark = len(self.host.stderr_text())
            self.host.process.send_signal(signal.SIGHUP)
            line = error_line_after(self.host, mark, r"SIGHUP: ")
            self.assertIsNotNone(line, self.host.stderr_text()[mark:])
            self.assertRegex(line, expect)
            return line

        try:
            first_served = get_on_open_connection()
            copy_pair(self.second, self.cert, self.key)
            reload(r"TLS certificate .* loaded")
            self.assertEqual("second", peer_name(self.host.port))
            # The open connection goes on with what it began with.
            self.assertEqual(first_served, get_on_open_connection())

            def new_cert_old_key():
                copy_pair((self.third[0], self.second[1]), self.cert, self.key)

            def cut_short():
                with open(self.second[0], "rb") as f:
                    half = f.read()[:300]
                with open(self.cert, "wb") as f:
                    f.write(half)

            bad_pairs = [
                ("a new certificate beside the old key", new_cert_old_key,
                 r"TLS key .* does not belong to"),
                ("a certificate file cut short", cut_short, r"TLS certificate .* cannot be loaded"),
                ("no key file", lambda: os.remove(self.key), r"TLS key .* cannot be loaded"),
            ]
            for what, spoil, reason in bad_pairs:
                with self.subTest(what):
                    spoil()
                    line = reload(r"the certificate and key loaded before are kept")
                    self.assertRegex(line, reason)
                    self.assertEqual("second", peer_name(self.host.port))
                    copy_pair(self.second, self.cert, self.key)
            # A good pair still loads after the bad ones.
            copy_pair(self.third, self.cert, self.key)
            reload(r"TLS certificate .* loaded")
            self.assertEqual("third", peer_name(self.host.port))
            self.assertEqual(first_served, get_on_open_connection())
        finally:
            open_conn.close()
            # The other tests meet the first pair again.
            copy_pair(self.first, self.cert, self.key)
            self.host.process.send_signal(signal.SIGHUP)
            hostkit.wait_for(lambda: peer_name(self.host.port) == "first")


if __name__ == "__main__":
    unittest.main(verbosity=2)
