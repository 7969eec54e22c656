"""A site on a PostgreSQL store whose server goes down and comes back: while
it is down, the board (its page and a post) and the admin page (the
catalogue and a listing) answer 503 with Retry-After and the plug-in's own
page, within the store's timeouts, and never an empty board or a redirect;
the error log names the script and the reason and the access log has each
503. Once the server is back, the same tvxhost, not restarted, serves them
all again."""

import time
import unittest

import hostkit
import pgkit
from hostkit import ADMIN, BOARD, BOARD_DB

# A refused connection fails at once; even a server that hangs is given up
# after the store's 5 s connect timeout.
OUTAGE_ANSWER_SECONDS = 8.0
# How long a started server may take to take connections.
RECOVERY_SECONDS = 20.0


def post_fields(subject):
    return [("name", b"Taro"), ("email", b""), ("subject", subject.encode()),
            ("body", b"outage test"), ("postitem", b"post")]


class OutageTest(unittest.TestCase):

    def setUp(self):
        self.server = pgkit.PgServer().start()
        self.addCleanup(self.server.stop)
        self.site = pgkit.site_on(self.server, "outage")
        self.host = hostkit.Host(self.site, *hostkit.UNLIMITED_POSTS).start()
        # Cleanups run last first: the host stops before its server is removed.
        self.addCleanup(self.host.stop_cleanly_and_remove, self.site)

    def requests(self):
        """(what, answer) of each page that needs the store."""
        admin = self.site.admin_headers()
        return [
            ("board", lambda: self.host.get(BOARD)),
            ("post", lambda: self.host.post(BOARD, post_fields("during"))),
            ("catalogue", lambda: self.host.get(ADMIN, headers=admin)),
            ("listing", lambda: self.host.get(ADMIN + "?cmd=enum&name=" + BOARD_DB,
                                              headers=admin)),
        ]

    def test_server_down_is_503_and_back_up_works_without_a_restart(self):
        status, headers, _ = self.host.post(BOARD, post_fields("before"))
        self.assertEqual(302, status)
        self.assertEqual(1, len(self.host.board_posts()))

        self.server.shut_down()
        pages = {"board": b"Other errors.", "post": b"Open database Error",
                 "catalogue": b"CeFindFirstDatabase failed with error (21)",
                 "listing": b"CeOpenDatabaseEx failed."}
        for what, request in self.requests():
            with self.subTest(what):
                start = time.monotonic()
                status, headers, body = request()
                self.assertLess(time.monotonic() - start, OUTAGE_ANSWER_SECONDS)
                self.assertEqual(503, status, body[:300])
                self.assertEqual("5", headers.get("retry-after"))
                self.assertTrue(headers.get("content-type", "").startswith("text/html"))
                self.assertIn(pages[what], body)
                self.assertNotIn("location", headers)

        self.server.start_again()
        deadline = time.monotonic() + RECOVERY_SECONDS
        status, _, body = self.host.get(BOARD)
        while status != 200 and time.monotonic() < deadline:
            time.sleep(0.2)
            status, _, body = self.host.get(BOARD)
        self.assertEqual(200, status, body[:300])
        self.assertEqual(1, len(hostkit.posts_on_page(body)), "the post before the outage")
        for what, request in self.requests():
            with self.subTest(what + " again"):
                status, headers, body = request()
                self.assertEqual(302 if what == "post" else 200, status, body[:300])
                self.assertNotIn("retry-after", headers)
        self.assertEqual(2, len(self.host.board_posts()), "only the posts made while it was up")
        self.assertEqual(2, len(hostkit.listing_lines(self.host.admin_listing())))

        log = self.host.stderr_text()
        for script in ("/bbs/board.tvx", "/admin/corkwarden.tvx"):
            self.assertIn(script + ": the store was unavailable (unreachable, error 21); "
                          "answered 503", log)
        with open(self.site.access_log, errors="replace") as f:
            access = f.read()
        self.assertEqual(4, access.count("\" 503 "), access)


if __name__ == "__main__":
    unittest.main(verbosity=2)
