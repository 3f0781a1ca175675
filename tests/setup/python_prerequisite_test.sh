#!/bin/sh
# The CPython prerequisite on a fresh machine, through the real deps script
# and the real configure step.
#
#   python_prerequisite_test.sh choice  SOURCE_DIR CMAKE PYTHON_PREFIX
#     Which packages the deps step asks apt for, with apt answering as each
#     distribution does (apt-cache, dpkg-query and apt-get are stand-ins;
#     nothing is installed).
#   python_prerequisite_test.sh missing SOURCE_DIR CMAKE
#     With every CPython 3.12+ of the machine hidden: the deps step of a
#     distribution without one, and the configure step, stop with the steps.
#
# Exits 77 (skipped) when the machine's own CPython 3.12+ cannot be hidden.
set -eu

mode=$1 source_dir=$2 cmake=$3 python_prefix=${4:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stubs=$work/bin
mkdir -p "$stubs" "$work/home"
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# apt as a distribution answers it. STUB_APT: "NAME=VERSION ..." that apt
# offers; STUB_APT_LISTED: names it knows without a candidate;
# STUB_INSTALLED: packages dpkg reports installed. apt-get only records.
cat >"$stubs/apt-cache" <<'EOF'
#!/bin/sh
case $1 in
  policy)
    shift
    for name; do
      version="(none)"
      for entry in $STUB_APT; do
        [ "${entry%%=*}" = "$name" ] && version=${entry#*=}
      done
      printf '%s:\n  Installed: (none)\n  Candidate: %s\n' "$name" "$version"
    done ;;
  pkgnames)
    for entry in $STUB_APT $STUB_APT_LISTED; do
      case ${entry%%=*} in "$2"*) echo "${entry%%=*}" ;; esac
    done ;;
esac
EOF
cat >"$stubs/dpkg-query" <<'EOF'
#!/bin/sh
for name; do :; done
for p in $STUB_INSTALLED; do
  [ "$p" = "$name" ] && { printf 'install ok installed'; exit 0; }
done
exit 1
EOF
cat >"$stubs/apt-get" <<'EOF'
#!/bin/sh
echo "$*" >>"$STUB_CALLS"
EOF
chmod +x "$stubs/apt-cache" "$stubs/dpkg-query" "$stubs/apt-get"
ln -s "$cmake" "$stubs/cmake"

# The environment of a machine without pyenv: no PYENV_ROOT, a home of its
# own, a PATH of the system directories.
run_hidden() {
  env -u PYENV_ROOT -u NORVALE_PYTHON_PREFIX HOME="$work/home" PATH="$stubs:/usr/bin:/bin" \
    STUB_CALLS="$work/calls" "$@"
}

# The apt-get installs the deps step asked for, one package a line.
installed_packages() {
  sed -n 's/^install -y -q --no-install-recommends //p' "$work/calls" 2>/dev/null | tr ' ' '\n' |
    sed '/^$/d' | sort
}

if [ "$mode" = choice ]; then
  # distribution | what apt offers | names without candidate | expected CPython and clang runtime packages
  while IFS='|' read -r name offered listed expected; do
    [ -n "$name" ] || continue
    rm -f "$work/calls"
    out=$(run_hidden env STUB_APT="$offered" STUB_APT_LISTED="$listed" STUB_INSTALLED="" \
      NORVALE_PYTHON_PREFIX="$python_prefix" sh "$source_dir/scripts/install-deps.sh" 2>&1) ||
      fail "$name: the deps step failed: $out"
    got=$(installed_packages | grep -E '^(python3.*-dev|libclang-rt-.*)$' | tr '\n' ' ')
    want=$(echo "$expected" | tr ' ' '\n' | sed '/^$/d' | sort | tr '\n' ' ')
    [ "$got" = "$want" ] || fail "$name: installs '$got', expected '$want'"
    installed_packages | grep -qx cmake || fail "$name: the rest of the packages are not installed"
  done <<'EOF'
