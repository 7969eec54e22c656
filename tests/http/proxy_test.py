"""tvxhost behind a real reverse proxy: Debian's nginx on loopback, set up as
the README tells the owner to (X-Forwarded-For from
$proxy_add_x_forwarded_for, X-Forwarded-Proto, the Host as sent), in front of
a tvxhost started with --trust-proxy 127.0.0.1. Clients reach nginx from
loopback addresses of their own, so the test can tell them from nginx:

- the access log and the flood limit see each client's address, not nginx's;
- a client that writes X-Forwarded-For itself is still seen as itself;
- the trusted proxy is not held to --max-connections-per-address, while any
  other peer is.
"""

import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

import hostkit
from hostkit import BOARD

NGINX_CONF = """
{user}
worker_processes 1;
daemon off;
pid {dir}/nginx.pid;
error_log {dir}/error.log;
events {{ worker_connections 256; }}
http {{
  access_log {dir}/access.log;
  client_body_temp_path {dir}/tmp;
  proxy_temp_path {dir}/tmp;
  fastcgi_temp_path {dir}/tmp;
  uwsgi_temp_path {dir}/tmp;
  scgi_temp_path {dir}/tmp;
  server {{
    listen 127.0.0.1:{port};
    client_max_body_size 64k;
    location / {{
      proxy_pass http://127.0.0.1:{upstream};
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_set_header Host $http_host;
      proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
      proxy_set_header X-Forwarded-Proto $scheme;
    }}
  }}
}}
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Nginx:
    """An nginx of the test's own on a free loopback port, proxying to `upstream`."""

    def __init__(self, upstream):
        self.binary = shutil.which("nginx") or "/usr/sbin/nginx"
        if not os.path.isfile(self.binary):
            raise RuntimeError("nginx not found: run scripts/install-deps (nginx-light)")
        # Its workers run as another user when started as root; they only
        # need to read this folder.
        self.dir = tempfile.mkdtemp(prefix="corkwall-nginx-")
        os.chmod(self.dir, 0o755)
        os.mkdir(os.path.join(self.dir, "tmp"))
        self.port = free_port()
        user = ""
        if os.getuid() == 0:
            import grp
            import pwd
            user = "user %s %s;" % (pwd.getpwuid(0).pw_name, grp.getgrgid(0).gr_name)
        with open(os.path.join(self.dir, "nginx.conf"), "w") as f:
            f.write(NGINX_CONF.format(user=user, dir=self.dir, port=self.port, upstream=upstream))
        self.process = subprocess.Popen(
            [self.binary, "-p", self.dir, "-c", os.path.join(self.dir, "nginx.conf")],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(self.dir, "start.err"), "wb"),
            preexec_fn=hostkit._die_with_parent)
        deadline = time.monotonic() + hostkit.START_TIMEOUT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                break
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.1)
        self.stop()
        raise RuntimeError("nginx did not start:\n" + self.log())

    def log(self):
        text = ""
        for name in ("start.err", "error.log"):
            try:
                with open(os.path.join(self.dir, name), errors="replace") as f:
                    text += f.read()
            except OSError:
                pass
        return text

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGQUIT)
            try:
                self.process.wait(timeout=hostkit.STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=hostkit.STOP_TIMEOUT)
        shutil.rmtree(self.dir, ignore_errors=True)


class ProxyTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.site = hostkit.Site()
        cls.host = hostkit.Host(cls.site, "--trust-proxy", "127.0.0.1",
                                "--max-connections-per-address", "4").start()
        try:
            cls.nginx = Nginx(cls.host.port)
        except Exception:
            cls.host.kill()
            cls.site.remove()
            raise
        # The suite's requests go to nginx; the host kit's helpers take the port.
        cls.through = hostkit.Host(cls.site)
        cls.through.port = cls.nginx.port

    @classmethod
    def tearDownClass(cls):
        try:
            cls.nginx.stop()
        finally:
            cls.host.stop_cleanly_and_remove(cls.site)

    def access_lines(self, address):
        """The access log's lines for one client address. The log reaches
        its file within 20 ms of an answer; this waits ten times as long."""
        time.sleep(0.2)
        with open(self.site.access_log, encoding="utf-8", errors="replace") as f:
            return [line for line in f if line.startswith(address + " ")]

    def post(self, source, subject, headers=None):
        return self.through.post(BOARD, [("name", "p"), ("email", ""), ("subject", subject),
                                         ("body", "b"), ("postitem", "post")],
                                 source=source, headers=headers)[0]

    def test_the_access_log_sees_the_client_not_nginx(self):
        before = len(self.access_lines("127.0.0.1"))
        status, _, _ = self.through.get("/?seen-as-client", source="127.0.10.1")
        self.assertEqual(200, status)
        lines = self.access_lines("127.0.10.1")
        self.assertTrue(any("/?seen-as-client" in line for line in lines), lines)
        self.assertEqual(before, len(self.access_lines("127.0.0.1")))

    def test_the_flood_limit_counts_each_client_behind_nginx(self):
        first = [self.post("127.0.11.1", f"first {i}") for i in range(6)]
        self.assertEqual([302] * 5 + [429], first)
        # nginx's own address is not what was counted: another client posts.
        self.assertEqual(302, self.post("127.0.11.2", "second"))
        self.assertEqual(5, sum('" 302 ' in line for line in self.access_lines("127.0.11.1")))
        self.assertEqual(1, sum('" 429 ' in line for line in self.access_lines("127.0.11.1")))

    def test_a_forged_forwarded_for_is_no_way_round_the_limit(self):
        statuses = [self.post("127.0.12.1", f"forged {i}",
                              headers={"X-Forwarded-For": f"203.0.113.{i}"}) for i in range(6)]
        self.assertEqual([302] * 5 + [429], statuses)
        self.assertFalse(self.access_lines("203.0.113.0"))
        self.assertEqual(6, len(self.access_lines("127.0.12.1")))

    def test_the_admin_page_knows_its_own_origin_through_nginx(self):
        # nginx passes the Host as the browser wrote it, so the page's own
        # origin is nginx's address, and the backend's is another one.
        own = f"http://127.0.0.1:{self.nginx.port}"
        backend = f"http://127.0.0.1:{self.host.port}"
        for origin, status in ((own, 200), (backend, 403), ("http://evil.example", 403)):
            with self.subTest(origin=origin):
                got, answer, _ = self.through.get(
                    hostkit.ADMIN, source="127.0.14.1",
                    headers=dict(self.site.admin_headers(), Origin=origin))
                self.assertEqual(status, got)
                self.assertEqual("DENY", answer.get("x-frame-options"))

    def test_the_proxy_is_not_held_to_the_per_address_connection_limit(self):
        def hold(count, source, port):
            socks = []
            for _ in range(count):
                s = socket.create_connection(("127.0.0.1", port), timeout=10,
                                             source_address=(source, 0))
                socks.append(s)
            return socks

        def closed_by_server(sock):
            ready, _, _ = select.select([sock], [], [], 0)
            if not ready:
                return False
            try:
                return sock.recv(1, socket.MSG_PEEK) == b""
            except OSError:
                return True

        def served(sock):
            data = b""
            try:
                sock.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                while True:
                    chunk = sock.recv(65536)
                    if not chunk:
                        break
                    data += chunk
            except (BrokenPipeError, ConnectionResetError, socket.timeout):
                pass
            return data.startswith(b"HTTP/1.1 200")

        # Straight to tvxhost from the proxy's address: 8 at once, over the cap of 4.
        socks = hold(8, "127.0.0.1", self.host.port)
        try:
            self.assertEqual([True] * 8, [served(s) for s in socks])
        finally:
            for s in socks:
                s.close()
        # From any other address the cap holds: the server closes the two
        # past it as it accepts them. The server accepts in its own time, so
        # nothing is asked before those two are seen closed; an answer that
        # ended one of the first four before then would let a later one in.
        socks = hold(6, "127.0.13.1", self.host.port)
        try:
            deadline = time.monotonic() + 3
            closed = []
            while time.monotonic() < deadline:
                closed = [i for i, s in enumerate(socks) if closed_by_server(s)]
                if len(closed) >= 2:
                    break
                time.sleep(0.02)
            self.assertEqual([4, 5], closed)
            self.assertEqual([True] * 4, [served(s) for s in socks[:4]])
        finally:
            for s in socks:
                s.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
