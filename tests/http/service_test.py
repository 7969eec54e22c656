"""tvxhost as a service manager runs it: READY=1, RELOADING=1 and STOPPING=1
heard on a NOTIFY_SOCKET of the test's own, the watchdog fed; a request
served on a socket passed by Debian's systemd-socket-activate; a store file
the server's user cannot write stops the start with exit 2 naming it;
--version; --check's report on one stream, in order, every bad line of the
configuration file in it."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import hostkit

COMMAND_TIMEOUT = 60


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class NotifySocket:
    """A datagram socket bound in a folder of the test's own, as systemd's."""

    def __init__(self, folder):
        self.path = os.path.join(folder, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)

    def next(self, timeout):
        """The next message, or None after `timeout` seconds."""
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(4096).decode()
        except socket.timeout:
            return None

    def close(self):
        self.sock.close()


class ServiceHost(hostkit.Host):
    """A Host started with extra environment variables."""

    def __init__(self, site, env, *extra_args):
        super().__init__(site, *extra_args)
        self.env = env

    def start(self):
        saved = dict(os.environ)
        os.environ.update(self.env)
        try:
            return super().start()
        finally:
            os.environ.clear()
            os.environ.update(saved)


class NotifyTest(unittest.TestCase):

    def setUp(self):
        self.site = hostkit.Site()
        self.addCleanup(self.site.remove)
        self.notify = NotifySocket(self.site.dir)
        self.addCleanup(self.notify.close)

    def test_ready_reloading_and_stopping_are_heard(self):
        host = ServiceHost(self.site, {"NOTIFY_SOCKET": self.notify.path}).start()
        try:
            self.assertEqual("READY=1", self.notify.next(hostkit.START_TIMEOUT))
            # Ready means listening: a request is answered now.
            self.assertEqual(200, host.get("/")[0])
            host.process.send_signal(signal.SIGHUP)
            self.assertEqual("RELOADING=1", self.notify.next(10))
            self.assertEqual("READY=1", self.notify.next(10))
            self.assertEqual(200, host.get("/")[0])
        finally:
            status = host.stop()
        self.assertEqual(0, status, host.stderr_text())
        self.assertEqual("STOPPING=1", self.notify.next(10))
        self.assertIsNone(self.notify.next(0.5))
        self.assertEqual([], host.sanitizer_reports())

    def test_the_watchdog_is_fed_while_the_server_serves(self):
        host = ServiceHost(self.site, {"NOTIFY_SOCKET": self.notify.path,
                                       "WATCHDOG_USEC": "400000"}).start()
        try:
            self.assertEqual("READY=1", self.notify.next(hostkit.START_TIMEOUT))
            fed = [self.notify.next(5) for _ in range(3)]
            self.assertEqual(["WATCHDOG=1"] * 3, fed)
        finally:
            self.assertEqual(0, host.stop(), host.stderr_text())

    def test_a_watchdog_for_another_process_is_not_fed(self):
        host = ServiceHost(self.site, {"NOTIFY_SOCKET": self.notify.path,
                                       "WATCHDOG_USEC": "200000", "WATCHDOG_PID": "1"}).start()
        try:
            self.assertEqual("READY=1", self.notify.next(hostkit.START_TIMEOUT))
            self.assertIsNone(self.notify.next(1.0))
        finally:
            self.assertEqual(0, host.stop(), host.stderr_text())


class ActivatedHost(hostkit.Host):
    """tvxhost started by systemd-socket-activate on `port`, with a --listen
    of its own that the passed socket overrides."""

    def __init__(self, site, activate, port):
        super().__init__(site)
        self.activate = activate
        self.listen_port = port

    def command(self):
        args = super().command()
        args[args.index("--listen") + 1] = "127.0.0.1:1"
        return [self.activate, "-l", f"127.0.0.1:{self.listen_port}", "--fdname=http"] + args

    def start(self):
        """systemd-socket-activate starts the program at the first connection:
        a client knocks while the start-up line is awaited, and keeps what it
        was answered."""
        self.first_answer = None

        def knock():
            deadline = time.monotonic() + hostkit.START_TIMEOUT
            while self.first_answer is None and time.monotonic() < deadline:
                try:
                    with socket.create_connection(("127.0.0.1", self.listen_port), timeout=30) as s:
                        s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                        data = b""
                        while chunk := s.recv(65536):
                            data += chunk
                        self.first_answer = data
                except OSError:
                    time.sleep(0.05)

        knocker = threading.Thread(target=knock, daemon=True)
        knocker.start()
        try:
            return super().start()
        finally:
            knocker.join(timeout=hostkit.START_TIMEOUT)


class SocketActivationTest(unittest.TestCase):

    def test_a_request_is_served_on_the_passed_socket(self):
        activate = hostkit.require_tool("systemd-socket-activate")
        site = hostkit.Site()
        self.addCleanup(site.remove)
        port = free_port()
        host = ActivatedHost(site, activate, port).start()
        try:
            self.assertEqual(port, host.port)
            # The connection that woke it was served on the passed socket.
            self.assertTrue(host.first_answer.startswith(b"HTTP/1.1 200 OK\r\n"),
                            host.first_answer[:200])
            status, _, body = host.get("/")
            self.assertEqual(200, status)
            self.assertEqual(200, host.get(hostkit.BOARD)[0])
            self.assertIn(f"listening on the socket passed to this process, 127.0.0.1:{port} "
                          "(not --listen 127.0.0.1:1)", host.stderr_text())
        finally:
            self.assertEqual(0, host.stop(), host.stderr_text())
        self.assertEqual([], host.sanitizer_reports())


class StartTest(unittest.TestCase):
    """What stops the start, and what the program says of itself."""

    def setUp(self):
        self.tvxhost = hostkit.required_env("TVXHOST")
        # Folders anyone may read, so that another user can serve them.
        self.dir = tempfile.mkdtemp(prefix="corkwall-start-")
        os.chmod(self.dir, 0o755)
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.root = os.path.join(self.dir, "www")
        os.mkdir(self.root)
        with open(os.path.join(self.root, "index.html"), "w") as f:
            f.write("hello\n")

    def run_tvxhost(self, *args, user=None):
        command = [self.tvxhost] + list(args)
        if user is not None:
            command = ["runuser", "-u", user, "--"] + command
        return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=COMMAND_TIMEOUT)

    def test_a_store_file_the_server_cannot_write_stops_the_start(self):
        locked = os.path.join(self.dir, "locked")
        os.mkdir(locked)
        existing = os.path.join(self.dir, "mine.db")
        with open(existing, "w"):
            pass
        os.chmod(existing, 0o644)
        # root may write anywhere: the server is run as another user then.
        user = "nobody" if os.geteuid() == 0 else None
        if user is None:
            os.chmod(locked, 0o555)
        cases = [
            (os.path.join(locked, "objectstore.db"), user,
             f"the store file {locked}/objectstore.db cannot be made: its folder {locked} "
             "cannot be written by this user"),
            (existing, user, f"the store file {existing} cannot be written by this user"),
            (os.path.join(self.dir, "www"), None, f"the store file {self.root} is not a regular file"),
            # No user may make a file here: the store's own open says so.
            ("/proc/corkwall.db", None, "cannot open the store file /proc/corkwall.db"),
        ]
        for store, as_user, message in cases:
            with self.subTest(store=store):
                result = self.run_tvxhost("--listen", "127.0.0.1:0", "--root", self.root,
                                          "--store", store, user=as_user)
                self.assertEqual(2, result.returncode, result.stderr)
                self.assertIn(message.encode(), result.stderr)
                self.assertNotIn(b"serving", result.stdout)
        self.assertFalse(os.path.exists(os.path.join(locked, "objectstore.db")))

    def test_version(self):
        result = self.run_tvxhost("--version")
        self.assertEqual(0, result.returncode)
        self.assertRegex(result.stdout.decode(), r"^tvxhost \(corkwall\) \d+\.\d+\.\d+\n$")
        self.assertEqual(b"", result.stderr)

    def test_check_reports_every_line_in_order_on_one_stream(self):
        conf = os.path.join(self.dir, "tvxhost.conf")
        with open(conf, "w") as f:
            f.write(f"root {self.root}\nthreads many\nlisten 127.0.0.1:0\ncolour blue\n"
                    "keep-alive-timeout 0\n")
        result = self.run_tvxhost("--config", conf, "--check")
        self.assertEqual(2, result.returncode)
        self.assertEqual(b"", result.stderr)
        self.assertEqual([f"tvxhost: {conf}:2: --threads wants a number from 1 to 1024, not 'many'",
                          f"tvxhost: {conf}:4: unknown option 'colour'",
                          f"tvxhost: {conf}:5: --keep-alive-timeout wants seconds from 1 to "
                          "3600, not '0'",
                          f"tvxhost: {conf} has 3 problems"],
                         result.stdout.decode().splitlines())

        # Good items and problems, as they were found: the store after the
        # root, the access log's problem between them and the rest.
        with open(conf, "w") as f:
            f.write(f"root {self.root}\nlisten 127.0.0.1:0\nstore {self.dir}/s.db\n"
                    f"access-log {self.dir}/none/access.log\n")
        result = self.run_tvxhost("--config", conf, "--check")
        self.assertEqual(2, result.returncode)
        self.assertEqual(b"", result.stderr)
        lines = result.stdout.decode().splitlines()
        self.assertEqual(["tvxhost: ok: listen 127.0.0.1 port 0",
                          f"tvxhost: ok: document root {self.root}",
                          f"tvxhost: ok: store {self.dir}/s.db (to be made at the first post)",
                          f"tvxhost: {conf}:4: access log {self.dir}/none/access.log cannot be "
                          f"created: its folder {self.dir}/none does not exist",
                          f"tvxhost: {conf} has 1 problem"],
                         [line for line in lines if "Content-Security-Policy" not in line])
        # The answers' policy is shown among the good items, before the summary.
        self.assertRegex(lines[-2], r"^tvxhost: ok: Content-Security-Policy: default-src 'self'")


if __name__ == "__main__":
    unittest.main(verbosity=2)
