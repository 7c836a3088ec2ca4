#!/usr/bin/env bash
# "received" across a crash, black-box against `talmo serve`: posts owner
# messages one after another, kills the server with SIGKILL at a random
# moment, restarts it on the same data folder, waits until its inbox has
# drained, and reports how many messages answered "received" were lost
# (never reached the conversation memory). Target: 0.
# Usage: bench/crash_check.sh BUILD_DIR [MESSAGES]   (BUILD_DIR holds talmo)
set -euo pipefail

BUILD=${1:?usage: crash_check.sh BUILD_DIR [MESSAGES]}
BUILD=$(cd "$BUILD" && pwd)
MESSAGES=${2:-500}
OWNER=15551234567

SCRATCH=$(mktemp -d /tmp/talmo-crash-check-XXXXXX)
TALMO_PID="" POSTER_PID=""
cleanup() {
  [ -n "$POSTER_PID" ] && kill -KILL "$POSTER_PID" 2>/dev/null || true
  [ -n "$TALMO_PID" ] && kill -KILL "$TALMO_PID" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$SCRATCH"
}
trap cleanup EXIT

# shellcheck source=ports.sh
. "$(dirname "$0")/ports.sh"

PORT=$(free_port)
mkdir -p "$SCRATCH/home"
cat > "$SCRATCH/home/config.toml" <<EOC
MASTER_NUMBER = "+1 555 123 4567"
TALMO_HOST = "127.0.0.1"
TALMO_PORT = $PORT
TALMO_DATA_DIR = "$SCRATCH/home/data"
TALMO_TIMEZONE = "UTC"
# Nothing listens on port 9: each conversation stores the owner's message,
# finds the model unreachable and ends; its replies wait in the outbox.
BRIDGE_URL = "http://127.0.0.1:9"
GROQ_BASE_URL = "http://127.0.0.1:9"
TAVILY_BASE_URL = "http://127.0.0.1:9"
EOC
start_talmo() {
  env -i PATH="$PATH" HOME="$SCRATCH/home" TALMO_HOME="$SCRATCH/home" \
    "$BUILD/talmo" serve --config "$SCRATCH/home/config.toml" >> "$SCRATCH/talmo.log" 2>&1 &
  TALMO_PID=$!
  wait_for_port "$PORT"
}
DB="$SCRATCH/home/data/talmo.db"
query() { sqlite3 -cmd ".timeout 5000" "$DB" "$1"; }

start_talmo
URL="http://127.0.0.1:$PORT/whatsapp/incoming/text"
# Eight senders at once; each line of received.txt names a message the
# server answered "received".
post_one() {
  if curl -sS --max-time 5 -X POST -H 'Content-Type: application/json' \
       -d "{\"sender\": \"$OWNER\", \"message\": \"crash check $1\"}" "$URL" 2>/dev/null |
       grep -q '"received"'; then
    echo "crash check $1" >> "$SCRATCH/received.txt"
  fi
}
export -f post_one
export OWNER URL SCRATCH
touch "$SCRATCH/received.txt"
seq 1 "$MESSAGES" | xargs -P 8 -I{} bash -c 'post_one {}' &
POSTER_PID=$!

# The kill comes at a random moment of the burst: after a random number of
# messages was received.
KILL_AFTER=$((1 + RANDOM % (MESSAGES - 1)))
while [ "$(wc -l < "$SCRATCH/received.txt")" -lt "$KILL_AFTER" ] && kill -0 "$POSTER_PID" 2>/dev/null; do
  sleep 0.01
done
kill -KILL "$TALMO_PID"
wait "$TALMO_PID" 2>/dev/null || true
TALMO_PID=""
wait "$POSTER_PID" 2>/dev/null || true
POSTER_PID=""
RECEIVED=$(wc -l < "$SCRATCH/received.txt")

start_talmo
for _ in $(seq 1 600); do
  [ "$(query 'SELECT COUNT(*) FROM inbox')" = 0 ] && break
  sleep 0.1
done
WAITING=$(query 'SELECT COUNT(*) FROM inbox')
kill -TERM "$TALMO_PID"
wait "$TALMO_PID" 2>/dev/null || true
TALMO_PID=""

query "SELECT content FROM conversation_messages WHERE role = 'user'" | sort -u > "$SCRATCH/handled.txt"
LOST=$(sort -u "$SCRATCH/received.txt" | comm -23 - "$SCRATCH/handled.txt" | wc -l)
NOTICED=$(query "SELECT COUNT(*) FROM outbox WHERE text LIKE '%I was interrupted while handling your message%'")
echo "crash check: SIGKILL after $KILL_AFTER received; $RECEIVED of $MESSAGES messages answered \"received\";" \
     "lost after the restart: $LOST (target 0); interrupted and noticed: $NOTICED; still waiting: $WAITING"
[ "$LOST" = 0 ]
