#!/bin/sh
# Installs the Debian packages that building and testing need, when they are
# missing. Safe to run again: it installs nothing that is already there.
#
# CPython 3.12 or later with its headers and shared library comes from the
# distribution where apt offers it: python3-dev where that is 3.12 or later
# (Debian 13, Ubuntu 24.04), else the newest python3.X-dev of 3.12 or later.
# Where apt offers none (Debian 12), the build needs a CPython of its own
# (pyenv, or NORVALE_PYTHON_PREFIX): without one, the script stops before it
# installs anything but CMake, which looks for it, and prints the steps to
# get one.
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)

packages="
  cmake make g++ pkg-config binutils
  libgtk-3-dev libglib2.0-dev libglib2.0-bin libgdk-pixbuf-2.0-dev
  googletest libgtest-dev libbenchmark-dev
  xvfb x11-utils xdotool imagemagick openbox xcompmgr weston
  desktop-file-utils libgtk-3-bin
  dbus-daemon libx11-dev libxfixes-dev
  gnome-shell mutter xwayland
  dpkg-dev lintian appstream patchelf llvm
  clang valgrind
  locales
"

as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    echo "Neither root nor sudo is available for: $*" >&2
    exit 1
  fi
}

# The version apt would install, or nothing.
candidate() {
  apt-cache policy "$1" 2>/dev/null | sed -n '/(none)/d; s/^ *Candidate: *//p'
}

# "MAJOR MINOR" of a Debian version such as 1:3.13.5-1, or nothing.
major_minor() {
  echo "$1" | sed -n 's/^\([0-9]*:\)\{0,1\}\([0-9][0-9]*\)\.\([0-9][0-9]*\).*/\2 \3/p'
}

# The CPython 3.12+ development package that apt offers, or nothing.
python_dev_package() {
  # shellcheck disable=SC2046
  set -- $(major_minor "$(candidate python3-dev)")
  if [ "$#" -eq 2 ] && [ "$1" -eq 3 ] && [ "$2" -ge 12 ]; then
    echo python3-dev
    return
  fi
  best="" best_minor=11
  for p in $(apt-cache pkgnames python3. 2>/dev/null | sed -n '/^python3\.[0-9][0-9]*-dev$/p'); do
    minor=${p#python3.}
    minor=${minor%-dev}
    if [ "$minor" -gt "$best_minor" ] && [ -n "$(candidate "$p")" ]; then
      best=$p best_minor=$minor
    fi
  done
  echo "$best"
}

# The sanitizer and fuzzer runtime of the clang that apt offers
# (libclang-rt-14-dev on Debian 12), or nothing.
clang_runtime_package() {
  # shellcheck disable=SC2046
  set -- $(major_minor "$(candidate clang)")
  if [ "$#" -eq 2 ]; then echo "libclang-rt-$1-dev"; fi
}

install_missing() {
  missing=""
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing="$missing $p"
    fi
  done
  [ -n "$missing" ] || return 0
  echo "Installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  # shellcheck disable=SC2086
  as_root apt-get install -y -q --no-install-recommends $missing ||
    { as_root apt-get update -q && as_root apt-get install -y -q --no-install-recommends $missing; }
}

# What apt offers decides which packages to take: read its lists first.
has_lists=""
for f in /var/lib/apt/lists/*_Packages*; do
  if [ -e "$f" ]; then has_lists=yes; fi
done
if [ -z "$has_lists" ]; then
  as_root apt-get update -q
fi

python_package=$(python_dev_package)
if [ -z "$python_package" ]; then
  # The build's own discovery says whether a usable CPython is there.
  install_missing cmake
  set --
  if [ -n "${NORVALE_PYTHON_PREFIX:-}" ]; then
    set -- "-DNORVALE_PYTHON_PREFIX=$NORVALE_PYTHON_PREFIX"
  fi
  echo "apt offers no CPython 3.12 or later; looking for one built for this machine."
  cmake "$@" -P "$source_dir/cmake/NorvalePython.cmake" || exit 1
fi

# CPython's own test package, which the distribution ships apart from the
# interpreter (the tests run CPython's multiprocessing suites with it).
python_testsuite_package() {
  case $1 in
    python3-dev) version=$(major_minor "$(candidate python3-dev)" | tr ' ' .) ;;
    python3.*-dev) version=${1#python}; version=${version%-dev} ;;
    *) return ;;
  esac
  if [ -n "$version" ] && [ -n "$(candidate "libpython$version-testsuite")" ]; then
    echo "libpython$version-testsuite"
  fi
}

# The bundle's packages are installed by pip of the build's CPython: the
# distribution's python3 has it in python3-pip.
pip_package=""
if [ "$python_package" = python3-dev ]; then pip_package=python3-pip; fi

# shellcheck disable=SC2046,SC2086
install_missing $packages $python_package $pip_package \
  $(python_testsuite_package "$python_package") $(clang_runtime_package)
