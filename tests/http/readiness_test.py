"""/readyz on a PostgreSQL store: 503 with the reason while the server is
down, 200 again once it is back, the same tvxhost throughout; and a tvxhost
started while the database server is down starts anyway, warns, answers
503 until the store answers, and then serves."""

import time
import unittest

import hostkit
import metricskit
import pgkit
from hostkit import BOARD
from metricskit import series, value

# A refused connection fails at once; the probe's answer is reused for half a
# second.
DOWN_SECONDS = 10.0
# How long a started server may take to take connections.
RECOVERY_SECONDS = 30.0


class ReadinessTest(unittest.TestCase):

    def setUp(self):
        missing = pgkit.missing_binaries()
        if missing:
            raise RuntimeError(f"{missing} not found: run scripts/install-deps")
        self.server = pgkit.PgServer().start()
        self.addCleanup(self.server.stop)
        self.site = pgkit.site_on(self.server, "ready")

    def start_host(self):
        host = metricskit.MetricsHost(self.site, *hostkit.UNLIMITED_POSTS).start()
        # Cleanups run last first: the host stops before its server is removed.
        self.addCleanup(host.stop_cleanly_and_remove, self.site)
        return host

    def wait_for(self, host, path, status, seconds):
        deadline = time.monotonic() + seconds
        while True:
            got = host.metrics_request(path)
            if got[0] == status or time.monotonic() > deadline:
                return got
            time.sleep(0.2)

    def test_readyz_follows_the_store_down_and_up(self):
        host = self.start_host()
        self.assertEqual((200, b"ready\n"), self.wait_for(host, "/readyz", 200, 5)[::2])
        self.assertEqual(200, host.get(BOARD)[0])

        self.server.shut_down()
        status, _, body = self.wait_for(host, "/readyz", 503, DOWN_SECONDS)
        self.assertEqual(503, status, body)
        self.assertIn(b"not ready: the store unreachable, error 21", body)
        # The server itself lives, and says so.
        self.assertEqual(200, host.metrics_request("/healthz")[0])
        self.assertEqual(503, host.get(BOARD)[0])
        samples = metricskit.once_counted(host, "tvxhost_refusals_total", code="503")
        self.assertIsNotNone(samples, "the 503 was not counted")
        self.assertGreaterEqual(value(samples, "tvxhost_requests_total", kind="plugin",
                                      code="503"), 1)
        self.assertGreater(sum(series(samples, "tvxhost_store_call_failures_total").values()), 0)

        self.server.start_again()
        status, _, body = self.wait_for(host, "/readyz", 200, RECOVERY_SECONDS)
        self.assertEqual((200, b"ready\n"), (status, body))
        self.assertEqual(200, host.get(BOARD)[0])

    def test_a_server_started_while_the_store_is_down_serves_once_it_is_up(self):
        self.server.shut_down()
        host = self.start_host()
        self.assertRegex(host.stderr_text(),
                         r"warning: the store postgresql://\S+ does not answer \(unreachable, "
                         r"error 21[^)]*\); serving anyway")
        status, _, body = host.metrics_request("/readyz")
        self.assertEqual(503, status, body)
        self.assertEqual(200, host.metrics_request("/healthz")[0])
        status, headers, _ = host.get(BOARD)
        self.assertEqual(503, status)
        self.assertEqual("5", headers.get("retry-after"))

        self.server.start_again()
        self.assertEqual(200, self.wait_for(host, "/readyz", 200, RECOVERY_SECONDS)[0])
        status, _, _ = host.post(BOARD, [("name", b"Taro"), ("email", b""),
                                         ("subject", b"after"), ("body", b"up"),
                                         ("postitem", b"post")])
        self.assertEqual(302, status)
        self.assertEqual(1, len(host.board_posts()))
        self.assertEqual(1, value(host.metrics(), "tvxhost_posts_stored_total"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
