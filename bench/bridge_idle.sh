#!/usr/bin/env bash
# The bridge's idle memory (PSS, from /proc/PID/smaps_rollup) with and without
# the Node options scripts/run and the systemd unit start it with, both
# started side by side against a loopback WebSocket port that refuses, after
# BRIDGE_BENCH_SECONDS (default 45: the plain heap is still growing at 20) of idling in the reconnect loop.
# Usage: bench/bridge_idle.sh
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=ports.sh
source bench/ports.sh

SECONDS_IDLE=${BRIDGE_BENCH_SECONDS:-45}
SMALL_HEAP=(--max-semi-space-size=1 --optimize-for-size)
SCRATCH=$(mktemp -d /tmp/talmo-bridge-bench-XXXXXX)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$SCRATCH"
}
trap cleanup EXIT

refused=$(free_port)  # nothing listens there
start() {  # start NAME NODE_OPTIONS...
  local name=$1 port
  shift
  port=$(free_port)
  mkdir -p "$SCRATCH/$name"
  TALMO_HOME="$SCRATCH/$name" TALMO_CONFIG="$SCRATCH/$name/config.toml" MASTER_NUMBER=+15551234567 \
    BRIDGE_URL="http://127.0.0.1:$port" BRIDGE_BENCH_WS_URL="ws://127.0.0.1:$refused/ws/chat" \
    node "$@" bench/bridge_idle.mjs 2>"$SCRATCH/$name.log" &
  PIDS+=($!)
  wait_for_port "$port"
}
pss_kb() { awk '/^Pss:/ { print $2 }' "/proc/$1/smaps_rollup"; }

start plain
start small "${SMALL_HEAP[@]}"
sleep "$SECONDS_IDLE"
plain=$(pss_kb "${PIDS[0]}")
small=$(pss_kb "${PIDS[1]}")
grep -q "WhatsApp cannot be reached" "$SCRATCH/plain.log" || { echo "the bridge did not reach its reconnect loop:" >&2; cat "$SCRATCH/plain.log" >&2; exit 1; }
echo "bridge idle PSS after ${SECONDS_IDLE} s: $((plain / 1024)) MB plain node, $((small / 1024)) MB with ${SMALL_HEAP[*]}" \
  "($(awk -v a="$small" -v b="$plain" 'BEGIN { printf "%.0f", (1 - a / b) * 100 }')% less)"
