"""PostgreSQL as the suite runs it for itself, and as operators run it in
front of and beside the store (the same helper as tests/support/pg_server.cc,
for Python):

- PgServer: a cluster made by initdb in a temporary folder, listening on a
  Unix socket there and, when asked, on a loopback TCP port of its own. It
  can be shut down and started again on the same cluster, and turned
  read-only as a fenced old primary is. As root it runs as Debian's
  unprivileged `postgres` user, which owns the folder. stop() removes it all.
- Standby: a copy of a primary made by pg_basebackup -R, streaming from it
  on a port of its own; PgServer.add_standby() makes one synchronous, so
  that the primary's commits wait for it. promote() makes it a primary.
- PgBouncer: Debian's pgbouncer in a temporary folder on a free loopback
  port, pooling the connections to one database of a PgServer.

Every wait is bounded; whatever was started and not stopped is stopped when
the suite's process exits.
"""

import atexit
import glob
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import hostkit

TOOL_TIMEOUT = 90
BOUNCER = "/usr/sbin/pgbouncer"

# Servers and bouncers started and not yet stopped, stopped at exit.
_running = []


def _stop_leftovers():
    for thing in reversed(list(_running)):
        thing.stop()


atexit.register(_stop_leftovers)


def server_bin():
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"),
                   key=lambda p: int(p.split("/")[4]))
    if not found:
        raise RuntimeError("no PostgreSQL server in /usr/lib/postgresql: run scripts/install-deps")
    return os.path.dirname(found[-1])


def missing_binaries():
    """What this machine lacks of the servers and tools here ("" when
    nothing): a suite that cannot run without them skips with this."""
    if not glob.glob("/usr/lib/postgresql/*/bin/initdb"):
        return "no PostgreSQL server in /usr/lib/postgresql (scripts/install-deps installs it)"
    if not os.path.isfile(BOUNCER):
        return f"no {BOUNCER} (scripts/install-deps installs pgbouncer)"
    return ""


def free_port():
    """A loopback TCP port nobody listened on a moment ago."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _as_postgres():
    """Popen's arguments that run a program as `postgres` when we are root."""
    if os.geteuid() != 0:
        return {}
    user = pwd.getpwnam("postgres")
    return {"user": user.pw_uid, "group": user.pw_gid, "extra_groups": []}


def _own_folder(prefix):
    folder = tempfile.mkdtemp(prefix=prefix)
    if os.geteuid() == 0:
        user = pwd.getpwnam("postgres")
        os.chown(folder, user.pw_uid, user.pw_gid)
    return folder


def psql(uri, statement):
    """Runs SQL through psql on `uri`; the output rows, unaligned."""
    command = [os.path.join(server_bin(), "psql"), "-X", "-At", "-v", "ON_ERROR_STOP=1",
               "-d", uri, "-c", statement]
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            timeout=TOOL_TIMEOUT)
    if result.returncode != 0:
        raise RuntimeError(f"psql: {result.stderr.decode(errors='replace')}")
    return result.stdout.decode().splitlines()


