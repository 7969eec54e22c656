"""tvxhost on a PostgreSQL store whose URI carries passwords (in its user
information and as ?password=, which the suite's server takes with trust
auth): the start-up line, --check, the error log and the store's failure
lines while the database server is down show the store with "***" in their
place and never the passwords; each of the platform's lines has its time
stamp and stays on one line."""

import os
import re
import subprocess
import sys
import unittest

import hostkit
import pgkit
from hostkit import BOARD

# Passwords as an owner might write them, one with an encoded '@'.
USER_SECRET = "Us3r-s3cret"
QUERY_SECRET = "Qu%40ry-s3cret"
SECRETS = [USER_SECRET, QUERY_SECRET, "Qu@ry-s3cret", "s3cret"]
STAMPED = re.compile(r"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] (tvxhost|ceplatform): ")


def with_passwords(uri):
    """`uri` (postgresql:///db?host=...) with both kinds of password."""
    return (uri.replace("postgresql:///", f"postgresql://postgres:{USER_SECRET}@/", 1)
            + f"&password={QUERY_SECRET}")


def shown(uri):
    """`uri` from with_passwords as the host shows it."""
    return uri.replace(USER_SECRET, "***", 1).replace(QUERY_SECRET, "***")


class StartLineHost(hostkit.Host):
    """A host that keeps its start-up line."""

    def _read_line(self, timeout):
        self.start_line = super()._read_line(timeout).decode(errors="replace")
        return self.start_line.encode()


class StoreLocationTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.server = pgkit.PgServer().start()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.site = pgkit.site_on(self.server, "located")
        self.site.store = with_passwords(self.site.store)

    def tearDown(self):
        self.site.remove()

    def assertNoSecret(self, text, where):
        for secret in SECRETS:
            self.assertNotIn(secret, text, f"{where} shows a password")

    def test_no_password_in_the_start_line_check_error_log_or_failure_lines(self):
        checked = subprocess.run(hostkit.Host(self.site).command() + ["--check"],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        checked = checked.stdout.decode(errors="replace")
        self.assertIn(shown(self.site.store), checked)
        self.assertNoSecret(checked, "--check")

        host = StartLineHost(self.site, *hostkit.UNLIMITED_POSTS).start()
        try:
            self.assertIn(f"(store {shown(self.site.store)})", host.start_line)
            self.assertNoSecret(host.start_line, "the start-up line")
            status, headers, _ = host.post(BOARD, [("name", "owner"), ("email", ""),
                                                   ("subject", "up"), ("body", "stored")])
            self.assertEqual((302, BOARD), (status, headers.get("location")))

            # The database server goes down; the host answers with error pages
            # and logs each failure.
            self.server.shut_down()
            for _ in range(3):
                status, _, page = host.get(BOARD)
                self.assertTrue(status == 503 or b"ERROR" in page.upper(), (status, page[:300]))
                host.post(BOARD, [("name", "p"), ("email", ""), ("subject", "down"),
                                  ("body", "lost")])
        finally:
            stopped = host.stop()
            self.server.start_again()
        errors = host.stderr_text()
        failures = [line for line in errors.splitlines() if "ceplatform:" in line]
        self.assertTrue(failures, errors)
        for line in failures:
            self.assertRegex(line, STAMPED)
            self.assertIn(f"store {shown(self.site.store)}: ", line)
        # libpq's message of several lines is joined onto its line.
        self.assertTrue(any(" / " in line for line in failures), failures)
        for line in errors.splitlines():
            self.assertTrue(STAMPED.match(line) or "Sanitizer" in line, line)
        self.assertNoSecret(errors, "the error log")
        with open(self.site.access_log, errors="replace") as f:
            self.assertNoSecret(f.read(), "the access log")
        self.assertEqual(0, stopped, errors)
        self.assertEqual([], host.sanitizer_reports())


if __name__ == "__main__":
    result = unittest.main(verbosity=2, exit=False).result
    sys.exit(0 if result.wasSuccessful() else 1)