debian-12|python3-dev=3.11.2-1+b1 python3.11-dev=3.11.2-6+deb12u6 clang=1:14.0-55.7~deb12u1||libclang-rt-14-dev
debian-13|python3-dev=3.13.5-1 python3.13-dev=3.13.5-2 clang=1:19.0-63||python3-dev libclang-rt-19-dev
ubuntu-24.04|python3-dev=3.12.3-0ubuntu1 python3.12-dev=3.12.3-1ubuntu0.1 clang=1:18.0-59~exp2||python3-dev libclang-rt-18-dev
ubuntu-22.04-with-newer-pythons|python3-dev=3.10.6-1~22.04 python3.9-dev=3.9.5-3 python3.12-dev=3.12.8-1+jammy1 python3.13-dev=3.13.1-1+jammy1 clang=1:14.0-55~exp2|python3.14-dev python3.13-dbg|python3.13-dev libclang-rt-14-dev
epoch-in-version|python3-dev=2:3.14.0-1 clang=1:20.0-1||python3-dev libclang-rt-20-dev
EOF
  exit $((failures > 0))
fi

# missing: hide the system's own CPython 3.12+ too, in a mount namespace of
# our own, behind an executable that fails.
if [ -z "${PREREQUISITE_TEST_HIDDEN:-}" ]; then
  system_pythons=""
  for exe in /usr/bin/python3 /usr/bin/python3.[0-9]*; do
    case $exe in *-config | *[!0-9]) continue ;; esac
    [ -x "$exe" ] || continue
    if "$exe" -I -c 'import sys; sys.exit(sys.version_info < (3, 12))' 2>/dev/null; then
      system_pythons="$system_pythons $exe"
    fi
  done
  if [ -n "$system_pythons" ]; then
    if ! unshare -m true 2>/dev/null; then
      echo "SKIP: cannot hide$system_pythons without a mount namespace" >&2
      exit 77
    fi
    # shellcheck disable=SC2016
    exec unshare -m sh -c 'for exe in $1; do mount --bind /bin/false "$exe"; done; shift
      PREREQUISITE_TEST_HIDDEN=1 exec sh "$@"' - "$system_pythons" "$0" "$@"
  fi
fi

expect_steps() {
  for text in "No usable CPython found" "pyenv: not installed" \
    "sudo apt-get install python3-dev" \
    "env PYTHON_CONFIGURE_OPTS=--enable-shared pyenv install 3.13" \
    "make test NORVALE_PYTHON_PREFIX=/opt/python3.13" \
    "cmake --preset default -DNORVALE_PYTHON_PREFIX=/opt/python3.13"; do
    printf '%s\n' "$2" | grep -qF -- "$text" || fail "$1: no '$text' in: $2"
  done
}

# The deps step where apt offers no CPython 3.12+ (Debian 12) stops before it
# installs anything.
rm -f "$work/calls"
if out=$(run_hidden env STUB_APT="python3-dev=3.11.2-1+b1 clang=1:14.0-55.7~deb12u1" \
  STUB_APT_LISTED="" STUB_INSTALLED="cmake" sh "$source_dir/scripts/install-deps.sh" 2>&1); then
  fail "deps step: succeeded without a CPython: $out"
fi
expect_steps "deps step" "$out"
[ ! -s "$work/calls" ] || fail "deps step: called apt-get: $(cat "$work/calls")"

# The configure step stops at the CPython discovery, before anything else.
if out=$(run_hidden "$cmake" -S "$source_dir" -B "$work/build" 2>&1); then
  fail "configure: succeeded without a CPython"
fi
expect_steps "configure" "$out"
printf '%s\n' "$out" | grep -q "CMake Error at cmake/NorvalePython.cmake" ||
  fail "configure: did not stop in the CPython discovery: $out"
printf '%s\n' "$out" | grep -q "PkgConfig" && fail "configure: went on past the discovery: $out"
exit $((failures > 0))
