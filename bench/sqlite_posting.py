#!/usr/bin/env python3
"""Posts a second through tvxhost on one SQLite store: 8 posters on one
board against 1 poster, in the same run. Each poster is one of wrk's
keep-alive connections sending the board's form (a post of about 500
bytes) again and again; the flood limit and the cap on one client's calls
are off, as every poster comes from 127.0.0.1. A shared disk's sync time
changes from one second to the next, so the two kinds take turns in short
runs, ROUNDS times, DURATION seconds each; each figure is the median of its
rounds. A run with any answer but the board's redirect counts as no rate.

Then the same on a slow disk: tvxhost with bench/libslowsync.so preloaded,
which makes every sync of the store's file take SLOW_SYNC_MS milliseconds
longer and counts the syncs of its log, so that the posts a sync carried
show.

Also prints what the harness costs: wrk's processor time per post against
tvxhost's.

Prints what it measures; with a rows file, also writes the table's rows there
(tab-separated: figure, measured, baseline, ratio, target, met).

Usage: bench/sqlite_posting.py <bench build dir: host/tvxhost, board/corkwall.tvx,
                                admin/corkwarden.tvx, bench/libslowsync.so> [rows file]
Environment: DURATION      seconds per run (default 2)
             ROUNDS        turns of the two kinds (default 5)
             POSTERS       posters of the many (default 8)
             SLOW_SYNC_MS  added to each sync of the slow runs (default 5)
             WORK          work folder (default <build dir>/bench/sqlite_posting.work;
                           on a disk, so that commits really sync)
"""

import os
import shutil
import sqlite3
import statistics
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "http"))
import hostkit  # noqa: E402
import wrk_posts  # noqa: E402

TARGET = 3.0


def measure(site, script, rounds, duration, posters, env=None):
    """(median rate of the many, median rate of the 1, runs): a tvxhost of its
    own on the site, with `env` added to its environment."""
    saved = {}
    for name, value in (env or {}).items():
        saved[name] = os.environ.get(name)
        os.environ[name] = value
    try:
        host = hostkit.Host(site, *hostkit.UNLIMITED_POSTS, *hostkit.UNCAPPED_CALLS).start()
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
    try:
        # The store's connections opened, its pages read; its posts counted
        # (as from 0 posters) only in the check of what was stored.
        runs = [(0, wrk_posts.Run([host], script, posters, 1, "sqlite_posting"))]
        many, one = [], []
        for round_number in range(rounds):
            kinds = [(many, posters), (one, 1)]
            if round_number % 2:
                kinds.reverse()
            for rates, count in kinds:
                run = wrk_posts.Run([host], script, count, duration, "sqlite_posting")
                runs.append((count, run))
                rates.append(run.rate)
            print(f"  round {round_number + 1}: {posters} posters {many[-1]:.0f} posts/s,"
                  f" 1 poster {one[-1]:.0f} posts/s")
    finally:
        host.stop()
    return statistics.median(many), statistics.median(one), runs


def stored_posts(store):
    """Records in the store; 0 before the store made its tables."""
    db = sqlite3.connect(store)
    try:
        return db.execute("SELECT count(*) FROM records").fetchone()[0]
    except sqlite3.OperationalError:
        return 0
    finally:
        db.close()


def main():
    if len(sys.argv) not in (2, 3):
        print("usage: bench/sqlite_posting.py <build dir> [rows file]", file=sys.stderr)
        return 2
    build = os.path.abspath(sys.argv[1])
    rows_path = sys.argv[2] if len(sys.argv) == 3 else ""
    duration = int(os.environ.get("DURATION", "2"))
    rounds = int(os.environ.get("ROUNDS", "5"))
    posters = int(os.environ.get("POSTERS", "8"))
    slow_ms = os.environ.get("SLOW_SYNC_MS", "5")
    work = os.environ.get("WORK", os.path.join(build, "bench", "sqlite_posting.work"))
    for name, path in (("TVXHOST", "host/tvxhost"), ("CORKWALL_TVX", "board/corkwall.tvx"),
                       ("CORKWARDEN_TVX", "admin/corkwarden.tvx")):
        os.environ[name] = os.path.join(build, path)
    os.environ["CORKWALL_SOURCE_DIR"] = os.path.dirname(HERE)
    slowsync = os.path.join(build, "bench", "libslowsync.so")
    for need in (slowsync, shutil.which("wrk")):
        if need is None or not os.path.exists(need):
            print(f"sqlite_posting: missing {need or 'wrk'}", file=sys.stderr)
            return 1
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    tempfile.tempdir = work
    script = wrk_posts.write_script(work)

    print(f"sqlite_posting: wrk, {duration} s per run, {rounds} rounds, {posters} posters"
          " against 1")
    site = hostkit.Site()
    try:
        stored_before = stored_posts(site.store)
        many, one, runs = measure(site, script, rounds, duration, posters)
        print("  harness, %d posters: %s" % (posters, wrk_posts.harness_note(runs, posters)))
        print("  harness, 1 poster: %s" % wrk_posts.harness_note(runs, 1))
        counts = os.path.join(work, "syncs")
        print(f"  with each sync {slow_ms} ms slower:")
        slow_many, slow_one, slow_runs = measure(
            site, script, rounds, duration, posters,
            {"LD_PRELOAD": slowsync, "SLOW_SYNC_MS": slow_ms, "SYNC_COUNT_FILE": counts})
        answered = sum(run.posts for _, run in runs + slow_runs)
        stored = stored_posts(site.store) - stored_before
        # wrk may end a run on a connection whose post was stored but not yet
        # answered.
        unanswered = sum(run.connections for _, run in runs + slow_runs)
        if not answered <= stored <= answered + unanswered:
            print(f"sqlite_posting: {answered} posts answered, {stored} stored", file=sys.stderr)
            many = slow_many = 0.0
        try:
            with open(counts) as f:
                log_syncs = int(f.read().split()[0])
            # A lone poster's post is one sync; the rest carried the many's.
            alone = sum(run.posts for count, run in slow_runs if count == 1)
            together = sum(run.posts for count, run in slow_runs if count != 1)
            print(f"  slow runs: {alone + together} posts, {log_syncs} syncs of the log;"
                  f" about {together / max(log_syncs - alone, 1):.2f} posts a sync"
                  f" when {posters} post")
        except (OSError, ValueError, IndexError):
            print("sqlite_posting: no sync counts from the slow runs", file=sys.stderr)
    finally:
        site.remove()

    rows = [wrk_posts.rate_row("SQLite: posts/s through tvxhost, %d posters on one board"
                               % posters, many, one, "1 poster", TARGET),
            wrk_posts.rate_row("(for reference) the same with each sync %s ms slower" % slow_ms,
                               slow_many, slow_one, "1 poster, same syncs", 0)]
    for row in rows:
        print("  " + " | ".join(row))
    if rows_path:
        with open(rows_path, "w") as out:
            for row in rows:
                out.write("\t".join(row) + "\n")
    return 0 if many > 0 and one > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
