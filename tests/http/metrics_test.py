"""The metrics listener after a mixed load: /metrics passes Debian's
`promtool check metrics`, and its counters are those of the requests sent,
by kind and status, refusal, post and store call; /healthz and /readyz
answer, and nothing else does."""

import collections
import os
import socket
import subprocess
import time
import unittest

import hostkit
import metricskit
from hostkit import ADMIN, BOARD
from metricskit import series, value

PROMTOOL_TIMEOUT = 60


def post_fields(subject):
    return [("name", b"Taro"), ("email", b""), ("subject", subject.encode()),
            ("body", b"metrics test"), ("postitem", b"post")]


class MetricsTest(unittest.TestCase):

    def setUp(self):
        self.promtool = hostkit.require_tool("promtool")
        self.site = hostkit.Site()
        # The admin page shut to every client here: its requests are 403s.
        self.host = metricskit.MetricsHost(self.site, "--allow", "/admin=10.9.9.9",
                                           "--timeout", "1").start()
        self.addCleanup(self.host.stop_cleanly_and_remove, self.site)
        self.sent = collections.Counter()  # (kind, code): requests sent and answered so

    def send(self, kind, expected, request):
        status = request()[0]
        self.assertEqual(expected, status, kind)
        self.sent[(kind, str(status))] += 1

    def raw_status(self, data):
        """(status,) of the answer to bytes sent as they are."""
        received, _ = self.host.raw(data, timeout=10)
        return (int(received.split(b" ")[1]),)

    def test_counters_match_a_mixed_load_and_promtool_accepts_them(self):
        before = self.host.metrics()
        self.assertEqual(0, sum(series(before, "tvxhost_requests_total").values()))
        host = self.host
        for _ in range(6):
            self.send("static", 200, lambda: host.get("/"))
        self.send("static", 404, lambda: host.get("/missing.html"))
        for _ in range(2):
            self.send("plugin", 200, lambda: host.get(BOARD))  # no board yet
        # Five posts of a burst, then the flood limit's refusals; then another
        # client's posts.
        for i in range(5):
            self.send("plugin", 302, lambda: host.post(BOARD, post_fields(f"a{i}"),
                                                       source="127.0.0.2"))
        for i in range(3):
            self.send("refused", 429, lambda: host.post(BOARD, post_fields(f"x{i}"),
                                                        source="127.0.0.2"))
        for i in range(4):
            self.send("plugin", 302, lambda: host.post(BOARD, post_fields(f"b{i}"),
                                                       source="127.0.0.3"))
        for _ in range(2):
            self.send("plugin", 200, lambda: host.get(BOARD))  # the posts read back
        for _ in range(2):
            self.send("refused", 403, lambda: host.get(ADMIN))
        self.send("refused", 405, lambda: host.request("DELETE", "/"))
        self.send("refused", 400, lambda: self.raw_status(b"GET / HTTP/1.1\r\nno colon\r\n\r\n"))
        # A head that never ends: 408 after --timeout.
        self.send("refused", 408, lambda: self.raw_status(b"GET / HTTP/1.1\r\nHost: x\r\n"))

        samples = self.wait_for_count(sum(self.sent.values()))
        counted = {(dict(labels)["kind"], dict(labels)["code"]): v
                   for labels, v in series(samples, "tvxhost_requests_total").items() if v}
        self.assertEqual(dict(self.sent), counted)
        for kind in ["plugin", "static", "refused"]:
            self.assertEqual(sum(n for (k, _), n in self.sent.items() if k == kind),
                             value(samples, "tvxhost_request_duration_seconds_count", kind=kind),
                             kind)
            self.assertGreater(value(samples, "tvxhost_request_duration_seconds_sum", kind=kind), 0)
        # The 408 waited out --timeout: its duration says so.
        self.assertEqual(1, value(samples, "tvxhost_request_duration_seconds_bucket",
                                  kind="refused", le="+Inf")
                         - value(samples, "tvxhost_request_duration_seconds_bucket",
                                 kind="refused", le="0.5"))
        for code, count in [("403", 2), ("408", 1), ("429", 3), ("503", 0)]:
            self.assertEqual(count, value(samples, "tvxhost_refusals_total", code=code), code)
        # Every post the board took was stored once, and the board shows them.
        self.assertEqual(9, value(samples, "tvxhost_posts_stored_total"))
        self.assertEqual(9, len(host.board_posts()))
        self.assertGreaterEqual(value(samples, "tvxhost_store_calls_total",
                                      call="CeWriteRecordProps"), 9)
        self.assertGreater(value(samples, "tvxhost_store_calls_total", call="CeReadRecordProps"), 0)
        self.assertEqual(0, sum(series(samples, "tvxhost_store_call_failures_total").values()))
        self.assertEqual(value(samples, "tvxhost_store_calls_total", call="CeOpenDatabaseEx"),
                         value(samples, "tvxhost_store_call_duration_seconds_count",
                               call="CeOpenDatabaseEx"))
        self.assertEqual(0, value(samples, "tvxhost_requests_in_flight"))
        self.assertEqual(0, value(samples, "tvxhost_worker_queue_depth"))
        self.assertEqual(0, value(samples, "tvxhost_connections_open", scheme="https"))
        self.assertEqual(8, value(samples, "tvxhost_workers"))

        status, headers, body = host.metrics_request("/metrics")
        self.assertEqual("text/plain; version=0.0.4; charset=utf-8", headers["content-type"])
        checked = subprocess.run([self.promtool, "check", "metrics"], input=body,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 timeout=PROMTOOL_TIMEOUT)
        self.assertEqual(0, checked.returncode, checked.stdout.decode(errors="replace"))
        self.assertEqual(b"", checked.stdout.strip())

    def wait_for_count(self, total):
        """The samples once every answer is counted (the last one is counted
        as its connection finishes, a moment after the client has it)."""
        deadline = time.monotonic() + 10
        while True:
            samples = self.host.metrics()
            if sum(series(samples, "tvxhost_requests_total").values()) >= total or \
                    time.monotonic() > deadline:
                return samples
            time.sleep(0.05)

    def test_open_connections_are_counted_while_open(self):
        socks = [socket.create_connection(("127.0.0.1", self.host.port), timeout=10)
                 for _ in range(3)]
        try:
            deadline = time.monotonic() + 10
            while value(self.host.metrics(), "tvxhost_connections_open", scheme="http") != 3:
                self.assertLess(time.monotonic(), deadline, "three connections never counted")
                time.sleep(0.05)
        finally:
            for sock in socks:
                sock.close()
        deadline = time.monotonic() + 10
        while value(self.host.metrics(), "tvxhost_connections_open", scheme="http") != 0:
            self.assertLess(time.monotonic(), deadline, "closed connections still counted")
            time.sleep(0.05)

    def test_health_and_readiness_and_nothing_else(self):
        cases = [("GET", "/healthz", 200, b"ok\n"), ("HEAD", "/healthz", 200, b""),
                 ("GET", "/readyz", 200, b"ready\n"), ("GET", "/", 404, None),
                 ("GET", "/metrics/", 404, None), ("POST", "/metrics", 405, None)]
        for method, path, status, body in cases:
            with self.subTest(f"{method} {path}"):
                got = self.host.metrics_request(path, method)
                self.assertEqual(status, got[0])
                self.assertEqual("close", got[1].get("connection"))
                if body is not None:
                    self.assertEqual(body, got[2])
        # None of them is a request to the site.
        self.assertEqual(0, sum(series(self.host.metrics(), "tvxhost_requests_total").values()))


if __name__ == "__main__":
    os.environ.setdefault("PYTHONUNBUFFERED", "1")
    unittest.main(verbosity=2)
