"""The PostgreSQL store as operators deploy it, each case with two tvxhost
processes (two sites, as two machines) on one board:

- through Debian's pgbouncer in transaction pooling: 8 clients post 100
  posts each over both hosts; every acknowledged post shows exactly once on
  both hosts, the board's delete button and the admin page's deleteitem
  delete, and tvxstore verify and backup work through the bouncer;
- the database server shut down: the board's GET and POST answer 503 with
  Retry-After, and both work again within seconds of the server's start,
  without restarting the hosts;
- failover: a primary with a synchronous standby, the store's URI listing
  both (target_session_attrs=read-write); while 8 clients post, the standby
  is promoted and the old primary turned read-only. No acknowledged post is
  missing or doubled on the new primary, and the hosts take posts again
  within 15 s. The error window (first failed answer to the first good one
  after it) is printed.

Clients post from loopback addresses of their own (127.0.0.2, ...). The
suite skips only when the PostgreSQL server or pgbouncer is not installed.
"""

import http.client
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import hostkit
import pgkit
from hostkit import ADMIN, BOARD, BOARD_DB, OPEN_BOARD
# The posts' fields and the marker that names each post, as the suite of
# two hosts on one store writes and finds them.
import shared_store_test
from shared_store_test import fields, marker_of

CLIENTS = 8
POSTS = 100
REQUEST_TIMEOUT = 20.0  # above the store's connect and statement timeouts
RECOVERY_SECONDS = 5.0  # from the server's start to the hosts' first good answers
FAILOVER_SECONDS = 15.0  # from the fencing of the old primary to posts taken again
TOOL_TIMEOUT = 120


def post_once(port, key, address, board=BOARD):
    """One post on a fresh connection: (status, headers) or ("no answer", error)."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=REQUEST_TIMEOUT,
                                      source_address=(address, 0))
    try:
        conn.request("POST", board, body=hostkit.form_body(fields(*key)),
                     headers={"Content-Type": "application/x-www-form-urlencoded"})
        response = conn.getresponse()
        response.read()
        return response.status, {k.lower(): v for k, v in response.getheaders()}
    except (OSError, http.client.HTTPException) as error:
        return "no answer", {"error": repr(error)}
    finally:
        conn.close()


def acknowledged(status, headers):
    return status == 302 and headers.get("location") == BOARD


class Poster(shared_store_test.Poster):
    """The suite's poster, each answer kept as (sent at, answered at, port,
    key, status) instead, "acked" standing for the board's redirect."""

    def __init__(self, test, client, ports, count, stop=None):
        super().__init__(test, client, ports, count, stop)
        self.answers = []

    def run(self):
        for port, key in self.turns():
            sent = time.monotonic()
            status, headers = post_once(port, key, self.address)
            outcome = "acked" if acknowledged(status, headers) else status
            self.answers.append((sent, time.monotonic(), port, key, outcome))

    def keys(self, acked=None):
        return {key for _, _, _, key, outcome in self.answers
                if acked is None or (outcome == "acked") == acked}


def answers_of(posters):
    return sorted(a for p in posters for a in p.answers)


def run_posters(posters, limit):
    for poster in posters:
        poster.start()
    deadline = time.monotonic() + limit
    for poster in posters:
        poster.join(timeout=max(0.0, deadline - time.monotonic()))
    return not any(poster.is_alive() for poster in posters)


