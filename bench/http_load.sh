#!/usr/bin/env bash
# HTTP on loopback, each figure against its baseline in the same run:
#   - tvxhost answering the board page through corkwall.tvx, and tvxhost
#     sending the same page bytes as a static file, each against nginx sending
#     those bytes as a static file (wrk, keep-alive); the kinds take turns,
#     ROUNDS times, and each figure is the median of its rounds;
#   - tvxhost's resident memory after the first 100 page requests and after
#     100,000 more, on a server of its own;
#   - tvxhost's peak memory growth over one admin listing of a board of
#     LISTED (default 100000) posts, against the listing's size;
#   - with IDLE (default 10000) idle keep-alive connections open, a fresh
#     GET's latency and the resident memory per idle connection, for tvxhost
#     and for nginx, each on a server of its own with the same settings.
# Prints what it measures; with a rows file, also writes the table's rows there
# (tab-separated: figure, measured, baseline, ratio, target, met).
#
# Usage: bench/http_load.sh <bench build dir: host/tvxhost, board/corkwall.tvx,
#                            bench/http_count> [rows file]
# Environment: DURATION  seconds per wrk run (default 5)
#              ROUNDS    turns of the three kinds (default 2)
#              CONNECTIONS, THREADS   wrk's load (default 32 connections, 2 threads)
#              REQUESTS  page requests of the memory run after the first 100
#                        (default 100000)
#              IDLE      idle keep-alive connections of the idle run (default 10000)
#              LISTED    posts of the board the admin page lists (default 100000)
#              WORK      work folder (default <build dir>/bench/http_load.work;
#                        keep it on a disk so that posts really sync)
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: bench/http_load.sh <build dir> [rows file]" >&2
  exit 2
fi
build="$(cd "$1" && pwd)"
rows="${2:-}"
duration="${DURATION:-5}"
rounds="${ROUNDS:-2}"
connections="${CONNECTIONS:-32}"
threads="${THREADS:-2}"
requests="${REQUESTS:-100000}"
idle="${IDLE:-10000}"
listed="${LISTED:-100000}"
work="${WORK:-$build/bench/http_load.work}"
for number in "$duration" "$rounds" "$connections" "$threads" "$requests" "$idle" "$listed"; do
  case "$number" in
    ''|*[!0-9]*|0) echo "http_load: DURATION, ROUNDS, CONNECTIONS, THREADS, REQUESTS, IDLE and LISTED are whole numbers above 0" >&2; exit 2 ;;
  esac
done
tvxhost="$build/host/tvxhost"
http_count="$build/bench/http_count"
idle_hold="$build/bench/idle_hold"
plugin="$build/board/corkwall.tvx"
admin="$build/admin/corkwarden.tvx"
boardfill="$build/tools/boardfill"
nginx_bin="$(command -v nginx || echo /usr/sbin/nginx)"
for need in "$tvxhost" "$http_count" "$idle_hold" "$plugin" "$admin" "$boardfill" "$nginx_bin"; do
  [ -f "$need" ] || { echo "http_load: missing $need" >&2; exit 1; }
done
for tool in wrk curl python3; do
  command -v "$tool" >/dev/null || { echo "http_load: $tool is not installed" >&2; exit 1; }
done

