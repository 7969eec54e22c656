"""Two tvxhost processes on one PostgreSQL database, as two machines behind
one address would run: 8 clients post 100 posts each, spread over both
hosts, and each host then shows exactly the 800 posts in the same order. A
host killed with SIGKILL while clients post loses no post that got its
redirect, and a restart of the database server while clients post gives
error pages (503 while the server is away; never a crash or a hang), after
which posting works again without restarting the hosts. Every post is stored once at most.

Clients post from several loopback addresses (127.0.0.2, ...), one each."""

import http.client
import re
import sys
import threading
import time
import unittest

import hostkit
import pgkit
from hostkit import BOARD

CLIENTS = 8
POSTS = 100
REQUEST_TIMEOUT = 20.0  # longer than the store's connect and statement timeouts


def fields(test, client, number):
    return [("name", f"客{client}".encode("shift_jis")), ("email", b""),
            ("subject", f"件{number}".encode("shift_jis")),
            ("body", f"mark-{test}-{client}-{number}. 共有試験 本文".encode("shift_jis")),
            ("postitem", b"post")]


def marker_of(html):
    match = re.search(rb"mark-(\w+)-(\d+)-(\d+)\.", html)
    return (match.group(1).decode(), int(match.group(2)), int(match.group(3))) if match else None


class Poster(threading.Thread):
    """Posts `count` posts (or until `stop`) to a host from its own loopback
    address; sorts the answers into redirects, error pages and the rest."""

    def __init__(self, test, client, ports, count, stop=None):
        super().__init__(daemon=True)
        self.test, self.client, self.ports, self.count = test, client, ports, count
        self.stop = stop or threading.Event()
        self.address = f"127.0.0.{2 + client}"
        self.sent, self.acked, self.error_pages, self.failures = [], [], [], []

    def turns(self):
        """(port, key) of each post to send, the hosts taken in turn, until
        `count` posts or `stop`."""
        for number in range(self.count):
            if self.stop.is_set():
                return
            yield self.ports[(self.client + number) % len(self.ports)], (self.test, self.client,
                                                                         number)

    def run(self):
        for port, key in self.turns():
            data = hostkit.form_body(fields(*key))
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=REQUEST_TIMEOUT,
                                              source_address=(self.address, 0))
            self.sent.append(key)
            try:
                conn.request("POST", BOARD, body=data,
                             headers={"Content-Type": "application/x-www-form-urlencoded"})
                response = conn.getresponse()
                body = response.read()
                if response.status == 302 and response.getheader("Location") == BOARD:
                    self.acked.append(key)
                elif response.status in (200, 503) and b"ERROR" in body.upper():
                    self.error_pages.append(key)
                else:
                    self.failures.append((key, response.status, body[:200]))
            except (OSError, http.client.HTTPException) as error:
                self.failures.append((key, "no answer", repr(error)))
            finally:
                conn.close()


class SharedStoreTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.server = pgkit.PgServer().start()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.site = pgkit.site_on(self.server, self.id().split(".")[-1].lower())
        self.hosts = [hostkit.Host(self.site, *hostkit.UNLIMITED_POSTS).start(),
                      hostkit.Host(self.site, *hostkit.UNLIMITED_POSTS).start()]

    def tearDown(self):
        for host in self.hosts:
            if host.alive():
                host.kill()
        self.site.remove()

    def finish(self, posters):
        for poster in posters:
            poster.join(timeout=POSTS * REQUEST_TIMEOUT)
            self.assertFalse(poster.is_alive(), "a client hung")

    def shown_on(self, host, sent):
        """The markers of the board's posts through `host`, in page order;
        fails on a post shown twice. `sent` posts at most are on the board,
        and every page that can hold them is read (a fast build posts
        thousands during a restart)."""
        pages = len(sent) // hostkit.POSTS_PER_PAGE + 2
        keys = [marker_of(html) for html in host.board_posts(limit=pages)]
        self.assertNotIn(None, keys)
        self.assertEqual(len(keys), len(set(keys)), "a post stored twice")
        return keys

    def check_hosts_clean(self):
        for host in self.hosts:
            if host.alive():
                self.assertEqual(0, host.stop())
            self.assertEqual([], host.sanitizer_reports())

    def test_two_hosts_show_the_same_800_posts(self):
        ports = [host.port for host in self.hosts]
        posters = [Poster("both", c, ports, POSTS) for c in range(CLIENTS)]
        for poster in posters:
            poster.start()
        self.finish(posters)
        for poster in posters:
            self.assertEqual([], poster.failures)
            self.assertEqual([], poster.error_pages)
        sent = {key for poster in posters for key in poster.sent}
        self.assertEqual(CLIENTS * POSTS, len(sent))
        first = self.shown_on(self.hosts[0], sent)
        second = self.shown_on(self.hosts[1], sent)
        self.assertEqual(CLIENTS * POSTS, len(first))
        self.assertEqual(first, second, "the hosts show the posts in different orders")
        self.assertEqual(sent, set(first))
        # Each client's posts come newest first.
        for client in range(CLIENTS):
            numbers = [n for _, c, n in first if c == client]
            self.assertEqual(sorted(numbers, reverse=True), numbers)
        self.check_hosts_clean()

    def test_killed_host_loses_no_redirected_post(self):
        ports = [host.port for host in self.hosts]
        stop = threading.Event()
        posters = [Poster("kill", c, ports, POSTS, stop) for c in range(CLIENTS)]
        for poster in posters:
            poster.start()
        deadline = time.monotonic() + 60
        while (sum(len(p.acked) for p in posters) < 200 and time.monotonic() < deadline and
               any(p.is_alive() for p in posters)):
            time.sleep(0.01)
        self.hosts[0].kill()  # SIGKILL, posts in flight
        self.finish(posters)
        acked = {key for poster in posters for key in poster.acked}
        sent = {key for poster in posters for key in poster.sent}
        for poster in posters:
            # Only the killed host's clients lose their answers.
            for key, status, _ in poster.failures:
                self.assertEqual("no answer", status, key)
        self.assertGreaterEqual(len(acked), 200)
        shown = self.shown_on(self.hosts[1], sent)
        self.assertEqual(set(), acked - set(shown), "posts answered with the redirect lost")
        self.assertEqual(set(), set(shown) - sent)
        # The survivor takes posts as before.
        survivor = Poster("after", 0, [self.hosts[1].port], 5)
        survivor.start()
        self.finish([survivor])
        self.assertEqual(5, len(survivor.acked), survivor.failures)
        print(f"kill: {len(sent)} sent, {len(acked)} answered, {len(shown)} stored",
              file=sys.stderr)
        self.check_hosts_clean()

    def test_database_restart_gives_error_pages_then_posting_resumes(self):
        ports = [host.port for host in self.hosts]
        stop = threading.Event()
        posters = [Poster("restart", c, ports, 10 * POSTS, stop) for c in range(CLIENTS)]
        for poster in posters:
            poster.start()
        deadline = time.monotonic() + 60
        while sum(len(p.acked) for p in posters) < 100 and time.monotonic() < deadline:
            time.sleep(0.01)
        before = sum(len(p.error_pages) for p in posters)
        self.server.restart()
        # Posting goes on through the restart, then a while after it.
        time.sleep(2.0)
        stop.set()
        self.finish(posters)
        for poster in posters:
            self.assertEqual([], poster.failures, "a request without a proper answer")
        errors = sum(len(p.error_pages) for p in posters) - before
        self.assertTrue(all(host.alive() for host in self.hosts))
        # Both hosts take posts again, without a restart of their own.
        after = [Poster("resumed", c, ports, 6) for c in range(2)]
        for poster in after:
            poster.start()
        self.finish(after)
        for poster in after:
            self.assertEqual(6, len(poster.acked), (poster.error_pages, poster.failures))
        acked = {key for poster in posters + after for key in poster.acked}
        sent = {key for poster in posters + after for key in poster.sent}
        for host in self.hosts:
            shown = self.shown_on(host, sent)
            self.assertEqual(set(), acked - set(shown), "posts answered with the redirect lost")
            self.assertEqual(set(), set(shown) - sent)
        print(f"restart: {len(sent)} sent, {len(acked)} answered, {errors} error pages",
              file=sys.stderr)
        self.check_hosts_clean()


if __name__ == "__main__":
    unittest.main(verbosity=2)
