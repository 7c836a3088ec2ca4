#!/usr/bin/env bash
# The webhook front end under load, black-box against `talmo serve`:
#   1. requests/s of the text webhook for a refused sender and for the owner,
#      beside nginx's fixed JSON answer on the same machine, and the ratio;
#   2. the owner's webhook latency (p50/p99) while 1,000 idle and 100 slow
#      connections are held open and a stranger flood runs, the attackers on
#      127.0.0.2 and the owner on 127.0.0.1;
#   3. the server's memory (RSS) before and after.
# Usage: bench/http_bench.sh BUILD_DIR   (BUILD_DIR holds talmo and http_load)
set -euo pipefail

BUILD=${1:?usage: http_bench.sh BUILD_DIR}
BUILD=$(cd "$BUILD" && pwd)
DURATION=${HTTP_BENCH_SECONDS:-4}
CONNS=${HTTP_BENCH_CONNECTIONS:-32}
OWNER=15551234567
STRANGER=4915000000000

ulimit -n 16384 2>/dev/null || true
SCRATCH=$(mktemp -d /tmp/talmo-http-bench-XXXXXX)
TALMO_PID="" NGINX_PID=""
cleanup() {
  [ -n "$TALMO_PID" ] && kill -KILL "$TALMO_PID" 2>/dev/null || true
  [ -n "$NGINX_PID" ] && kill -TERM "$NGINX_PID" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$SCRATCH"
}
trap cleanup EXIT

# shellcheck source=ports.sh
. "$(dirname "$0")/ports.sh"
rss() { awk '/^VmRSS/ {printf "%.1f MB", $2/1024}' "/proc/$1/status"; }
peak() { awk '/^VmHWM/ {printf "%.1f MB", $2/1024}' "/proc/$1/status"; }
# requests/s from wrk's output
wrk_rps() { awk '/^Requests\/sec/ {print $2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}'; }

body_for() { printf '{"sender": "%s", "message": "hello from the benchmark"}' "$1"; }
for who in stranger owner; do
  sender=$STRANGER; [ "$who" = owner ] && sender=$OWNER
  cat > "$SCRATCH/$who.lua" <<EOF
wrk.method = "POST"
wrk.body = '$(body_for "$sender")'
wrk.headers["Content-Type"] = "application/json"
EOF
done

# --- talmo serve on loopback, its log in the scratch folder ---------------
TALMO_PORT=$(free_port)
mkdir -p "$SCRATCH/home"
cat > "$SCRATCH/home/config.toml" <<EOF
MASTER_NUMBER = "+1 555 123 4567"
TALMO_HOST = "127.0.0.1"
TALMO_PORT = $TALMO_PORT
TALMO_DATA_DIR = "$SCRATCH/home/data"
TALMO_TIMEZONE = "UTC"
# Nothing listens on port 9: the conversations the owner's messages start
# fail fast at the model and the bridge, as with a bridge that is down.
BRIDGE_URL = "http://127.0.0.1:9"
GROQ_BASE_URL = "http://127.0.0.1:9"
TAVILY_BASE_URL = "http://127.0.0.1:9"
EOF
env -i PATH="$PATH" HOME="$SCRATCH/home" TALMO_HOME="$SCRATCH/home" \
  "$BUILD/talmo" serve --config "$SCRATCH/home/config.toml" > "$SCRATCH/talmo.log" 2>&1 &
TALMO_PID=$!
wait_for_port "$TALMO_PORT"
TALMO_URL="http://127.0.0.1:$TALMO_PORT/whatsapp/incoming/text"
curl -fsS -X POST -H 'Content-Type: application/json' -d "$(body_for $STRANGER)" "$TALMO_URL" | grep -q unauthorized
RSS_START=$(rss $TALMO_PID)

