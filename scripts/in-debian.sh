#!/bin/sh
# Runs make targets of this checkout inside a fresh Debian root of a named
# suite, as a new user of that distribution would run them.
#
#   scripts/in-debian.sh [OPTION...] SUITE [TARGET...]   (default target: test)
#   scripts/in-debian.sh [OPTION...] SUITE -- COMMAND [ARG...]
#
# SUITE is a Debian suite or code name: trixie (Debian 13), testing, ...
#
#   --packages "P..."  a root with these packages installed as well (cached
#                      apart from the plain one)
#   --bind DIR:PATH    DIR of the host, read-only at PATH inside the root
#   --no-clone         no clone of the checkout; the command runs in /root
#
# The root: `debootstrap --variant=minbase` with git, make and sudo, kept in
# a cache outside the checkout ($NORVALE_ROOTS, by default
# /var/cache/norvale/roots) and made again once it is older than
# $NORVALE_ROOT_MAX_AGE_DAYS (7). The cached root itself never changes: each
# run works on an overlay of it, which is thrown away afterwards, so every
# run starts from the same fresh system. Downloaded packages are kept beside
# the root (apt's archives), so that a run does not fetch again what the
# last one fetched; they are installed anew every time.
#
# Inside: a clone of the checkout's committed HEAD (not the working tree's
# uncommitted changes) in /root/norvale, and `make TARGET...` there as root
# (or the COMMAND), with NORVALE_IN_DEBIAN=SUITE set.
#
# Everything happens in a private mount and PID namespace: the root's
# /proc, /sys, /dev, /tmp and /dev/shm, the overlay and the apt cache are
# mounted there only, so the host never sees them; when the run ends, is
# interrupted with Ctrl-C, or is killed (this process, or the make that
# started it), the kernel ends every process of the namespace and drops its
# mounts. The overlay's files on disk go with the run, or with the next run
# after a SIGKILL.
#
# Needs root (debootstrap, mounts, pivot_root), debootstrap and util-linux.
set -eu

# The whole script is one function, read before it runs: an edit of this file
# during a long run does not change what the run does.
main() {

inside=""
packages=""
binds=""
clone=yes
while [ "$#" -gt 0 ]; do
  case $1 in
    --inside) inside=yes ;;
    --packages) packages=$2; shift ;;
    --bind) binds="$binds $2"; shift ;;
    --no-clone) clone="" ;;
    --*) echo "in-debian: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
  shift
done

suite=${1:-}
if [ -z "$suite" ]; then
  echo "usage: $0 [--packages LIST] [--bind DIR:PATH] [--no-clone] SUITE [TARGET... | -- COMMAND...]" >&2
  exit 2
fi
shift
case $suite in
  *[!a-z0-9-]*) echo "in-debian: not a suite name: $suite" >&2; exit 2 ;;
esac
command_mode=""
if [ "${1:-}" = "--" ]; then
  command_mode=yes
  shift
  [ "$#" -gt 0 ] || { echo "in-debian: no command after --" >&2; exit 2; }
elif [ "$#" -eq 0 ]; then
  set -- test
fi
case $packages$binds in
  *[!a-zA-Z0-9.+:/_\ -]*) echo "in-debian: unexpected characters in --packages or --bind" >&2; exit 2 ;;
esac

if [ "$(id -u)" -ne 0 ]; then
  echo "in-debian: needs root (debootstrap, mounts and pivot_root)" >&2
  exit 1
fi

source_dir=$(cd "$(dirname "$0")/.." && pwd)
if [ -n "${NORVALE_ROOTS:-}" ]; then
  cache=$NORVALE_ROOTS
else
  cache=/var/cache/norvale/roots
