"""The daily backup as the package runs it: corkwall-backup from the build
installed into a temporary DESTDIR, on a store of the test's own named by a
copy of the installed configuration file. Each run makes a backup, verifies
it, and only then deletes the oldest; a run that fails deletes nothing.

CORKWALL_BUILD_DIR names the build folder to install from (CTest sets it).
"""

import fcntl
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from packaging_test import build_dir, run  # noqa: E402

BACKUP_NAME = re.compile(r"^corkwall-\d{4}-\d{2}-\d{2}T\d{6}Z\.db$")


class BackupTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="corkwall-backup-")
        cls.root = os.path.join(cls.dir, "root")
        run(["cmake", "--install", build_dir(), "--prefix", "/usr"],
            env=dict(os.environ, DESTDIR=cls.root))
        cls.script = os.path.join(cls.root, "usr/lib/corkwall/corkwall-backup")
        cls.tvxstore = os.path.join(cls.root, "usr/bin/tvxstore")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def setUp(self):
        self.work = tempfile.mkdtemp(dir=self.dir)
        self.store = os.path.join(self.work, "state", "objectstore.db")
        self.backups = os.path.join(self.work, "backups")
        os.makedirs(os.path.join(self.work, "state", "www"))
        os.makedirs(self.backups)
        # The installed configuration, its folders moved into the scratch.
        with open(os.path.join(self.root, "etc/corkwall/tvxhost.conf")) as f:
            text = f.read()
        self.assertIn("\nstore /var/lib/corkwall/objectstore.db\n", text)
        self.config = os.path.join(self.work, "tvxhost.conf")
        with open(self.config, "w") as f:
            f.write(text.replace("/var/lib/corkwall", os.path.join(self.work, "state")))
        self.posts = 0

    def post(self):
        """One post to the board through the installed tvxcall and plug-in."""
        self.posts += 1
        run([os.path.join(self.root, "usr/bin/tvxcall"), "--store", self.store,
             "-s", "/bbs/board.tvx", "-r", os.path.join(self.work, "state", "www"),
             os.path.join(self.root, "usr/lib/corkwall/corkwall.tvx"),
             "-d", f"name=Taro&email=&subject=S{self.posts}&body=backup+{self.posts}"
                   "&postitem=Post"])

    def backup(self, *args, script=None, check=True):
        return run([script or self.script, *args], check=check)

    def kept(self):
        return sorted(name for name in os.listdir(self.backups) if BACKUP_NAME.match(name))

    def posts_in(self, store):
        exported = run([self.tvxstore, "--store", store, "export"]).stdout
        return len(exported.splitlines())

    def test_each_backup_is_verified_and_the_newest_kept(self):
        made = []
        for _ in range(3):
            self.post()
            result = self.backup("--keep", "2", "--config", self.config, self.backups)
            out = result.stdout.decode()
            self.assertIn("no problems", out)  # tvxstore verify's verdict
            match = re.search(r"^corkwall-backup: (\S+) made and verified; (\d+) backups", out,
                              re.M)
            self.assertIsNotNone(match, out)
            made.append(os.path.basename(match.group(1)))
            self.assertEqual(min(len(made), 2), int(match.group(2)))
        # The two made last, each holding the posts of its own moment.
        self.assertEqual(made[1:], self.kept())
        self.assertEqual(sorted(made), made, "names that do not sort as the backups were made")
        self.assertEqual([2, 3], [self.posts_in(os.path.join(self.backups, name))
                                  for name in self.kept()])
        self.assertEqual([], [name for name in os.listdir(self.backups)
                              if name not in made and name != ".lock"])

    def test_a_backup_failing_verify_deletes_nothing(self):
        self.post()
        self.backup("--keep", "1", "--config", self.config, self.backups)
        good = self.kept()
        self.assertEqual(1, len(good))
        # The same script beside a tvxstore whose backups come out damaged:
        # the file's header overwritten once the backup is in place.
        tree = os.path.join(self.work, "damaging")
        os.makedirs(os.path.join(tree, "usr/lib/corkwall"))
        os.makedirs(os.path.join(tree, "usr/bin"))
        script = os.path.join(tree, "usr/lib/corkwall/corkwall-backup")
        shutil.copy2(self.script, script)
        damaging = os.path.join(tree, "usr/bin/tvxstore")
        with open(damaging, "w") as f:
            f.write(f"""#!/bin/sh
"{self.tvxstore}" "$@" || exit $?
if [ "$1" = backup ]; then
  printf 'not a store any more' | dd of="$2" bs=1 seek=0 conv=notrunc 2>/dev/null
fi
""")
        os.chmod(damaging, 0o755)
        self.post()
        result = self.backup("--keep", "1", "--config", self.config, self.backups,
                             script=script, check=False)
        self.assertEqual(1, result.returncode, result.stderr)
        self.assertIn(b"failed verify", result.stderr)
        self.assertEqual(good, self.kept())
        failed = [name for name in os.listdir(self.backups) if name.endswith(".db.failed")]
        self.assertEqual(1, len(failed), os.listdir(self.backups))
        # The next sound run replaces the old backup and leaves the failed one.
        self.backup("--keep", "1", "--config", self.config, self.backups)
        self.assertEqual(1, len(self.kept()))
        self.assertNotEqual(good, self.kept())
        self.assertEqual(2, self.posts_in(os.path.join(self.backups, self.kept()[0])))
        self.assertIn(failed[0], os.listdir(self.backups))

    def test_refusals_leave_the_backups_alone(self):
        self.post()
        self.backup("--config", self.config, self.backups)
        before = sorted(os.listdir(self.backups))
        no_store_line = os.path.join(self.work, "no-store.conf")
        with open(no_store_line, "w") as f:
            f.write("# store /elsewhere.db\nroot /srv/www\nstore-x /wrong.db\n")
        missing = os.path.join(self.work, "missing")
        cases = [
            ("keep 0", ["--keep", "0", "--config", self.config, self.backups], 2, "--keep wants"),
            ("keep not a number", ["--keep", "two", "--config", self.config, self.backups], 2,
             "--keep wants"),
            ("no folder", ["--config", self.config], 2, "usage:"),
            ("unreadable configuration", ["--config", missing + ".conf", self.backups], 1,
             "cannot read"),
            ("no store line", ["--config", no_store_line, self.backups], 1, "no store line"),
            ("no backup folder", ["--config", self.config, missing], 1, "does not exist"),
            ("store missing", ["--store", missing + ".db", self.backups], 1,
             "backup into"),
        ]
        for name, args, status, message in cases:
            with self.subTest(name):
                result = self.backup(*args, check=False)
                self.assertEqual(status, result.returncode, result.stderr)
                self.assertIn(message.encode(), result.stderr)
                self.assertEqual(before, sorted(os.listdir(self.backups)))
        self.assertFalse(os.path.exists(missing + ".db"), "a missing store was made")

    def test_one_run_at_a_time_and_leftovers_removed(self):
        self.post()
        leftover = os.path.join(self.backups, "corkwall-2026-01-01T000000Z.db.partial-Ab12Cd")
        with open(leftover, "wb") as f:
            f.write(b"half a backup")
        with open(os.path.join(self.backups, ".lock"), "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            result = self.backup("--config", self.config, self.backups, check=False)
            self.assertEqual(1, result.returncode, result.stderr)
            self.assertIn(b"another backup", result.stderr)
            self.assertEqual([], self.kept())
            self.assertTrue(os.path.exists(leftover))
        # The store line may be given with blanks around it, as tvxhost takes it.
        with open(self.config) as f:
            text = f.read()
        with open(self.config, "w") as f:
            f.write(re.sub(r"^store (.*)$", r"  store\t \1 \t", text, flags=re.M))
        self.backup("--config", self.config, self.backups)
        self.assertEqual(1, len(self.kept()))
        self.assertFalse(os.path.exists(leftover))


if __name__ == "__main__":
    unittest.main(verbosity=2)
