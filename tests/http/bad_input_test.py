"""Bad requests against a real tvxhost, most of them sent byte for byte on a
raw socket: each gets a clear answer (a status and a page a person can
read), the server goes on serving, and the posts stored before are all
still there, byte for byte."""

import re
import unittest

import hostkit
from hostkit import ADMIN, BOARD

BODY_LIMIT = 4096
TIMEOUT = 2  # the server's read timeout, seconds
RAW_WAIT = 20  # how long a raw exchange waits for the server's answer

SEED = [
    ("投稿者一".encode("shift_jis"), "件名".encode("shift_jis"),
     "最初の投稿 & 100% + α".encode("shift_jis")),
    (b"Taro", b"ASCII only", b"plain <text> \"quoted\""),
    ("ｶﾅ".encode("shift_jis"), "表ソ".encode("shift_jis"),
     "予定表\r\nソース\n能力".encode("shift_jis")),
]


def status_of(response):
    match = re.match(rb"HTTP/1\.[01] (\d{3}) ", response)
    return int(match.group(1)) if match else None


def body_of(response):
    return response.partition(b"\r\n\r\n")[2]


def post_request(body, content_type=b"application/x-www-form-urlencoded", length=None,
                 target=BOARD.encode(), extra=b""):
    if length is None:
        length = len(body)
    return (b"POST " + target + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
            b"Content-Type: " + content_type + b"\r\nContent-Length: " + str(length).encode() +
            b"\r\n" + extra + b"\r\n" + body)


def get_request(target, extra=b""):
    return b"GET " + target + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extra + \
        b"\r\n"


def form(name, subject, body, postitem=b"post"):
    return b"name=" + name + b"&email=&subject=" + subject + b"&body=" + body + \
        b"&postitem=" + postitem


class BadInputTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.site = hostkit.Site()
        with open(cls.site.www + "/bbs/x.tvx", "w") as f:
            f.write("this is a text file, not a plug-in\n")
        with open(cls.site.www + "/bbs/empty.tvx", "w"):
            pass
        cls.host = hostkit.Host(cls.site, *hostkit.UNLIMITED_POSTS, "--body-limit",
                                str(BODY_LIMIT), "--timeout", str(TIMEOUT)).start()
        for name, subject, body in SEED:
            status, _, page = cls.host.post(BOARD, [("name", name), ("email", b""),
                                                    ("subject", subject), ("body", body),
                                                    ("postitem", b"post")])
            if status != 302:
                raise AssertionError(f"seeding the board: {status} {page!r}")
        cls.seeded = cls.host.board_posts()
        if len(cls.seeded) != len(SEED):
            raise AssertionError(f"seeding the board: {len(cls.seeded)} posts on it")

    @classmethod
    def tearDownClass(cls):
        cls.host.stop_cleanly_and_remove(cls.site)

    def setUp(self):
        self.posts_before = self.host.board_posts()

    def assert_still_serving(self, new_posts=0):
        """The server is alive and answers; every post of before is still on
        the board, byte for byte, and `new_posts` were added."""
        self.assertTrue(self.host.alive(), self.host.stderr_text()[-2000:])
        status, _, page = self.host.get("/index.html")
        self.assertEqual(200, status)
        posts = self.host.board_posts()
        for post in self.posts_before:
            self.assertIn(post, posts)
        for post in self.seeded:
            self.assertIn(post, posts)
        self.assertEqual(len(self.posts_before) + new_posts, len(posts))
        return posts

    def assert_clear_answer(self, response, statuses):
        """A status among `statuses`; an error comes with a page that says
        what happened."""
        self.assertTrue(response, "no answer at all")
        status = status_of(response)
        self.assertIn(status, statuses, response[:500])
        if status >= 400:
            page = body_of(response)
            self.assertIn(str(status).encode(), page, response[:500])
            self.assertRegex(page, rb"(?i)<title>\d{3} [A-Za-z ]+</title>")
        return status

    def test_body_over_the_limit(self):
        big = form(b"Big", b"big", b"x" * (BODY_LIMIT * 2))
        chunked = b"%x\r\n%s\r\n0\r\n\r\n" % (len(big), big)
        cases = [
            ("by Content-Length", post_request(big)),
            ("Content-Length announced, body not sent",
             post_request(b"", length=BODY_LIMIT * 100)),
            ("chunked", b"POST " + BOARD.encode() + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
             b"Content-Type: application/x-www-form-urlencoded\r\n"
             b"Transfer-Encoding: chunked\r\n\r\n" + chunked),
            ("to the admin page", post_request(big, target=ADMIN.encode(),
                                               extra=b"Authorization: " +
                                               self.site.admin_headers()["Authorization"].encode() +
                                               b"\r\n")),
        ]
        for label, request in cases:
            with self.subTest(label):
                response, _ = self.host.raw(request, timeout=RAW_WAIT)
                self.assert_clear_answer(response, {413})
                self.assertIn(b"Payload Too Large", body_of(response))
        self.assert_still_serving()

    def test_content_length_longer_than_the_body(self):
        # The rest never comes: the server gives up within its timeout and
        # says so, and stores nothing of the half body.
        body = form(b"Half", b"half", b"never stored")
        for label, request in [
                ("form post", post_request(body, length=len(body) + 100)),
                ("no body at all", post_request(b"", length=50)),
                ("multipart", post_request(b"--XYZ\r\nContent-Disposition: form-data; "
                                           b"name=\"postitem\"\r\n\r\nx\r\n",
                                           content_type=b"multipart/form-data; boundary=XYZ",
                                           length=500))]:
            with self.subTest(label):
                response, closed = self.host.raw(request, timeout=RAW_WAIT)
                self.assert_clear_answer(response, {400, 408})
                self.assertTrue(closed, "the connection was left open")
        self.assert_still_serving()

    def test_content_length_shorter_than_the_body(self):
        # The bytes past the announced length are no request of their own
        # that could post: they are refused or dropped, never stored.
        stray = form(b"Stray", b"stray", b"stray-body")
        body = b"postitem=&x=1"
        request = post_request(body + b"&" + stray, length=len(body))
        response, _ = self.host.raw(request, timeout=RAW_WAIT)
        self.assertEqual(302, status_of(response), response[:500])
        posts = self.assert_still_serving()
        self.assertNotIn(b"stray-body", b"".join(posts))

        # The tail shaped as a whole second request on a kept-alive
        # connection is a request like any other: it posts once.
        second = post_request(form(b"Second", b"s", b"second-request"))
        first = post_request(b"postitem=", extra=b"").replace(b"Connection: close\r\n", b"")
        response, _ = self.host.raw(first + second, timeout=RAW_WAIT)
        self.assertEqual([302, 302], [int(s) for s in re.findall(rb"HTTP/1\.1 (\d{3})", response)])
        self.posts_before = posts
        posts = self.assert_still_serving(new_posts=1)
        self.assertEqual(1, b"".join(posts).count(b"second-request"))

    def test_invalid_shift_jis_in_form_fields(self):
        # Lone lead bytes, bytes that start no character, a lead byte at the
        # very end: dropped, so the page stays Shift_JIS; whole characters
        # around them are kept.
        cases = [
            ("lone bytes", b"%FFA%80B%FDC", b"ABC"),
            ("lead byte before a line end", b"X%81%0AY", b"X<BR>\nY"),
            ("lead byte at the end", "表".encode("shift_jis").replace(b"\x95", b"%95") + b"%95",
             "表".encode("shift_jis")),
            ("sent raw, not escaped", b"Q\xff\xfeR", b"QR"),
        ]
        for label, sent, shown in cases:
            with self.subTest(label):
                marker = b"mark" + label.replace(" ", "").encode()
                request = post_request(form(b"Bad%81", b"s%FF", marker + sent))
                response, _ = self.host.raw(request, timeout=RAW_WAIT)
                self.assertEqual(302, status_of(response), response[:500])
                mine = [p for p in self.host.board_posts() if marker in p]
                self.assertEqual(1, len(mine))
                self.assertIn(b"<BLOCKQUOTE><TT> \r\n " + marker + shown + b" \r\n </TT>", mine[0])
                self.assertIn(b"<B> \r\n Bad \r\n </B>", mine[0])
                self.posts_before = self.assert_still_serving(new_posts=1)
        for page in self.host.board_pages():
            page.decode("cp932")  # raises on a byte that is no Shift_JIS

    def test_broken_escapes_and_invalid_bytes_in_query_strings(self):
        targets = [b"?row=%", b"?row=%2", b"?row=%zz", b"?row=%%41", b"?%", b"?row=1%",
                   b"?row=%FF%FE", b"?row=\xff\xfe", b"?row=%81", b"?row=-99999999999999999999",
                   b"?row=99999999999999999999", b"?&&&==&row=&="]
        for suffix in targets:
            with self.subTest(suffix):
                response, _ = self.host.raw(get_request(BOARD.encode() + suffix), timeout=RAW_WAIT)
                status = self.assert_clear_answer(response, {200, 400})
                if status == 200:
                    self.assertIn(b"Content-Type: text/html; Charset=Shift_JIS", response)
                    self.assertIn(b"</html>", body_of(response).lower())  # the footer came
        auth = b"Authorization: " + self.site.admin_headers()["Authorization"].encode() + b"\r\n"
        for suffix in [b"?cmd=%", b"?cmd=enum&name=TULVAN_%", b"?cmd=enum&name=%FF%FE",
                       b"?cmd=deleteitem&dbname=%zz&deleteitem=%", b"?cmd=deletedb&db=%2",
                       b"?cmd=enum&name=\xff\xfe"]:
            with self.subTest(suffix):
                response, _ = self.host.raw(get_request(ADMIN.encode() + suffix, auth),
                                            timeout=RAW_WAIT)
                self.assert_clear_answer(response, {200, 400})
        self.assert_still_serving()

    def test_broken_escapes_in_form_fields(self):
        cases = [b"100%", b"%", b"%4", b"%zz%", b"%%", b"a%2", b"%E3%81"]
        for sent in cases:
            with self.subTest(sent):
                marker = b"esc" + str(cases.index(sent)).encode() + b"-"
                request = post_request(form(b"N%", b"esc", marker + sent))
                response, _ = self.host.raw(request, timeout=RAW_WAIT)
                self.assertEqual(302, status_of(response), response[:500])
                mine = [p for p in self.host.board_posts() if marker in p]
                self.assertEqual(1, len(mine))
                self.posts_before = self.assert_still_serving(new_posts=1)
        for page in self.host.board_pages():
            page.decode("cp932")

    def test_nul_bytes(self):
        auth = b"Authorization: " + self.site.admin_headers()["Authorization"].encode() + b"\r\n"
        gets = [
            ("escaped in the path", get_request(b"/bbs/board.tvx%00.html"), {400, 404}),
            ("escaped at the path's end", get_request(b"/bbs/board.tvx%00"), {400, 404}),
            ("raw in the path", get_request(b"/bbs/board\x00.tvx"), {400, 404}),
            ("escaped in the query", get_request(b"/bbs/board.tvx?row=%00&x=%00"), {200, 400}),
            ("raw in the query", get_request(b"/bbs/board.tvx?row=1\x002"), {200, 400}),
            ("escaped in an admin query",
             get_request(b"/admin/corkwarden.tvx?cmd=enum%00&name=TULVAN_board.tvx%00", auth),
             {200, 400}),
        ]
        for label, request, statuses in gets:
            with self.subTest(label):
                response, _ = self.host.raw(request, timeout=RAW_WAIT)
                self.assert_clear_answer(response, statuses)
        self.assert_still_serving()

        # In a form body: the field ends at the NUL, as text does; the post
        # is stored with what came before it, or refused with a page.
        for label, body in [("escaped", b"nul-e%00after"), ("raw", b"nul-r\x00after")]:
            with self.subTest(label):
                sent = b"postitem=post&name=Nul&email=&subject=n&body=body-" + body
                response, _ = self.host.raw(post_request(sent), timeout=RAW_WAIT)
                status = self.assert_clear_answer(response, {302, 400})
                posts = self.assert_still_serving(new_posts=1 if status == 302 else 0)
                self.posts_before = posts
                if status == 302:
                    mine = [p for p in posts if body[:5] in p]
                    self.assertEqual(1, len(mine))
                    self.assertNotIn(b"after", mine[0])
                    self.assertNotIn(b"\x00", mine[0])
        # A NUL in a multipart part's header and value.
        multipart = (b"--XYZ\r\nContent-Disposition: form-data; name=\"cmd\x00\"\r\n\r\nen\x00um\r\n"
                     b"--XYZ--\r\n")
        response, _ = self.host.raw(post_request(multipart, target=ADMIN.encode(),
                                                 content_type=b"multipart/form-data; boundary=XYZ",
                                                 extra=auth), timeout=RAW_WAIT)
        self.assert_clear_answer(response, {200, 400})
        self.assert_still_serving()

    def test_ten_thousand_character_query_string(self):
        long_value = b"A" * 10000
        auth = b"Authorization: " + self.site.admin_headers()["Authorization"].encode() + b"\r\n"
        for label, request in [
                ("board, row", get_request(BOARD.encode() + b"?row=" + long_value)),
                ("board, other", get_request(BOARD.encode() + b"?x=" + long_value + b"&row=1")),
                ("board, escapes", get_request(BOARD.encode() + b"?row=" + b"%41" * 3334)),
                ("admin name", get_request(ADMIN.encode() + b"?cmd=enum&name=TULVAN_" +
                                           long_value, auth)),
                ("admin cmd", get_request(ADMIN.encode() + b"?cmd=" + long_value, auth)),
                ("admin dbname", get_request(ADMIN.encode() + b"?cmd=deleteitem&deleteitem=1&dbname="
                                             + long_value, auth)),
                ("post with a long query", post_request(
                    form(b"Q", b"q", b"long-query-post"),
                    target=BOARD.encode() + b"?" + long_value))]:
            with self.subTest(label):
                response, _ = self.host.raw(request, timeout=RAW_WAIT)
                status = self.assert_clear_answer(response, {200, 302, 414})
        # The post is stored when its address was taken, and only then.
        stored = 1 if status == 302 else 0
        posts = self.assert_still_serving(new_posts=stored)
        self.assertEqual(stored, b"".join(posts).count(b"long-query-post"))

    def test_path_traversal(self):
        secrets = [b"root:x:0:0", b"SQLite format", self.site.password.encode(), b"$2y$"]
        auth = b"Authorization: " + self.site.admin_headers()["Authorization"].encode() + b"\r\n"
        targets = [
            b"/../../../../etc/passwd", b"/bbs/../../../etc/passwd",
            b"/%2e%2e/%2e%2e/%2e%2e/etc/passwd", b"/%2E%2E/objectstore.db",
            b"/bbs/%2e%2e%2f%2e%2e%2fobjectstore.db", b"/bbs/..%2f..%2fadmin-password.txt",
            b"/..%2fadmin.htpasswd", b"/bbs%2f..%2f..%2fobjectstore.db",
            b"/bbs/..\\..\\objectstore.db", b"/bbs\\..\\..\\admin-password.txt",
            b"/%5c..%5c..%5cobjectstore.db", b"/..;/objectstore.db", b"//etc/passwd",
            b"/./../objectstore.db", b"/bbs/.%2e/.%2e/objectstore.db",
            b"/%252e%252e/objectstore.db", b"/bbs/....//....//objectstore.db",
            b"http://127.0.0.1/../objectstore.db", b"http://127.0.0.1/%2e%2e/admin.htpasswd",
            b"http://evil.example/../../etc/passwd", b"../objectstore.db", b"*",
            b"/bbs/../admin/../../admin-password.txt",
        ]
        for target in targets:
            for extra in (b"", auth):
                with self.subTest(target=target, auth=bool(extra)):
                    response, _ = self.host.raw(get_request(target, extra), timeout=RAW_WAIT)
                    self.assert_clear_answer(response, {400, 403, 404})
                    for secret in secrets:
                        self.assertNotIn(secret, response)
        # Ways round to the admin page still ask for the password.
        for target in [b"/bbs/../admin/corkwarden.tvx", b"/bbs/%2e%2e/admin/corkwarden.tvx",
                       b"/bbs%2f..%2fadmin/corkwarden.tvx", b"//admin/corkwarden.tvx",
                       b"/./admin/corkwarden.tvx", b"/ADMIN/../admin/corkwarden.tvx?cmd=enum",
                       b"/admin%2fcorkwarden.tvx", b"/%61dmin/corkwarden.tvx",
                       b"http://127.0.0.1/admin/corkwarden.tvx",
                       b"/admin/./corkwarden.tvx", b"/bbs/..\\admin\\corkwarden.tvx"]:
            with self.subTest(target=target):
                response, _ = self.host.raw(get_request(target), timeout=RAW_WAIT)
                self.assert_clear_answer(response, {400, 401, 403, 404})
                self.assertNotIn(b"TULVAN", response)
        self.assert_still_serving()

    def test_a_tvx_file_that_is_not_a_plug_in(self):
        for target in [b"/bbs/x.tvx", b"/bbs/x.tvx?row=1", b"/bbs/empty.tvx"]:
            for request in (get_request(target),
                            post_request(form(b"X", b"x", b"to-a-text-file"), target=target)):
                with self.subTest(request=request[:40]):
                    response, _ = self.host.raw(request, timeout=RAW_WAIT)
                    self.assert_clear_answer(response, {500})
                    self.assertNotIn(b"this is a text file", response)
        posts = self.assert_still_serving()
        self.assertNotIn(b"to-a-text-file", b"".join(posts))
        self.assertIn("not a loadable plug-in", self.host.stderr_text())

    def test_garbage_request_lines_and_headers(self):
        for request in [b"\r\n\r\n", b"GARBAGE\r\n\r\n", b"GET\r\n\r\n",
                        b"GET / HTTP/9.9\r\n\r\n",
                        b"GET /\x01\x02 HTTP/1.1\r\n\r\n",
                        b"POST /bbs/board.tvx HTTP/1.1\r\nContent-Length: -5\r\n\r\n",
                        b"POST /bbs/board.tvx HTTP/1.1\r\nContent-Length: 5\r\n"
                        b"Content-Length: 6\r\n\r\nhello!",
                        b"POST /bbs/board.tvx HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n",
                        b"POST /bbs/board.tvx HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                        b"zz\r\npostitem=1\r\n0\r\n\r\n"]:
            with self.subTest(request=request[:60]):
                response, closed = self.host.raw(request, timeout=RAW_WAIT, half_close=True)
                if response:
                    self.assert_clear_answer(response, {400, 404, 413, 501, 505})
                else:
                    self.assertTrue(closed)
        self.assert_still_serving()


if __name__ == "__main__":
    unittest.main(verbosity=2)
