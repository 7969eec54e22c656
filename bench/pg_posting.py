#!/usr/bin/env python3
"""Posts a second on the PostgreSQL store as it is deployed for failover: a
durable server (fsync on) whose every commit waits for a synchronous
standby, both on loopback. 8 posters spread over 2 tvxhost processes on one
board, against 1 poster through 1 host. Each poster is one of wrk's
keep-alive connections sending the board's form again and again
(wrk_posts.py); the flood limit and the cap on one client's calls are off.
The two kinds take turns ROUNDS times, DURATION seconds each, and each
figure is the median of its rounds. A run with any answer but the board's
redirect counts as no rate at all.

Prints what it measures, and what the harness costs (wrk's processor time
per post against the hosts'); with a rows file, also writes the table's row
there (tab-separated: figure, measured, baseline, ratio, target, met).

Usage: bench/pg_posting.py <bench build dir: host/tvxhost, board/corkwall.tvx,
                            admin/corkwarden.tvx> [rows file]
Environment: DURATION  seconds per run (default 5)
             ROUNDS    turns of the two kinds (default 5)
             WORK      work folder (default <build dir>/bench/pg_posting.work;
                       on a disk, so that commits really sync)
"""

import os
import shutil
import statistics
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "http"))
import hostkit  # noqa: E402
import pgkit  # noqa: E402
import wrk_posts  # noqa: E402

POSTERS = 8
TARGET = 3.0


def measure(build, script, duration, rounds):
    """(median rate of the 8 posters, median rate of the 1 poster, runs)."""
    for name, path in (("TVXHOST", "host/tvxhost"), ("CORKWALL_TVX", "board/corkwall.tvx"),
                       ("CORKWARDEN_TVX", "admin/corkwarden.tvx")):
        os.environ[name] = os.path.join(build, path)
    os.environ["CORKWALL_SOURCE_DIR"] = os.path.dirname(HERE)
    primary = pgkit.PgServer(durable=True).start()
    standby = hosts = sites = None
    try:
        standby = primary.add_standby()
        sites = [pgkit.site_on(primary, "posting")]
        sites.append(hostkit.Site())
        sites[1].store = sites[0].store
        hosts = [hostkit.Host(site, *hostkit.UNLIMITED_POSTS, *hostkit.UNCAPPED_CALLS).start()
                 for site in sites]
        wrk_posts.Run(hosts, script, POSTERS, 1, "pg_posting")  # connections warmed up
        many, one, runs = [], [], []
        for round_number in range(rounds):
            for rates, count, through in ((many, POSTERS, hosts), (one, 1, hosts[:1])):
                run = wrk_posts.Run(through, script, count, duration, "pg_posting")
                runs.append((count, run))
                rates.append(run.rate)
            print(f"  round {round_number + 1}: {POSTERS} posters through 2 hosts"
                  f" {many[-1]:.0f} posts/s, 1 poster through 1 host {one[-1]:.0f} posts/s")
        return statistics.median(many), statistics.median(one), runs
    finally:
        for host in hosts or []:
            host.kill()
        for site in sites or []:
            site.remove()
        if standby is not None:
            standby.stop()
        primary.stop()


def main():
    if len(sys.argv) not in (2, 3):
        print("usage: bench/pg_posting.py <build dir> [rows file]", file=sys.stderr)
        return 2
    build = os.path.abspath(sys.argv[1])
    rows = sys.argv[2] if len(sys.argv) == 3 else ""
    duration = int(os.environ.get("DURATION", "5"))
    rounds = int(os.environ.get("ROUNDS", "5"))
    work = os.environ.get("WORK", os.path.join(build, "bench", "pg_posting.work"))
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    os.chmod(work, 0o755)  # the servers run as `postgres` when we are root
    tempfile.tempdir = work
    print(f"pg_posting: durable PostgreSQL with a synchronous standby, {duration} s per run,"
          f" {rounds} rounds")
    if shutil.which("wrk") is None:
        print("pg_posting: missing wrk (scripts/install-deps installs it)", file=sys.stderr)
        return 1
    script = wrk_posts.write_script(work)
    many, one, runs = measure(build, script, duration, rounds)
    print("  harness, %d posters: %s" % (POSTERS, wrk_posts.harness_note(runs, POSTERS)))
    print("  harness, 1 poster: %s" % wrk_posts.harness_note(runs, 1))
    ok = many > 0 and one > 0
    row = wrk_posts.rate_row("PostgreSQL with a synchronous standby: posts/s, %d posters"
                             " through 2 hosts on one board" % POSTERS, many, one,
                             "1 poster through 1 host", TARGET)
    print("  " + " | ".join(row))
    if rows:
        with open(rows, "w") as out:
            out.write("\t".join(row) + "\n")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
