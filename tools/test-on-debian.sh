#!/usr/bin/env bash
# Follows the README's set-up as a new user would on a freshly made minimal Debian, then
# installs the package that it built on a second fresh system, one that never built the project:
#
#   tools/test-on-debian.sh RELEASE          RELEASE: bookworm (Debian 12) or trixie (Debian 13)
#
# Both systems are chroots made with `mmdebstrap --variant=minbase` (installed when missing)
# from the Debian mirror (DEBIAN_MIRROR, default http://deb.debian.org/debian), the way a
# minimal image, a container or a chroot starts: with empty package lists. The project is the
# committed HEAD of the repository this script is in, nothing uncommitted. In the first system,
# as root and with no display, it runs the README's lines in order: apt-get update, install make
# and git, clone, make demo (whose picture of the last scan must be docs/window.png byte for byte),
# make test and make package. In the second it installs the package and replays
# examples/warehouse.scans with the installed rangeScanInspector on a virtual display.
#
# Prints one line per step with its time and result, and the end of a failed step's log; the
# logs are kept when a step fails. Status 0 only when every step passed. Needs root (it asks
# sudo when it is not); everything it mounts is mounted in a namespace of its own, so nothing
# stays mounted however it ends, and the chroots are removed at the end, Ctrl-C included.
set -euo pipefail

readonly mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
readonly logTail=40  # lines of a failed step's log shown
readonly virtualScreen="-screen 0 1280x1024x24 -nolisten tcp"

release=
repository=
work=
builder=
installer=
logs=
stepPid=
stepCount=0
failed=0
ticks=$(getconf CLK_TCK)

usage() {
  echo "Usage: tools/test-on-debian.sh RELEASE   (bookworm or trixie)" >&2
  exit 2
}

# ---- cleaning up -------------------------------------------------------------------------

# Mounts live only in each step's own mount namespace, which goes with its last process; this
# makes sure of that before anything is removed, so that removing a chroot never reaches into
# a mounted /proc or /dev.
unmountUnder() {
  local mounts
  mounts=$(awk -v root="$1/" 'index($5, root) == 1 { print $5 }' /proc/self/mountinfo | sort -r)
  for mount in $mounts; do umount -l "$mount" 2> /dev/null || true; done
}

