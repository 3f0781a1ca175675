#!/bin/sh
# Runs CPython's own test suites as the application's Python program, in the
# real bundle under a display of its own:
#
#   run_in_application.sh WITH_DISPLAY BUNDLE STDLIB WORKDIR EXCLUDE SUITE...
#
# The bundle ships no test package, so the run uses a copy of BUNDLE (hard
# links where it can) in WORKDIR whose standard library has the build's own
# (STDLIB/test and the test extension modules) added: children started with
# -E or -I find it there as python3's children find theirs. Exits 77 (a
# skip) with a message when STDLIB has no test package.
# NORVALE_CPYTHON_SELECT and NORVALE_CPYTHON_SKIP, when set, choose tests by
# words of their ids (see run_suites.py).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
harness=$1 bundle=$2 stdlib=$3 work=$4 exclude=$5
shift 5

if [ ! -f "$stdlib/test/__init__.py" ] || [ ! -f "$stdlib/test/support/__init__.py" ]; then
  echo "skipped: the build's CPython has no test package in $stdlib"
  exit 77
fi

rm -rf "$work"
mkdir -p "$work"
cp -al "$bundle" "$work/bundle" 2>/dev/null || { rm -rf "$work/bundle"; cp -a "$bundle" "$work/bundle"; }
copy="$work/bundle/lib/$(basename "$stdlib")"
ln -s "$stdlib/test" "$copy/test"
for module in "$stdlib"/lib-dynload/_test*.so "$stdlib"/lib-dynload/_xxtest*.so; do
  [ -e "$module" ] && ln -sf "$module" "$copy/lib-dynload/"
done

tree="$work/tree"
mkdir -p "$tree/home" "$tree/runtime" "$tree/data" "$tree/config" "$tree/cache"
chmod 700 "$tree/runtime"
status=0
# In a process group of its own (this shell runs it in the background, so it
# is no group leader and setsid does not fork): whatever the run leaves
# behind, such as pool workers whose parent was ended, ends with the test.
cd "$work"
env -u DISPLAY -u WAYLAND_DISPLAY -u FLATPAK_ID -u SNAP -u APPIMAGE -u PYTHONPATH \
  HOME="$tree/home" XDG_RUNTIME_DIR="$tree/runtime" XDG_DATA_HOME="$tree/data" \
  XDG_CONFIG_HOME="$tree/config" XDG_CACHE_HOME="$tree/cache" XDG_DATA_DIRS=/usr/share \
  NORVALE_APP_PROGRAM="$here/run_suites.py" \
  NORVALE_CPYTHON_SUITES="$*" NORVALE_CPYTHON_EXCLUDE="$exclude" \
  setsid "$harness" -- "$work/bundle/bin/runner" &
run=$!
trap 'kill -KILL "-$run" 2>/dev/null' HUP INT TERM
wait "$run" || status=$?
kill -KILL "-$run" 2>/dev/null || true
cd /
rm -rf "$work"
exit "$status"