def tvxstore(*args):
    tool = hostkit.required_env("TVXSTORE")
    result = subprocess.run([tool, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            timeout=TOOL_TIMEOUT)
    return result.returncode, result.stdout.decode(errors="replace") + result.stderr.decode(
        errors="replace")


class DeploymentTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        missing = pgkit.missing_binaries()
        if missing:
            raise unittest.SkipTest(missing)

    def setUp(self):
        self.cleanups = []  # called in reverse order, whatever happens

    def tearDown(self):
        for cleanup in reversed(self.cleanups):
            cleanup()

    def started(self, thing):
        """`thing` started, and stopped at the end of the test."""
        thing.start()
        self.cleanups.append(thing.stop)
        return thing

    def server(self, tcp=False):
        server = pgkit.PgServer(tcp=tcp)
        self.cleanups.append(server.stop)
        return server.start()

    def site(self, store):
        site = hostkit.Site()
        site.store = store
        self.cleanups.append(site.remove)
        return site

    def host(self, site):
        host = hostkit.Host(site, *hostkit.UNLIMITED_POSTS, *hostkit.UNCAPPED_CALLS)
        self.cleanups.append(lambda: host.kill() if host.alive() else None)
        return host.start()

    def shown_on(self, host, board=BOARD):
        """The markers of a board's posts through `host`, in page order;
        fails on a post shown twice."""
        keys = [marker_of(html) for html in host.board_posts(board)]
        self.assertNotIn(None, keys)
        self.assertEqual(len(keys), len(set(keys)), "a post shown twice")
        return keys

    def check_hosts_clean(self, hosts):
        for host in hosts:
            self.assertEqual(0, host.stop(), host.stderr_text()[-2000:])
            self.assertEqual([], host.sanitizer_reports())

    # --- through pgbouncer ---

    def test_two_hosts_through_pgbouncer_in_transaction_pooling(self):
        server = self.server()
        server.sql("CREATE DATABASE pooled")
        bouncer = self.started(pgkit.PgBouncer(server, "pooled", pool_mode="transaction"))
        hosts = [self.host(self.site(bouncer.uri())) for _ in range(2)]
        ports = [host.port for host in hosts]
        posters = [Poster("pool", c, ports, POSTS) for c in range(CLIENTS)]
        self.assertTrue(run_posters(posters, 300), "a client hung")
        failed = [(a[3], a[4]) for a in answers_of(posters) if a[4] != "acked"]
        self.assertEqual([], failed[:10], f"{len(failed)} posts not acknowledged\n"
                         f"{hosts[0].stderr_text()[-1500:]}\n{bouncer.log()[-1500:]}")
        acked = {key for poster in posters for key in poster.keys(acked=True)}
        self.assertEqual(CLIENTS * POSTS, len(acked))
        first = self.shown_on(hosts[0])
        self.assertEqual(acked, set(first))
        self.assertEqual(first, self.shown_on(hosts[1]), "the hosts show different boards")

        # The admin page's deleteitem, on one host, seen on the other.
        lines = hostkit.listing_lines(hosts[0].admin_listing())
        self.assertEqual(CLIENTS * POSTS, len(lines))
        gone_id, gone_text = lines[len(lines) // 2]
        status, _, page = hosts[0].get(
            f"{ADMIN}?cmd=deleteitem&dbname={BOARD_DB}&deleteitem={gone_id}",
            headers=hosts[0].site.admin_headers())
        self.assertEqual(200, status, page[:300])
        gone = marker_of(gone_text)
        self.assertEqual(acked - {gone}, set(self.shown_on(hosts[1])))

        # The open board's delete button, on one host, seen on the other.
        for number in range(3):
            status, headers = post_once(hosts[1].port, ("open", 0, number), "127.0.0.2",
                                        OPEN_BOARD)
            self.assertEqual(302, status, headers)
        status, _, page = hosts[0].get(OPEN_BOARD)
        ids = re.findall(rb'name="deleteitemid" value="(-?\d+)"', page)
        self.assertEqual(3, len(ids), page[:500])
        status, headers, _ = hosts[0].post(OPEN_BOARD, [("deleteitem", "x"),
                                                        ("deleteitemid", ids[1])],
                                           source="127.0.0.3")
        self.assertEqual(302, status)
        self.assertEqual([("open", 0, 2), ("open", 0, 0)], self.shown_on(hosts[1], OPEN_BOARD))

        # The owner's tool through the bouncer: a check, and a backup that
        # holds what the board shows.
        code, out = tvxstore("--store", bouncer.uri(), "verify")
        self.assertEqual(0, code, out)
        self.assertIn("no problems", out)
        backup = os.path.join(tempfile.mkdtemp(prefix="corkwall-backup-"), "backup.db")
        self.cleanups.append(lambda: subprocess.run(["rm", "-rf", os.path.dirname(backup)]))
        code, out = tvxstore("--store", bouncer.uri(), "backup", backup)
        self.assertEqual(0, code, out)
        check, records = hostkit.read_store(backup)
        self.assertEqual(["ok"], check)
        stored = [marker_of(b"".join(v for _, v in props)) for _, props in records]
        self.assertEqual(sorted(acked - {gone}), sorted(stored))
        self.check_hosts_clean(hosts)

    # --- the server down and back ---

    def test_server_down_gives_503_then_both_hosts_work_again(self):
        server = self.server(tcp=True)
        server.sql("CREATE DATABASE outage")
        # One host on the server's socket, one on its TCP port.
        hosts = [self.host(self.site(server.uri("outage"))),
                 self.host(self.site(server.tcp_uri("outage")))]
        for i, host in enumerate(hosts):
            self.assertTrue(acknowledged(*post_once(host.port, ("before", i, 0), "127.0.0.2")))

        server.shut_down()
        answers = []
        for i, host in enumerate(hosts):
            for method, body in (("GET", None), ("POST", hostkit.form_body(fields("down", i, 0)))):
                started = time.monotonic()
                status, headers, page = host.request(
                    method, BOARD, body=body, source="127.0.0.3",
                    headers={"Content-Type": "application/x-www-form-urlencoded"})
                answers.append((f"{method} on host {i}", status, headers.get("retry-after"),
                                page[:200]))
                print(f"server down: {method} on host {i}: {status} in"
                      f" {time.monotonic() - started:.2f} s,"
                      f" Retry-After {headers.get('retry-after')}", file=sys.stderr)
        for what, status, retry_after, page in answers:
            self.assertEqual(503, status, f"{what}: {page!r}")
            self.assertRegex(retry_after or "", r"^\d+$", what)

        server.start_again()
        back = time.monotonic()
        for i, host in enumerate(hosts):
            number = 0
            while True:
                number += 1
                status, _, _ = host.get(BOARD, source="127.0.0.4")
                posted = post_once(host.port, ("after", i, number), "127.0.0.4")
                if status == 200 and acknowledged(*posted):
                    break
                self.assertLess(time.monotonic() - back, RECOVERY_SECONDS,
                                f"host {i} still answers {status} and {posted[0]}")
                time.sleep(0.1)
            print(f"server back: host {i} works after {time.monotonic() - back:.2f} s",
                  file=sys.stderr)
        shown = self.shown_on(hosts[0])
        self.assertIn(("after", 1, number), shown)
        self.assertIn(("before", 0, 0), shown)
        self.assertNotIn("down", {key[0] for key in shown}, "a refused post was stored")
        self.assertEqual(shown, self.shown_on(hosts[1]))
        self.check_hosts_clean(hosts)

    # --- failover ---

    def test_failover_to_a_synchronous_standby_loses_no_post(self):
        primary = self.server(tcp=True)
        primary.sql("CREATE DATABASE failover")
        standby = primary.add_standby()
        self.cleanups.append(standby.stop)
        both = "target_session_attrs=read-write&connect_timeout=2&user=postgres"
        hosts = [
            self.host(self.site(f"postgresql:///failover?host={primary.dir},{standby.dir}"
                                f"&port={primary.port},{standby.port}&{both}")),
            self.host(self.site(f"postgresql:///failover?host=127.0.0.1,127.0.0.1"
                                f"&port={primary.port},{standby.port}&{both}"))]
        ports = [host.port for host in hosts]
        stop = threading.Event()
        posters = [Poster("fail", c, ports, 20 * POSTS, stop) for c in range(CLIENTS)]
        for poster in posters:
            poster.start()
        try:
            deadline = time.monotonic() + 60
            while (sum(len(p.keys(acked=True)) for p in posters) < 200 and
                   time.monotonic() < deadline):
                time.sleep(0.02)
            failover = time.monotonic()
            standby.promote()
            primary.make_read_only()
            fenced = time.monotonic()
            # Until each host has taken a post sent after the fencing.
            while time.monotonic() < fenced + FAILOVER_SECONDS:
                taken = {a[2] for a in answers_of(posters) if a[0] > fenced and a[4] == "acked"}
                if taken == set(ports):
                    break
                time.sleep(0.05)
            time.sleep(1.0)
        finally:
            stop.set()
            for poster in posters:
                poster.join(timeout=2 * REQUEST_TIMEOUT)
        self.assertFalse(any(p.is_alive() for p in posters), "a client hung")

        answers = answers_of(posters)
        failed = [a for a in answers if a[1] > failover and a[4] != "acked"]
        kinds = {}
        for a in answers:
            kinds[a[4]] = kinds.get(a[4], 0) + 1
        window = "no failed answer"
        if failed:
            first_bad = min(a[1] for a in failed)
            good_after = [a[1] for a in answers if a[4] == "acked" and a[0] > first_bad]
            window = (f"{min(good_after) - first_bad:.2f} s" if good_after
                      else "no good answer after the first failed one")
        print(f"failover: promote and fence took {fenced - failover:.2f} s; answers {kinds};"
              f" error window {window}", file=sys.stderr)
        for port, kind in zip(ports, ("sockets", "TCP")):
            taken = [a[1] - fenced for a in answers
                     if a[2] == port and a[0] > fenced and a[4] == "acked"]
            self.assertTrue(taken and min(taken) <= FAILOVER_SECONDS,
                            f"the host on the servers' {kind} took no post within"
                            f" {FAILOVER_SECONDS} s of the failover")

        # The new primary alone, through a host of its own.
        judge = self.host(self.site(standby.uri("failover")))
        shown = self.shown_on(judge)
        acked = {key for poster in posters for key in poster.keys(acked=True)}
        sent = {key for poster in posters for key in poster.keys()}
        self.assertEqual(set(), acked - set(shown),
                         "posts answered with the redirect missing on the new primary")
        self.assertEqual(set(), set(shown) - sent)
        self.check_hosts_clean(hosts + [judge])


if __name__ == "__main__":
    unittest.main(verbosity=2)