def _tail(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()[-3000:]
    except OSError:
        return ""


class PgServer:
    """One cluster of the test's own. `tcp` adds a 127.0.0.1 port of its own
    (the socket then carries that port's number too); `durable` keeps fsync
    on, as a benchmark needs."""

    def __init__(self, tcp=False, durable=False):
        self.bin = server_bin()
        self.dir = _own_folder("corkwall-pg-")
        self.data = os.path.join(self.dir, "data")
        self.log = os.path.join(self.dir, "server.log")
        self.tcp = tcp
        self.durable = durable
        self.port = free_port() if tcp else 5432
        self.settings = (f"-k {self.dir} -p {self.port} -c max_connections=200"
                         f" -c listen_addresses={'127.0.0.1' if tcp else ''}")
        if not durable:
            self.settings += " -c fsync=off -c full_page_writes=off"

    def _run(self, tool, *args):
        command = [os.path.join(self.bin, tool), *args]
        if os.geteuid() == 0:
            command = ["runuser", "-u", "postgres", "--"] + command
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                timeout=TOOL_TIMEOUT)
        if result.returncode != 0:
            raise RuntimeError(f"{tool} failed:\n{result.stdout.decode(errors='replace')}"
                               f"\n{self.server_log()}")

    def _make_cluster(self):
        self._run("initdb", "-D", self.data, "-U", "postgres", "-A", "trust", "-E", "UTF8",
                  "--locale=C", "--no-sync")

    def start(self):
        """Makes the cluster and starts it; stopped and removed again when
        either fails."""
        _running.append(self)
        try:
            self._make_cluster()
            self.start_again()
        except BaseException:
            self.stop()
            raise
        return self

    def start_again(self):
        """Starts the cluster after shut_down(), and waits until it takes
        connections."""
        self._run("pg_ctl", "-D", self.data, "-l", self.log, "-w", "-t", "60",
                  "-o", self.settings, "start")

    def shut_down(self):
        """A fast shutdown (connections cut, transactions in flight rolled
        back) that keeps the cluster for start_again()."""
        self._run("pg_ctl", "-D", self.data, "-w", "-t", "60", "-m", "fast", "stop")

    def restart(self):
        """A fast shutdown and a start on the same cluster."""
        self._run("pg_ctl", "-D", self.data, "-l", self.log, "-w", "-t", "60", "-m", "fast",
                  "-o", self.settings, "restart")

    def stop(self):
        if os.path.exists(os.path.join(self.data, "postmaster.pid")):
            try:
                self.shut_down()
            except (RuntimeError, subprocess.TimeoutExpired):
                pass
        shutil.rmtree(self.dir, ignore_errors=True)
        if self in _running:
            _running.remove(self)

    def server_log(self):
        return _tail(self.log)

    def uri(self, database="postgres", schema=None):
        uri = f"postgresql:///{database}?host={self.dir}&port={self.port}&user=postgres"
        if schema is not None:
            uri += f"&options=-csearch_path%3D{schema}"
        return uri

    def tcp_uri(self, database="postgres"):
        """The same database through the server's TCP port (a `tcp` server)."""
        return f"postgresql://postgres@127.0.0.1:{self.port}/{database}?sslmode=disable"

    def sql(self, statement, database="postgres"):
        """Runs SQL through psql; the output rows, unaligned."""
        return psql(self.uri(database), statement)

    def make_read_only(self):
        """Every new transaction read-only, open sessions' next ones too: a
        primary fenced off after a failover."""
        self.sql("ALTER SYSTEM SET default_transaction_read_only = on")
        self.sql("SELECT pg_reload_conf()")

    def add_standby(self, timeout=60):
        """A started Standby of this server that every commit here waits
        for (synchronous_standby_names = '*'); waits until it is the
        synchronous one."""
        standby = Standby(self).start()
        try:
            self.sql("ALTER SYSTEM SET synchronous_standby_names = '*'")
            self.sql("SELECT pg_reload_conf()")
            deadline = time.monotonic() + timeout
            while self.sql("SELECT count(*) FROM pg_stat_replication"
                           " WHERE sync_state = 'sync'") != ["1"]:
                if time.monotonic() > deadline:
                    raise RuntimeError("the standby did not become synchronous:\n" +
                                       standby.server_log())
                time.sleep(0.1)
        except BaseException:
            standby.stop()
            raise
        return standby


class Standby(PgServer):
    """A streaming copy of `primary`, with a folder and port of its own (TCP
    when the primary has TCP). The primary's own settings as they were when
    it was copied: one made before synchronous_standby_names is set does not
    wait for a standby of its own once promoted."""

    def __init__(self, primary):
        super().__init__(tcp=primary.tcp, durable=primary.durable)
        self.primary = primary

    def _make_cluster(self):
        self._run("pg_basebackup", "-D", self.data, "-R", "-X", "stream", "-c", "fast",
                  "--no-sync", "-d", f"host={self.primary.dir} port={self.primary.port}"
                  " user=postgres application_name=standby")

    def promote(self):
        """Makes the standby a primary that takes writes; waits until it does."""
        self._run("pg_ctl", "-D", self.data, "-w", "-t", "60", "promote")