rm -rf "$work"
mkdir -p "$work"
# Each server holds thousands of connections in the idle run, and so does
# the client: every process started here may use as many files as it can.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
host_pid=""
nginx_pid=""
stop() {  # pid: stops one server this script started, and waits for it
  [ -n "$1" ] || return 0
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
nginx_home=""
cleanup() {
  stop "$host_pid"
  stop "$nginx_pid"
  [ -n "$nginx_home" ] && rm -rf "$nginx_home"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# start_host <name>: a tvxhost on a free port serving the work folder's www/
# (the board at /bbs/board.tvx, and the saved page beside it once there is
# one) on the work folder's store; its output and log under <name>/. Sets
# host_pid and host_url. One worker per connection, so that no connection
# waits for a thread, and no cap on one address's calls in flight: every
# connection comes from 127.0.0.1. (The page names the document root, so
# every server serves the same folder.)
start_host() {
  local dir="$work/$1"
  shift
  mkdir -p "$dir"
  "$tvxhost" --listen 127.0.0.1:0 --root "$work/www" --store "$work/store.db" \
    --access-log "$dir/access.log" --threads "$connections" --calls-per-client 0 \
    --keep-alive 100000 "$@" \
    >"$dir/tvxhost.out" 2>"$dir/tvxhost.err" &
  host_pid=$!
  host_url=""
  for _ in $(seq 1 100); do
    host_url="$(grep -o 'http://127.0.0.1:[0-9]*/' "$dir/tvxhost.out" || true)"
    [ -n "$host_url" ] && break
    sleep 0.1
  done
  [ -n "$host_url" ] || { echo "http_load: tvxhost did not start:"; cat "$dir/tvxhost.err"; exit 1; } >&2
}

mkdir -p "$work/www/bbs"
cp "$plugin" "$work/www/bbs/board.tvx"

# The board: 21 posts of about 600 bytes of HTML, so that the page shows 20
# and a NEXT link, as in the in-process figures.
start_host fill --post-rate 0  # 21 posts from one address
for i in $(seq 1 21); do
  body="name=Bench+Poster&email=poster%40example.org&subject=post+$(printf %05d "$i")&body="
  for _ in 1 2 3 4 5 6 7 8; do body+="A+line+of+the+post%27s+text%2C+about+fifty+bytes+long.%0D%0A"; done
  status="$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 "${host_url}bbs/board.tvx" \
    --data "$body&postitem=1")"
  [ "$status" = 302 ] || { echo "http_load: a post was answered with $status" >&2; exit 1; }
done
curl -s --max-time 10 -o "$work/board.html" "${host_url}bbs/board.tvx"
posts="$(grep -o '<BLOCKQUOTE>' "$work/board.html" | wc -l)"
[ "$posts" -eq 20 ] || { echo "http_load: the board page shows $posts posts, not 20" >&2; exit 1; }
stop "$host_pid"
host_pid=""
cp "$work/board.html" "$work/www/bbs/board.html"
page_bytes="$(wc -c <"$work/board.html")"

# tvxhost for the rates: the board and the same bytes as a file.
start_host rate
cmp -s <(curl -s --max-time 10 "${host_url}bbs/board.html") "$work/board.html" ||
  { echo "http_load: tvxhost does not send the saved page as a file" >&2; exit 1; }
cmp -s <(curl -s --max-time 10 "${host_url}bbs/board.tvx") "$work/board.html" ||
  { echo "http_load: the board page changed after the server restarted" >&2; exit 1; }

# nginx's workers run as another user when it starts as root, and cannot
# enter a checkout under a folder closed to others (a clone in /root, any
# mode-700 folder): its files go to a folder of its own that they can read,
# and as root its workers run as the user who runs the bench.
nginx_home="$(mktemp -d /tmp/corkwall-bench-nginx.XXXXXX)"
chmod 755 "$nginx_home"
nginx_user=""
[ "$(id -u)" -eq 0 ] && nginx_user="user $(id -un) $(id -gn);"
mkdir -p "$nginx_home/www/bbs"
cp "$work/board.html" "$nginx_home/www/bbs/board.html"
chmod -R a+rX "$nginx_home/www"
# start_nginx <name> <worker connections> <keep-alive timeout>: an nginx of
# its own on a free port, serving the saved page; sets nginx_pid, nginx_url.
start_nginx() {
  local dir="$nginx_home/$1"
  mkdir -p "$dir/tmp"
  nginx_port="$(free_port)"
  cat >"$dir/nginx.conf" <<CONF
$nginx_user
worker_processes 2;
worker_rlimit_nofile $(ulimit -Hn);
daemon off;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections $2; }
http {
  access_log $dir/access.log;
  client_body_temp_path $dir/tmp;
  proxy_temp_path $dir/tmp;
  fastcgi_temp_path $dir/tmp;
  uwsgi_temp_path $dir/tmp;
  scgi_temp_path $dir/tmp;
  keepalive_requests 100000;
  keepalive_timeout $3;
  server {
    listen 127.0.0.1:$nginx_port;
    root $nginx_home/www;
    default_type text/html;
  }
}
CONF
  "$nginx_bin" -p "$dir" -c "$dir/nginx.conf" 2>"$dir/start.err" &
  nginx_pid=$!
  nginx_url="http://127.0.0.1:$nginx_port/"
  for _ in $(seq 1 100); do
    curl -s -o /dev/null --max-time 1 "${nginx_url}bbs/board.html" && break
    sleep 0.1
  done
  cmp -s <(curl -s --max-time 10 "${nginx_url}bbs/board.html") "$work/board.html" ||
    { echo "http_load: nginx does not send the saved page:"; cat "$dir/start.err" "$dir/error.log"; exit 1; } >&2
}
start_nginx rate 1024 75s

# rate <url> <name>: requests/s of one wrk run; a run with failed or non-2xx
# answers counts as no rate at all.
rate() {
  local out="$work/wrk.$2.$round"
  wrk -t"$threads" -c"$connections" -d"${duration}s" --timeout 5s "$1" >"$out" 2>&1 || true
  if grep -qE 'Non-2xx|Socket errors' "$out"; then
    echo "http_load: errors in the run against $1:" >&2
    cat "$out" >&2
    echo 0
    return
  fi
  awk '/^Requests\/sec:/ { print $2; found = 1 } END { if (!found) print 0 }' "$out"
}
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "http_load: page of $page_bytes bytes; wrk -t$threads -c$connections, ${duration}s per run, $rounds rounds"
page_rates=()
file_rates=()
nginx_rates=()
for round in $(seq 1 "$rounds"); do
  nginx_rates+=("$(rate "${nginx_url}bbs/board.html" nginx)")
  page_rates+=("$(rate "${host_url}bbs/board.tvx" page)")
  file_rates+=("$(rate "${host_url}bbs/board.html" file)")
  echo "  round $round: nginx ${nginx_rates[-1]}, tvxhost page ${page_rates[-1]}, tvxhost file ${file_rates[-1]} req/s"
done
stop "$host_pid"
host_pid=""
stop "$nginx_pid"
nginx_pid=""
page_rate="$(median "${page_rates[@]}")"
file_rate="$(median "${file_rates[@]}")"
nginx_rate="$(median "${nginx_rates[@]}")"

# Memory: a fresh server, the first 100 page requests, then $requests more,
# over as many keep-alive connections as the rates used.
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
count_to() {  # requests: that many page requests; prints the answers (see http_count.cc)
  "$http_count" "$host_port" /bbs/board.tvx "$1" "$connections" || true
}
start_host memory
host_port="${host_url##*:}"
host_port="${host_port%/}"
first="$(count_to 100)"
rss_first="$(rss_kb "$host_pid")"
last="$(count_to "$requests")"
rss_last="$(rss_kb "$host_pid")"
# As many again: what the server still adds once its worker threads, their
# malloc caches and the store's connections have all been used. A leak keeps
# growing here; warming up does not.
again="$(count_to "$requests")"
rss_again="$(rss_kb "$host_pid")"
stop "$host_pid"
host_pid=""
read -r first_ok first_other first_broken <<<"$first"
read -r last_ok last_other last_broken <<<"$last"
read -r again_ok again_other again_broken <<<"$again"
bad=$((first_other + first_broken + last_other + last_broken + again_other + again_broken))
echo "  memory: VmRSS $rss_first kB after $first_ok page requests, $rss_last kB after $last_ok more, $rss_again kB after $again_ok more ($bad failed)"

# Listing: the admin page's listing of a board of $listed posts (made in bulk
# by boardfill), one request on a server that has answered one small page;
# the growth of its peak resident memory (VmHWM) against the listing's size.
"$boardfill" "$work/listing.db" "$listed" >/dev/null
mkdir -p "$work/www/admin"
cp "$admin" "$work/www/admin/corkwarden.tvx"
hwm_kb() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }
start_host listing --store "$work/listing.db"
curl -s --max-time 30 -o /dev/null "${host_url}admin/corkwarden.tvx"
hwm_before="$(hwm_kb "$host_pid")"
listing_status="$(curl -s --max-time 120 -o "$work/listing.html" -w '%{http_code}' \
  "${host_url}admin/corkwarden.tvx?cmd=enum&name=TULVAN_fill.tvx")"
