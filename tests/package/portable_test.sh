#!/bin/sh
# The portable bundle on another distribution: the bundle that
# `cmake --install` gives on this machine, in a fresh Debian testing root
# that has GTK 3's runtime packages and Xvfb and nothing else (no python3,
# no -dev package). There the bundle's Python imports the standard library's
# extension modules, each of which needs a library that such a machine may
# lack, and uses a little of each; and runner opens its window under Xvfb.
#
#   portable_test.sh SOURCE_DIR BUILD_DIR CMAKE RUN_IN_BUNDLE
#
# Exits 77 (skipped) where it cannot run: not root, or already inside a
# Debian root made by scripts/in-debian.sh (the test is about a bundle built
# elsewhere).
set -eu

source_dir=$1 build_dir=$2 cmake=$3 run_in_bundle=$4
suite=${NORVALE_PORTABLE_SUITE:-testing}

if [ -n "${NORVALE_IN_DEBIAN:-}" ]; then
  echo "skipped: already inside a Debian root ($NORVALE_IN_DEBIAN); the bundle is tried on another distribution from the build machine"
  exit 77
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: making and entering a Debian root needs root"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$cmake" --install "$build_dir" --prefix "$work/bundle" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; exit 1; }
cp "$run_in_bundle" "$work/run_in_bundle"

cat >"$work/imports.py" <<'EOF'
import os, sys, shutil, tempfile
import ssl, sqlite3, ctypes, lzma, bz2, uuid, readline, curses, decimal, zoneinfo

ssl.create_default_context()
print("ssl", ssl.OPENSSL_VERSION)
assert sqlite3.connect(":memory:").execute("select 6 * 7").fetchone() == (42,)
assert ctypes.CDLL(None).getpid() == os.getpid()
assert lzma.decompress(lzma.compress(b"lzma")) == b"lzma"
assert bz2.decompress(bz2.compress(b"bz2")) == b"bz2"
assert uuid.uuid4().version == 4
assert readline.get_history_length() is not None
curses.setupterm("xterm", sys.stdout.fileno())
assert curses.tigetstr("clear")
assert decimal.Decimal("0.1") + decimal.Decimal("0.2") == decimal.Decimal("0.3")
assert zoneinfo.ZoneInfo("UTC").key == "UTC"
# Every extension module resolved its libraries inside the bundle or in
# the baseline: none from a path the build machine had.
with open("/proc/self/maps") as maps:
    libraries = sorted({line.split()[-1] for line in maps if ".so" in line.split()[-1]})
print("\n".join("mapped " + path for path in libraries))
print("python3 on this machine:", shutil.which("python3"))
print("imports ok", sys.version.split()[0])
EOF

cat >"$work/check.sh" <<'EOF'
set -eu
cd /opt/portable
status=0
./run_in_bundle /opt/portable/bundle /opt/portable/imports.py || status=$?
echo "run_in_bundle status $status"
# runner under Xvfb: the window comes up and closes after its report.
Xvfb :7 -nolisten tcp -screen 0 800x600x24 >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -e /tmp/.X11-unix/X7 ] && break; sleep 0.1; done
runner_status=0
DISPLAY=:7 NO_AT_BRIDGE=1 NORVALE_FLUTTER_CLOSE_WINDOW=after-window-report \
  NORVALE_FLUTTER_TRACE=/tmp/trace HOME=/tmp XDG_RUNTIME_DIR=/tmp \
  timeout 60 /opt/portable/bundle/bin/runner || runner_status=$?
kill "$xvfb"
echo "runner status $runner_status"
grep -c "window-report-end" /tmp/trace || true
EOF

out=$("$source_dir/scripts/in-debian.sh" --packages "libgtk-3-0t64 xvfb" --no-clone \
        --bind "$work:/opt/portable" "$suite" -- sh /opt/portable/check.sh 2>&1) || true
echo "$out"

failures=0
expect() {
  if ! echo "$out" | grep -qx -- "$1"; then
    echo "FAIL: no line '$1'"
    failures=$((failures + 1))
  fi
}
expect "imports ok 3\..*"
expect "run_in_bundle status 0"
expect "python3 on this machine: None"
expect "runner status 0"
expect "1"
# Nothing of the build machine's CPython or of a -dev package is there.
if echo "$out" | grep "^mapped " | grep -v -e "^mapped /opt/portable/bundle/" \
     -e "^mapped /usr/lib/x86_64-linux-gnu/" -e "^mapped /lib/x86_64-linux-gnu/" \
     -e "^mapped /usr/lib64/" -e "^mapped /lib64/"; then
  echo "FAIL: libraries mapped from elsewhere (above)"
  failures=$((failures + 1))
fi
# The libraries that the extension modules need beyond the baseline are the
# bundle's own copies.
for lib in libsqlite3 libssl libcrypto liblzma libbz2 libreadline libncursesw libuuid libffi; do
  if ! echo "$out" | grep -q "^mapped /opt/portable/bundle/lib/$lib\.so"; then
    echo "FAIL: $lib is not the bundle's"
    failures=$((failures + 1))
  fi
done
if [ "$failures" -ne 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "the bundle runs on Debian $suite with only GTK 3 and Xvfb installed"
