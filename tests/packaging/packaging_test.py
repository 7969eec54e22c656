"""What an owner installs: `make install` into a DESTDIR and the Debian
package, each run from its installed files with a tvxhost of the test's own
on loopback.

CORKWALL_BUILD_DIR names the build folder to install from (CTest sets it);
the package is made from it with cpack. TEST_LABEL picks one half:
"install" or "deb".
"""

import base64
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import types
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "http"))
import hostkit  # noqa: E402
from hostkit import ADMIN, BOARD, OPEN_BOARD  # noqa: E402

COMMAND_TIMEOUT = 240


def run(args, env=None, check=True, timeout=COMMAND_TIMEOUT):
    result = subprocess.run(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            timeout=timeout)
    if check and result.returncode != 0:
        raise AssertionError(f"{args} exited {result.returncode}:\n"
                             f"{result.stdout.decode(errors='replace')}"
                             f"{result.stderr.decode(errors='replace')}")
    return result


def build_dir():
    path = os.environ.get("CORKWALL_BUILD_DIR", "")
    if not os.path.isfile(os.path.join(path, "CMakeCache.txt")):
        raise RuntimeError("CORKWALL_BUILD_DIR is not a build folder: run this through ctest")
    return path


def unit_settings(text):
    """A systemd unit's settings: {key: [value, ...]}, lines continued with a
    backslash joined, comments skipped."""
    settings = {}
    for line in text.replace("\\\n", " ").splitlines():
        if "=" in line and not line.startswith(("#", ";")):
            key, value = line.split("=", 1)
            settings.setdefault(key, []).append(" ".join(value.split()))
    return settings


def build_setting(name):
    """A setting of the build's CMakeCache.txt ("" when absent)."""
    with open(os.path.join(build_dir(), "CMakeCache.txt")) as f:
        match = re.search(rf"^{name}:\w+=(.*)$", f.read(), re.M)
    return match.group(1) if match else ""


def runpath(binary):
    out = run(["readelf", "-d", binary]).stdout.decode()
    match = re.search(r"\((?:RUNPATH|RPATH)\)\s+Library r(?:un)?path: \[(.*)\]", out)
    return match.group(1) if match else None


class InstalledHost(hostkit.Host):
    """tvxhost from an installed tree, started with the given arguments."""

    def __init__(self, tvxhost, scratch, *args):
        site = types.SimpleNamespace(dir=scratch, tvxhost=tvxhost)
        super().__init__(site)
        self.args = list(args)

    def command(self):
        return [self.site.tvxhost] + self.args


class ServingChecks:
    """What every installed tree must do once laid out: take a post and show
    it, serve the open board's Shift_JIS templates, and keep the admin page
    behind the generated login."""

    def check_serves_a_board(self, host, password):
        body = "設置の確認 " + str(time.time())
        status, headers, _ = host.post(BOARD, [("name", "管理人"), ("email", ""),
                                                ("subject", "installed"), ("body", body),
                                                ("postitem", "post")])
        self.assertEqual(302, status)
        pattern = hostkit.post_pattern("管理人".encode("shift_jis"), b"installed",
                                       body.encode("shift_jis"))
        posts = host.board_posts(BOARD)
        self.assertEqual(1, len(posts), posts)
        self.assertRegex(posts[0], pattern)

        status, _, page = host.get(OPEN_BOARD)
        self.assertEqual(200, status)
        # The open board's header, laid out in Shift_JIS, with its delete buttons.
        self.assertIn("投稿".encode("shift_jis"), page)

        status, _, _ = host.get(ADMIN)
        self.assertEqual(401, status)
        token = base64.b64encode(f"admin:{password}".encode()).decode()
        status, _, page = host.get(ADMIN, headers={"Authorization": "Basic " + token})
        self.assertEqual(200, status, page[:300])
        self.assertIn(b"TULVAN_board.tvx", page)

    def setup_site(self, setup_script, state, credentials):
        result = run([setup_script, state, credentials])
        password_file = os.path.join(credentials, "admin-password")
        self.assertIn(password_file.encode(), result.stdout)
        self.assertEqual(0o600, os.stat(password_file).st_mode & 0o777)
        with open(password_file) as f:
            password = f.read().strip()
        with open(os.path.join(credentials, "admin.htpasswd")) as f:
            self.assertTrue(f.read().startswith("admin:$6$"))
        # A fresh site gives both boards templates; the entrance names no login.
        bbs = os.path.join(state, "www", "bbs")
        for name in ["boardHEAD.HTML", "boardFOOT.HTML", "openHEAD.HTML", "openFOOT.HTML"]:
            self.assertTrue(os.path.isfile(os.path.join(bbs, name)), name)
        with open(os.path.join(state, "www", "index.html"), "rb") as f:
            entrance = f.read()
        for word in [b"admin-password", b"password", "パスワード".encode(), "ユーザー名".encode()]:
            self.assertNotIn(word, entrance)
        self.assertTrue(os.path.isfile(os.path.join(state, "www", "favicon.ico")))
        # A second run keeps the login and the owner's pages, and a board
        # laid out without templates keeps its look.
        os.remove(os.path.join(bbs, "boardHEAD.HTML"))
        os.remove(os.path.join(bbs, "boardFOOT.HTML"))
        with open(os.path.join(state, "www", "index.html"), "a") as f:
            f.write("<!-- the owner's -->\n")
        result = run([setup_script, state, credentials])
        self.assertFalse(os.path.exists(os.path.join(bbs, "boardHEAD.HTML")))
        self.assertFalse(os.path.exists(os.path.join(bbs, "boardFOOT.HTML")))
        self.assertNotIn(b"password", result.stdout)
        with open(password_file) as f:
            self.assertEqual(password, f.read().strip())
        with open(os.path.join(state, "www", "index.html")) as f:
            self.assertIn("the owner's", f.read())
        return password


