"""The server's guard, tried as an attacker would, on a server with the
defaults (flood limit 10 posts a minute, burst 5; 64 KiB bodies) plus a deny
file and one trusted proxy address (127.0.0.2, played by the test itself):

- each refusal with its status, its headers and its line in the error log:
  the deny list, requests from other sites to the admin page, credentials
  over plain HTTP, plug-ins whose names would put markup on their pages,
  posts past the flood limit;
- the headers every answer and every admin answer carry;
- the flood limit: one address posting 100 times in 10 s while a second one
  posts normally at the same time;
- the cap on one client's plug-in calls in flight, on a server of its own
  with the host's test plug-in: one address sending 16 slow calls at once
  while a second one is answered at once.

Each test sends from loopback addresses of its own (127.0.0.0/8), so that the
flood limit of one never touches another.
"""

import os
import re
import shutil
import threading
import time
import unittest
import urllib.parse

import hostkit
from hostkit import ADMIN, BOARD, BOARD_DB, error_line_after, wait_for

PROXY = "127.0.0.2"
DENIED = "127.0.0.3"
GUARDED = {
    "x-frame-options": "DENY",
    "content-security-policy": "default-src 'self'; script-src 'none'; object-src 'none'; "
                               "base-uri 'none'; form-action 'self'; frame-ancestors 'none'",
    "cache-control": "no-store",
    "referrer-policy": "same-origin",
}


class GuardTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.site = hostkit.Site()
        cls.deny_file = os.path.join(cls.site.data, "deny.txt")
        with open(cls.deny_file, "w") as f:
            f.write("# a spam bot\n" + DENIED + "\n")
        cls.host = hostkit.Host(cls.site, "--deny-file", cls.deny_file,
                                "--trust-proxy", PROXY).start()
        status, _, _ = cls.host.post(BOARD, [("name", "owner"), ("email", ""),
                                             ("subject", "keep me"), ("body", "the board"),
                                             ("postitem", "post")], source="127.0.1.1")
        if status != 302:
            raise AssertionError(f"seeding the board: {status}")

    @classmethod
    def tearDownClass(cls):
        cls.host.stop_cleanly_and_remove(cls.site)

    # --- helpers ---

    def error_log_after(self, mark, pattern, timeout=5.0):
        """Waits for a line matching `pattern` among the error log's lines
        after `mark` (a length of the log text); returns it or fails."""
        line = error_line_after(self.host, mark, pattern, timeout)
        self.assertIsNotNone(line, f"no error log line like {pattern!r} in:\n"
                                   f"{self.host.stderr_text()[mark:]}")
        return line

    def access_lines(self, address):
        """The access log's lines for one client address. The log reaches
        its file within 20 ms of an answer; this waits ten times as long."""
        time.sleep(0.2)
        with open(self.site.access_log, encoding="utf-8", errors="replace") as f:
            return [line for line in f if line.startswith(address + " ")]

    def board_oid(self):
        """The board's database identifier as the catalogue links it."""
        status, _, page = self.host.get(ADMIN, headers=self.site.admin_headers())
        self.assertEqual(200, status)
        match = re.search(rb"\?cmd=deleteDB&db=(-?\d+)\">DELETE DB</a>", page)
        self.assertIsNotNone(match, page[:500])
        return match.group(1).decode()

    def board_exists(self):
        status, _, page = self.host.get(ADMIN, headers=self.site.admin_headers())
        self.assertEqual(200, status)
        return BOARD_DB.encode() in page

    def assert_guarded(self, headers, what):
        for name, value in GUARDED.items():
            self.assertEqual(value, headers.get(name), f"{what}: {name}")

    # --- every answer ---

    def test_every_answer_is_nosniff_and_admin_answers_are_never_framed(self):
        admin = self.site.admin_headers()
        cases = [
            # (target, headers, status, guarded)
            ("/", {}, 200, False),
            ("/missing.html", {}, 404, False),
            (BOARD, {}, 200, False),
            (ADMIN, {}, 401, True),
            (ADMIN, admin, 200, True),
            (ADMIN, dict(admin, **{"Sec-Fetch-Site": "cross-site"}), 403, True),
            ("/admin/", admin, 403, True),
        ]
        for target, headers, status, guarded in cases:
            with self.subTest(target=target, headers=sorted(headers)):
                got, answer, _ = self.host.get(target, headers=headers, source="127.0.2.1")
                self.assertEqual(status, got)
                self.assertEqual("nosniff", answer.get("x-content-type-options"))
                if guarded:
                    self.assert_guarded(answer, target)
                else:
                    # Framed only by the site itself (the open board's
                    # delete button under another site's decoy was the
                    # danger); cacheable as before.
                    self.assertEqual("SAMEORIGIN", answer.get("x-frame-options"))
                    self.assertNotIn("cache-control", answer)

    # --- the admin page shut to other sites ---

    def test_requests_from_other_sites_cannot_drive_the_admin_page(self):
        oid = self.board_oid()
        target = f"{ADMIN}?cmd=deleteDB&db={oid}"
        own = f"http://127.0.0.1:{self.host.port}"
        cases = [
            ({"Sec-Fetch-Site": "cross-site"}, r"Sec-Fetch-Site is cross-site"),
            ({"Sec-Fetch-Site": "same-site"}, r"Sec-Fetch-Site is same-site"),
            ({"Origin": "http://evil.example"}, r"Origin http://evil\.example is not"),
            ({"Origin": "null"}, r"Origin is null"),
            ({"Origin": f"http://127.0.0.1:{self.host.port + 1}"}, r"Origin .* is not"),
            ({"Referer": "http://evil.example/prize.html"}, r"Referer from http://evil\.example"),
            ({"Referer": "https://127.0.0.1:%d/admin/" % self.host.port}, r"Referer from https://"),
            ({"Sec-Fetch-Site": "same-origin", "Referer": "http://evil.example/"},
             r"Referer from http://evil\.example"),
        ]
        for extra, reason in cases:
            with self.subTest(headers=extra):
                mark = len(self.host.stderr_text())
                headers = dict(self.site.admin_headers(), **extra)
                status, answer, _ = self.host.get(target, headers=headers, source="127.0.3.1")
                self.assertEqual(403, status)
                self.assert_guarded(answer, "refusal")
                line = self.error_log_after(mark, reason)
                self.assertIn("refused, a request from another site", line)
                self.assertIn("from 127.0.3.1", line)
                self.assertTrue(self.board_exists(), "a refused request deleted the board")
        # The same request without them, or from the page itself, passes.
        for extra in [{}, {"Sec-Fetch-Site": "same-origin", "Origin": own,
                           "Referer": own + ADMIN}, {"Sec-Fetch-Site": "none"}]:
            with self.subTest(allowed=extra):
                status, answer, page = self.host.get(
                    ADMIN, headers=dict(self.site.admin_headers(), **extra), source="127.0.3.1")
                self.assertEqual(200, status, page[:300])
                self.assert_guarded(answer, "the page")

    def test_credentials_over_plain_http_are_refused_with_a_page_that_says_why(self):
        admin = self.site.admin_headers()
        cases = [
            # (source, extra headers, status, log reason)
            (PROXY, {"X-Forwarded-For": "203.0.113.5", "X-Forwarded-Proto": "http"}, 403,
             r"credentials over plain http through proxy 127\.0\.0\.2 for client 203\.0\.113\.5"),
            (PROXY, {"X-Forwarded-For": "203.0.113.5"}, 403, r"through proxy"),
            ("127.0.4.1", {"X-Forwarded-For": "203.0.113.5"}, 403,
             r"proxy not named in --trust-proxy"),
            (PROXY, {"X-Forwarded-For": "203.0.113.5", "X-Forwarded-Proto": "https"}, 200, None),
            (PROXY, {"X-Forwarded-For": "127.0.0.1", "X-Forwarded-Proto": "http"}, 200, None),
            ("127.0.4.1", {}, 200, None),
        ]
        for source, extra, status, reason in cases:
            for credentials in (True, False):
                with self.subTest(source=source, headers=extra, credentials=credentials):
                    mark = len(self.host.stderr_text())
                    headers = dict(admin if credentials else {}, **extra)
                    got, answer, page = self.host.get(ADMIN, headers=headers, source=source)
                    if status == 200:
                        # Allowed: the page, or the prompt for a password.
                        self.assertEqual(200 if credentials else 401, got, page[:300])
                        continue
                    # Refused before the prompt, so no password is ever sent in clear.
                    self.assertEqual(403, got)
                    self.assertNotIn("www-authenticate", answer)
                    self.assert_guarded(answer, "refusal")
                    self.assertEqual("text/html; charset=Shift_JIS", answer.get("content-type"))
                    self.assertIn(b"not accepted over a plain, unencrypted connection", page)
                    self.assertIn(b"https://", page)
                    line = self.error_log_after(mark, reason)
                    self.assertIn("--allow-plain-auth", line)

    # --- the deny list ---

    def test_a_listed_client_gets_403_for_everything_and_the_file_is_read_again(self):
        for target, method in [("/", "GET"), (BOARD, "GET"), (BOARD, "POST"), (ADMIN, "GET"),
                               ("/missing", "GET")]:
            with self.subTest(target=target, method=method):
                mark = len(self.host.stderr_text())
                status, answer, _ = self.host.request(method, target, body=b"x=1" if method == "POST" else None,
                                                      headers=self.site.admin_headers(),
                                                      source=DENIED)
                self.assertEqual(403, status)
                self.assertEqual("nosniff", answer.get("x-content-type-options"))
                line = self.error_log_after(mark, r"from 127\.0\.0\.3: refused, the client is listed")
                self.assertIn(self.deny_file, line)
        self.assertTrue(wait_for(lambda: any('" 403 ' in line
                                             for line in self.access_lines(DENIED))))
        # Through the trusted proxy the client it names is looked up.
        status, _, _ = self.host.get("/", headers={"X-Forwarded-For": DENIED}, source=PROXY)
        self.assertEqual(403, status)
        # The file changes while the server runs: new lines take effect, a
        # bad line is logged and skipped, removed lines are lifted.
        newcomer = "127.0.5.1"
        self.assertEqual(200, self.host.get("/", source=newcomer)[0])
        mark = len(self.host.stderr_text())
        with open(self.deny_file, "w") as f:
            f.write(DENIED + "\n127.0.5.0/24   # the whole net\nnot-an-address\n")
        self.assertTrue(wait_for(lambda: self.host.get("/", source=newcomer)[0] == 403),
                        "a line added to the deny file was not taken up")
        self.error_log_after(mark, r"deny\.txt:3: 'not-an-address' is not an address.*skipped")
        with open(self.deny_file, "w") as f:
            f.write(DENIED + "\n")
        self.assertTrue(wait_for(lambda: self.host.get("/", source=newcomer)[0] == 200),
                        "a line removed from the deny file still refused")

    # --- plug-in names ---

    def test_plugins_with_unsafe_names_are_not_run(self):
        board = os.path.join(self.site.www, "bbs", "board.tvx")
        names = ['q"<i>.tvx', "<u>x.tvx", "it's.tvx", "a&b.tvx", "b>.tvx"]
        for name in names:
            with self.subTest(name=name):
                path = os.path.join(self.site.www, "bbs", name)
                os.link(board, path)
                try:
                    mark = len(self.host.stderr_text())
                    target = "/bbs/" + urllib.parse.quote(name)
                    for method in ("GET", "POST"):
                        status, _, page = self.host.request(
                            method, target, body=b"postitem=x" if method == "POST" else None,
                            source="127.0.6.1")
                        self.assertEqual(500, status, page[:200])
                        self.assertNotIn(b"<i>", page)
                        self.assertNotIn(b"<u>", page)
                    line = self.error_log_after(mark, r"not run, unsafe name")
                    self.assertIn("plug-in " + os.path.realpath(self.site.www), line)
                    self.assertIn("rename the file", line)
                finally:
                    os.unlink(path)
        # A control byte never gets as far as a plug-in: the path is refused.
        path = os.path.join(self.site.www, "bbs", "tab\tin.tvx")
        os.link(board, path)
        try:
            status, _, _ = self.host.get("/bbs/tab%09in.tvx", source="127.0.6.1")
            self.assertEqual(400, status)
        finally:
            os.unlink(path)
        # A Japanese name is no danger.
        name = "掲示板.tvx"
        path = os.path.join(self.site.www, "bbs", name)
        os.link(board, path)
        try:
            status, _, page = self.host.get("/bbs/" + urllib.parse.quote(name), source="127.0.6.1")
            self.assertEqual(200, status, page[:200])
        finally:
            os.unlink(path)

    # --- the flood limit ---

    def post_from(self, source, subject, board=BOARD):
        return self.host.post(board, [("name", "poster"), ("email", ""), ("subject", subject),
                                      ("body", "text"), ("postitem", "post")], source=source)

    def test_one_address_flooding_gets_429_while_another_posts_normally(self):
        flooder, neighbour = "127.0.7.1", "127.0.7.2"
        flood, calm = [], []
        errors = []
        elapsed = []

        def flood_posts():
            try:
                start = time.monotonic()
                for i in range(100):  # 100 posts in 10 s
                    status, headers, page = self.post_from(flooder, f"flood {i:03d}")
                    flood.append((status, headers, page))
                    time.sleep(max(0.0, start + (i + 1) * 0.1 - time.monotonic()))
                elapsed.append(time.monotonic() - start)
            except Exception as e:  # pragma: no cover - reported below
                errors.append(e)

        def calm_posts():
            try:
                for i in range(5):  # one post every 2 s, alongside
                    time.sleep(1.0)
                    calm.append(self.post_from(neighbour, f"calm {i}")[0])
                    time.sleep(1.0)
            except Exception as e:  # pragma: no cover - reported below
                errors.append(e)

        mark = len(self.host.stderr_text())
        threads = [threading.Thread(target=flood_posts), threading.Thread(target=calm_posts)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
        self.assertEqual([], errors)
        self.assertEqual(100, len(flood))
        self.assertEqual([302] * 5, calm, "the second address was held back by the first")

        statuses = [s for s, _, _ in flood]
        self.assertEqual([302] * 5, statuses[:5], "the burst of 5 goes through")
        self.assertEqual(429, statuses[5], "the sixth post in a row is refused")
        taken = statuses.count(302)
        # 10 a minute earns one more post every 6 s: two in the 10 s, more
        # only when a slow machine stretched the run.
        self.assertLessEqual(taken, 5 + int(elapsed[0] // 6) + 1, (elapsed, statuses))
        self.assertEqual(100, taken + statuses.count(429), statuses)
        for status, headers, page in flood:
            if status != 429:
                continue
            self.assertTrue(1 <= int(headers["retry-after"]) <= 6, headers["retry-after"])
            self.assertEqual("text/html; charset=Shift_JIS", headers["content-type"])
            self.assertIn(b"Please wait " + headers["retry-after"].encode() + b" seconds", page)
            # 投稿が多すぎます in Shift_JIS
            self.assertIn("投稿が多すぎます".encode("shift_jis"), page)

        # Only the posts let through are on the board.
        posts = b"\n".join(self.host.board_posts())
        self.assertEqual(taken, len(re.findall(rb"flood \d{3}", posts)))
        self.assertEqual(5, len(re.findall(rb"calm \d", posts)))
        self.assertEqual(100 - taken,
                         sum('" 429 ' in line for line in self.access_lines(flooder)))
        line = self.error_log_after(mark, r"past the flood limit")
        self.assertIn("from " + flooder, line)
        # The numbers of the rule as it works: the sixth post was refused.
        self.assertIn("refused a post, past the flood limit (a burst of 5, then 10 a minute)",
                      line)

        # Reading is never limited, nor are the owner's pages.
        self.assertEqual(200, self.host.get(BOARD, source=flooder)[0])
        for i in range(8):
            status, _, _ = self.host.request("POST", ADMIN, body=b"cmd=enum",
                                             headers=dict(self.site.admin_headers(), **{
                                                 "Content-Type": "application/x-www-form-urlencoded"}),
                                             source="127.0.7.3")
            self.assertEqual(200, status, i)

    def test_quick_deletions_past_the_limit_get_a_page_about_a_deletion(self):
        deleter = "127.0.7.4"
        mark = len(self.host.stderr_text())
        answers = [self.host.post(hostkit.OPEN_BOARD, [("deleteitem", "削除".encode("shift_jis")),
                                                       ("deleteitemid", "0")], source=deleter)
                   for _ in range(6)]
        self.assertEqual([302] * 5 + [429], [status for status, _, _ in answers])
        _, headers, page = answers[5]
        self.assertIn("削除が多すぎます".encode("shift_jis"), page)
        self.assertIn(b"so this deletion was not carried out", page)
        self.assertNotIn(b"post", page)
        self.assertNotIn("投稿".encode("shift_jis"), page)
        line = self.error_log_after(mark, r"past the flood limit")
        self.assertIn(f"from {deleter}: refused a deletion, past the flood limit (a burst of 5, "
                      "then 10 a minute)", line)

    def test_through_the_trusted_proxy_each_client_has_its_own_limit(self):
        # The proxy's own address is shared by everyone behind it: were it
        # counted, one client would shut out every other.
        for client in ("198.51.100.1", "198.51.100.2"):
            statuses = [self.host.post(BOARD, [("name", "p"), ("email", ""), ("subject", "s"),
                                               ("body", "b"), ("postitem", "post")],
                                       source=PROXY, headers={"X-Forwarded-For": client})[0]
                        for _ in range(6)]
            self.assertEqual([302] * 5 + [429], statuses, client)
        # A header from anyone else is no way round the limit.
        statuses = [self.host.post(BOARD, [("name", "p"), ("email", ""), ("subject", "s"),
                                           ("body", "b"), ("postitem", "post")],
                                   source="127.0.8.1", headers={"X-Forwarded-For": f"10.0.0.{i}"})[0]
                    for i in range(6)]
        self.assertEqual([302] * 5 + [429], statuses)
        self.assertTrue(self.access_lines("198.51.100.1"))
        self.assertFalse(self.access_lines("10.0.0.1"))

    # --- the mends, from outside ---

    def test_a_board_without_delete_buttons_deletes_nothing(self):
        page = self.host.admin_listing()
        lines = hostkit.listing_lines(page)
        self.assertTrue(lines)
        oid = lines[0][0]
        status, headers, _ = self.host.post(BOARD, [("deleteitem", "x"), ("deleteitemid", str(oid))],
                                            source="127.0.9.1")
        self.assertEqual(302, status)
        self.assertEqual(BOARD, headers.get("location"))
        self.assertIn(oid, [o for o, _ in hostkit.listing_lines(self.host.admin_listing())])

    def test_bodies_over_64_kib_get_413_and_long_boundaries_are_refused(self):
        status, _, _ = self.host.request("POST", BOARD, body=b"x" * (64 * 1024 + 1),
                                         headers={"Content-Type": "application/x-www-form-urlencoded"},
                                         source="127.0.9.2")
        self.assertEqual(413, status)
        # The multipart scan takes boundaries of up to 70 bytes, as the
        # standard allows, and no longer ones.
        for length, stored in ((70, True), (71, False)):
            boundary = "b" * length
            subject = f"boundary of {length}"
            body = "".join(
                f"--{boundary}\r\nContent-Disposition: form-data; name=\"{name}\"\r\n\r\n"
                f"{value}\r\n" for name, value in [("name", "m"), ("email", ""),
                                                  ("subject", subject), ("body", "text"),
                                                  ("postitem", "post")])
            body = (body + f"--{boundary}--\r\n").encode()
            status, _, page = self.host.request(
                "POST", BOARD, body=body,
                headers={"Content-Type": f"multipart/form-data; boundary={boundary}"},
                source="127.0.9.3")
            posts = b"\n".join(self.host.board_posts())
            self.assertEqual(stored, subject.encode() in posts, (length, status, page[:200]))


class CallCapTest(unittest.TestCase):
    """The default cap of 6 calls per client with the default 8 workers: the
    host's test plug-in answers `?slow` after one second."""

    ECHO = "/echo/echo.tvx"
    GREEDY, OTHER, CAP_PROXY = "127.0.0.2", "127.0.0.3", "127.0.0.4"

    @classmethod
    def setUpClass(cls):
        cls.site = hostkit.Site()
        os.makedirs(os.path.join(cls.site.www, "echo"))
        shutil.copyfile(hostkit.required_env("ECHO_TVX"),
                        os.path.join(cls.site.www, "echo", "echo.tvx"))
        cls.host = hostkit.Host(cls.site, "--trust-proxy", cls.CAP_PROXY).start()

    @classmethod
    def tearDownClass(cls):
        cls.host.stop_cleanly_and_remove(cls.site)

    def at_once(self, calls):
        """Sends each (source, headers) as a slow call on a connection of its
        own, all together: [(status, headers, seconds until answered)]."""
        results = [None] * len(calls)
        start = time.monotonic()

        def call(index, source, headers):
            status, answer, _ = self.host.get(self.ECHO + "?slow", headers=headers, source=source)
            results[index] = (status, answer, time.monotonic() - start)

        threads = [threading.Thread(target=call, args=(i, source, headers))
                   for i, (source, headers) in enumerate(calls)]
        for t in threads:
            t.start()
        return threads, results

    def join(self, threads):
        for t in threads:
            t.join(timeout=30)
            self.assertFalse(t.is_alive(), "a slow call hung")

    def test_one_address_gets_its_cap_and_another_is_answered_at_once(self):
        mark = len(self.host.stderr_text())
        threads, results = self.at_once([(self.GREEDY, {})] * 16)
        # Wait for the refusals, which come at once: the admitted calls are
        # then all on workers, a second from their end.
        self.assertTrue(wait_for(lambda: sum(r is not None and r[0] == 503 for r in results) >= 10,
                                 timeout=5.0), results)
        start = time.monotonic()
        status, _, page = self.host.get(self.ECHO, source=self.OTHER)
        other = time.monotonic() - start
        still_running = sum(r is None for r in results)
        self.join(threads)
        self.assertEqual(200, status, page[:200])
        self.assertIn(b"REMOTE_ADDR=" + self.OTHER.encode(), page)
        self.assertLess(other, 0.5, "the second address waited for the first one's calls")
        self.assertGreater(still_running, 0, "the slow calls were over before the other one")

        statuses = sorted(r[0] for r in results)
        self.assertEqual([200] * 6 + [503] * 10, statuses)
        for status, headers, seconds in results:
            if status == 503:
                self.assertEqual("1", headers.get("retry-after"))
                self.assertLess(seconds, 1.0, "a refusal waited for a worker")
            else:
                self.assertGreaterEqual(seconds, 1.0)
        # One line names the client and the cap, however many were refused.
        line = error_line_after(self.host, mark, r"calls-per-client")
        self.assertIsNotNone(line, self.host.stderr_text()[mark:])
        self.assertIn("GET /echo/echo.tvx from " + self.GREEDY, line)
        self.assertIn("6 plug-in calls", line)
        self.assertEqual(1, self.host.stderr_text()[mark:].count("calls-per-client"))

        # Nothing stays counted: the same address has its whole cap again.
        threads, results = self.at_once([(self.GREEDY, {})] * 6)
        self.join(threads)
        self.assertEqual([200] * 6, [r[0] for r in results])

    def test_behind_the_trusted_proxy_each_client_has_its_own_cap(self):
        calls = ([(self.CAP_PROXY, {"X-Forwarded-For": "203.0.113.5"})] * 7 +
                 [(self.CAP_PROXY, {"X-Forwarded-For": "203.0.113.6"})])
        threads, results = self.at_once(calls)
        self.join(threads)
        self.assertEqual([200] * 6 + [503], sorted(r[0] for r in results[:7]))
        self.assertEqual(200, results[7][0], "the proxy's other client was held back")


class PlainAuthWarningTest(unittest.TestCase):

    def test_allow_plain_auth_warns_at_start_and_lets_credentials_through(self):
        site = hostkit.Site()
        host = hostkit.Host(site, "--allow-plain-auth", "--trust-proxy", PROXY).start()
        try:
            self.assertTrue(wait_for(lambda: "--allow-plain-auth" in host.stderr_text()))
            self.assertRegex(host.stderr_text(), r"warning: --allow-plain-auth: passwords .* plain HTTP")
            status, answer, _ = host.get(ADMIN, source=PROXY, headers=dict(
                site.admin_headers(), **{"X-Forwarded-For": "203.0.113.5",
                                         "X-Forwarded-Proto": "http"}))
            self.assertEqual(200, status)
            self.assertEqual("DENY", answer.get("x-frame-options"))
            # It lifts the channel rule only: other sites are still shut out.
            status, _, _ = host.get(ADMIN, source=PROXY, headers=dict(
                site.admin_headers(), **{"X-Forwarded-For": "203.0.113.5",
                                         "Sec-Fetch-Site": "cross-site"}))
            self.assertEqual(403, status)
        finally:
            self.assertEqual(0, host.stop())
            site.remove()

    def test_a_bad_deny_file_stops_the_start_with_its_line(self):
        site = hostkit.Site()
        deny = os.path.join(site.data, "deny.txt")
        with open(deny, "w") as f:
            f.write("203.0.113.7\n203.0.113.700\n")
        try:
            host = hostkit.Host(site, "--deny-file", deny)
            with self.assertRaises(RuntimeError):
                host.start()
            self.assertEqual(2, host.process.wait(timeout=hostkit.STOP_TIMEOUT))
            self.assertIn("deny.txt:2: '203.0.113.700' is not an address or network",
                          host.stderr_text())
        finally:
            site.remove()


if __name__ == "__main__":
    unittest.main(verbosity=2)
