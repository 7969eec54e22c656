#!/usr/bin/env python3
"""Puts the rows of the benchmark programs into one table.

Each rows file holds tab-separated lines: figure, measured, baseline, ratio,
target, met. A rows file that is missing or empty stands for a program that
failed, and gets a row saying so. The table goes to stdout, and with
--markdown FILE also into FILE with a note on how to rerun it.

Usage: results_table.py [--markdown FILE] --about TEXT... NAME=ROWS_FILE...
"""
import argparse
import os
import sys

COLUMNS = ["figure", "measured", "baseline in the same run", "ratio", "target", "met"]

RERUN = """\
Every figure is measured against its baseline in the same run on the same
machine, so only the ratios mean anything; the machine is shared and noisy, and
absolute times move from run to run. Rerun with `make bench` (it builds
build/bench in Release and runs scripts/bench, which prints this table and
rewrites this file). `DURATION`, `ROUNDS` and `REQUESTS` set the HTTP runs
(seconds per wrk run, default 5; turns of the three kinds, default 2; page
requests of the memory run, default 100000); `IDLE` the idle connections of
the idle rows (default 10000); flags after
`scripts/bench build/bench` go to plugin_bench (Google Benchmark flags, e.g.
`--benchmark_repetitions=9`).

- In-process rows (plugin_bench): fnTvx called with the request variables
  tvxhost sets; raw SQLite on its own connection to the same store file. Times
  are medians of 5 repetitions interleaved at random; reads compare CPU time,
  the durable POST wall time. The POST baseline inserts the record bytes the plug-in wrote, in its
  own transaction, WAL and synchronous=FULL as the store's connections. A
  durable write waits for the disk, whose pace wanders from one moment to the
  next, so each POST row is one benchmark in which the plug-in's post and the
  raw insert take turns (each going first every other time), timed apart.
- First pages: a handle that reads a database from the top shares the batch
  that another handle read while it is fresh (20 ms, or until this process
  writes), so the repeated page rows, here and on PostgreSQL, mostly measure
  pages whose records need no query; the raw baselines query every time.
- Rows at size (scale_bench): stores made anew in each run by boardfill, in
  bulk through the store's own write of a whole store (a board of 1,000,000
  posts; 40,000 boards of one post; 10 boards of one post). The last page is
  the page at row 999980, requested again and again as the first page is:
  both are served from the page a handle read lately while it is fresh (20
  ms), so the reference row below it asks for 97 different rows spread over
  the board in turn, each a seek of its own. The export rows run tvxstore
  export into /dev/null against the sqlite3 program's SELECT * FROM records
  into /dev/null (and, for reference, an in-process SELECT of the rows in
  the board's order); best of three runs each, taking turns; peak memory is
  the export's maximum resident size.
- PostgreSQL rows (plugin_bench): the same page and post with the store on a
  PostgreSQL server that plugin_bench starts for itself (a new cluster in a
  temporary folder on disk, fsync on, a Unix socket), against raw libpq on its
  own connection to the same server: a prepared SELECT of the 20 rows (plus the
  page's memcpy), and a prepared INSERT of the same record bytes committed on
  its own with synchronous_commit on (the post taking turns with it, as
  above). Both sides wait on the server, so these rows compare wall time.
- HTTP rows (bench/http_load.sh): wrk -t2 -c32 keep-alive on loopback, the kinds
  taking turns, medians of the rounds; nginx sends the board page saved from
  tvxhost (compared byte for byte) as a static file.
- Memory row: a fresh tvxhost, VmRSS after the first 100 page requests and after
  100,000 more over 32 keep-alive connections (bench/http_count). The row after
  it, for reference only, is the growth over 100,000 further requests: the
  first figure also counts the server warming up (32 worker threads and their
  malloc caches, up to 8 store connections); a leak would show in both.
- Listing row (bench/http_load.sh): a tvxhost on a store of one board of
  100,000 posts (LISTED; made by boardfill), VmHWM after one catalogue page
  and after the admin page's listing of the board; the growth against the
  listing's size in bytes.
- Idle rows (bench/idle_hold): 10,000 keep-alive connections (IDLE), each
  after one GET of the saved page, from many 127.x addresses; then 20 fresh
  GETs on new connections, 50 ms apart: the board page through tvxhost, the
  saved page from nginx. Both servers keep idle connections 60 s; tvxhost
  runs with --max-connections IDLE + 100 so the fresh ones fit. Memory is
  (VmRSS with the connections idle - VmRSS before) / connections, summed over
  nginx's master and workers.
- Posting row (bench/pg_posting.py): a PostgreSQL server on disk (fsync on)
  whose commits wait for a synchronous standby, both on loopback; 8 posters
  spread over two tvxhost processes on one board against 1 poster through
  one of them, each poster on a keep-alive connection of its own; the two
  kinds take turns (ROUNDS, default 5, of DURATION seconds), medians.
- SQLite posting rows: posts to one board of a store file on disk, whose
  writes of one process are committed in groups. The disk's sync time here
  moves between about 0.3 and 4 ms from one second to the next, so the
  kinds take turns in short slices. In process (bench/posting_bench): 8
  threads calling fnTvx with the board's form against a raw serial loop of
  INSERTs of the same record bytes (each with a key of its own, as a post's)
  in transactions of their own, each synced; 1 thread for reference; 8
  slices of 0.5 s each, each kind's posts over its time, and the sizes of the
  groups printed. Through tvxhost (bench/sqlite_posting.py): wrk keep-alive
  connections sending a post of about 500 bytes, 8 against 1 (flood limit
  and per-client cap off), ROUNDS of DURATION seconds (default 5 of 2)
  taking turns, medians; then the same with bench/libslowsync.so preloaded
  into tvxhost, a VFS that makes every sync 5 ms (SLOW_SYNC_MS) slower and
  counts them. With syncs this short, the 8 threads in process are bound by
  the processors, not the disk.
"""


def read_rows(name, path):
    rows = []
    if path and os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                line = line.rstrip("\n")
                if not line:
                    continue
                cells = line.split("\t")
                cells += [""] * (len(COLUMNS) - len(cells))
                rows.append(cells[: len(COLUMNS)])
    if not rows:
        rows.append([name + ": no figures, the program failed (see its output above)",
                     "-", "-", "-", "-", "no"])
    return rows


def markdown(rows):
    widths = [max(len(r[i]) for r in rows + [COLUMNS]) for i in range(len(COLUMNS))]

    def line(cells):
        return "| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |"

    out = [line(COLUMNS), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    out += [line(r) for r in rows]
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--markdown")
    parser.add_argument("--about", action="append", default=[])
    parser.add_argument("sources", nargs="+", help="NAME=ROWS_FILE")
    args = parser.parse_args()

    rows = []
    for source in args.sources:
        name, _, path = source.partition("=")
        rows += read_rows(name, path)
    table = markdown(rows)
    about = "".join("- " + text + "\n" for text in args.about)
    # Rows with no target ("-") are there for reference only.
    targets = [r for r in rows if r[5] != "-"]
    met = sum(1 for r in targets if r[5] == "yes")
    summary = "%d of %d targets met.\n" % (met, len(targets))

    sys.stdout.write("\n" + about + "\n" + table + "\n" + summary)
    if args.markdown:
        with open(args.markdown, "w", encoding="utf-8") as f:
            f.write("# Benchmark results\n\n" + RERUN + "\n## Last run\n\n" + about + "\n" +
                    table + "\n" + summary)
    return 0


if __name__ == "__main__":
    sys.exit(main())
