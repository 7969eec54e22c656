"""Eight clients post a hundred posts each, all at once, through HTTP. Then
the board holds exactly those 800 posts, each exactly as sent: on the
board's pages, in the admin's listing, and in the store file."""

import http.client
import re
import threading
import unittest

import hostkit
from hostkit import BOARD

CLIENTS = 8
POSTS_EACH = 100


def post_fields(client, number):
    """The distinct post of one client: Shift_JIS text with the characters
    that a form's encoding gives a meaning (& + % =) in every field."""
    name = f"客{client}+{number}%".encode("shift_jis")
    subject = f"件{client}&{number}".encode("shift_jis")
    body = (f"本文 {client}/{number} & + % %41 = ? 表ソ能 "
            f"end-{client}-{number}.").encode("shift_jis")
    return name, subject, body


def marker_of(html):
    match = re.search(rb"end-(\d+)-(\d+)\.", html)
    return (int(match.group(1)), int(match.group(2))) if match else None


class LoadTest(unittest.TestCase):

    def setUp(self):
        self.site = hostkit.Site()
        self.host = hostkit.Host(self.site, *hostkit.UNLIMITED_POSTS, *hostkit.UNCAPPED_CALLS,
                                 "--threads", "8").start()

    def tearDown(self):
        if self.host.alive():
            self.host.kill()
        self.site.remove()

    def client(self, number, failures):
        conn = None
        try:
            for i in range(POSTS_EACH):
                name, subject, body = post_fields(number, i)
                data = hostkit.form_body([("name", name), ("email", b""), ("subject", subject),
                                          ("body", body), ("postitem", b"post")])
                # One connection kept alive for the client's posts, as a
                # browser keeps one.
                if conn is None:
                    conn = http.client.HTTPConnection("127.0.0.1", self.host.port,
                                                      timeout=hostkit.REQUEST_TIMEOUT)
                conn.request("POST", BOARD, body=data,
                             headers={"Content-Type": "application/x-www-form-urlencoded"})
                response = conn.getresponse()
                page = response.read()
                if response.status != 302 or response.getheader("Location") != BOARD:
                    failures.append((number, i, response.status, page[:200]))
                if response.getheader("Connection", "").lower() == "close":
                    conn.close()
                    conn = None
        except Exception as error:  # reported by the test, not lost in a thread
            failures.append((number, "exception", repr(error)))
        finally:
            if conn is not None:
                conn.close()

    def test_eight_clients_post_eight_hundred_posts(self):
        failures = []
        threads = [threading.Thread(target=self.client, args=(n, failures))
                   for n in range(CLIENTS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=120)
            self.assertFalse(thread.is_alive(), "a client hung")
        self.assertEqual([], failures)

        expected = {(c, i): hostkit.post_pattern(*post_fields(c, i))
                    for c in range(CLIENTS) for i in range(POSTS_EACH)}

        # The board's own pages, twenty posts a page.
        pages = self.host.board_pages(limit=100)
        self.assertEqual(CLIENTS * POSTS_EACH // 20, len(pages))
        # A walk allowed one page fewer than the board has fails, naming the
        # page it did not read, instead of returning part of the board.
        with self.assertRaisesRegex(AssertionError, r"more than 39 pages.*row=780"):
            self.host.board_pages(limit=len(pages) - 1)
        posts = [p for page in pages for p in hostkit.posts_on_page(page)]
        self.assertEqual(CLIENTS * POSTS_EACH, len(posts))
        seen = {}
        for html in posts:
            key = marker_of(html)
            self.assertIn(key, expected, html)
            self.assertNotIn(key, seen, "a post shown twice")
            self.assertTrue(expected[key].fullmatch(html), html)
            seen[key] = html
        self.assertEqual(set(expected), set(seen))

        # The admin's listing of the same board: one line a post, each the
        # post's text.
        lines = hostkit.listing_lines(self.host.admin_listing())
        self.assertEqual(CLIENTS * POSTS_EACH, len(lines))
        self.assertEqual(CLIENTS * POSTS_EACH, len({oid for oid, _ in lines}))
        self.assertEqual(set(expected), {marker_of(text) for _, text in lines})

        # The store file, read after a clean stop: whole records, and the
        # same HTML as the pages showed.
        self.assertEqual(0, self.host.stop())
        self.assertEqual([], self.host.sanitizer_reports())
        check, records = hostkit.read_store(self.site.store)
        self.assertEqual(["ok"], check)
        self.assertEqual(CLIENTS * POSTS_EACH, len(records))
        stored = set()
        for oid, props in records:
            self.assertEqual([64, 65601], [propid for propid, _ in props], oid)
            self.assertEqual(8, len(props[0][1]))
            html = props[1][1]
            self.assertTrue(html.endswith(b"\0"), oid)
            stored.add(html[:-1])
        self.assertEqual(set(seen.values()), stored)
        self.assertEqual({oid for oid, _ in lines}, {oid for oid, _ in records})


if __name__ == "__main__":
    unittest.main(verbosity=2)