hwm_after="$(hwm_kb "$host_pid")"
stop "$host_pid"
host_pid=""
listing_bytes="$(wc -c <"$work/listing.html")"
listing_lines="$(grep -c 'delete:</A>' "$work/listing.html" || true)"
[ "$listing_status" = 200 ] && [ "$listing_lines" -eq "$listed" ] ||
  { echo "http_load: the listing was answered $listing_status with $listing_lines of $listed posts" >&2; listing_bytes=0; }
echo "  listing: $listing_bytes bytes; VmHWM $hwm_before kB before, $hwm_after kB after"

# Idle: $idle keep-alive connections, each after one GET of the saved page,
# held open while fresh GETs are timed: the board page through tvxhost, the
# saved page from nginx. Both keep an idle connection for 60 s; tvxhost may
# hold a few more than $idle connections, so that the fresh ones fit.
# idle_figures <port> <fresh path> <pids...>: prints idle_hold's line.
idle_figures() {
  local port="$1" fresh="$2"
  shift 2
  "$idle_hold" "$port" /bbs/board.html "$fresh" "$idle" 20 "$@" || echo "0 0 0 0 0 0 20"
}
start_host idle --keep-alive-timeout 60 --max-connections "$((idle + 100))"
host_port="${host_url##*:}"
host_port="${host_port%/}"
host_idle="$(idle_figures "$host_port" /bbs/board.tvx "$host_pid")"
stop "$host_pid"
host_pid=""
start_nginx idle "$((idle + 1000))" 60s
nginx_idle="$(idle_figures "$nginx_port" /bbs/board.html "$nginx_pid" $(pgrep -P "$nginx_pid"))"
stop "$nginx_pid"
nginx_pid=""
echo "  idle: tvxhost $host_idle; nginx $nginx_idle (held, VmRSS before/idle KiB, median/slowest ms, ok/fresh)"

