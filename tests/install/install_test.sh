#!/usr/bin/env bash
# The installed layout: scripts/install into a temporary prefix lays out every
# file the README names, the binary is stripped and runs, the units point at
# the installed files, and systemd-analyze verify has nothing to say about them.
set -euo pipefail
src=${1:?usage: install_test.sh SOURCE_DIR TALMO_BINARY}
binary=${2:?usage: install_test.sh SOURCE_DIR TALMO_BINARY}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/usr
fail() { echo "FAIL: $*" >&2; exit 1; }

PREFIX=$prefix BRIDGE_PACKAGES=no "$src/scripts/install" "$binary" >/dev/null

for file in bin/talmo lib/talmo/bridge/src/main.js lib/talmo/bridge/package.json lib/talmo/bridge/package-lock.json \
            lib/systemd/system/talmo.service lib/systemd/system/talmo-bridge.service \
            share/talmo/config.example.toml share/doc/talmo/README.md; do
  [ -f "$prefix/$file" ] || fail "missing $file"
done
[ ! -e "$prefix/lib/talmo/bridge/node_modules" ] || fail "node_modules copied from the source tree"
if readelf -S "$prefix/bin/talmo" | grep -q '\.symtab'; then fail "bin/talmo is not stripped"; fi
"$prefix/bin/talmo" --version | grep -q '^talmo ' || fail "the installed binary does not run"

unit=$prefix/lib/systemd/system/talmo.service
bridge_unit=$prefix/lib/systemd/system/talmo-bridge.service
grep -qx "ExecStart=$prefix/bin/talmo serve" "$unit" || fail "talmo.service does not start the installed binary"
grep -qx "Type=notify" "$unit" || fail "talmo.service is not Type=notify"
grep -qx "ExecStart=.* $prefix/lib/talmo/bridge/src/main.js" "$bridge_unit" || fail "the bridge unit does not start the installed bridge"
grep -q -- "^ExecStart=.* --max-semi-space-size=1 --optimize-for-size " "$bridge_unit" || fail "the bridge unit does not start Node with a small heap"
grep -q "^After=.*talmo.service" "$bridge_unit" || fail "the bridge is not ordered after Talmo"
if grep -q '@[A-Z]*@' "$unit" "$bridge_unit"; then fail "a placeholder was left in a unit"; fi

if command -v systemd-analyze >/dev/null; then
  # Warnings leave the exit code at 0, so any output counts as a failure.
  out=$(systemd-analyze verify "$unit" "$bridge_unit" 2>&1) || fail "systemd-analyze verify: $out"
  [ -z "$out" ] || fail "systemd-analyze verify: $out"
else
  echo "systemd-analyze not found: the units were not verified"
fi
echo "install layout OK"