fi
mirror=${NORVALE_DEBIAN_MIRROR:-http://deb.debian.org/debian}
max_age_days=${NORVALE_ROOT_MAX_AGE_DAYS:-7}
root_name=$suite
if [ -n "$packages" ]; then
  root_name=$suite-$(echo "$packages" | tr ' ' '\n' | sort -u | tr '\n' ' ' | md5sum | cut -c1-8)
fi
root=$cache/$root_name
runs=$cache/runs

log() { echo "in-debian[$suite]: $*" >&2; }

if [ -z "$inside" ]; then
  if ! command -v debootstrap >/dev/null 2>&1; then
    echo "Installing: debootstrap"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap ||
      { apt-get update -q && DEBIAN_FRONTEND=noninteractive \
          apt-get install -y -q --no-install-recommends debootstrap; }
  fi
  for tool in debootstrap unshare pivot_root setpriv flock git; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      echo "in-debian: $tool is missing (apt-get install debootstrap util-linux git)" >&2
      exit 1
    fi
  done
  case $cache/ in
    "$source_dir"/*) echo "in-debian: the cache $cache is inside the checkout" >&2; exit 1 ;;
  esac
  mkdir -p "$cache" "$runs"
  # Everything else in namespaces of its own, which die with this process:
  # --kill-child ends the namespace's first process (and so all of it) when
  # unshare ends, and the parent-death signal ends unshare when whatever
  # started it (make) is killed.
  set -- ${command_mode:+--} "$@"
  [ -n "$clone" ] || set -- --no-clone "$suite" "$@"
  [ -z "$clone" ] || set -- "$suite" "$@"
  for bind in $binds; do set -- --bind "$bind" "$@"; done
  exec setpriv --pdeathsig KILL -- \
    unshare --mount --propagation private --pid --fork --kill-child --mount-proc -- \
    "$0" --inside --packages "$packages" "$@"
fi

# ---- Inside the namespaces: this is process 1 of the PID namespace. --------

# Runs only read the root and share it; making it anew waits until no run
# uses it.
exec 9>"$cache/$root_name.lock"
flock -s 9

# Overlay directories left by a run that was killed (no one holds their lock).
for stale in "$runs"/*.lock; do
  [ -e "$stale" ] || continue
  if flock -n "$stale" true; then
    # Nothing is mounted there any more: its namespace is gone.
    rm -rf "${stale%.lock}/upper" "${stale%.lock}/work"
    rmdir "${stale%.lock}/merged" "${stale%.lock}" 2>/dev/null || true
    rm -f "$stale"
  fi
done

root_is_recent() {
  [ -f "$root/.norvale-root-made" ] &&
    [ -z "$(find "$root/.norvale-root-made" -mmin "+$((max_age_days * 24 * 60))")" ]
}

# Runs a command in a root: its /proc, /sys, /dev, /tmp and /dev/shm mounted
# in this namespace only.
enter() {
  target=$1
  shift
  mount -t proc proc "$target/proc"
  # A sysfs of its own, read-only, without the host's cgroup and other
  # file systems below it.
  mount -t sysfs -o ro sysfs "$target/sys"
  mount -t tmpfs -o mode=755 dev "$target/dev"
  for node in null zero full random urandom tty; do
    touch "$target/dev/$node"
    mount --bind "/dev/$node" "$target/dev/$node"
  done
  mkdir -p "$target/dev/pts" "$target/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666 devpts "$target/dev/pts"
  ln -s pts/ptmx "$target/dev/ptmx"
  ln -s /proc/self/fd "$target/dev/fd"
  ln -s /proc/self/fd/0 "$target/dev/stdin"
  ln -s /proc/self/fd/1 "$target/dev/stdout"
  ln -s /proc/self/fd/2 "$target/dev/stderr"
  mount -t tmpfs -o mode=1777 shm "$target/dev/shm"
  mount -t tmpfs -o mode=1777 tmp "$target/tmp"
  # The host's name servers, for apt.
  rm -f "$target/etc/resolv.conf"
  cp -L /etc/resolv.conf "$target/etc/resolv.conf"
  # The host's way to the package registries: its proxy settings, and pip's
  # settings with the certificate bundle they name (copied into the root,
  # where pip of the root's CPython installs the program's packages).
  network=""
  for name in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY \
              PIP_INDEX_URL PIP_EXTRA_INDEX_URL PIP_TRUSTED_HOST PIP_DEFAULT_TIMEOUT; do
    eval "value=\${$name:-}"
    [ -z "$value" ] || network="$network $name=$value"
  done
  for name in PIP_CERT REQUESTS_CA_BUNDLE SSL_CERT_FILE; do
    eval "value=\${$name:-}"
    if [ -n "$value" ] && [ -f "$value" ]; then
      cp "$value" "$target/etc/ssl/norvale-host-$name.pem"
      network="$network $name=/etc/ssl/norvale-host-$name.pem"
    fi
  done
  # The root becomes the root of a mount namespace of its own (pivot_root),
  # not a chroot: the kernel refuses new user namespaces to a chrooted
  # process, and so bubblewrap (the sandbox of GdkPixbuf's image loaders
  # and others) would not work in it as it works on a user's machine.
  # shellcheck disable=SC2016
  env -i HOME=/root TERM="${TERM:-dumb}" LANG=C.UTF-8 \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      ${CI:+CI=$CI} NORVALE_IN_DEBIAN="$suite" $network \
      unshare --mount --propagation private -- sh -c '
        mount --rbind "$0" "$0" && cd "$0" && pivot_root . . && umount -l . && cd / &&
          exec "$@"' "$target" "$@"
}

make_root() {
  log "making a fresh root in $root (debootstrap --variant=minbase)"
  new=$root.new
  rm -rf "$new"
  mkdir -p "$new"
  # `testing` and other names that debootstrap has no script for are made
  # as sid is; the Release file says which suite it is.
  script=/usr/share/debootstrap/scripts/sid
  if [ -e "/usr/share/debootstrap/scripts/$suite" ]; then
    script=/usr/share/debootstrap/scripts/$suite
  fi
  debootstrap --variant=minbase --include=git,make,sudo,ca-certificates \
    "$suite" "$new" "$mirror" "$script"
  echo "deb $mirror $suite main" >"$new/etc/apt/sources.list"
  # The archive's testing may be past its Release file's Valid-Until date
  # (the signature is still checked); apt refuses such a file otherwise.
  printf 'Acquire::Check-Valid-Until "false";\n' >"$new/etc/apt/apt.conf.d/80norvale-valid-until"
  # A throwaway system: dpkg need not sync every file it writes.
  echo force-unsafe-io >"$new/etc/dpkg/dpkg.cfg.d/80norvale-unsafe-io"
  # Downloaded packages stay, for the next run (the directory is the cache's).
  rm -f "$new/etc/apt/apt.conf.d/docker-clean"
  printf 'Binary::apt::APT::Keep-Downloaded-Packages "true";\nAPT::Keep-Downloaded-Packages "true";\n' \
    >"$new/etc/apt/apt.conf.d/80norvale-keep-packages"
  if [ -n "$packages" ]; then
    # shellcheck disable=SC2086
    enter "$new" sh -c 'apt-get update -q && DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -q --no-install-recommends "$@"' sh $packages
    umount -R "$new/proc" "$new/sys" "$new/dev" "$new/tmp" 2>/dev/null || true
  fi
  rm -rf "$new/var/cache/apt/archives/"*.deb "$new/var/lib/apt/lists/"*_Packages* || true
  date -u +%Y-%m-%dT%H:%M:%SZ >"$new/.norvale-root-made"
  rm -rf "$root"
  mv "$new" "$root"
}

if ! root_is_recent; then
  flock 9
  if ! root_is_recent; then make_root; fi
  flock -s 9
else
  log "reusing the root made $(cat "$root/.norvale-root-made") ($root)"
fi

# This run's overlay of the root, on disk beside the cache.
run=$runs/$root_name.$(date +%s%N)
exec 8>"$run.lock"
flock 8
mkdir -p "$run/upper" "$run/work" "$run/merged" "$cache/archives/$suite/partial"
# The overlay's own files only: never a tree that may still have mounts in it.
cleanup() {
  cd /
  umount -R "$run/merged" 2>/dev/null || umount -R -l "$run/merged" || true
  rm -rf "$run/upper" "$run/work" || log "could not remove $run"
  rmdir "$run/merged" "$run" 2>/dev/null || true
  rm -f "$run.lock"
}
trap 'status=$?; cleanup; exit $status' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
mount -t overlay overlay -o "lowerdir=$root,upperdir=$run/upper,workdir=$run/work" "$run/merged"
mount --bind "$cache/archives/$suite" "$run/merged/var/cache/apt/archives"
for bind in $binds; do
  mkdir -p "$run/merged/${bind#*:}"
  mount --bind "${bind%%:*}" "$run/merged/${bind#*:}"
  mount -o remount,bind,ro "$run/merged/${bind#*:}"
done

workdir=/root
if [ -n "$clone" ]; then
  # The committed HEAD of this checkout.
  head=$(git -C "$source_dir" rev-parse HEAD)
  log "cloning $source_dir at $head"
  git clone -q --no-hardlinks "$source_dir" "$run/merged/root/norvale"
  git -C "$run/merged/root/norvale" checkout -q --detach "$head"
  if [ -n "$(git -C "$source_dir" status --porcelain --untracked-files=no)" ]; then
    log "note: uncommitted changes of the checkout are not part of the run"
  fi
  workdir=/root/norvale
fi

if [ -z "$command_mode" ]; then
  set -- make "$@"
fi
log "$* in $workdir"
set +e
# shellcheck disable=SC2016
enter "$run/merged" sh -c 'cd "$0" && exec "$@"' "$workdir" "$@"
status=$?
set -e
log "$* ended with status $status"
exit "$status"
}

main "$@"
exit
