"""A tvxhost of the test's own on loopback, and what the suites need to talk
to it: plain and raw HTTP, the board's form and pages, the admin page.

The programs come from the build folder through the environment that CTest
sets: TVXHOST, CORKWALL_TVX, CORKWARDEN_TVX, ECHO_TVX (the host's test
plug-in) and CORKWALL_SOURCE_DIR (for scripts/layout-site). A missing program
or tool fails the suite: a suite that quietly skips would hide a broken build.
"""

import base64
import ctypes
import http.client
import os
import re
import select
import shutil
import signal
import socket
import sqlite3
import ssl
import struct
import subprocess
import tempfile
import time
import urllib.parse

# Bounds of every wait in these suites: a hung server fails the test instead
# of holding CTest until its own timeout.
START_TIMEOUT = 30.0
STOP_TIMEOUT = 20.0
REQUEST_TIMEOUT = 30.0

# For a suite that posts many times from 127.0.0.1 and is not about the flood
# limit: the limit off, as a load test runs the server.
UNLIMITED_POSTS = ("--post-rate", "0")
# For a suite whose clients all send from 127.0.0.1 at once, more of them than
# a browser's six connections, and that is not about the cap on one client's
# plug-in calls: the cap off.
UNCAPPED_CALLS = ("--calls-per-client", "0")

# The board shows this many posts a page; a walk of its pages reads at most
# PAGE_WALK_LIMIT of them unless told otherwise.
POSTS_PER_PAGE = 20
PAGE_WALK_LIMIT = 200

BOARD = "/bbs/board.tvx"
OPEN_BOARD = "/bbs/open.tvx"
ADMIN = "/admin/corkwarden.tvx"
BOARD_DB = "TULVAN_board.tvx"

# "投稿者：", the label before the poster's name, in Shift_JIS.
POSTER_LABEL = b"\x93\x8a\x8d\x65\x8e\xd2\x81\x46"
# The date stamp "%d年%d月%d日 %d時%d分" in Shift_JIS.
STAMP = rb"\d+\x94\x4e\d+\x8c\x8e\d+\x93\xfa \d+\x8e\x9e\d+\x95\xaa"


def _die_with_parent():
    """Runs in the child before exec: the server gets SIGKILL when the suite
    that started it dies (a CTest timeout, say), so no server outlives it."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def wait_for(predicate, timeout=10.0):
    """Polls `predicate` every 0.1 s until it holds or `timeout` passes;
    returns its last value."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


def error_line_after(host, mark, pattern, timeout=5.0):
    """The first line matching `pattern` in `host`'s error log after `mark`
    (a length of its text), waited for up to `timeout`; None when none came."""
    found = []

    def seen():
        text = host.stderr_text()[mark:]
        found[:] = [line for line in text.splitlines() if re.search(pattern, line)]
        return bool(found)

    wait_for(seen, timeout)
    return found[0] if found else None