class PgBouncer:
    """Debian's pgbouncer on a free 127.0.0.1 port, pooling `database` of
    `server` (the server's socket) in `pool_mode` ("transaction" or
    "session"). Clients log in as `postgres`, trusted, or with `password`
    (md5, from an auth_file) when one is given. As root it runs as
    `postgres`: pgbouncer refuses to run as root."""

    def __init__(self, server, database, pool_mode="transaction", password=None,
                 pool_size=20):
        self.server, self.database, self.password = server, database, password
        self.pool_mode, self.pool_size = pool_mode, pool_size
        self.dir = None
        self.process = None
        self.stderr = None
        self.port = None

    def _write_config(self):
        users = os.path.join(self.dir, "users.txt")
        with open(users, "w") as f:
            f.write(f'"postgres" "{self.password or ""}"\n')
        config = os.path.join(self.dir, "pgbouncer.ini")
        target = (f"host={self.server.dir} port={self.server.port} dbname={self.database}"
                  " user=postgres")
        with open(config, "w") as f:
            f.write(f"""[databases]
{self.database} = {target}

[pgbouncer]
listen_addr = 127.0.0.1
listen_port = {self.port}
unix_socket_dir =
auth_type = {'md5' if self.password else 'trust'}
auth_file = {users}
pool_mode = {self.pool_mode}
default_pool_size = {self.pool_size}
max_client_conn = 1000
logfile = {os.path.join(self.dir, 'pgbouncer.log')}
pidfile = {os.path.join(self.dir, 'pgbouncer.pid')}
""")
        return config

    def start(self, timeout=30):
        """Starts pgbouncer and waits until a query passes through it to
        the server; stopped again when it does not."""
        if not os.path.isfile(BOUNCER):
            raise RuntimeError(f"no {BOUNCER}: run scripts/install-deps")
        self.dir = _own_folder("corkwall-bouncer-")
        self.port = free_port()
        config = self._write_config()
        _running.append(self)
        try:
            self.stderr = open(os.path.join(self.dir, "pgbouncer.stderr"), "wb")
            self.process = subprocess.Popen(
                [BOUNCER, config], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=self.stderr,
                preexec_fn=hostkit._die_with_parent, **_as_postgres())
            deadline = time.monotonic() + timeout
            while True:
                try:
                    if psql(self.uri(), "SELECT 1") == ["1"]:
                        break
                except (RuntimeError, subprocess.TimeoutExpired):
                    pass
                if self.process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("pgbouncer did not start:\n" + self.log())
                time.sleep(0.1)
        except BaseException:
            self.stop()
            raise
        return self

    def uri(self, database=None):
        """A libpq URI of the pooled database through the bouncer."""
        uri = (f"postgresql://postgres@127.0.0.1:{self.port}/{database or self.database}"
               "?sslmode=disable")
        if self.password:
            uri += f"&password={self.password}"
        return uri

    def log(self):
        return _tail(os.path.join(self.dir, "pgbouncer.log")) + _tail(
            os.path.join(self.dir, "pgbouncer.stderr"))

    def stop(self):
        """Ends pgbouncer (SIGTERM, SIGKILL after 10 s) and removes its folder."""
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        if self.stderr is not None:
            self.stderr.close()
            self.stderr = None
        if self.dir is not None:
            shutil.rmtree(self.dir, ignore_errors=True)
        if self in _running:
            _running.remove(self)


def site_on(server, database, store_uri=None):
    """A site laid out as `make serve` does, its store a database on `server`
    (made here) instead of the SQLite file; reached through `store_uri`
    (a bouncer's, a list of hosts) when one is given."""
    server.sql(f"CREATE DATABASE {database}")
    site = hostkit.Site()
    site.store = store_uri or server.uri(database)
    return site