# --- nginx's fixed JSON answer on loopback, with its own configuration -----
NGINX_PORT=$(free_port)
mkdir -p "$SCRATCH/nginx"
cat > "$SCRATCH/nginx/nginx.conf" <<EOF
worker_processes auto;
daemon off;
pid $SCRATCH/nginx/nginx.pid;
error_log $SCRATCH/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $SCRATCH/nginx/body;
  proxy_temp_path $SCRATCH/nginx/proxy;
  fastcgi_temp_path $SCRATCH/nginx/fastcgi;
  uwsgi_temp_path $SCRATCH/nginx/uwsgi;
  scgi_temp_path $SCRATCH/nginx/scgi;
  server {
    listen 127.0.0.1:$NGINX_PORT;
    location / { default_type application/json; return 200 '{"status":"unauthorized"}'; }
  }
}
EOF
nginx -p "$SCRATCH/nginx" -c "$SCRATCH/nginx/nginx.conf" &
NGINX_PID=$!
wait_for_port "$NGINX_PORT"

ROUNDS=${HTTP_BENCH_ROUNDS:-3}
echo "== HTTP front end ($(nproc) cores, load average $(cut -d' ' -f1 /proc/loadavg);" \
     "wrk -t1 -c$CONNS, median of $ROUNDS alternating ${DURATION}s runs; talmo log: scratch file)"
run_wrk() { wrk -t1 -c"$CONNS" -d"${DURATION}s" -s "$SCRATCH/$1.lua" "$2"; }
median() { sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
# nginx and talmo take turns, so a change in the machine's load hits both.
: > "$SCRATCH/nginx.rps"; : > "$SCRATCH/refused.rps"
for _ in $(seq 1 "$ROUNDS"); do
  run_wrk stranger "http://127.0.0.1:$NGINX_PORT/whatsapp/incoming/text" | wrk_rps >> "$SCRATCH/nginx.rps"
  run_wrk stranger "$TALMO_URL" | wrk_rps >> "$SCRATCH/refused.rps"
done
NGINX_RPS=$(median < "$SCRATCH/nginx.rps")
REFUSED_RPS=$(median < "$SCRATCH/refused.rps")
RSS_AFTER_WRK=$(rss $TALMO_PID)
printf 'nginx fixed JSON answer:        %10.0f requests/s  (runs: %s)\n' "$NGINX_RPS" "$(paste -sd' ' "$SCRATCH/nginx.rps")"
printf 'webhook, refused sender:        %10.0f requests/s  (%s x nginx; target >= 0.50; runs: %s)\n' \
  "$REFUSED_RPS" "$(ratio "$REFUSED_RPS" "$NGINX_RPS")" "$(paste -sd' ' "$SCRATCH/refused.rps")"

# --- the owner's latency under attack ----------------------------------------
echo "owner webhook latency, 1,000 idle + 100 slow connections and a stranger flood from 127.0.0.2:"
"$BUILD/http_load" "$TALMO_PORT" "$OWNER" --idle 1000 --slow 100 --flood 4 --probes 1000 \
  --attacker 127.0.0.2 --owner 127.0.0.1 | sed 's/^/  /'
RSS_AFTER_ATTACK=$(rss $TALMO_PID)

# The owner path last: every accepted message starts a conversation.
OWNER_RPS=$(run_wrk owner "$TALMO_URL" | wrk_rps)
printf 'webhook, owner (message accepted): %7.0f requests/s  (%s x nginx; no target)\n' \
  "$OWNER_RPS" "$(ratio "$OWNER_RPS" "$NGINX_RPS")"
echo "talmo RSS: start $RSS_START, after wrk $RSS_AFTER_WRK, after the attack $RSS_AFTER_ATTACK," \
     "after the owner run $(rss $TALMO_PID) (peak $(peak $TALMO_PID))"

# --- hook: received messages across SIGKILL -----------------------------------
# crash_check.sh beside this script posts 500 owner messages, SIGKILLs the
# server at a random moment, restarts it and counts the "received" ones lost.
"$(dirname "$0")/crash_check.sh" "$BUILD" 500
