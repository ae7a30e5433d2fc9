#!/usr/bin/env bash
# Runs the README's test command (scripts/test.sh: the C++ unit tests and the Python
# suite on a throwaway PostgreSQL) in a pristine Debian root of the release named as the
# first argument: trixie (Debian 13) or forky (Debian testing). Needs root.
#
#   bash scripts/debian.sh forky [arguments]
#
# The root is made once with debootstrap into VELMOR_<RELEASE>_ROOT (VELMOR_TRIXIE_ROOT,
# VELMOR_FORKY_ROOT; default /var/cache/velmor/<release>, outside the repository) and
# reused; a root whose making was interrupted is made again. What test.sh installs into it
# stays there and speeds up later runs, but nothing built does: every run tests a fresh
# clone of this repository's HEAD commit. Uncommitted changes are NOT tested: commit them
# first.
#
# VELMOR_DEBIAN_MIRROR picks the archive (default http://deb.debian.org/debian).
# VELMOR_DEBIAN_SCRIPTS names the scripts run there, in order (default "test"; CI runs
# "test sanitize" in forky; "bench" leaves its bench/RESULTS.md in the root's clone).
# Further arguments go to each of them (pytest's, or bench.sh's mode).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

if [ "$(id -u)" -ne 0 ]; then
  log "run as root: this makes and enters a chroot"
  exit 1
fi

RELEASE="${1:-}"
shift || true
# What each release needs of debootstrap and of apt.
case "$RELEASE" in
  trixie)
    NAME="Debian 13"
    BOOTSTRAP_SCRIPT=""
    ;;
  forky)
    NAME="Debian testing (forky)"
    # Debian 12's debootstrap knows no forky; every Debian suite is made by the sid script.
    BOOTSTRAP_SCRIPT=/usr/share/debootstrap/scripts/sid
    ;;
  *)
    log "name the release: trixie (Debian 13) or forky (Debian testing)"
    exit 1
    ;;
esac
ROOT_VARIABLE="VELMOR_${RELEASE^^}_ROOT"
DEST="$(realpath -m "${!ROOT_VARIABLE:-/var/cache/velmor/$RELEASE}")"
MIRROR="${VELMOR_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
COMPLETE="$DEST/.velmor-root-complete"
CLONE=/srv/velmor  # inside the root
if [ "$DEST" = / ] || [[ "$DEST" =~ [[:space:]] ]]; then
  log "$ROOT_VARIABLE must be a folder other than / and without blanks: $DEST"
  exit 1
fi

# Mount points at or below the root, deepest first.
mounts_below() {
  awk -v root="$DEST" '$5 == root || index($5, root "/") == 1 { print $5 }' /proc/self/mountinfo |
    sort -r
}

unmount_all() {
  local point
  for point in $(mounts_below); do
    umount "$point" 2>/dev/null || umount -l "$point"
  done
  if [ -n "$(mounts_below)" ]; then
    log "still mounted below $DEST: $(mounts_below | tr '\n' ' ')"
    return 1
  fi
}

# Processes whose root is the chroot: none may outlive a run. Prints what it stopped.
stop_leftovers() {
  local pids=() entry pid
  for entry in /proc/[0-9]*; do
    pid="${entry#/proc/}"
    [ "$(readlink "$entry/root" 2>/dev/null)" = "$DEST" ] && pids+=("$pid")
  done
  [ ${#pids[@]} -eq 0 ] && return 0
  log "stopping processes left in the root: $(ps -o pid=,args= -p "${pids[*]}" | tr '\n' ';')"
  kill -TERM "${pids[@]}" 2>/dev/null || true
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    kill -0 "${pids[@]}" 2>/dev/null || return 1
    sleep 0.5
  done
  kill -KILL "${pids[@]}" 2>/dev/null || true
  return 1
}

cleanup() {
  local status=$?
  set +e
  stop_leftovers || { [ "$status" -ne 0 ] || status=1; }
  unmount_all || { [ "$status" -ne 0 ] || status=1; }
  log "$NAME run finished with status $status after ${SECONDS}s"
  exit "$status"
}

make_root() {
  if [ -e "$DEST" ]; then
    log "removing the unfinished root $DEST"
    unmount_all
    rm -rf --one-file-system "$DEST"
  fi
  if ! command -v debootstrap >/dev/null; then
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends \
      debootstrap >/dev/null
  fi
  log "making a $NAME root in $DEST (debootstrap)"
  local output="$DEST.debootstrap.log"
  if ! debootstrap --variant=minbase "$RELEASE" "$DEST" "$MIRROR" $BOOTSTRAP_SCRIPT >"$output" 2>&1; then
    tail -n 20 "$output" >&2
    exit 1
  fi
  if [ "$RELEASE" = forky ]; then
    # The archive these machines reach is a frozen mirror: testing's Release file is
    # signed for a week only, and past its Valid-Until apt would refuse every update.
    printf 'Acquire::Check-Valid-Until "false";\n' >"$DEST/etc/apt/apt.conf.d/99velmor-frozen-mirror"
  fi
  # Installing packages must never start their services in the root.
  printf '#!/bin/sh\nexit 101\n' >"$DEST/usr/sbin/policy-rc.d"
  chmod 755 "$DEST/usr/sbin/policy-rc.d"
  touch "$COMPLETE"
}

mkdir -p "$(dirname "$DEST")"
exec 9>"$DEST.lock"
if ! flock -n 9; then
  log "waiting for another run on $DEST"
  flock 9
fi
# The lock is ours: anything still mounted or running there is left from a killed run.
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
stop_leftovers || true
unmount_all
rm -rf --one-file-system "$DEST"/tmp/velmor-pg.*  # a killed run's server files
[ -e "$COMPLETE" ] || make_root

log "cloning $(git -C "$ROOT" rev-parse --short HEAD) into the root"
[ -z "$(git -C "$ROOT" status --porcelain --untracked-files=no)" ] ||
  log "uncommitted changes in $ROOT are not part of this run"
rm -rf --one-file-system "$DEST$CLONE"
git clone --quiet --no-checkout "$ROOT" "$DEST$CLONE"
git -C "$DEST$CLONE" checkout --quiet --detach "$(git -C "$ROOT" rev-parse HEAD)"

cp -L /etc/resolv.conf "$DEST/etc/resolv.conf"
mount -t proc proc "$DEST/proc"
# Private, so that nothing mounted below reaches the host's /dev.
mount --bind /dev "$DEST/dev"
mount --make-private "$DEST/dev"
mount --bind /dev/pts "$DEST/dev/pts"
mount --make-private "$DEST/dev/pts"
mount -t tmpfs -o mode=1777,nosuid,nodev shm "$DEST/dev/shm"

# A clean environment (no POSTGRES_*, PG_BIN or PYTHONPATH of the host), and without the
# lock: a process left behind by a killed run must not keep the next one waiting.
in_root() {
  chroot "$DEST" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin ${CI:+CI="$CI"} "$@" 9>&-
}
# Completes a package installation an earlier run was stopped in.
in_root dpkg --configure -a
for script in ${VELMOR_DEBIAN_SCRIPTS:-test}; do
  log "$NAME: bash scripts/$script.sh"
  in_root /bin/bash "$CLONE/scripts/$script.sh" "$@"
done
# bench.sh writes its results only when it runs every benchmark (no argument).
if [[ " ${VELMOR_DEBIAN_SCRIPTS:-} " == *" bench "* ]] && [ $# -eq 0 ]; then
  log "the benchmark results: $DEST$CLONE/bench/RESULTS.md"
fi
