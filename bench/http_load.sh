#!/usr/bin/env bash
# HTTP load on loopback: tvxhost answering the board page through corkwall.tvx,
# tvxhost sending the same page bytes as a static file, and nginx sending the
# same bytes as a static file, one after the other in one run (wrk, keep-alive).
# Prints requests/s of each and the ratios to nginx.
# Usage: bench/http_load.sh <build dir with host/tvxhost and board/corkwall.tvx>
# Environment: DURATION (seconds per run, default 5), CONNECTIONS (default 16).
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: bench/http_load.sh <build dir>" >&2
  exit 2
fi
build="$(cd "$1" && pwd)"
duration="${DURATION:-5}"
connections="${CONNECTIONS:-16}"
tvxhost="$build/host/tvxhost"
plugin="$build/board/corkwall.tvx"
nginx_bin="$(command -v nginx || echo /usr/sbin/nginx)"
for need in "$tvxhost" "$plugin" "$nginx_bin"; do
  [ -x "$need" ] || [ -f "$need" ] || { echo "http_load: missing $need" >&2; exit 1; }
done
command -v wrk >/dev/null || { echo "http_load: wrk is not installed" >&2; exit 1; }
command -v curl >/dev/null || { echo "http_load: curl is not installed" >&2; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/http_load.XXXXXX")"
chmod 755 "$work"  # nginx workers may run as another user
host_pid=""
nginx_pid=""
cleanup() {
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

mkdir -p "$work/www/bbs" "$work/static/bbs"
cp "$plugin" "$work/www/bbs/board.tvx"

# tvxhost: one worker per connection, so no connection waits for a thread.
"$tvxhost" --listen 127.0.0.1:0 --root "$work/www" --store "$work/store.db" \
  --access-log "$work/tvxhost-access.log" --threads "$connections" --keep-alive 100000 \
  >"$work/tvxhost.out" 2>"$work/tvxhost.err" &
host_pid=$!
host_url=""
for _ in $(seq 1 100); do
  host_url="$(grep -o 'http://127.0.0.1:[0-9]*/' "$work/tvxhost.out" || true)"
  [ -n "$host_url" ] && break
  sleep 0.1
done
[ -n "$host_url" ] || { echo "http_load: tvxhost did not start:"; cat "$work/tvxhost.err"; exit 1; } >&2

# A board with a few posts, so the page has some substance.
for i in 1 2 3 4 5; do
  curl -s -o /dev/null --max-time 10 "${host_url}bbs/board.tvx" \
    --data "name=bench&email=b%40example.org&subject=post+$i&body=load+test+body+$i&postitem=1"
done
curl -s --max-time 10 -o "$work/static/bbs/board.html" "${host_url}bbs/board.tvx"
cp "$work/static/bbs/board.html" "$work/www/bbs/board.html"
page_bytes="$(wc -c <"$work/static/bbs/board.html")"

nginx_port="$(free_port)"
mkdir -p "$work/nginx/tmp"
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes 2;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log $work/nginx/access.log;
  client_body_temp_path $work/nginx/tmp;
  proxy_temp_path $work/nginx/tmp;
  fastcgi_temp_path $work/nginx/tmp;
  uwsgi_temp_path $work/nginx/tmp;
  scgi_temp_path $work/nginx/tmp;
  keepalive_requests 100000;
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/static;
    default_type text/html;
  }
}
CONF
"$nginx_bin" -p "$work/nginx" -c "$work/nginx/nginx.conf" 2>"$work/nginx/start.err" &
nginx_pid=$!
nginx_url="http://127.0.0.1:$nginx_port/"
for _ in $(seq 1 100); do
  curl -s -o /dev/null --max-time 1 "${nginx_url}bbs/board.html" && break
  sleep 0.1
done
cmp -s <(curl -s --max-time 10 "${nginx_url}bbs/board.html") "$work/static/bbs/board.html" ||
  { echo "http_load: nginx does not serve the page:"; cat "$work/nginx/start.err" "$work/nginx/error.log"; exit 1; } >&2

rate() {  # url -> requests/s
  wrk -t2 -c"$connections" -d"${duration}s" --timeout 5s "$1" |
    awk '/^Requests\/sec:/ { print $2 }'
}

echo "page: $page_bytes bytes; $connections connections, ${duration}s per run, loopback"
plugin_rate="$(rate "${host_url}bbs/board.tvx")"
host_static_rate="$(rate "${host_url}bbs/board.html")"
nginx_rate="$(rate "${nginx_url}bbs/board.html")"
printf '%-34s %12s req/s\n' "tvxhost, board page (corkwall.tvx)" "$plugin_rate" \
  "tvxhost, same bytes as a file" "$host_static_rate" "nginx, same bytes as a file" "$nginx_rate"
awk -v p="$plugin_rate" -v s="$host_static_rate" -v n="$nginx_rate" 'BEGIN {
  if (n > 0) printf "ratio to nginx: board page %.2f, static file %.2f\n", p / n, s / n
}'