python3 - "$rows" "$page_rate" "$file_rate" "$nginx_rate" "$rss_first" "$rss_last" \
  "$first_ok" "$last_ok" "$bad" "$requests" "$rss_again" "$again_ok" "$idle" \
  "$host_idle" "$nginx_idle" "$listed" "$listing_bytes" "$hwm_before" "$hwm_after" <<'PY'
import sys
rows_path = sys.argv[1]
page, file_, nginx = (float(x) for x in sys.argv[2:5])
rss_first, rss_last, first, served, bad, wanted, rss_again, served_again, idle = \
    (int(x) for x in sys.argv[5:14])
host_idle, nginx_idle = sys.argv[14].split(), sys.argv[15].split()
listed, listing_bytes, hwm_before, hwm_after = (int(x) for x in sys.argv[16:20])

rows = []
def rate_row(figure, rate, target=0.5):
    ok = rate > 0 and nginx > 0
    ratio = rate / nginx if ok else 0
    rows.append([figure, "%.0f req/s" % rate if rate > 0 else "failed",
                 "%.0f req/s (nginx, same bytes as a static file)" % nginx if nginx > 0 else "failed",
                 "%.2fx" % ratio if ok else "-", ">= %.2fx" % target,
                 "yes" if ok and ratio >= target else "no"])