@unittest.skipUnless(os.environ.get("TEST_LABEL", "install") == "install", "the deb half")
class MakeInstallTest(unittest.TestCase, ServingChecks):

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="corkwall-install-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def install(self, destdir, prefix):
        env = dict(os.environ, DESTDIR=destdir)
        return run(["cmake", "--install", build_dir(), "--prefix", prefix], env=env)

    def test_installed_tree_serves_a_board(self):
        destdir = os.path.join(self.dir, "root")
        self.install(destdir, "/usr/local")
        top = destdir + "/usr/local"
        for path in ["bin/tvxhost", "bin/tvxcall", "bin/tvxstore", "lib/corkwall/corkwall.tvx",
                     "lib/corkwall/corkwarden.tvx", "lib/corkwall/libceplatform.so",
                     "lib/corkwall/corkwall-setup", "share/corkwall/www/index.html",
                     "share/corkwall/www/style.css", "share/corkwall/www/favicon.ico",
                     "share/corkwall/www/bbs/openHEAD.HTML",
                     "share/corkwall/www/bbs/openFOOT.HTML", "share/corkwall/www/bbs/boardHEAD.HTML",
                     "share/corkwall/www/bbs/boardFOOT.HTML", "share/man/man1/tvxhost.1.gz",
                     "share/man/man1/tvxcall.1.gz", "share/man/man1/tvxstore.1.gz",
                     "etc/corkwall/tvxhost.conf",
                     "etc/logrotate.d/corkwall", "lib/systemd/system/corkwall.service",
                     "lib/corkwall/corkwall-backup", "lib/systemd/system/corkwall-backup.service",
                     "lib/systemd/system/corkwall-backup.timer",
                     "share/doc/corkwall/copyright", "lib/systemd/system/corkwall.socket"]:
            self.assertTrue(os.path.isfile(os.path.join(top, path)), path)
        # Nothing lands outside the prefix.
        self.assertEqual(["usr"], os.listdir(destdir))

        # The programs find the installed platform library, not the build's.
        for program in ["tvxhost", "tvxcall", "tvxstore"]:
            self.assertEqual("$ORIGIN/../lib/corkwall", runpath(f"{top}/bin/{program}"))
        ldd = run(["ldd", f"{top}/bin/tvxhost"]).stdout.decode()
        self.assertRegex(ldd, r"libceplatform\.so => " + re.escape(top) + r"/bin/\.\./lib/corkwall/")

        with open(f"{top}/lib/systemd/system/corkwall.service") as f:
            unit = f.read()
        self.assertIn("ExecStart=/usr/local/bin/tvxhost --config /usr/local/etc/corkwall/tvxhost.conf\n",
                      unit)
        with open(f"{top}/lib/systemd/system/corkwall-backup.service") as f:
            backup = unit_settings(f.read())
        self.assertEqual(["/usr/local/lib/corkwall/corkwall-backup --keep 14 "
                          "--config /usr/local/etc/corkwall/tvxhost.conf /var/backups/corkwall"],
                         backup["ExecStart"])

        state = os.path.join(self.dir, "state")
        credentials = os.path.join(self.dir, "credentials")
        password = self.setup_site(f"{top}/lib/corkwall/corkwall-setup", state, credentials)
        # The plug-ins on the site are the installed ones.
        with open(f"{top}/lib/corkwall/corkwall.tvx", "rb") as a, \
                open(f"{state}/www/bbs/board.tvx", "rb") as b:
            self.assertEqual(a.read(), b.read())
        host = InstalledHost(f"{top}/bin/tvxhost", self.dir, "--listen", "127.0.0.1:0",
                             "--root", f"{state}/www", "--store", f"{state}/objectstore.db",
                             "--access-log", f"{state}/access.log",
                             "--auth", f"/admin={credentials}/admin.htpasswd").start()
        try:
            self.check_serves_a_board(host, password)
        finally:
            self.assertEqual(0, host.stop(), host.stderr_text())
        # The installed store tool reads what the installed server wrote.
        verify = run([f"{top}/bin/tvxstore", "--store", f"{state}/objectstore.db", "verify"])
        self.assertIn(b"no problems", verify.stdout)
        listed = run([f"{top}/bin/tvxstore", "--store", f"{state}/objectstore.db", "list"])
        self.assertIn(b"TULVAN_", listed.stdout)

    def test_prefix_usr_puts_system_files_in_their_places(self):
        destdir = os.path.join(self.dir, "root")
        self.install(destdir, "/usr")
        self.assertEqual(sorted(["usr", "etc", "lib"]), sorted(os.listdir(destdir)))
        with open(f"{destdir}/lib/systemd/system/corkwall.service") as f:
            self.assertIn("ExecStart=/usr/bin/tvxhost --config /etc/corkwall/tvxhost.conf\n",
                          f.read())
        self.assertTrue(os.path.isfile(f"{destdir}/etc/logrotate.d/corkwall"))

    def test_reinstall_keeps_an_edited_configuration(self):
        destdir = os.path.join(self.dir, "root")
        self.install(destdir, "/usr")
        conf = f"{destdir}/etc/corkwall/tvxhost.conf"
        with open(conf) as f:
            shipped = f.read()
        # Unchanged: replaced without a copy beside it.
        self.install(destdir, "/usr")
        self.assertFalse(os.path.exists(conf + ".new"))
        with open(conf, "a") as f:
            f.write("threads 2\n")
        result = self.install(destdir, "/usr")
        with open(conf) as f:
            self.assertTrue(f.read().endswith("threads 2\n"))
        with open(conf + ".new") as f:
            self.assertEqual(shipped, f.read())
        self.assertIn(b"tvxhost.conf.new", result.stdout)


