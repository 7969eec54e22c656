"""tvxhost's TLS as an outside scanner sees it: Debian's testssl.sh run
against a tvxhost with an RSA certificate (so that static-RSA suites could be
chosen, were they offered), with only the checks that matter here:
protocols (-p), the server's cipher order and every cipher it offers per
protocol (-P), the HTTP headers with HSTS (-h) and the vulnerabilities (-U).
Its flat JSON report is read, not its coloured text. The test fails on:

- any protocol below TLS 1.2 offered, or TLS 1.2 or 1.3 not offered;
- a TLS 1.2 cipher without forward secrecy (not ECDHE) or without AEAD;
- no server cipher order;
- no HSTS;
- any verdict that says VULNERABLE, or any finding of HIGH or CRITICAL
  severity;
- a report without the findings these checks make (a scan that did not run).

The run is bounded (testssl's own timeouts, and the whole scan within
SCAN_SECONDS); socket waits are shortened, as the server is on loopback.
The duration and every finding are printed.
"""

import json
import os
import re
import signal
import subprocess
import time
import unittest

import hostkit

SCAN_SECONDS = 110
EXPECTED_IDS = ["SSLv2", "SSLv3", "TLS1", "TLS1_1", "TLS1_2", "TLS1_3", "ALPN", "cipher_order",
                "cipherorder_TLSv1_2", "cipherorder_TLSv1_3", "HSTS_time", "X-Frame-Options",
                "Content-Security-Policy", "heartbleed", "CCS", "ticketbleed", "ROBOT",
                "secure_client_renego", "CRIME_TLS", "BREACH", "POODLE_SSL", "SWEET32", "FREAK",
                "DROWN", "LOGJAM", "BEAST", "LUCKY13", "RC4"]
FORWARD_SECRET_AEAD = re.compile(r"^ECDHE-(RSA|ECDSA)-(AES(128|256)-GCM-SHA(256|384)|"
                                 r"CHACHA20-POLY1305)$")


# Two scans at once, one for the protocols, the ciphers and the headers, one
# for the vulnerabilities: each spends most of its time in its own shell and
# openssl processes, so on two cores the pair takes about as long as one.
SCANS = [("protocols", ["-p", "-P", "-h"]), ("vulnerabilities", ["-U"])]


class Scan:
    """One testssl.sh run against the port, writing its flat JSON report."""

    def __init__(self, testssl, port, folder, name, checks):
        self.report = os.path.join(folder, f"testssl-{name}.json")
        env = dict(os.environ, USLEEP_SND="0.01", USLEEP_REC="0.02")
        self.process = subprocess.Popen(
            [testssl, "--quiet", "--color", "0", "--warnings", "off", "--nodns", "none",
             "--ip", "127.0.0.1", "--openssl-timeout", "5", "--connect-timeout", "5",
             "--jsonfile", self.report] + checks + [f"https://127.0.0.1:{port}/"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, start_new_session=True)

    def wait(self, deadline):
        """Its output, once it has ended; TimeoutExpired past `deadline`."""
        output, _ = self.process.communicate(timeout=max(1.0, deadline - time.monotonic()))
        return output.decode(errors="replace")

    def findings(self):
        with open(self.report) as f:
            return json.load(f)

    def kill(self):
        """Ends the scan and the openssl processes it started, when it runs on."""
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()


class TestsslTest(unittest.TestCase):

    def test_testssl_finds_nothing_below_the_mark(self):
        testssl = hostkit.require_tool("testssl")
        site = hostkit.Site()
        cert, key = hostkit.make_certificate(site.dir, "127.0.0.1", "rsa")
        host = hostkit.Host(site, "--tls-cert", cert, "--tls-key", key).start()
        scans = []
        try:
            start = time.monotonic()
            scans = [Scan(testssl, host.port, site.dir, name, checks)
                     for name, checks in SCANS]
            outputs = [scan.wait(start + SCAN_SECONDS) for scan in scans]
            seconds = time.monotonic() - start
            findings = [f for scan in scans for f in scan.findings()]
        finally:
            for scan in scans:
                scan.kill()
            host.stop_cleanly_and_remove(site)
        output = "\n".join(outputs)

        by_id = {}
        for finding in findings:
            by_id.setdefault(finding["id"], []).append(finding)
        print(f"testssl: {seconds:.0f} s, {len(findings)} findings")
        for finding in findings:
            print(f"  {finding['id']}: {finding['severity']}: {finding['finding']}")

        missing = [name for name in EXPECTED_IDS if name not in by_id]
        self.assertEqual([], missing, "the scan did not make these findings:\n" + output)

        def finding(name):
            return by_id[name][0]["finding"]

        for old in ("SSLv2", "SSLv3", "TLS1", "TLS1_1"):
            self.assertIn("not offered", finding(old), old)
        for current in ("TLS1_2", "TLS1_3"):
            self.assertRegex(finding(current), r"^offered", current)

        tls12 = finding("cipherorder_TLSv1_2").split()
        self.assertTrue(tls12)
        for cipher in tls12:
            self.assertRegex(cipher, FORWARD_SECRET_AEAD)
        for cipher in finding("cipherorder_TLSv1_3").split():
            self.assertRegex(cipher, r"^TLS_(AES_(128|256)_GCM|CHACHA20_POLY1305)_SHA(256|384)$")
        self.assertEqual("server", finding("cipher_order"))
        self.assertEqual("OK", by_id["cipher_order"][0]["severity"])

        self.assertIn("31536000 seconds", finding("HSTS_time"))
        self.assertEqual("OK", by_id["HSTS_time"][0]["severity"])
        self.assertIn("http/1.1", finding("ALPN"))

        vulnerable = [f for f in findings if "VULNERABLE" in f["finding"]]
        self.assertEqual([], vulnerable)
        severe = [f for f in findings if f["severity"] in ("HIGH", "CRITICAL")]
        self.assertEqual([], severe)
        self.assertLess(seconds, SCAN_SECONDS)


if __name__ == "__main__":
    unittest.main(verbosity=2)