rate_row("HTTP GET of the board page through tvxhost (wrk, keep-alive)", page)
rate_row("HTTP static file through tvxhost (same bytes)", file_, 0.9)
growth = (rss_last - rss_first) * 100.0 / rss_first if rss_first > 0 else float("inf")
complete = served >= wanted and bad == 0
rows.append(["tvxhost resident memory after %d more page requests" % served,
             "%.1f MiB" % (rss_last / 1024.0),
             "%.1f MiB (after the first %d)" % (rss_first / 1024.0, first),
             "%+.1f%%" % growth, "< +10%",
             "yes" if complete and growth < 10 else "no"])
# Not one of the targets: the same growth once everything has warmed up.
growth_again = (rss_again - rss_last) * 100.0 / rss_last if rss_last > 0 else float("inf")
rows.append(["(for reference) tvxhost resident memory, %d requests after those" % served_again,
             "%.1f MiB" % (rss_again / 1024.0),
             "%.1f MiB (after the first %d + %d)" % (rss_last / 1024.0, first, served),
             "%+.1f%%" % growth_again, "-",
             "-"])

listing_growth = (hwm_after - hwm_before) * 1024.0
listing_ratio = listing_growth / listing_bytes if listing_bytes > 0 else 0
rows.append(["tvxhost peak memory growth over an admin listing of %d posts" % listed,
             "%.1f MiB" % (listing_growth / 1048576),
             "%.1f MiB (the listing's size)" % (listing_bytes / 1048576.0)
             if listing_bytes > 0 else "failed",
             "%.2fx" % listing_ratio if listing_bytes > 0 else "-", "<= 1.20x",
             "yes" if listing_bytes > 0 and listing_ratio <= 1.2 else "no"])

def idle_parts(figures):
    held, before, after = (int(x) for x in figures[:3])
    median, slowest = (float(x) for x in figures[3:5])
    ok, fresh = (int(x) for x in figures[5:7])
    whole = held == idle and ok == fresh
    per = (after - before) * 1024.0 / held if held else 0
    return whole, median, slowest, per, held, ok, fresh
h_whole, h_median, h_slowest, h_per, h_held, h_ok, h_fresh = idle_parts(host_idle)
n_whole, n_median, n_slowest, n_per, n_held, n_ok, n_fresh = idle_parts(nginx_idle)
def held_note(whole, held, ok, fresh):
    return "" if whole else " (%d held, %d of %d answered)" % (held, ok, fresh)
rows.append(["HTTP fresh GET with %d idle keep-alive connections open (slowest of 20)" % idle,
             "%.1f ms tvxhost, board page (median %.2f)%s" % (h_slowest, h_median,
                                                              held_note(h_whole, h_held, h_ok, h_fresh)),
             "%.1f ms nginx, same bytes (median %.2f)%s" % (n_slowest, n_median,
                                                           held_note(n_whole, n_held, n_ok, n_fresh)),
             "%.2fx" % (h_slowest / n_slowest) if h_whole and n_whole and n_slowest > 0 else "-",
             "<= 50 ms", "yes" if h_whole and h_slowest <= 50 else "no"])
rows.append(["Resident memory per idle keep-alive connection (%d open)" % idle,
             "%.2f KiB tvxhost%s" % (h_per / 1024, held_note(h_whole, h_held, h_ok, h_fresh)),
             "%.2f KiB nginx%s" % (n_per / 1024, held_note(n_whole, n_held, n_ok, n_fresh)),
             "%.2fx" % (h_per / n_per) if h_whole and n_whole and n_per > 0 else "-",
             "<= 8 KiB", "yes" if h_whole and 0 < h_per <= 8192 else "no"])
for row in rows:
    print("  " + " | ".join(row))
if rows_path:
    with open(rows_path, "w") as out:
        for row in rows:
            out.write("\t".join(row) + "\n")
PY
