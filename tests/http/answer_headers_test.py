"""The headers every kind of answer carries, as a browser gets them: a
plug-in's page, a static file, 304, 404, 413, 429, 503 and the admin's
pages, over HTTP from a server with the defaults and over HTTPS from one
with a policy of the owner's (--csp) and a shorter --hsts.
"""

import email.utils
import os
import shutil
import threading
import time
import unittest

import hostkit
from hostkit import ADMIN, BOARD

DEFAULT_CSP = ("default-src 'self'; img-src * data:; style-src 'self' 'unsafe-inline'; "
               "object-src 'none'; base-uri 'self'; form-action 'self'; frame-ancestors 'self'")
ADMIN_CSP = ("default-src 'self'; script-src 'none'; object-src 'none'; base-uri 'none'; "
             "form-action 'self'; frame-ancestors 'none'")
OWNERS_CSP = "default-src 'self'; img-src *; style-src 'self' 'unsafe-inline'; frame-ancestors 'self'"
ECHO = "/echo/echo.tvx"


class AnswerHeadersTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.servers = []
        for tls in (False, True):
            site = hostkit.Site()
            os.makedirs(os.path.join(site.www, "echo"))
            shutil.copyfile(hostkit.required_env("ECHO_TVX"),
                            os.path.join(site.www, "echo", "echo.tvx"))
            # One call in flight per client, so that a second one is a 503.
            args = ["--calls-per-client", "1"]
            if tls:
                cert, key = hostkit.make_certificate(site.dir, "127.0.0.1", "ec")
                args += ["--tls-cert", cert, "--tls-key", key, "--csp", OWNERS_CSP,
                         "--hsts", "86400"]
            cls.servers.append((site, hostkit.Host(site, *args).start()))

    @classmethod
    def tearDownClass(cls):
        for site, host in cls.servers:
            host.stop_cleanly_and_remove(site)

    def busy_answer(self, host, source):
        """A 503: a slow call (a second long) from `source` and quick ones
        beside it until one of them is refused. Whichever reaches the server
        second while the other is in flight is the refused one, so the slow
        call's own answer counts too. Tried again when the machine was too
        slow to overlap them."""
        for _ in range(5):
            slow_answer = []
            slow = threading.Thread(
                target=lambda: slow_answer.append(host.get(ECHO + "?slow", source=source)))
            slow.start()
            try:
                while slow.is_alive():
                    answer = host.get(ECHO, source=source)
                    if answer[0] == 503:
                        return answer
                    time.sleep(0.02)
            finally:
                slow.join(timeout=30)
            if slow_answer and slow_answer[0][0] == 503:
                return slow_answer[0]
        self.fail("no 503 while a slow call was in flight")

    def kinds(self, site, host):
        """(kind, status, headers, guarded) of one answer of each kind."""
        admin = site.admin_headers()
        form = {"Content-Type": "application/x-www-form-urlencoded"}
        status, headers, _ = host.get("/style.css")
        modified = headers["last-modified"]
        answers = [
            ("plug-in page", host.get(BOARD), False),
            ("static file", (status, headers, b""), False),
            ("304", host.get("/style.css", headers={"If-Modified-Since": modified}), False),
            ("404", host.get("/missing.html"), False),
            ("413", host.request("POST", BOARD, body=b"x" * (64 * 1024 + 1), headers=form), False),
            ("405", host.request("POST", "/style.css", body=b"x=1", headers=form), False),
            ("403 cross-site post",
             host.request("POST", BOARD, body=b"x=1",
                          headers=dict(form, **{"Sec-Fetch-Site": "cross-site"})), False),
            ("503", self.busy_answer(host, "127.0.12.1"), False),
            ("admin page", host.get(ADMIN, headers=admin), True),
            ("admin prompt", host.get(ADMIN), True),
            ("admin prefetch", host.get(ADMIN, headers=dict(admin, **{"Sec-Purpose": "prefetch"})),
             True),
        ]
        posts = [host.post(BOARD, [("name", "n"), ("email", ""), ("subject", f"s{i}"),
                                   ("body", "b"), ("postitem", "post")], source="127.0.12.2")
                 for i in range(6)]
        answers.append(("429", posts[-1], False))
        return [(kind, answer[0], answer[1], guarded) for kind, answer, guarded in answers]

    def test_every_kind_of_answer_carries_every_header(self):
        expected_status = {"plug-in page": 200, "static file": 200, "304": 304, "404": 404,
                           "413": 413, "405": 405, "403 cross-site post": 403, "503": 503,
                           "admin page": 200, "admin prompt": 401, "admin prefetch": 503,
                           "429": 429}
        for (site, host), tls in zip(self.servers, (False, True)):
            for kind, status, headers, guarded in self.kinds(site, host):
                with self.subTest(tls=tls, kind=kind):
                    self.assertEqual(expected_status[kind], status)
                    date = email.utils.parsedate_to_datetime(headers["date"])
                    self.assertTrue(headers["date"].endswith(" GMT"), headers["date"])
                    self.assertLess(abs(time.time() - date.timestamp()), 120, headers["date"])
                    self.assertEqual("nosniff", headers.get("x-content-type-options"))
                    self.assertEqual("same-origin", headers.get("referrer-policy"))
                    self.assertEqual("same-origin", headers.get("cross-origin-opener-policy"))
                    self.assertIn("camera=()", headers.get("permissions-policy", ""))
                    if guarded:
                        self.assertEqual(ADMIN_CSP, headers.get("content-security-policy"))
                        self.assertEqual("DENY", headers.get("x-frame-options"))
                        self.assertEqual("no-store", headers.get("cache-control"))
                    else:
                        self.assertEqual(OWNERS_CSP if tls else DEFAULT_CSP,
                                         headers.get("content-security-policy"))
                        self.assertEqual("SAMEORIGIN", headers.get("x-frame-options"))
                    self.assertEqual("max-age=86400" if tls else None,
                                     headers.get("strict-transport-security"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
