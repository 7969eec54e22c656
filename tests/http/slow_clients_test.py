"""Thousands of idle and slow connections against a real tvxhost, over HTTP
and again over HTTPS. While 2,000 connections sit idle and 50 clients trickle
heads a byte a second, trickle bodies, or read an answer slowly, a visitor's
GET of the board is answered within a second each time; every slow
connection is closed by its deadline, and the idle ones by the keep-alive
timeout. Prints the server's resident memory per idle connection.

The connections come from many loopback addresses (127.0.0.0/8), so the
server runs with its default per-address limit."""

import os
import resource
import select
import socket
import ssl
import subprocess
import threading
import time
import unittest

import hostkit
from hostkit import BOARD

TIMEOUT = 3          # --timeout: the head's deadline and the grace of the rates
KEEP_ALIVE = 25      # --keep-alive-timeout
MIN_RATE = 4096      # bytes per second the server asks of a body or a reader
IDLE = 2000
HEADS, BODIES, READERS = 17, 17, 16
PER_ADDRESS = 40     # connections per source address (the server allows 64)
SLACK = 2.5          # seconds a deadline may be seen late on a busy machine
VISITOR_LIMIT = 1.0  # seconds a visitor may wait for the board
BIG_FILE = 8 * 1024 * 1024


def raise_file_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


def source_address(index, network=0):
    """A loopback address for the index-th connection, PER_ADDRESS to each."""
    n = index // PER_ADDRESS + 2
    return (f"127.{network}.{n // 250}.{n % 250 + 2}", 0)


TCP_ESTABLISHED = 1


def tcp_state(sock):
    """The kernel's state of a TCP connection (struct tcp_info's first byte)."""
    return sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 8)[0]


def closed_by_peer(sock):
    """True when the server has closed or reset the connection."""
    ready, _, _ = select.select([sock], [], [], 0) if sock.fileno() < 1024 else ([sock], [], [])
    if not ready:
        return False
    try:
        sock.setblocking(False)
        data = sock.recv(65536)
        return data == b""
    except (BlockingIOError, ssl.SSLWantReadError):
        return False
    except (ConnectionResetError, ssl.SSLError, OSError):
        return True
    finally:
        sock.setblocking(True)


def open_poll_all_closed(socks, wait):
    """Waits up to `wait` seconds for every socket to be closed by the server;
    returns how many are still open."""
    poller = select.poll()
    by_fd = {}
    for sock in socks:
        poller.register(sock.fileno(), select.POLLIN)
        by_fd[sock.fileno()] = sock
    deadline = time.monotonic() + max(wait, 0.5)
    while by_fd and time.monotonic() < deadline:
        for fd, _ in poller.poll(200):
            sock = by_fd.get(fd)
            if sock is not None and closed_by_peer(sock):
                poller.unregister(fd)
                del by_fd[fd]
    return len(by_fd)


class SlowClient(threading.Thread):
    """One slow client of a kind, on its own thread; records when its first
    byte left, when the server closed the connection, and what it sent."""

    def __init__(self, kind, index, port, tls_context):
        super().__init__(daemon=True)
        self.kind, self.index, self.port, self.tls = kind, index, port, tls_context
        self.started = None
        self.closed_at = None
        self.answer = b""
        self.taken = 0  # bytes of the answer read
        self.error = None

    def connect(self):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if self.kind == "reader":
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        sock.bind(source_address(self.index, network=1))
        sock.settimeout(10)
        sock.connect(("127.0.0.1", self.port))
        if self.tls is not None:
            sock = self.tls.wrap_socket(sock)
        return sock

    def run(self):
        try:
            sock = self.connect()
            self.started = time.monotonic()
            if self.kind == "head":
                self.trickle(sock, b"GET " + BOARD.encode() + b" HTTP/1.1\r\nHost: x\r\n" * 20)
            elif self.kind == "body":
                sock.sendall(b"POST " + BOARD.encode() + b" HTTP/1.1\r\nHost: x\r\n"
                             b"Content-Type: application/x-www-form-urlencoded\r\n"
                             b"Content-Length: 60000\r\n\r\n")  # under the 64 KiB limit
                self.started = time.monotonic()
                self.trickle(sock, b"name=slow&body=" + b"x" * 200)
            else:
                sock.sendall(b"GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n")
                self.started = time.monotonic()
                self.read_slowly(sock)
            sock.close()
        except Exception as error:  # recorded, judged by the test
            self.error = repr(error)

    def trickle(self, sock, data):
        """A byte a second until the server answers or closes."""
        sock.setblocking(False)
        for byte in data:
            if self.read_what_came(sock):
                return
            try:
                sock.send(bytes([byte]))
            except (BlockingIOError, ssl.SSLWantWriteError):
                pass
            except OSError:
                self.closed_at = time.monotonic()
                return
            time.sleep(1.0)
        self.error = "never cut off"

    def read_what_came(self, sock):
        """Reads what the server sent; True once it has closed."""
        while True:
            try:
                data = sock.recv(65536)
            except (BlockingIOError, ssl.SSLWantReadError):
                return False
            except OSError:
                self.closed_at = time.monotonic()
                return True
            if not data:
                self.closed_at = time.monotonic()
                return True
            self.answer += data

    def read_slowly(self, sock):
        """100 bytes a second until the server closes. A reset leaves what
        had come in the receive buffer readable, so the connection's state
        tells when it was closed."""
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if tcp_state(sock) != TCP_ESTABLISHED:
                self.closed_at = time.monotonic()
                return
            try:
                data = sock.recv(100)
            except OSError:
                self.closed_at = time.monotonic()
                return
            if not data:
                self.closed_at = time.monotonic()
                return
            if not self.answer:
                self.answer = data
            self.taken += len(data)
            time.sleep(1.0)
        self.error = "never cut off"

    def deadline(self):
        """The latest the server should have closed the connection."""
        if self.kind == "head":
            return self.started + TIMEOUT + SLACK
        # A body or an answer moves at a byte or a hundred a second: the
        # grace, then what the rate allows for those bytes.
        return self.started + TIMEOUT + self.taken / MIN_RATE + SLACK + 1


