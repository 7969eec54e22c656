"""The server killed with SIGKILL while four clients post: after a restart on
the same data folder the store passes SQLite's integrity check, every post
whose POST had been answered with its redirect is on the board, and every
post on the board is whole, one of those that were sent. Three rounds, each
on the store that the round before left."""

import http.client
import re
import sys
import threading
import time
import unittest

import hostkit
from hostkit import BOARD

ROUNDS = 3
CLIENTS = 4
ACKED_BEFORE_KILL = 60  # answered posts a round waits for before the kill
ROUND_DEADLINE = 60.0   # seconds a round may take to get there


def post_fields(round_number, client, number):
    name = f"落{client}".encode("shift_jis")
    subject = f"回{round_number}&{number}".encode("shift_jis")
    # The mark comes first: the admin's listing shows a post's first 255
    # bytes of text.
    body = (f"mark-{round_number}-{client}-{number}. " +
            "停電試験 + % & 表ソ 本文 " * 8).encode("shift_jis")
    return name, subject, body


def marker_of(html):
    match = re.search(rb"mark-(\d+)-(\d+)-(\d+)\.", html)
    return tuple(int(g) for g in match.groups()) if match else None


class Poster(threading.Thread):
    """Posts in a loop until told to stop or the server goes away; keeps
    what it sent and what was answered with the redirect."""

    def __init__(self, port, round_number, client, stop):
        super().__init__(daemon=True)
        self.port = port
        self.round_number = round_number
        self.client = client
        self.stop = stop
        self.sent = []
        self.acked = []
        self.unexpected = []

    def run(self):
        number = 0
        while not self.stop.is_set():
            key = (self.round_number, self.client, number)
            name, subject, body = post_fields(*key)
            data = hostkit.form_body([("name", name), ("email", b""), ("subject", subject),
                                      ("body", body), ("postitem", b"post")])
            conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=20)
            self.sent.append(key)
            try:
                conn.request("POST", BOARD, body=data,
                             headers={"Content-Type": "application/x-www-form-urlencoded"})
                response = conn.getresponse()
                response.read()
                if response.status == 302:
                    self.acked.append(key)
                else:
                    self.unexpected.append((key, response.status))
            except (OSError, http.client.HTTPException):
                return  # the server is gone
            finally:
                conn.close()
            number += 1


class CrashTest(unittest.TestCase):

    def setUp(self):
        self.site = hostkit.Site()
        self.host = None

    def tearDown(self):
        if self.host is not None and self.host.alive():
            self.host.kill()
        self.site.remove()

    def check_store(self):
        check, records = hostkit.read_store(self.site.store)
        self.assertEqual(["ok"], check)
        for oid, props in records:
            self.assertEqual([64, 65601], [propid for propid, _ in props], oid)
            self.assertTrue(props[1][1].endswith(b"\0"), oid)
        return records

    def test_kill_while_posting_loses_no_answered_post(self):
        acked = set()
        sent = set()
        for round_number in range(ROUNDS):
            with self.subTest(round=round_number):
                try:
                    self.run_round(round_number, acked, sent)
                finally:
                    if self.host is not None and self.host.alive():
                        self.host.kill()

    def run_round(self, round_number, acked, sent):
        self.host = hostkit.Host(self.site, *hostkit.UNLIMITED_POSTS).start()
        stop = threading.Event()
        posters = [Poster(self.host.port, round_number, c, stop) for c in range(CLIENTS)]
        for poster in posters:
            poster.start()
        deadline = time.monotonic() + ROUND_DEADLINE
        while (sum(len(p.acked) for p in posters) < ACKED_BEFORE_KILL and
               time.monotonic() < deadline and all(p.is_alive() for p in posters)):
            time.sleep(0.01)
        self.host.kill()  # SIGKILL, with posts in flight
        stop.set()
        for poster in posters:
            poster.join(timeout=30)
            self.assertFalse(poster.is_alive(), "a client hung on a dead server")
            self.assertEqual([], poster.unexpected)
            acked.update(poster.acked)
            sent.update(poster.sent)
        self.assertGreaterEqual(sum(len(p.acked) for p in posters), ACKED_BEFORE_KILL)

        # The store as the kill left it, then through a new server.
        self.check_store()
        self.host = hostkit.Host(self.site, *hostkit.UNLIMITED_POSTS).start()
        posts = self.host.board_posts()
        shown = {}
        for html in posts:
            key = marker_of(html)
            self.assertIn(key, sent, html[:300])
            self.assertNotIn(key, shown, "a post stored twice")
            self.assertTrue(hostkit.post_pattern(*post_fields(*key)).fullmatch(html),
                            html)
            shown[key] = html
        self.assertEqual(set(), acked - set(shown), "answered posts lost")
        lines = hostkit.listing_lines(self.host.admin_listing())
        self.assertEqual(set(shown), {marker_of(text) for _, text in lines})
        self.assertEqual(len(shown), len(self.check_store()))
        print(f"round {round_number}: {len(acked)} posts answered so far, {len(sent)} sent, "
              f"{len(shown)} on the board", file=sys.stderr)
        self.assertEqual(0, self.host.stop())
        self.assertEqual([], self.host.sanitizer_reports())


if __name__ == "__main__":
    unittest.main(verbosity=2)
