#!/usr/bin/env bash
# Installing as a user does: a copy of the tree, owned by an ordinary user
# (uid 65534) and built by it with `make build`, is installed by root with
# `make install` and removed with `make uninstall`. Root must leave the
# user's build alone, refuse a missing or outdated binary with one line, use
# the Node it was given (and the npm beside it) and refuse one under /home.
# Needs root; skipped otherwise.
set -euo pipefail
src=${1:?usage: user_build_test.sh SOURCE_DIR}
user=65534
if [ "$(id -u)" != 0 ]; then
  echo "SKIP: needs root, to build as uid $user and install as root"
  exit 77
fi
fail() { echo "FAIL: $*" >&2; exit 1; }
# Run from `make test`, the makes below would otherwise join the outer one.
unset MAKEFLAGS MFLAGS MAKELEVEL

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
chmod 0755 "$tmp"
tree=$tmp/src
stage=$tmp/stage
mkdir -p "$tree" "$tmp/home"
tar -C "$src" --exclude=./.git --exclude=./build --exclude='./build-*' --exclude=./bridge/node_modules -cf - . |
  tar -C "$tree" -xf -
chown -R "$user:$user" "$tree" "$tmp/home"

as_user() {
  setpriv --reuid=$user --regid=$user --clear-groups \
    env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$tmp/home" LANG=C.UTF-8 "${cache_env[@]}" "$@"
}

# The user's compiler cache: one of its own that persists between runs, since
# the shared one is not the user's to write. Without ccache, a plain build.
cache_env=()
cache=${TALMO_INSTALL_TEST_CCACHE:-/var/tmp/talmo-install-test-ccache}
if command -v ccache >/dev/null; then
  [ -e "$cache" ] || install -d -o $user -g $user -m 0700 "$cache"
  if [ "$(stat -c %u "$cache")" = $user ]; then
    cache_env=(CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache CCACHE_DIR="$cache"
               CCACHE_BASEDIR="$tree" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=2G)
  fi
fi

out=$(as_user make -C "$tree" -s) || fail "a plain make failed: $out"
grep -q '^sudo make install ' <<<"$out" || fail "a plain make does not list the targets: $out"
[ ! -e "$tree/build" ] || fail "a plain make built something"

# Unoptimised, without debug information: the quickest build of the program,
# which is all the install needs.
as_user make -C "$tree" build JOBS=2 BUILD_TYPE=None >"$tmp/build.log" 2>&1 || { tail -30 "$tmp/build.log"; fail "make build as uid $user failed"; }
if grep -Eq 'make\[[0-9]+\]: (Entering|Leaving) directory' "$tmp/build.log"; then fail "the build prints make's directory lines"; fi

# A Node outside /home with its npm beside it; the npm records how it ran.
mkdir -p "$tmp/node/bin"
printf '#!/bin/sh\necho v22.3.0\n' > "$tmp/node/bin/node"
cat > "$tmp/node/bin/npm" <<EOF
#!/bin/sh
echo "\$* node=\$(command -v node) PREFIX=\${PREFIX-unset}" > "$tmp/npm.log"
mkdir -p node_modules/dep && echo 'module.exports = 1' > node_modules/dep/index.js
EOF
chmod 0755 "$tmp/node/bin/node" "$tmp/node/bin/npm"

# A source removed since an earlier build leaves its object's records behind;
# no build reads them again, so they must not hold the install back.
as_user sh -c 'echo "CMakeFiles/talmo.dir/src/gone.cpp.o: ../src/gone.cpp" >"$1"' sh \
  "$tree/build/CMakeFiles/talmo.dir/src/gone.cpp.o.d"

make -C "$tree" -s install DESTDIR="$stage" NODE="$tmp/node/bin/node" >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; fail "make install failed"; }
owned_by_root=$(find "$tree" -uid 0 | head -5)
[ -z "$owned_by_root" ] || fail "make install left root's files in the user's tree: $owned_by_root"

prefix=$stage/usr/local
grep -q "^ExecStart=$tmp/node/bin/node .*/usr/local/lib/talmo/bridge/src/main.js$" "$prefix/lib/systemd/system/talmo-bridge.service" ||
  fail "the bridge unit does not run the Node given by NODE="
# PREFIX is npm's own setting too: left in, npm would miss the Node's npmrc.
grep -qx "ci --omit=dev --no-audit --no-fund node=$tmp/node/bin/node PREFIX=unset" "$tmp/npm.log" ||
  fail "npm ci did not run with the npm and Node given: $(cat "$tmp/npm.log" 2>/dev/null)"
manifest=$prefix/share/talmo/installed-files
grep -qx /usr/local/lib/talmo/bridge/node_modules/dep/index.js "$manifest" || fail "the bridge's packages are not in the list"
[ ! -e "$prefix/lib/talmo/bridge/test" ] || fail "the bridge's tests were installed"
if find "$prefix/lib/talmo/bridge" -name '.*' | grep -q .; then fail "a dotfile was installed"; fi
# The list holds every installed file, and nothing else.
diff <(cd "$stage" && find . \( -type f -o -type l \) | sed 's|^\.||' | sort) <(sort "$manifest") ||
  fail "the list of installed files differs from what was installed"

# Refusals: one line, naming what to do; nothing is compiled.
refuses() {  # refuses WHAT EXPECTED-TEXT MAKE-ARGS...
  local what=$1 expected=$2; shift 2
  if out=$(make -C "$tree" -s install DESTDIR="$tmp/refused" "$@" 2>&1); then fail "$what: install went ahead"; fi
  out=$(grep -Ev '^g?make(\[[0-9]+\])?: \*\*\* ' <<<"$out")  # make's own closing line about the failed recipe
  [ "$(wc -l <<<"$out")" = 1 ] || fail "$what: more than one line: $out"
  grep -qF "$expected" <<<"$out" || fail "$what: no \"$expected\" in: $out"
  [ ! -e "$tmp/refused/usr/local/bin/talmo" ] || fail "$what: the binary was installed"
}
refuses "NODE under /home" "NODE=/home/owner/.nvm/versions/node/v20.11.0/bin/node is under /home" \
  NODE=/home/owner/.nvm/versions/node/v20.11.0/bin/node
touch "$tree/src/core/memory/memory.hpp"
refuses "a source newer than the binary" 'run `make build` first, as your own user' NODE="$tmp/node/bin/node"
rm "$tree/build/talmo"
refuses "no binary" 'run `make build` first, as your own user' NODE="$tmp/node/bin/node"
owned_by_root=$(find "$tree" -uid 0 | head -5)
[ -z "$owned_by_root" ] || fail "a refused install left root's files in the user's tree: $owned_by_root"

# Uninstall removes exactly what was listed: a file of someone else's stays.
echo other > "$prefix/bin/other-tool"
make -C "$tree" -s uninstall DESTDIR="$stage" >"$tmp/uninstall.log" 2>&1 || { cat "$tmp/uninstall.log"; fail "make uninstall failed"; }
left=$(cd "$stage" && find . \( -type f -o -type l \))
[ "$left" = ./usr/local/bin/other-tool ] || fail "after uninstall, left: $left"
[ ! -e "$prefix/lib/talmo" ] && [ ! -e "$prefix/share/talmo" ] || fail "Talmo's own folders were left behind"
grep -q '/var/lib/talmo' "$tmp/uninstall.log" || fail "uninstall does not say the data stays"
echo "install as a user OK"
