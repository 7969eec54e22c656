"""The laid-out site as a visitor finds it, over HTTP: a board copied under
a new name (no templates) names no folder of the server, the icon every
browser asks for is there, the public entrance says nothing of the admin
login, and the references a browser sends for characters Shift_JIS lacks
are kept while every other '&' stays text."""

import os
import re
import shutil
import unittest

import hostkit
from hostkit import BOARD


class SiteTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.site = hostkit.Site()
        cls.host = hostkit.Host(cls.site).start()

    @classmethod
    def tearDownClass(cls):
        cls.host.stop_cleanly_and_remove(cls.site)

    def test_a_board_without_templates_names_no_folder_above_the_document_root(self):
        bbs = os.path.join(self.site.www, "bbs")
        os.makedirs(os.path.join(bbs, "deep"))
        shutil.copy(os.path.join(bbs, "board.tvx"), os.path.join(bbs, "deep", "cafe.tvx"))
        status, _, page = self.host.get("/bbs/deep/cafe.tvx")
        self.assertEqual(200, status)
        self.assertIn(b"<!-- ERROR READ FILE \\bbs\\deep\\cafeHEAD.HTML -->", page)
        # Not the data folder, not the temporary folder, in either kind of
        # separator.
        for folder in [self.site.www, self.site.dir]:
            for form in [folder, folder.replace("/", "\\")]:
                self.assertNotIn(form.encode(), page)
        self.assertNotIn(os.path.basename(self.site.dir).encode(), page)
        # The laid-out boards have templates: no comment at all.
        for board in [BOARD, hostkit.OPEN_BOARD]:
            status, _, page = self.host.get(board)
            self.assertEqual(200, status)
            self.assertNotIn(b"ERROR READ FILE", page)
            self.assertIn(b'<meta name="viewport" content="width=device-width, initial-scale=1">',
                          page)

    def test_the_icon_is_served(self):
        status, headers, icon = self.host.get("/favicon.ico")
        self.assertEqual(200, status)
        self.assertEqual("image/x-icon", headers["content-type"])
        self.assertEqual(b"\x00\x00\x01\x00", icon[:4])  # an icon resource

    def test_the_entrance_says_nothing_of_the_admin_login(self):
        status, _, page = self.host.get("/")
        self.assertEqual(200, status)
        text = page.decode("utf-8")
        for word in ["admin-password", "password", "パスワード", "ユーザー名", "htpasswd"]:
            self.assertNotIn(word, text)
        for link in ["/bbs/board.tvx", "/bbs/open.tvx", "/admin/corkwarden.tvx"]:
            self.assertIn(f'href="{link}"', text)

    def test_references_posted_raw_are_kept_and_other_ampersands_are_text(self):
        # What a browser sends for 😀 and 〜 (percent-encoded "&#...;"), next
        # to what merely looks like a reference.
        body = (b"name=%26%23134071%3B&email=&subject=%26%23x1F600%3B&postitem=x&body=" +
                b"%26%23128512%3B+%26%2312316%3B+%26%230%3B+%26%23xD800%3B+%26%2312+"
                b"%26amp%3B+%26%2360%3Bb%26%2362%3B+%3Cb%3E")
        status, _, _ = self.host.request(
            "POST", BOARD, body=body,
            headers={"Content-Type": "application/x-www-form-urlencoded"}, source="127.0.5.1")
        self.assertEqual(302, status)
        posts = [p for p in self.host.board_posts() if b"&#x1F600;" in p]
        self.assertEqual(1, len(posts), posts)
        post = posts[0]
        self.assertIn(b"<B> \r\n &#x1F600; \r\n </B>", post)
        self.assertIn(b"<B> \r\n &#134071; \r\n </B>", post)
        self.assertIn(b"&#128512; &#12316; &amp;#0; &amp;#xD800; &amp;#12 &amp;amp; "
                      b"&#60;b&#62; &lt;b&gt;", post)
        self.assertIsNone(re.search(rb"<b>", post))


if __name__ == "__main__":
    unittest.main()
