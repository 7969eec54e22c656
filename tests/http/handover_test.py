"""SIGUSR2 under load: four clients (two on keep-alive connections, two on a
new connection each time) ask for files, board pages and posts while the
server hands its listening sockets to a new copy of itself. Not one request
fails, the old process exits 0, and the new one serves on the same ports,
the metrics listener's included. The figures (requests during the
hand-over, failures, how long the old process took to leave) are printed."""

import ctypes
import http.client
import os
import re
import signal
import threading
import time
import unittest

import hostkit
import metricskit
from hostkit import BOARD

HANDOVER_TIMEOUT = 60.0
LEAVE_TIMEOUT = 30.0
PR_SET_CHILD_SUBREAPER = 36


def post_body(subject):
    return hostkit.form_body([("name", b"Taro"), ("email", b""), ("subject", subject.encode()),
                              ("body", b"handover"), ("postitem", b"post")])


class Client(threading.Thread):
    """Sends requests in a loop until stopped: a file, a board page, and
    every fifth time a post. Each request's end time and outcome is kept."""

    def __init__(self, port, name, keep_alive):
        super().__init__(daemon=True)
        self.port = port
        self.name = name
        self.keep_alive = keep_alive
        self.stopping = threading.Event()
        self.results = []  # (monotonic end, ok, what)
        self.conn = None

    def connection(self):
        if self.conn is None or not self.keep_alive:
            if self.conn is not None:
                self.conn.close()
            self.conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        return self.conn

    def one(self, n):
        if n % 5 == 4:
            method, target, body = "POST", BOARD, post_body(f"{self.name}-{n}")
            headers = {"Content-Type": "application/x-www-form-urlencoded"}
            wanted = 302
        else:
            method, target, body, headers = "GET", ["/", BOARD][n % 2], None, {}
            wanted = 200
        try:
            conn = self.connection()
            conn.request(method, target, body=body, headers=headers)
            response = conn.getresponse()
            response.read()
            ok = response.status == wanted
            what = f"{method} {target}: {response.status}"
        except (OSError, http.client.HTTPException) as error:
            ok, what = False, f"{method} {target}: {error!r}"
            if self.conn is not None:
                self.conn.close()
            self.conn = None
        self.results.append((time.monotonic(), ok, what))

    def run(self):
        n = 0
        while not self.stopping.is_set():
            self.one(n)
            n += 1
        if self.conn is not None:
            self.conn.close()


