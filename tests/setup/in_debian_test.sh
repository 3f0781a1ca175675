#!/bin/sh
# scripts/in-debian.sh leaves nothing behind: after a run that ends, that is
# interrupted with Ctrl-C (SIGINT to its process group), or whose parent (the
# make that started it) or itself is killed, no process of the run is left
# and nothing of it is mounted on the host; a killed run's overlay goes with
# the next run.
#
#   in_debian_test.sh SOURCE_DIR
#
# Exits 77 (skipped) where it cannot run: not root, or inside a root that
# in-debian.sh made.
set -eu

source_dir=$1
suite=${NORVALE_IN_DEBIAN_TEST_SUITE:-testing}
if [ -n "${NORVALE_IN_DEBIAN:-}" ]; then
  echo "skipped: already inside a Debian root ($NORVALE_IN_DEBIAN)"
  exit 77
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: entering a Debian root needs root"
  exit 77
fi
runs=${NORVALE_ROOTS:-/var/cache/norvale/roots}/runs

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The processes whose command line holds the marker.
marked() {
  for cmdline in /proc/[0-9]*/cmdline; do
    if { tr '\0' ' ' <"$cmdline"; } 2>/dev/null | grep -q -- "$1"; then
      pid=${cmdline#/proc/}
      echo "${pid%/cmdline}"
    fi
  done
}

# What the host has mounted under the runs' directory.
mounted() { findmnt -rn -o TARGET | grep -F "$runs/" || true; }

# Waits until `$1` holds (a shell condition), within 20 s.
within() {
  for _ in $(seq 200); do
    if eval "$1"; then return 0; fi
    sleep 0.1
  done
  return 1
}

# Starts a run whose command says it is inside and then waits; then ends it
# as `$1` says.
try() {
  how=$1
  marker=in-debian-test-$how-$$
  log=$work/$how.log
  # A parent that stays (as make does), in a process group of its own, with
  # SIGINT handled by default (as a terminal's foreground job is; a job
  # started with & ignores it).
  setsid env --default-signal=INT,QUIT sh -c '"$0" --no-clone "$1" -- sh -c "echo inside; sleep 600; : $2"; echo "ended $?"' \
    "$source_dir/scripts/in-debian.sh" "$suite" "$marker" >"$log" 2>&1 &
  parent=$!
  if ! within 'grep -q "^inside$" "$log"'; then
    fail "$how: the run did not start"
    cat "$log"
    kill -KILL "-$parent" 2>/dev/null || true
    return
  fi
  if [ -z "$(marked "$marker")" ]; then fail "$how: the command is not seen running"; fi
  if [ -n "$(mounted)" ]; then fail "$how: the host sees the run's mounts: $(mounted)"; fi
  case $how in
    ctrl-c) kill -INT "-$parent" ;;
    parent-terminated) kill -TERM "$parent" ;;
    parent-killed) kill -KILL "$parent" ;;
    run-killed)
      run=$(pgrep -P "$parent" | head -n 1)
      kill -KILL "$run"
      ;;
  esac
  if ! within '[ -z "$(marked "$marker")" ]'; then
    fail "$how: processes left: $(marked "$marker" | tr '\n' ' ')"
    for pid in $(marked "$marker"); do kill -KILL "$pid" 2>/dev/null || true; done
  fi
  if [ -n "$(mounted)" ]; then fail "$how: still mounted: $(mounted)"; fi
  echo "$how: checked ($(tail -n 1 "$log"))"
}

# The runs' directories that are not this test's.
others=$(ls -A "$runs" 2>/dev/null || true)
left() { ls -A "$runs" 2>/dev/null | grep -vxF -e "$others" -e "" || true; }

# A run that ends by itself.
out=$("$source_dir/scripts/in-debian.sh" --no-clone "$suite" -- sh -c 'test -d /root && echo inside' 2>&1) ||
  fail "a plain run failed: $out"
echo "$out" | grep -q "^inside$" || fail "a plain run did not run its command: $out"
if [ -n "$(mounted)" ]; then fail "after a plain run: still mounted: $(mounted)"; fi
if [ -n "$(left)" ]; then fail "after a plain run, left in $runs: $(left)"; fi

for how in ctrl-c parent-terminated parent-killed run-killed; do try "$how"; done

# The next run removes what a killed one left on disk.
"$source_dir/scripts/in-debian.sh" --no-clone "$suite" -- true >/dev/null 2>&1 || fail "a run after the killed ones failed"
if [ -n "$(left)" ]; then fail "left in $runs after the next run: $(left)"; fi

if [ "$failures" -ne 0 ]; then
  echo "$failures failures"
  exit 1
fi
