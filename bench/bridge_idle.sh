#!/usr/bin/env bash
# The bridge's idle memory (PSS, from /proc/PID/smaps_rollup) with and without
# the Node options scripts/run and the systemd unit start it with: RUNS
# (BRIDGE_BENCH_RUNS, default 4) bridges of each kind started side by side
# against a loopback WebSocket port that refuses, measured after
# BRIDGE_BENCH_SECONDS (default 45: the plain heap is often still growing at
# 20) of idling in the reconnect loop. Prints the mean and the range: plain
# Node is bimodal here (about 50 MB, or about 80 once its young generation
# has grown), the small heap stays near the lower figure.
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

RUNS=${BRIDGE_BENCH_RUNS:-4}
for i in $(seq 1 "$RUNS"); do
  start "plain$i"
  start "small$i" "${SMALL_HEAP[@]}"
done
sleep "$SECONDS_IDLE"
grep -q "WhatsApp cannot be reached" "$SCRATCH/plain1.log" || { echo "the bridge did not reach its reconnect loop:" >&2; cat "$SCRATCH/plain1.log" >&2; exit 1; }
plain=() small=()
for i in $(seq 0 $((RUNS - 1))); do
  plain+=("$(pss_kb "${PIDS[$((2 * i))]}")")
  small+=("$(pss_kb "${PIDS[$((2 * i + 1))]}")")
done
# "mean min max" in MB of the figures given, in kB.
summary() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1; t += $1 } END { printf "%.0f %.0f %.0f", t / NR / 1024, v[1] / 1024, v[NR] / 1024 }'; }
read -r pm plo phi <<<"$(summary "${plain[@]}")"
read -r sm slo shi <<<"$(summary "${small[@]}")"
echo "bridge idle PSS after ${SECONDS_IDLE} s, mean of $RUNS (range; shared pages split among $((2 * RUNS)) processes): plain node $pm MB ($plo-$phi)," \
  "with ${SMALL_HEAP[*]} $sm MB ($slo-$shi): $(awk -v a="$sm" -v b="$pm" 'BEGIN { printf "%.0f", (1 - a / b) * 100 }')% less"