class HandoverTest(unittest.TestCase):

    def setUp(self):
        # The new process is the old one's child: once the old one exits, it
        # becomes this process's, to be waited for.
        libc = ctypes.CDLL(None, use_errno=True)
        self.assertEqual(0, libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0))
        self.site = hostkit.Site()
        self.host = metricskit.MetricsHost(self.site, *hostkit.UNLIMITED_POSTS,
                                           *hostkit.UNCAPPED_CALLS).start()
        self.new_pid = None
        self.addCleanup(self.host.stop_cleanly_and_remove, self.site)
        self.addCleanup(self.end_new_process)

    def end_new_process(self):
        if self.new_pid is None:
            return
        try:
            os.kill(self.new_pid, signal.SIGTERM)
        except ProcessLookupError:
            return
        deadline = time.monotonic() + hostkit.STOP_TIMEOUT
        while time.monotonic() < deadline:
            pid, status = os.waitpid(self.new_pid, os.WNOHANG)
            if pid:
                self.assertEqual(0, os.waitstatus_to_exitcode(status), self.host.stderr_text())
                return
            time.sleep(0.05)
        os.kill(self.new_pid, signal.SIGKILL)
        os.waitpid(self.new_pid, 0)
        raise AssertionError("the new tvxhost did not stop within %d s" % hostkit.STOP_TIMEOUT)

    def wait_for_new_process(self, deadline):
        pattern = re.compile(r"process (\d+) serves on the listening sockets")
        while time.monotonic() < deadline:
            match = pattern.search(self.host.stderr_text())
            if match:
                return int(match.group(1))
            if not self.host.alive():
                break
            time.sleep(0.01)
        raise AssertionError("no hand-over:\n" + self.host.stderr_text())

    def test_sigusr2_under_load_fails_no_request(self):
        old = self.host.process
        clients = [Client(self.host.port, "keep-a", True), Client(self.host.port, "keep-b", True),
                   Client(self.host.port, "new-a", False), Client(self.host.port, "new-b", False)]
        for client in clients:
            client.start()
        try:
            time.sleep(1.5)
            signalled = time.monotonic()
            old.send_signal(signal.SIGUSR2)
            self.new_pid = self.wait_for_new_process(signalled + HANDOVER_TIMEOUT)
            ready = time.monotonic()
            status = old.wait(timeout=LEAVE_TIMEOUT)
            gone = time.monotonic()
            # The load goes on against the new process alone.
            time.sleep(1.5)
        finally:
            for client in clients:
                client.stopping.set()
            for client in clients:
                client.join(timeout=60)
        self.assertEqual(0, status, self.host.stderr_text())

        results = [r for client in clients for r in client.results]
        failures = [what for _, ok, what in results if not ok]
        during = [r for r in results if signalled <= r[0] <= gone]
        after = [r for r in results if r[0] > gone]
        print(f"\nhand-over under 4 clients: {len(results)} requests in all, "
              f"{len(during)} during the hand-over (SIGUSR2 to the old process's exit, "
              f"{gone - signalled:.2f} s), {len(failures)} failed; the new process was "
              f"serving {ready - signalled:.2f} s after SIGUSR2 and the old one left "
              f"{gone - ready:.2f} s after that", flush=True)
        self.assertEqual([], failures)
        self.assertGreater(len(during), 0, "no request was sent during the hand-over")
        self.assertGreater(len(after), 0, "no request reached the new process")
        for client in clients:
            self.assertGreater(len(client.results), 0, client.name)

        # The old process is gone; the new one is another process on the
        # same ports, and its metrics listener counts its own requests.
        self.assertNotEqual(old.pid, self.new_pid)
        self.assertFalse(os.path.exists(f"/proc/{old.pid}"))
        with open(f"/proc/{self.new_pid}/cmdline", "rb") as f:
            self.assertIn(b"tvxhost", f.read())
        self.assertEqual(200, self.host.get("/")[0])
        self.assertEqual(200, self.host.metrics_request("/readyz")[0])
        samples = metricskit.once_counted(self.host, "tvxhost_requests_total", kind="static",
                                          code="200")
        self.assertIsNotNone(samples, "the new process counted no GET")
        self.assertLess(sum(metricskit.series(samples, "tvxhost_requests_total").values()),
                        len(results), "the new process counts the old one's requests")
        # Every post answered 302 was stored, by one process or the other.
        posts = sum(1 for _, ok, what in results if ok and what.startswith("POST"))
        self.assertEqual(posts, len(self.host.board_posts()))
        self.end_new_process()
        self.new_pid = None
        self.assertEqual([], self.host.sanitizer_reports())

    def test_a_new_process_that_cannot_start_leaves_the_old_one_serving(self):
        # The new process finds no document root (moved away for a moment).
        os.rename(self.site.www, self.site.www + ".moved")
        self.host.process.send_signal(signal.SIGUSR2)
        deadline = time.monotonic() + HANDOVER_TIMEOUT
        while "the hand-over failed" not in self.host.stderr_text():
            self.assertLess(time.monotonic(), deadline, self.host.stderr_text())
            time.sleep(0.05)
        self.assertRegex(self.host.stderr_text(), r"ended before it was ready \(exit status 2\)")
        os.rename(self.site.www + ".moved", self.site.www)
        self.assertTrue(self.host.alive())
        self.assertEqual(200, self.host.get(BOARD)[0])
        self.assertEqual(200, self.host.metrics_request("/readyz")[0])


if __name__ == "__main__":
    unittest.main(verbosity=2)
