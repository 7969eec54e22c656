"""Real curl against a real tvxhost: form posts with Shift_JIS text reach the
board byte for byte, and the admin page reads the multipart forms that curl -F
makes (a listing, a deletion) as it reads its own links."""

import os
import subprocess
import unittest

import hostkit
from hostkit import ADMIN, BOARD, BOARD_DB

CURL_TIMEOUT = 30


class RealClientsTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.curl_path = hostkit.require_tool("curl")
        cls.site = hostkit.Site()
        # A 200 KB post (600 KB as curl encodes it) is one of the bodies
        # tried: the limit raised as the README tells an owner to.
        cls.host = hostkit.Host(cls.site, *hostkit.UNLIMITED_POSTS,
                                "--body-limit", "1048576").start()
        cls.base = f"http://127.0.0.1:{cls.host.port}"

    @classmethod
    def tearDownClass(cls):
        cls.host.stop_cleanly_and_remove(cls.site)

    def curl(self, *args):
        """Runs curl; returns (status code, headers and body as bytes)."""
        command = [self.curl_path, "-s", "-S", "-i", "--max-time", str(CURL_TIMEOUT)]
        command += list(args)
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                timeout=CURL_TIMEOUT + 10)
        self.assertEqual(0, result.returncode, result.stderr.decode(errors="replace"))
        head, _, body = result.stdout.partition(b"\r\n\r\n")
        while head.startswith(b"HTTP/1.1 100 "):  # the interim answer to Expect
            head, _, body = body.partition(b"\r\n\r\n")
        status = int(head.split(b" ", 2)[1])
        return status, head, body

    def admin_auth(self):
        return ["-u", "admin:" + self.site.password]

    def curl_post(self, fields, board=BOARD):
        """Posts through curl --data-urlencode, one field at a time, with the
        field's raw Shift_JIS bytes on curl's command line."""
        args = []
        for name, value in fields:
            args += ["--data-urlencode", name + b"=" + value]
        args.append((self.base + board).encode())
        return self.curl(*args)

    def post_and_find_id(self, name, subject, body):
        status, head, _ = self.curl_post([(b"name", name), (b"email", b""), (b"subject", subject),
                                          (b"body", body), (b"postitem", b"post")])
        self.assertEqual(302, status, head)
        for oid, text in hostkit.listing_lines(self.host.admin_listing()):
            if body in text:
                return oid
        self.fail(f"post {body!r} is not in the admin listing")

    def test_form_post_keeps_shift_jis_bytes_exactly(self):
        # Trail bytes 0x5C ("\") and 0x7C ("|") and a half-width kana among
        # the characters, and the characters a form or a page gives a
        # meaning: & + % = ? < > ".
        cases = [
            ("kanji with backslash trail bytes",
             "表示ソフト".encode("shift_jis"), "能力".encode("shift_jis"),
             "予定表ソース 十 & 100% = a+b ?".encode("shift_jis")),
            ("half-width kana and markup",
             "ｶﾀｶﾅ".encode("shift_jis"), b"<b>&amp;</b>",
             "\"引用\" <script>x</script>\r\n二行目\n三行目".encode("shift_jis")),
            ("pipe trail byte and escapes as text",
             "ポ".encode("shift_jis") + b"|", b"%41%2B",
             "%26%25%2B 申請 ".encode("shift_jis")),
        ]
        for label, name, subject, body in cases:
            with self.subTest(label):
                status, head, _ = self.curl_post([(b"name", name), (b"email", b""),
                                                  (b"subject", subject), (b"body", body),
                                                  (b"postitem", b"post")])
                self.assertEqual(302, status, head)
                self.assertIn(b"\r\nLocation: " + BOARD.encode() + b"\r\n", head + b"\r\n")
                pattern = hostkit.post_pattern(name, subject, body)
                matches = [p for p in self.host.board_posts() if pattern.fullmatch(p)]
                self.assertEqual(1, len(matches), f"{body!r} not on the board as sent")

    def test_curl_follows_the_redirect_to_the_page_with_the_post(self):
        body = "リダイレクト後".encode("shift_jis")
        status, head, page = self.curl_post([(b"name", b"Taro"), (b"email", b""),
                                             (b"subject", b"Hi"), (b"body", body),
                                             (b"postitem", b"post")])
        self.assertEqual(302, status)
        status, head, page = self.curl("-L", "--data-urlencode", b"name=Jiro",
                                       "--data-urlencode", b"subject=Re",
                                       "--data-urlencode", b"body=" + body + b"2",
                                       "-d", "email=&postitem=post", self.base + BOARD)
        # curl -i -L prints the 302 first, then the page it was led to.
        self.assertIn(b"Content-Type: text/html; Charset=Shift_JIS", page)
        self.assertIn(b"<BLOCKQUOTE><TT> \r\n " + body + b"2 \r\n </TT>", page)
        self.assertIn(b"<BLOCKQUOTE><TT> \r\n " + body + b" \r\n </TT>", page)

    def test_bodies_framed_the_ways_curl_frames_them(self):
        # A chunked body, a body sent after "100 Continue", and a body of
        # 200 KB: each posts once, whole.
        long_body = "長い本文、".encode("shift_jis") * 20000 + b"long-tail"
        cases = [
            ("chunked", ["-H", "Transfer-Encoding: chunked"], b"chunked-body"),
            ("expect 100-continue", ["-H", "Expect: 100-continue"], b"expect-body"),
            ("200 KB", [], long_body),
        ]
        for label, extra, body in cases:
            with self.subTest(label):
                # From a file: a command line argument holds 128 KB at most.
                path = os.path.join(self.site.dir, "body.txt")
                with open(path, "wb") as f:
                    f.write(body)
                status, head, _ = self.curl(*extra, "--data-urlencode", "body@" + path,
                                            "-d", f"name={label[:4]}&email=&subject=s&postitem=1",
                                            self.base + BOARD)
                self.assertEqual(302, status, head)
                posts = [p for p in self.host.board_posts()
                         if b"<TT> \r\n " + body + b" \r\n </TT>" in p]
                self.assertEqual(1, len(posts))

    def test_multipart_post_to_the_board_keeps_its_fields(self):
        body = "マルチパートの本文 & 1+1=2 100%".encode("shift_jis")
        subject = "件名".encode("shift_jis")
        status, head, _ = self.curl(
            b"-F", b"name=Mp", b"-F", b"email=mp@example.com", b"-F", b"subject=" + subject,
            b"-F", b"body=" + body, b"-F", b"postitem=post", (self.base + BOARD).encode())
        self.assertEqual(302, status, head)
        escaped = body.replace(b"&", b"&amp;")
        posts = [p for p in self.host.board_posts() if b"<TT> \r\n " + escaped + b" \r\n </TT>" in p]
        self.assertEqual(1, len(posts), "the multipart post is not on the board whole")
        self.assertIn(subject, posts[0])
        self.assertIn(b"mailto:mp@example.com", posts[0])

    def test_multipart_enum_gives_the_board_listing(self):
        body = "マルチパート一覧".encode("shift_jis")
        self.post_and_find_id(b"Hanako", b"mp", body)
        status, head, page = self.curl(*self.admin_auth(), "-F", "cmd=enum",
                                       "-F", "name=" + BOARD_DB, self.base + ADMIN)
        self.assertEqual(200, status, head)
        self.assertNotIn(b"<td>Database name</td>", page, "the catalogue came back")
        lines = hostkit.listing_lines(page)
        self.assertTrue(any(body in text for _, text in lines), page[:2000])
        # The same listing as the admin page's own link shows.
        self.assertEqual(lines, hostkit.listing_lines(self.host.admin_listing()))

    def test_multipart_deleteitem_deletes_the_post(self):
        keep = "残す投稿".encode("shift_jis")
        gone = "消す投稿".encode("shift_jis")
        keep_id = self.post_and_find_id(b"Keep", b"k", keep)
        gone_id = self.post_and_find_id(b"Gone", b"g", gone)
        status, head, page = self.curl(*self.admin_auth(), "-F", "cmd=deleteitem",
                                       "-F", "dbname=" + BOARD_DB,
                                       "-F", f"deleteitem={gone_id}",
                                       "-F", "name=" + BOARD_DB, self.base + ADMIN)
        self.assertEqual(200, status, head)
        self.assertNotIn(b"CeDeleteRecord was fail", page)
        self.assertNotIn(b"Open database Error", page)
        ids = [oid for oid, _ in hostkit.listing_lines(page)]
        self.assertIn(keep_id, ids, "the listing after the deletion lost another post")
        self.assertNotIn(gone_id, ids)
        # Gone from the store for everybody: the listing and the board.
        ids = [oid for oid, _ in hostkit.listing_lines(self.host.admin_listing())]
        self.assertNotIn(gone_id, ids)
        self.assertIn(keep_id, ids)
        posts = b"".join(self.host.board_posts())
        self.assertNotIn(gone, posts)
        self.assertIn(keep, posts)

    def test_multipart_deletedb_of_a_board_that_is_not_there(self):
        # A database identifier that names nothing: refused with a page, and
        # the board is untouched.
        before = self.host.board_posts()
        status, head, page = self.curl(*self.admin_auth(), "-F", "cmd=deletedb",
                                       "-F", "db=999999", self.base + ADMIN)
        self.assertEqual(200, status, head)
        self.assertIn(b"CeOidGetInfo failed with error.", page)
        self.assertEqual(before, self.host.board_posts())

    def test_admin_without_credentials_is_refused(self):
        for args in (["-F", "cmd=enum", "-F", "name=" + BOARD_DB],
                     ["-u", "admin:wrong", "-F", "cmd=enum", "-F", "name=" + BOARD_DB],
                     []):
            with self.subTest(args=args):
                status, head, page = self.curl(*args, self.base + ADMIN)
                self.assertEqual(401, status)
                self.assertIn(b"WWW-Authenticate: Basic", head)
                self.assertNotIn(b"TULVAN", page)


if __name__ == "__main__":
    unittest.main(verbosity=2)
