"""A PostgreSQL server of the suite's own for the HTTP tests, and sites whose
store is a database on it (the same helper as tests/support/pg_server.cc, for
Python).

The cluster is made by initdb in a temporary folder and listens only on a
Unix socket there; as root it runs as Debian's unprivileged `postgres` user,
which owns the folder. stop_server() and start_server() take the server
down and back up on the same cluster; stop() removes it all.
"""

import glob
import os
import pwd
import shutil
import subprocess
import tempfile

import hostkit

TOOL_TIMEOUT = 90


def server_bin():
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"),
                   key=lambda p: int(p.split("/")[4]))
    if not found:
        raise RuntimeError("no PostgreSQL server in /usr/lib/postgresql: run scripts/install-deps")
    return os.path.dirname(found[-1])


class PgServer:
    def __init__(self):
        self.bin = server_bin()
        self.dir = tempfile.mkdtemp(prefix="corkwall-pg-")
        self.data = os.path.join(self.dir, "data")
        self.log = os.path.join(self.dir, "server.log")
        self.settings = (f"-k {self.dir} -c listen_addresses= -c max_connections=200"
                         " -c fsync=off -c full_page_writes=off")
        if os.geteuid() == 0:
            user = pwd.getpwnam("postgres")
            os.chown(self.dir, user.pw_uid, user.pw_gid)

    def _run(self, tool, *args):
        command = [os.path.join(self.bin, tool), *args]
        if os.geteuid() == 0:
            command = ["runuser", "-u", "postgres", "--"] + command
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                timeout=TOOL_TIMEOUT)
        if result.returncode != 0:
            raise RuntimeError(f"{tool} failed:\n{result.stdout.decode(errors='replace')}"
                               f"\n{self.server_log()}")

    def start(self):
        self._run("initdb", "-D", self.data, "-U", "postgres", "-A", "trust", "-E", "UTF8",
                  "--locale=C", "--no-sync")
        self.start_server()
        return self

    def start_server(self):
        """Starts the server on the cluster made by start(), after stop_server()."""
        self._run("pg_ctl", "-D", self.data, "-l", self.log, "-w", "-t", "60",
                  "-o", self.settings, "start")

    def stop_server(self):
        """A fast shutdown that keeps the cluster, so that start_server() brings
        the same databases back."""
        self._run("pg_ctl", "-D", self.data, "-w", "-t", "60", "-m", "fast", "stop")

    def restart(self):
        """A fast shutdown (connections cut, transactions in flight rolled
        back) and a start on the same cluster."""
        self._run("pg_ctl", "-D", self.data, "-l", self.log, "-w", "-t", "60", "-m", "fast",
                  "-o", self.settings, "restart")

    def stop(self):
        if os.path.exists(os.path.join(self.data, "postmaster.pid")):
            try:
                self._run("pg_ctl", "-D", self.data, "-w", "-t", "60", "-m", "fast", "stop")
            except (RuntimeError, subprocess.TimeoutExpired):
                pass
        shutil.rmtree(self.dir, ignore_errors=True)

    def server_log(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()[-3000:]
        except OSError:
            return ""

    def uri(self, database="postgres", schema=None):
        uri = f"postgresql:///{database}?host={self.dir}&user=postgres"
        if schema is not None:
            uri += f"&options=-csearch_path%3D{schema}"
        return uri

    def sql(self, statement, database="postgres"):
        """Runs SQL through psql; the output rows, unaligned."""
        command = [os.path.join(self.bin, "psql"), "-X", "-At", "-v", "ON_ERROR_STOP=1",
                   "-d", self.uri(database), "-c", statement]
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                timeout=TOOL_TIMEOUT)
        if result.returncode != 0:
            raise RuntimeError(f"psql: {result.stderr.decode(errors='replace')}")
        return result.stdout.decode().splitlines()


def site_on(server, database):
    """A site laid out as `make serve` does, its store a database on `server`
    (made here) instead of the SQLite file."""
    server.sql(f"CREATE DATABASE {database}")
    site = hostkit.Site()
    site.store = server.uri(database)
    return site
