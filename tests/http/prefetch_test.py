"""A prefetch of the admin's DELETE DB link with the admin's credentials, as
a browser, a crawler or a link preview sends one: answered 503 with
Cache-Control: no-store, logged, and the board is still there; prefetches of
the boards are served as ever, and the owner's own click still deletes.
"""

import re
import unittest

import hostkit
from hostkit import ADMIN, BOARD, BOARD_DB, error_line_after


class PrefetchTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.site = hostkit.Site()
        cls.host = hostkit.Host(cls.site).start()
        status, _, _ = cls.host.post(BOARD, [("name", "owner"), ("email", ""),
                                             ("subject", "keep me"), ("body", "the board"),
                                             ("postitem", "post")])
        if status != 302:
            raise AssertionError(f"seeding the board: {status}")

    @classmethod
    def tearDownClass(cls):
        cls.host.stop_cleanly_and_remove(cls.site)

    def catalogue(self):
        status, _, page = self.host.get(ADMIN, headers=self.site.admin_headers())
        self.assertEqual(200, status)
        return page

    def test_a_prefetch_of_the_delete_link_deletes_nothing(self):
        match = re.search(rb"href=\"([^\"]*\?cmd=deleteDB&db=-?\d+)\">DELETE DB</a>",
                          self.catalogue())
        self.assertIsNotNone(match)
        link = match.group(1).decode()
        prefetches = [
            {"Sec-Purpose": "prefetch"},
            {"Sec-Purpose": "prefetch;prerender"},
            {"Sec-Purpose": "prefetch;anonymous-client-ip"},
            {"Purpose": "prefetch"},
            {"X-Moz": "prefetch"},
            # As a same-origin speculation rule sends it.
            {"Sec-Purpose": "prefetch", "Sec-Fetch-Site": "same-origin"},
        ]
        for headers in prefetches:
            with self.subTest(headers=headers):
                mark = len(self.host.stderr_text())
                status, answer, _ = self.host.get(
                    link, headers=dict(self.site.admin_headers(), **headers))
                self.assertEqual(503, status)
                self.assertEqual("no-store", answer.get("cache-control"))
                self.assertNotIn("retry-after", answer)
                line = error_line_after(self.host, mark, r"a prefetch .* is never run")
                self.assertIsNotNone(line, self.host.stderr_text()[mark:])
                self.assertIn("GET /admin/corkwarden.tvx from 127.0.0.1", line)
                self.assertIn(BOARD_DB.encode(), self.catalogue(), "a prefetch deleted the board")
        # The boards are not behind a password: their prefetches are served.
        status, _, page = self.host.get(BOARD, headers={"Sec-Purpose": "prefetch"})
        self.assertEqual(200, status)
        self.assertIn(b"keep me", page)
        # The owner's own click still deletes.
        status, _, page = self.host.get(link, headers=self.site.admin_headers())
        self.assertEqual(200, status)
        self.assertIn(b"Database deleted.", page)
        self.assertNotIn(BOARD_DB.encode(), self.catalogue())


if __name__ == "__main__":
    unittest.main(verbosity=2)