# Whether a process still runs inside the chroots (its root is there), such as one that is
# being killed.
insideRuns() {
  local process root
  for process in /proc/[0-9]*; do
    root=$(readlink "$process/root" 2> /dev/null) || continue
    [[ $root == "$work"/* ]] && return 0
  done
  return 1
}

# A step runs in a process group of its own (see main): killing the group ends the command in
# the chroot, and with it everything it started there.
cleanUp() {
  local status=$?
  set +e
  if [ -n "$stepPid" ]; then
    kill -TERM -- "-$stepPid" 2> /dev/null
    wait "$stepPid" 2> /dev/null
    # mmdebstrap finishes the dpkg run it is in before it cleans up and ends.
    for _ in $(seq 600); do kill -0 -- "-$stepPid" 2> /dev/null || break; sleep 0.1; done
  fi
  if [ -n "$work" ]; then
    for _ in $(seq 100); do insideRuns || break; sleep 0.1; done
    unmountUnder "$work"
    rm -rf --one-file-system "$builder" "$installer"
    if [ "$failed" -eq 0 ]; then
      rm -rf "$work"
    else
      echo "The logs are in $logs"
    fi
  fi
  exit "$status"
}

# ---- steps -------------------------------------------------------------------------------

# Processor seconds used by this script's finished children and all they waited for.
childrenCpuSeconds() {
  local stat
  read -r -a stat < "/proc/$$/stat"
  echo $(((stat[15] + stat[16]) / ticks))
}

minutes() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

# Runs "$@" as a step called `name`, with its output in a log of its own, and prints a line
# with its time and result, and the processor time it took (on a busy machine the time alone
# says little). A failed step ends the whole run with the end of its log.
step() {
  local name=$1 started cpu status=0 log took
  shift
  stepCount=$((stepCount + 1))
  log=$logs/$(printf '%02d' "$stepCount")-${name//[^a-zA-Z0-9]/-}.log
  started=$(date +%s)
  cpu=$(childrenCpuSeconds)
  # In the background, so that an interruption reaches the trap at once.
  "$@" > "$log" 2>&1 < /dev/null &
  stepPid=$!
  wait "$stepPid" || status=$?
  stepPid=
  took="$(minutes $(($(date +%s) - started)))  (processor $(minutes $(($(childrenCpuSeconds) - cpu))))"
  if [ "$status" -eq 0 ]; then
    printf '%-46s ok      %s\n' "$name" "$took"
    return 0
  fi
  printf '%-46s FAILED  %s, status %d\n' "$name" "$took" "$status"
  echo "  The end of its log ($log):"
  tail -n "$logTail" "$log" | sed 's/^/  | /'
  failed=1
  exit 1
}

ensureMmdebstrap() {
  command -v mmdebstrap > /dev/null 2>&1 && return 0
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap
}

# A release that was not checked must not look checked: without the mirror, one line and fail.
checkMirror() {
  if ! timeout 60 /usr/lib/apt/apt-helper download-file "$mirror/dists/$release/InRelease" "$work/InRelease" \
    > "$logs/mirror.log" 2>&1; then
    echo "Can't reach the package mirror $mirror: Debian $release was not checked."
    exit 1
  fi
}

# A minimal system of the release, with the security and point-release updates a fresh
# install has; its package lists are left empty, as in any fresh minimal system. Its dpkg
# doesn't sync every file it unpacks, as in Debian's container images: the system is thrown
# away at the end.
makeSystem() {
  local security=${mirror%/debian}/debian-security
  mmdebstrap --variant=minbase --dpkgopt=force-unsafe-io "$release" "$1" \
    "deb $mirror $release main" "deb $mirror $release-updates main" "deb $security $release-security main"
}

# Runs a shell command line as root inside the chroot `root`, in a login-like environment with
# no display. /proc, /sys and a private /dev/pts are mounted in a mount namespace and a PID
# namespace of the command's own: when the command ends, or is killed, so is everything it
# started, and the mounts go with them.
inChroot() {
  local root=$1 line=$2
  unshare --mount --pid --fork --kill-child=SIGKILL --propagation private bash -c '
    set -e
    root=$1
    mount -t proc proc "$root/proc"
    mount -t sysfs -o ro sysfs "$root/sys"
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
    mount --bind "$root/dev/pts/ptmx" "$root/dev/ptmx"
    exec chroot "$root" /usr/bin/env -i HOME=/root LOGNAME=root USER=root SHELL=/bin/bash \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin bash -c "cd /root && $2"
  ' inChroot "$root" "$line"
}

# The project as it is committed: a bundle of HEAD, which the system's own git clones.
bundleProject() {
  git -C "$repository" bundle create "$builder/root/project.bundle" HEAD
}

# make demo, on a machine without a display, checks that the window shows the last scan pixel
# for pixel as scanlog draws it, and keeps that drawing: it is docs/window.png byte for byte on
# every release. Both pictures are kept with the logs, to be looked at when they differ.
samePicture() {
  cp "$builder/root/rangeScanInspector/build/demo/"{rangeScanInspector,window}.png "$logs/"
  cmp "$logs/rangeScanInspector.png" "$builder/root/rangeScanInspector/docs/window.png"
}

# How many packages the system `root` has and their installed size in KiB, as dpkg counts them.
installedPackages() {
  chroot "$1" dpkg-query -W -f='${db:Status-Abbrev} ${Installed-Size}\n' |
    awk '$1 == "ii" { count++; size += $2 } END { print count, size }'
}

# What a step installed into `root`, from the counts before it.
reportInstalled() {
  local before after
  read -r -a before <<< "$2"
  read -r -a after <<< "$(installedPackages "$1")"
  printf '  %d packages installed, %d MB\n' $((after[0] - before[0])) $(((after[1] - before[1]) / 1024))
}

# The second system gets the package and the log to replay, nothing else from the first.
copyPackage() {
  mkdir -p "$installer/root/build"
  cp -v "$builder"/root/rangeScanInspector/build/rangescaninspector_*.deb "$installer/root/build/"
  cp -v "$builder/root/rangeScanInspector/examples/warehouse.scans" "$installer/root/"
}

# The installed viewer replays the bundled log to its end on a virtual display, and echoes
# every record: its banner, then two lines a record.
replayInstalled() {
  cat > "$installer/root/replay.sh" << END
set -e
export XDG_RUNTIME_DIR=\$(mktemp -d)
xvfb-run -a -s "$virtualScreen" rangeScanInspector warehouse.scans > echo.txt
scans=\$(scanlog info warehouse.scans | awk '\$1 == "scans" { print \$2 }')
echo "echoed \$(wc -l < echo.txt) lines for \$scans scans"
[ "\$(wc -l < echo.txt)" -eq \$((1 + 2 * scans)) ]
END
  inChroot "$installer" "bash -x replay.sh"
}

# All of it in one function, read whole before it runs: the script may be edited meanwhile.
main() {
  [ $# -eq 1 ] || usage
  release=$1
  case "$release" in
    bookworm | trixie) ;;
    *) usage ;;
  esac
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo > /dev/null 2>&1 || { echo "tools/test-on-debian.sh: needs root (to make chroots)" >&2; exit 1; }
    exec sudo DEBIAN_MIRROR="$mirror" "$0" "$@"
  fi

  repository=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
  local commit
  commit=$(git -C "$repository" rev-parse --short HEAD)
  work=$(mktemp -d "${TMPDIR:-/var/tmp}/test-on-debian-$release.XXXXXX")
  builder=$work/build-system
  installer=$work/install-system
  logs=$work/logs
  mkdir -p "$logs"
  trap cleanUp EXIT
  trap 'echo "Interrupted."; failed=1; exit 130' INT TERM HUP
  # Job control: each step's processes form a group of their own, which cleanUp can end whole.
  set -m

  echo "Debian $release, commit $commit, in $work"
  step "install mmdebstrap when missing" ensureMmdebstrap
  checkMirror

  step "make a minimal $release" makeSystem "$builder"
  step "bundle the committed project" bundleProject
  step "apt-get update" inChroot "$builder" "apt-get update"
  step "apt-get install make git" inChroot "$builder" "apt-get install make git <<< Y"
  step "git clone" inChroot "$builder" "git clone project.bundle rangeScanInspector"
  local packages
  packages=$(installedPackages "$builder")
  step "make demo: its packages" inChroot "$builder" "cd rangeScanInspector && tools/install-deps.sh demo"
  reportInstalled "$builder" "$packages"
  step "make demo" inChroot "$builder" "cd rangeScanInspector && make demo"
  step "make demo: the picture is docs/window.png" samePicture
  step "make test" inChroot "$builder" "cd rangeScanInspector && make test"
  grep -h 'tests passed' "$logs"/*make-test.log | sed 's/^/  /' || true
  step "make package" inChroot "$builder" "cd rangeScanInspector && make package"

  step "make a second minimal $release" makeSystem "$installer"
  step "copy the package and the log into it" copyPackage
  step "apt-get update" inChroot "$installer" "apt-get update"
  step "apt install the package" inChroot "$installer" "apt install -y ./build/rangescaninspector_*.deb"
  step "a virtual display (xvfb, xauth)" inChroot "$installer" "apt-get install -y --no-install-recommends xvfb xauth"
  step "rangeScanInspector replays warehouse.scans" replayInstalled
  echo "Debian $release: every step passed."
}

main "$@"
