#!/bin/sh
# Installs the Debian packages that building and testing need, when they are
# missing. Safe to run again: it installs nothing that is already there.
set -eu

packages="
  cmake make g++ pkg-config binutils
  libgtk-3-dev libglib2.0-dev libglib2.0-bin libgdk-pixbuf-2.0-dev
  googletest libgtest-dev libbenchmark-dev
  xvfb x11-utils xdotool imagemagick openbox xcompmgr weston
  desktop-file-utils libgtk-3-bin
  dbus-daemon libx11-dev libxfixes-dev
  gnome-shell mutter xwayland
  clang libclang-rt-14-dev valgrind
"

missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

if [ -n "$missing" ]; then
  echo "Installing:$missing"
  if [ "$(id -u)" -eq 0 ]; then
    as_root=""
  elif command -v sudo >/dev/null 2>&1; then
    as_root="sudo"
  else
    echo "These packages are missing and neither root nor sudo is available:$missing" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  # shellcheck disable=SC2086
  $as_root apt-get install -y -q --no-install-recommends $missing ||
    { $as_root apt-get update -q && $as_root apt-get install -y -q --no-install-recommends $missing; }
fi