class Visitor(threading.Thread):
    """GETs the board on a fresh connection every quarter second."""

    def __init__(self, port, tls_context):
        super().__init__(daemon=True)
        self.port, self.tls = port, tls_context
        self.times = []
        self.failures = []
        self.stop = threading.Event()

    def run(self):
        while not self.stop.is_set():
            start = time.monotonic()
            try:
                sock = socket.create_connection(("127.0.0.1", self.port), timeout=10)
                if self.tls is not None:
                    sock = self.tls.wrap_socket(sock)
                sock.sendall(b"GET " + BOARD.encode() +
                             b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                answer = b""
                while True:
                    data = sock.recv(65536)
                    if not data:
                        break
                    answer += data
                sock.close()
                if not answer.startswith(b"HTTP/1.1 200 ") or b"</html>" not in answer.lower():
                    self.failures.append(answer[:200])
            except Exception as error:
                self.failures.append(repr(error))
            self.times.append(time.monotonic() - start)
            self.stop.wait(0.25)


class SlowClientsTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        limit = raise_file_limit()
        if limit < IDLE + 200:
            raise RuntimeError(f"the open-file limit is {limit}; this suite needs {IDLE + 200}")
        cls.site = hostkit.Site()
        with open(os.path.join(cls.site.www, "big.bin"), "wb") as f:
            f.write(os.urandom(1024) * (BIG_FILE // 1024))
        cls.cert = os.path.join(cls.site.dir, "cert.pem")
        cls.key = os.path.join(cls.site.dir, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1",
                        "-subj", "/CN=127.0.0.1", "-keyout", cls.key, "-out", cls.cert],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=60)

    @classmethod
    def tearDownClass(cls):
        cls.site.remove()

    def run_against(self, tls):
        args = [*hostkit.UNLIMITED_POSTS, "--timeout", str(TIMEOUT), "--keep-alive-timeout", str(KEEP_ALIVE)]
        context = None
        if tls:
            args += ["--tls-cert", self.cert, "--tls-key", self.key]
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
        host = hostkit.Host(self.site, *args).start()
        name = "HTTPS" if tls else "HTTP"
        idle = []
        try:
            # Warm up: the plug-in loaded, a worker and the store used.
            visitor = Visitor(host.port, context)
            visitor.stop.set()
            visitor.run()
            self.assertEqual([], visitor.failures)
            time.sleep(0.5)
            before = host.rss_kib()
            opened_from = time.monotonic()
            for i in range(IDLE):
                sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                sock.bind(source_address(i))
                sock.settimeout(10)
                sock.connect(("127.0.0.1", host.port))
                if context is not None:
                    sock = context.wrap_socket(sock)
                idle.append(sock)
            opened = time.monotonic()
            time.sleep(1.0)
            after = host.rss_kib()
            per_connection = (after - before) * 1024 / IDLE
            print(f"\n{name}: {IDLE} idle connections opened in {opened - opened_from:.1f} s; "
                  f"tvxhost VmRSS {before} -> {after} KiB, "
                  f"{per_connection:.0f} bytes per idle connection", flush=True)

            visitor = Visitor(host.port, context)
            visitor.start()
            slow = [SlowClient("head", i, host.port, context) for i in range(HEADS)]
            slow += [SlowClient("body", HEADS + i, host.port, context) for i in range(BODIES)]
            slow += [SlowClient("reader", HEADS + BODIES + i, host.port, context)
                     for i in range(READERS)]
            for client in slow:
                client.start()
            for client in slow:
                client.join(timeout=90)
            visitor.stop.set()
            visitor.join(timeout=30)

            self.assertEqual([], visitor.failures, name)
            slowest = max(visitor.times)
            print(f"{name}: {len(visitor.times)} visitor GETs of the board meanwhile, "
                  f"slowest {slowest * 1000:.0f} ms", flush=True)
            self.assertLess(slowest, VISITOR_LIMIT, name)
            for client in slow:
                with self.subTest(protocol=name, kind=client.kind, index=client.index):
                    self.assertIsNone(client.error)
                    self.assertIsNotNone(client.closed_at)
                    self.assertLessEqual(client.closed_at, client.deadline())
                    if client.kind in ("head", "body"):
                        self.assertTrue(client.answer.startswith(b"HTTP/1.1 408 "),
                                        client.answer[:100])
                    else:
                        self.assertTrue(client.answer.startswith(b"HTTP/1.1 200 "))

            # The idle connections were not cut before their time ...
            if time.monotonic() < opened_from + KEEP_ALIVE - 1:
                still = sum(1 for sock in idle[-50:] if not closed_by_peer(sock))
                self.assertEqual(50, still, name)
            # ... and are all closed by the keep-alive timeout.
            left = open_poll_all_closed(idle, opened + KEEP_ALIVE + SLACK - time.monotonic())
            self.assertEqual(0, left, f"{name}: idle connections left open")
            self.assertTrue(host.alive())
        finally:
            for sock in idle:
                sock.close()
            status = host.stop()
            reports = host.sanitizer_reports()
        self.assertEqual(0, status)
        self.assertEqual([], reports)
        with open(self.site.access_log, "rb") as f:
            log = f.read()
        self.assertGreaterEqual(log.count(b'" 408 '), HEADS + BODIES)

    def test_http(self):
        self.run_against(tls=False)

    def test_https(self):
        self.run_against(tls=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
