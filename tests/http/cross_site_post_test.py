"""Posts and deletes that another site's page sends to the boards, as a
browser sends them (Sec-Fetch-Site, Origin), on a server that names one
other site allowed to post (--allow-origin http://friend.example):

- every combination of the headers, on both boards (the plain board and the
  open board with its delete buttons), posting and deleting: refused ones
  get 403 and a line in the error log and change nothing; the board's own
  form, a request without these headers (curl, scripts) and the named site
  still post;
- reading is never refused, and a refused post is not counted against the
  visitor's flood limit.
"""

import re
import unittest

import hostkit
from hostkit import BOARD, OPEN_BOARD, error_line_after

FRIEND = "http://friend.example"
REFUSAL = "refused, a post to a plug-in from another site's page"


def db_of(board):
    return "TULVAN_" + board.rsplit("/", 1)[1]


class CrossSitePostTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.site = hostkit.Site()
        cls.host = hostkit.Host(cls.site, "--allow-origin", FRIEND).start()
        cls.own = f"http://127.0.0.1:{cls.host.port}"
        cls.sources = (f"127.0.20.{n}" for n in range(1, 250))

    @classmethod
    def tearDownClass(cls):
        cls.host.stop_cleanly_and_remove(cls.site)

    def post(self, board, subject, headers=None, source=None):
        return self.host.post(board, [("name", "poster"), ("email", ""), ("subject", subject),
                                      ("body", "text"), ("postitem", "post")],
                              source=source or next(self.sources), headers=headers)

    def records(self, board):
        """{record id: text} of the board's posts, as the admin lists them."""
        return dict(hostkit.listing_lines(self.host.admin_listing(db_of(board))))

    def test_posts_and_deletes_from_other_sites_change_nothing(self):
        port = self.host.port
        combinations = [
            # (headers the browser sent, reason in the error log; None: allowed)
            ({"Sec-Fetch-Site": "cross-site", "Origin": "http://evil.example"},
             r"Sec-Fetch-Site is cross-site"),
            ({"Sec-Fetch-Site": "same-site", "Origin": "http://www.127.0.0.1.example"},
             r"Sec-Fetch-Site is same-site"),
            ({"Sec-Fetch-Site": "cross-site"}, r"Sec-Fetch-Site is cross-site"),
            ({"Origin": "http://evil.example"}, r"Origin http://evil\.example is not"),
            ({"Origin": "null"}, r"Origin is null"),
            ({"Origin": f"http://127.0.0.1:{port + 1}"}, r"Origin http://127\.0\.0\.1:\d+ is not"),
            ({"Origin": f"https://127.0.0.1:{port}"}, r"Origin https://127\.0\.0\.1"),
            ({"Origin": "http://localhost:%d" % port}, r"Origin http://localhost"),
            ({"Sec-Fetch-Site": "same-origin", "Origin": "http://evil.example"},
             r"Origin http://evil\.example"),
            ({"Sec-Fetch-Site": "cross-site", "Origin": "https://friend.example"},
             r"Sec-Fetch-Site is cross-site"),
            ({"Sec-Fetch-Site": "cross-site", "Origin": "http://friend.example:8080"},
             r"Sec-Fetch-Site is cross-site"),
            # The board's own form, a typed-in request, curl, the named site.
            ({"Sec-Fetch-Site": "same-origin", "Origin": self.own}, None),
            ({"Origin": self.own}, None),
            ({"Sec-Fetch-Site": "none"}, None),
            ({}, None),
            ({"Sec-Fetch-Site": "cross-site", "Origin": FRIEND}, None),
            ({"Origin": FRIEND}, None),
            # A post's Referer is left to the browser's Referrer-Policy.
            ({"Referer": "http://evil.example/prize.html"}, None),
        ]
        for board in (BOARD, OPEN_BOARD):
            for number, (headers, reason) in enumerate(combinations):
                with self.subTest(board=board, headers=headers):
                    # Posting.
                    before = self.records(board)
                    mark = len(self.host.stderr_text())
                    subject = f"case {number} on {board}"
                    status, _, page = self.post(board, subject, headers)
                    after = self.records(board)
                    if reason is None:
                        self.assertEqual(302, status, page[:300])
                        self.assertEqual(len(before) + 1, len(after))
                        self.assertIn(subject.encode(), b"\n".join(after.values()))
                    else:
                        self.assertEqual(403, status, page[:300])
                        self.assertEqual(before, after)
                        line = error_line_after(self.host, mark, reason)
                        self.assertIsNotNone(line, self.host.stderr_text()[mark:])
                        self.assertIn(REFUSAL, line)
                        self.assertIn(f"POST {board} from 127.0.20.", line)

                    # Deleting a post of someone else's (only the open board
                    # has delete buttons; the plain one deletes nothing).
                    self.assertEqual(302, self.post(board, f"victim {number};")[0])
                    records = self.records(board)
                    victim = [oid for oid, text in records.items()
                              if f"victim {number};".encode() in text]
                    self.assertEqual(1, len(victim), records)
                    victim = victim[0]
                    mark = len(self.host.stderr_text())
                    status, _, _ = self.host.post(
                        board, [("deleteitem", "x"), ("deleteitemid", str(victim))],
                        source=next(self.sources), headers=headers)
                    left = self.records(board)
                    if reason is None:
                        self.assertEqual(302, status)
                        self.assertEqual(board == OPEN_BOARD, victim not in left)
                    else:
                        self.assertEqual(403, status)
                        self.assertEqual(records, left)
                        self.assertIsNotNone(error_line_after(self.host, mark, reason))

    def test_reading_is_never_refused(self):
        for board in (BOARD, OPEN_BOARD):
            status, _, page = self.host.get(board, headers={
                "Sec-Fetch-Site": "cross-site", "Origin": "http://evil.example"})
            self.assertEqual(200, status, page[:300])

    def test_refused_posts_do_not_use_up_the_visitors_flood_limit(self):
        visitor = "127.0.21.1"
        hostile = {"Sec-Fetch-Site": "cross-site", "Origin": "http://evil.example"}
        for i in range(12):
            self.assertEqual(403, self.post(BOARD, f"hostile {i}", hostile, source=visitor)[0])
        own = {"Sec-Fetch-Site": "same-origin", "Origin": self.own}
        statuses = [self.post(BOARD, f"own {i}", own, source=visitor)[0] for i in range(6)]
        # The burst of 5 is the visitor's own, then the limit holds.
        self.assertEqual([302] * 5 + [429], statuses)
        posts = b"\n".join(self.host.board_posts(BOARD))
        self.assertEqual(5, len(re.findall(rb"own \d", posts)))
        self.assertNotIn(b"hostile", posts)


if __name__ == "__main__":
    unittest.main(verbosity=2)