@unittest.skipUnless(os.environ.get("TEST_LABEL") == "deb", "the install half")
class DebianPackageTest(unittest.TestCase, ServingChecks):

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="corkwall-deb-")
        build = build_dir()
        out = os.path.join(cls.dir, "out")
        run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-G", "DEB",
             "-B", out])
        debs = [name for name in os.listdir(out) if name.endswith(".deb")]
        if len(debs) != 1:
            raise AssertionError(f"cpack made {debs}")
        cls.deb = os.path.join(out, debs[0])
        cls.root = os.path.join(cls.dir, "root")
        run(["dpkg-deb", "-x", cls.deb, cls.root])
        cls.control = os.path.join(cls.dir, "control")
        run(["dpkg-deb", "-e", cls.deb, cls.control])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def field(self, name):
        return run(["dpkg-deb", "-f", self.deb, name]).stdout.decode().strip()

    def test_control_file(self):
        arch = run(["dpkg", "--print-architecture"]).stdout.decode().strip()
        version = self.field("Version")
        self.assertEqual(f"corkwall_{version}_{arch}.deb", os.path.basename(self.deb))
        self.assertEqual(arch, self.field("Architecture"))
        depends = [d.strip() for d in self.field("Depends").split(",")]
        names = {d.split()[0] for d in depends}
        # From dpkg-shlibdeps, with versions; and what the scripts need.
        for library in ["libc6", "libsqlite3-0", "libssl3", "libcrypt1", "libstdc++6"]:
            self.assertIn(library, names, depends)
        self.assertTrue(any(re.match(r"libc6 \(>= [\d.]+\)", d) for d in depends), depends)
        self.assertTrue({"adduser", "openssl"} <= names, depends)
        with open(os.path.join(self.control, "conffiles")) as f:
            conffiles = f.read().split()
        self.assertEqual(["/etc/corkwall/tvxhost.conf", "/etc/logrotate.d/corkwall"],
                         sorted(conffiles))
        for path in conffiles:
            self.assertTrue(os.path.isfile(self.root + path), path)
        for script in ["postinst", "prerm", "postrm"]:
            path = os.path.join(self.control, script)
            self.assertTrue(os.access(path, os.X_OK), script)
            run(["sh", "-n", path])
        # Nothing under /usr/local, and no file of the build tree.
        listing = run(["dpkg-deb", "-c", self.deb]).stdout.decode()
        self.assertNotIn("./usr/local", listing)
        self.assertNotIn("_test", listing)
        # The store tool and its page, and it runs from the package's own library.
        for path in ["./usr/bin/tvxstore", "./usr/share/man/man1/tvxstore.1.gz"]:
            self.assertIn(path, listing)
        help_text = run([os.path.join(self.root, "usr/bin/tvxstore"), "--help"]).stdout
        self.assertIn(b"backup DEST", help_text)

    def test_unit_matches_the_package(self):
        unit_path = os.path.join(self.root, "lib/systemd/system/corkwall.service")
        with open(unit_path) as f:
            unit = f.read()
        settings = {}
        for line in unit.splitlines():
            if "=" in line and not line.startswith("#"):
                key, value = line.split("=", 1)
                settings.setdefault(key, []).append(value)
        # Every program the unit runs is in the package.
        for key in ["ExecStartPre", "ExecStart"]:
            program = settings[key][0].split()[0]
            self.assertTrue(os.access(self.root + program, os.X_OK), program)
        self.assertIn("--check", settings["ExecStartPre"][0])
        conf_path = settings["ExecStart"][0].split("--config ")[1].split()[0]
        with open(self.root + conf_path) as f:
            conf = dict(line.split(None, 1) for line in f.read().splitlines()
                        if line.strip() and not line.startswith("#"))
        # The configuration's files lie in the folders systemd makes for the unit.
        state = "/var/lib/" + settings["StateDirectory"][0]
        logs = "/var/log/" + settings["LogsDirectory"][0]
        self.assertTrue(conf["root"].startswith(state + "/"), conf)
        self.assertTrue(conf["store"].startswith(state + "/"), conf)
        self.assertTrue(conf["access-log"].startswith(logs + "/"), conf)
        # logrotate rotates that log and reloads the unit, which sends SIGHUP.
        with open(os.path.join(self.root, "etc/logrotate.d/corkwall")) as f:
            rotate = f.read()
        glob = rotate.split("{")[0].split()[-1]
        self.assertEqual(os.path.dirname(glob), os.path.dirname(conf["access-log"]))
        self.assertTrue(conf["access-log"].endswith(glob.rsplit("*", 1)[1]))
        self.assertIn("systemctl reload corkwall.service", rotate)
        self.assertEqual(["/bin/kill -HUP $MAINPID"], settings["ExecReload"])

        # The service is told when tvxhost listens and takes its socket from
        # the socket unit, on the address of the configuration.
        self.assertEqual(["notify"], settings["Type"])
        self.assertEqual(["all"], settings["NotifyAccess"])
        self.assertTrue(settings["WatchdogSec"])
        with open(os.path.join(self.root, "lib/systemd/system/corkwall.socket")) as f:
            socket_unit = f.read()
        self.assertIn(f"\nListenStream={conf['listen']}\n", socket_unit)
        self.assertIn("\nFileDescriptorName=http\n", socket_unit)
        self.assertIn("corkwall.socket", settings["Wants"][0])
        self.assertTrue(conf["metrics-listen"].startswith("127.0.0.1:"), conf)

        analyze = shutil.which("systemd-analyze")
        if analyze is None:
            self.skipTest("systemd-analyze is not installed")
        # Every unit of the package. Offline, verify wants the programs where
        # the units name them: copies of the units point them into the
        # extracted tree.
        unit_dir = os.path.join(self.root, "lib/systemd/system")
        copy_dir = os.path.join(self.dir, "unit")
        os.makedirs(copy_dir, exist_ok=True)
        copies = []
        for name in sorted(os.listdir(unit_dir)):
            with open(os.path.join(unit_dir, name)) as f:
                text = f.read()
            for folder in ["/usr/bin/", "/usr/lib/corkwall/"]:
                text = text.replace(folder, self.root + folder)
            copies.append(os.path.join(copy_dir, name))
            with open(copies[-1], "w") as f:
                f.write(text)
        self.assertLessEqual({"corkwall.service", "corkwall.socket", "corkwall-backup.service",
                              "corkwall-backup.timer"}, set(os.listdir(copy_dir)))
        result = run([analyze, "verify", "--man=no"] + copies, check=False)
        # verify reports a setting it cannot parse but still exits 0.
        self.assertEqual((0, b""), (result.returncode, result.stderr + result.stdout))

    def test_backup_timer_runs_the_packaged_backup(self):
        unit_dir = os.path.join(self.root, "lib/systemd/system")
        with open(os.path.join(unit_dir, "corkwall-backup.timer")) as f:
            timer = unit_settings(f.read())
        with open(os.path.join(unit_dir, "corkwall-backup.service")) as f:
            backup = unit_settings(f.read())
        with open(os.path.join(unit_dir, "corkwall.service")) as f:
            server = unit_settings(f.read())
        # The timer starts the service of its own name (systemd-analyze
        # verify finds it), which runs the package's script on the server's
        # configuration; the backups go where the service may write.
        self.assertNotIn("Unit", timer)
        words = backup["ExecStart"][0].split()
        self.assertTrue(os.access(self.root + words[0], os.X_OK), words[0])
        config = words[words.index("--config") + 1]
        self.assertEqual(server["ExecStart"][0].split("--config ")[1].split()[0], config)
        self.assertTrue(os.path.isfile(self.root + config), config)
        self.assertEqual("/var/backups/corkwall", words[-1])
        self.assertEqual([words[-1]], backup["ReadWritePaths"])
        # As the server's user, with its store's folder.
        for key in ["User", "Group", "StateDirectory", "StateDirectoryMode"]:
            self.assertEqual(server[key], backup[key], key)
        # The package makes that folder for the user and enables the timer.
        with open(os.path.join(self.control, "postinst")) as f:
            postinst = f.read()
        self.assertIn("chown corkwall:corkwall /var/backups/corkwall", postinst)
        self.assertRegex(postinst, r"for unit in [^;]*corkwall-backup\.timer")
        with open(os.path.join(self.control, "postrm")) as f:
            self.assertIn("corkwall-backup.timer", f.read())

    def test_lintian_reports_no_errors(self):
        lintian = shutil.which("lintian")
        self.assertIsNotNone(lintian, "lintian is not installed; run scripts/install-deps")
        # Lintian refuses to run as root without --allow-root.
        args = [lintian, "--display-info", "--no-tag-display-limit"]
        if os.geteuid() == 0:
            args.append("--allow-root")
        result = run(args + [self.deb], check=False)
        output = result.stdout.decode(errors="replace") + result.stderr.decode(errors="replace")
        print(output, file=sys.stderr)
        tags = re.findall(r"^([EWIPXO]): corkwall[^:]*: (\S+)(.*)$", output, re.M)
        self.assertEqual([], [tag for level, tag, _ in tags if level == "E"], output)
        self.assertEqual(0, result.returncode, output)
        # The programs, the plug-ins and the platform library carry the
        # hardening flags, where the build is the one users get. Lintian
        # cannot tell a program built without fortify from one whose every
        # protectable call was proven safe when compiled: tvxcall's only one,
        # getcwd into a buffer of the size it passes.
        proven_at_compile_time = {("hardening-no-fortify-functions", "[usr/bin/tvxcall]")}
        if (build_setting("CORKWALL_SANITIZE") == "OFF" and
                build_setting("CMAKE_BUILD_TYPE") in ("Release", "RelWithDebInfo", "MinSizeRel")):
            self.assertEqual([], [(tag, where.strip()) for _, tag, where in tags
                                  if tag.startswith("hardening-") and
                                  (tag, where.strip()) not in proven_at_compile_time], output)

    def test_packaged_tvxhost_runs_with_its_configuration(self):
        scratch = os.path.join(self.dir, "run")
        state = os.path.join(scratch, "var/lib/corkwall")
        logs = os.path.join(scratch, "var/log/corkwall")
        etc = os.path.join(scratch, "etc/corkwall")
        os.makedirs(logs)
        password = self.setup_site(os.path.join(self.root, "usr/lib/corkwall/corkwall-setup"),
                                   state, etc)
        # The package's own file, rewritten to the scratch folders.
        with open(os.path.join(self.root, "etc/corkwall/tvxhost.conf")) as f:
            text = f.read()
        conf = os.path.join(etc, "tvxhost.conf")
        self.assertIn("\nlisten 127.0.0.1:8080\n", text)
        text = (text.replace("/var/lib/corkwall", state).replace("/var/log/corkwall", logs)
                .replace("/etc/corkwall", etc)
                .replace("\nlisten 127.0.0.1:8080\n", "\nlisten 127.0.0.1:0\n")
                .replace("\nmetrics-listen 127.0.0.1:9108\n", "\nmetrics-listen 127.0.0.1:0\n"))
        with open(conf, "w") as f:
            f.write(text)
        tvxhost = os.path.join(self.root, "usr/bin/tvxhost")

        result = run([tvxhost, "--config", conf, "--check"])
        self.assertIn(f"{conf} is good".encode(), result.stdout)
        self.assertFalse(os.path.exists(os.path.join(state, "objectstore.db")))

        host = InstalledHost(tvxhost, scratch, "--config", conf).start()
        try:
            self.check_serves_a_board(host, password)
            # With a store that has a board, --check opens and lists it.
            result = run([tvxhost, "--config", conf, "--check"])
            self.assertIn(b"(1 databases)", result.stdout)
            self.check_log_rotation(host, os.path.join(logs, "access.log"))
        finally:
            self.assertEqual(0, host.stop(), host.stderr_text())

        # A bad line: --check and the server itself refuse it, naming the line.
        lines = text.count("\n")
        with open(conf, "a") as f:
            f.write("threads many\n")
        # --check reports on its standard output, as one stream in order; a
        # start that fails says why on the error output.
        for args in ([tvxhost, "--config", conf, "--check"], [tvxhost, "--config", conf]):
            result = run(args, check=False)
            self.assertEqual(2, result.returncode, args)
            said = result.stdout if "--check" in args else result.stderr
            self.assertIn(f"{conf}:{lines + 1}: --threads wants".encode(), said)

    def check_log_rotation(self, host, log):
        """What the logrotate file does: move the log away, then SIGHUP."""
        status, _, _ = host.get("/?before-rotation")
        self.assertEqual(200, status)
        rotated = log + ".1"
        deadline = time.monotonic() + 10
        while b"before-rotation" not in self.read(log) and time.monotonic() < deadline:
            time.sleep(0.05)
        os.rename(log, rotated)
        host.process.send_signal(signal.SIGHUP)
        deadline = time.monotonic() + 10
        while not os.path.exists(log) and time.monotonic() < deadline:
            time.sleep(0.05)
        status, _, _ = host.get("/?after-rotation")
        self.assertEqual(200, status)
        while b"after-rotation" not in self.read(log) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertIn(b"after-rotation", self.read(log))
        self.assertNotIn(b"before-rotation", self.read(log))
        self.assertIn(b"before-rotation", self.read(rotated))
        self.assertNotIn(b"after-rotation", self.read(rotated))

    @staticmethod
    def read(path):
        try:
            with open(path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""


if __name__ == "__main__":
    unittest.main(verbosity=2)