def make_certificate(folder, name, kind="rsa"):
    """A self-signed certificate for CN=`name` with a new key of `kind`
    ("rsa": 2048 bits, "ec": P-256), as PEM files in `folder`: (cert, key)."""
    cert = os.path.join(folder, name + ".pem")
    key = os.path.join(folder, name + ".key")
    new_key = (["-newkey", "rsa:2048"] if kind == "rsa" else
               ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"])
    result = subprocess.run(
        [require_tool("openssl"), "req", "-x509"] + new_key +
        ["-nodes", "-days", "2", "-subj", "/CN=" + name, "-addext", "subjectAltName=IP:127.0.0.1",
         "-keyout", key, "-out", cert],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
    if result.returncode != 0:
        raise RuntimeError("openssl req failed:\n" + result.stdout.decode(errors="replace"))
    return cert, key


def required_env(name):
    value = os.environ.get(name, "")
    if not value:
        raise RuntimeError(f"{name} is not set: run this suite through ctest in a build folder")
    if name != "CORKWALL_SOURCE_DIR" and not os.path.isfile(value):
        raise RuntimeError(f"{name}={value} does not exist: build tvxhost, corkwall and corkwarden")
    return value


def require_tool(name):
    path = shutil.which(name)
    if path is None:
        raise RuntimeError(f"{name} not found: run scripts/install-deps")
    return path


class Site:
    """A data folder laid out as `make serve` lays one out (scripts/layout-site):
    the two boards, the admin page behind a password, the store file."""

    def __init__(self):
        self.source = required_env("CORKWALL_SOURCE_DIR")
        self.tvxhost = required_env("TVXHOST")
        board = required_env("CORKWALL_TVX")
        admin = required_env("CORKWARDEN_TVX")
        require_tool("htpasswd")
        require_tool("iconv")
        self.dir = tempfile.mkdtemp(prefix="corkwall-http-")
        self.data = os.path.join(self.dir, "data")
        env = dict(os.environ, CORKWALL_TVX=board, CORKWARDEN_TVX=admin)
        result = subprocess.run(
            [os.path.join(self.source, "scripts", "layout-site"), self.dir, self.data],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        if result.returncode != 0:
            raise RuntimeError("layout-site failed:\n" + result.stdout.decode(errors="replace"))
        self.www = os.path.join(self.data, "www")
        self.store = os.path.join(self.data, "objectstore.db")
        self.access_log = os.path.join(self.data, "access.log")
        with open(os.path.join(self.data, "admin-password.txt")) as f:
            self.password = f.read().strip()

    def admin_headers(self):
        token = base64.b64encode(f"admin:{self.password}".encode()).decode()
        return {"Authorization": "Basic " + token}

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class Host:
    """One tvxhost process on a free 127.0.0.1 port over a Site."""

    def __init__(self, site, *extra_args):
        self.site = site
        self.extra_args = list(extra_args)
        self.process = None
        self.port = None
        self.scheme = "http"
        self.stderr_path = os.path.join(site.dir, "tvxhost.stderr")
        self.stderr_file = None

    def command(self):
        """The server's command line: the site's folders, then the extra arguments."""
        return [self.site.tvxhost, "--listen", "127.0.0.1:0", "--root", self.site.www,
                "--store", self.site.store, "--access-log", self.site.access_log,
                "--auth", "/admin=" + os.path.join(self.site.data, "admin.htpasswd")
                ] + self.extra_args

    def start(self):
        args = self.command()
        self.stderr_file = open(self.stderr_path, "ab")
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=self.stderr_file,
                                        preexec_fn=_die_with_parent)
        line = self._read_line(START_TIMEOUT)
        match = re.search(rb"(https?)://127\.0\.0\.1:(\d+)/", line)
        if match is None:
            self.kill()
            raise RuntimeError(f"tvxhost did not start: {line!r}\n{self.stderr_text()}")
        self.scheme = match.group(1).decode()
        self.port = int(match.group(2))
        return self

    def _read_line(self, timeout):
        out = self.process.stdout
        deadline = time.monotonic() + timeout
        line = b""
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([out], [], [], left)
            if not ready:
                break
            byte = os.read(out.fileno(), 1)
            if not byte:
                break
            line += byte
        return line

    def rss_kib(self):
        """The server's resident memory, KiB."""
        with open(f"/proc/{self.process.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise RuntimeError("no VmRSS for tvxhost")

    def alive(self):
        return self.process is not None and self.process.poll() is None

    def stop(self):
        """Stops the server with SIGTERM; returns its exit status."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            status = self.process.wait(timeout=STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=STOP_TIMEOUT)
            raise RuntimeError("tvxhost did not stop within %d s of SIGTERM" % STOP_TIMEOUT)
        finally:
            self._close_files()
        return status

    def stop_cleanly(self):
        """Stops the server and raises when it did not exit 0 or when the
        sanitizers reported anything: what a suite's teardown asks."""
        status = self.stop()
        reports = self.sanitizer_reports()
        if status != 0 or reports:
            raise AssertionError(f"tvxhost ended with {status}: {reports}\n{self.stderr_text()}")

    def stop_cleanly_and_remove(self, site):
        """A suite's teardown: stop_cleanly, and `site` removed even when
        the server did not stop cleanly."""
        try:
            self.stop_cleanly()
        finally:
            site.remove()

    def kill(self):
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
        self.process.wait(timeout=STOP_TIMEOUT)
        self._close_files()

    def _close_files(self):
        if self.process is not None and self.process.stdout is not None:
            self.process.stdout.close()
        if self.stderr_file is not None:
            self.stderr_file.close()
            self.stderr_file = None

    def stderr_text(self):
        try:
            with open(self.stderr_path, "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    def sanitizer_reports(self):
        """The sanitizer findings the server wrote to its error output."""
        text = self.stderr_text()
        return [line for line in text.splitlines()
                if "ERROR: AddressSanitizer" in line or "runtime error:" in line
                or "ERROR: LeakSanitizer" in line]

    # --- HTTP ---

    def request(self, method, target, body=None, headers=None, timeout=REQUEST_TIMEOUT,
                source=None):
        """One request on a fresh connection: (status, headers dict, body).
        `source` is the loopback address to send from (any of 127.0.0.0/8),
        so that a test can be several clients."""
        conn = self.connection(timeout=timeout, source=source)
        try:
            conn.request(method, target, body=body, headers=headers or {})
            response = conn.getresponse()
            data = response.read()
            return response.status, {k.lower(): v for k, v in response.getheaders()}, data
        finally:
            conn.close()

    def connection(self, timeout=REQUEST_TIMEOUT, source=None):
        """A client connection to the server, HTTPS when it serves HTTPS (the
        test's own certificate is not checked)."""
        address = (source, 0) if source else None
        if self.scheme != "https":
            return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout,
                                              source_address=address)
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        return http.client.HTTPSConnection("127.0.0.1", self.port, timeout=timeout,
                                           source_address=address, context=context)

    def get(self, target, headers=None, source=None):
        return self.request("GET", target, headers=headers, source=source)

    def raw(self, data, timeout=REQUEST_TIMEOUT, half_close=False):
        """Sends bytes as they are and reads until the server closes the
        connection or `timeout` passes: (everything read, closed by server)."""
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=timeout)
        try:
            sock.sendall(data)
            if half_close:
                sock.shutdown(socket.SHUT_WR)
            received = b""
            closed = False
            deadline = time.monotonic() + timeout
            while True:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                sock.settimeout(left)
                try:
                    chunk = sock.recv(65536)
                except socket.timeout:
                    break
                except ConnectionResetError:
                    closed = True
                    break
                if not chunk:
                    closed = True
                    break
                received += chunk
            return received, closed
        finally:
            sock.close()

    # --- the board ---

    def post(self, board, fields, content_type="application/x-www-form-urlencoded",
             source=None, headers=None):
        """Posts a form of (name, bytes) pairs, URL-encoded the way a browser
        encodes a Shift_JIS page's form: (status, headers, body)."""
        body = form_body(fields)
        return self.request("POST", board, body=body,
                            headers=dict(headers or {}, **{"Content-Type": content_type}),
                            source=source)

    def board_pages(self, board=BOARD, limit=PAGE_WALK_LIMIT):
        """Every page of a board, following the NEXT links from the first.
        A board with more than `limit` pages fails the walk: a board read in
        part would make stored posts look lost."""
        pages = []
        target = board
        while target is not None:
            if len(pages) == limit:
                raise AssertionError(f"{board}: more than {limit} pages; the walk stopped "
                                     f"before {target}")
            status, headers, page = self.get(target)
            if status != 200:
                raise AssertionError(f"GET {target}: {status} {page[:300]!r}")
            pages.append(page)
            match = re.search(rb'<A HREF="([^"]*\?row=\d+)">NEXT</A>', page)
            target = match.group(1).decode() if match else None
        return pages

    def board_posts(self, board=BOARD, limit=PAGE_WALK_LIMIT):
        """The stored HTML of every post on the board, in page order (at most
        `limit` pages, as board_pages)."""
        posts = []
        for page in self.board_pages(board, limit):
            posts += posts_on_page(page)
        return posts

    def admin_listing(self, db=BOARD_DB):
        status, _, page = self.get(ADMIN + "?cmd=enum&name=" + db,
                                   headers=self.site.admin_headers())
        if status != 200:
            raise AssertionError(f"admin listing: {status} {page[:300]!r}")
        return page


def form_body(fields):
    parts = []
    for name, value in fields:
        if isinstance(value, str):
            value = value.encode("shift_jis")
        parts.append(name + "=" + urllib.parse.quote_plus(value, safe=""))
    return "&".join(parts).encode("ascii")


def posts_on_page(page):
    return re.findall(rb'<td width="100%">(.*?)</td><td>', page, re.S)


def listing_lines(page):
    """(record id, text) of every post line of the admin's record listing."""
    return [(int(oid), text) for oid, text in
            re.findall(rb'deleteitem=(-?\d+)">delete:</A><TT>(.*?)</TT><BR>\n', page, re.S)]


def escape(value):
    """A field as the board shows it: a value of whole Shift_JIS characters
    and ASCII, with HTML's reserved characters and line ends written out."""
    out = b""
    for byte in value:
        c = bytes([byte])
        out += {b"&": b"&amp;", b"<": b"&lt;", b">": b"&gt;", b'"': b"&quot;",
                b"\n": b"<BR>\n", b"\r": b""}.get(c, c)
    return out


def post_pattern(name, subject, body):
    """A regular expression for the whole stored HTML of a post without an
    e-mail address (short fields under 29 bytes once escaped)."""
    return re.compile(
        re.escape(b"<B> \r\n " + escape(subject) + b" \r\n </B> " + POSTER_LABEL +
                  b"<B> \r\n " + escape(name) + b" \r\n </B> \r\n") +
        STAMP +
        re.escape(b" <P> \r\n  \r\n <BLOCKQUOTE><TT> \r\n " + escape(body) +
                  b" \r\n </TT> </BLOCKQUOTE> \r\n "), re.S)


def read_store(path, db_name=BOARD_DB):
    """Opens the store file read-only and returns (integrity_check result,
    list of (oid, [(propid, value bytes)]) of the board's records)."""
    uri = "file:" + urllib.parse.quote(path) + "?mode=ro"
    conn = sqlite3.connect(uri, uri=True, timeout=10)
    try:
        check = [row[0] for row in conn.execute("PRAGMA integrity_check")]
        records = []
        # Database names are kept as their UTF-16 units.
        for (oid, name) in conn.execute("SELECT oid, name FROM databases"):
            text = bytes(name).decode("utf-16-le", errors="replace").rstrip("\0")
            if text != db_name:
                continue
            for record_oid, props in conn.execute(
                    "SELECT oid, props FROM records WHERE db = ? ORDER BY oid", (oid,)):
                records.append((record_oid, parse_record(bytes(props))))
        return check, records
    finally:
        conn.close()


def parse_record(data):
    """Splits a stored record into (propid, value) pairs; a record whose bytes
    do not add up raises ValueError."""
    props = []
    at = 0
    while at < len(data):
        if at + 8 > len(data):
            raise ValueError("record cut inside a property head")
        propid, size = struct.unpack_from("<II", data, at)
        at += 8
        if at + size > len(data):
            raise ValueError("record cut inside a property value")
        props.append((propid, data[at:at + size]))
        at += size
    return props
