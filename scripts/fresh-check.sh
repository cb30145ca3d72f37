#!/usr/bin/env bash
# Proves that the README's two commands do all the set-up on a machine that has nothing but a
# minimal Debian 12: makes such a root with mmdebstrap from this machine's own apt sources, copies
# the committed checkout in, and runs the README's set-up command and then its test command there
# with chroot. Needs root. The root is unmounted and removed on every way out.
#
#   sudo scripts/fresh-check.sh          # ORVANE_FRESH_DIR picks where the root is made
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-check: needs root (it runs mmdebstrap, mount and chroot)" >&2
  exit 2
fi

repo=$(cd "$(dirname "$0")/.." && pwd)
work=${ORVANE_FRESH_DIR:-/var/tmp/orvane-fresh}
root=$work/root
log=$work/stage.log
checkout=/src/orvane

say() { echo "fresh-check: $*"; }

# Everything mounted under the root, innermost first.
mounts_under_root() {
  findmnt --raw --noheadings --output TARGET | awk -v r="$root" '$0 == r || index($0, r "/") == 1' | sort -r
}

# Processes still running inside the root (daemons a failed test left) would keep it busy.
stop_processes_inside() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && kill -KILL "${p#/proc/}" 2>/dev/null
  done
  return 0
}

remove_root() {
  local target
  [ -d "$root" ] || return 0
  stop_processes_inside
  for target in $(mounts_under_root); do
    umount "$target" 2>/dev/null || umount --lazy "$target"
  done
  if [ -n "$(mounts_under_root)" ]; then
    echo "fresh-check: could not unmount everything under $root; not removing it" >&2
    return 1
  fi
  # --one-file-system: a mount that slipped through must never be descended into.
  rm -rf --one-file-system "$root"
}

on_exit() {
  local status=$?
  trap - EXIT INT TERM
  remove_root || status=1
  exit "$status"
}
trap on_exit EXIT
trap 'echo "fresh-check: interrupted" >&2; exit 130' INT TERM

# Runs one stage, its output to the terminal and to the stage log; on failure names the stage and
# repeats the last lines of its output.
stage() {
  local name=$1 started=$SECONDS
  shift
  say "$name"
  if ! "$@" 2>&1 | tee "$log"; then
    echo "fresh-check: FAILED: $name" >&2
    echo "fresh-check: last lines of its output:" >&2
    tail -n 30 "$log" >&2
    exit 1
  fi
  say "$name: done in $((SECONDS - started)) s"
}

# The first line of each of the README's first two shell blocks: the set-up and the test command.
readme_commands() {
  awk '/^```sh$/ { inblock = 1; first = 1; next }
       /^```/ { inblock = 0; next }
       inblock && first { print; first = 0; if (++n == 2) exit }' "$repo/README.md"
}

# The machine's own package sources, as apt reads them: sources.list and the .list and .sources
# files of sources.list.d.
apt_sources() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && echo "$f"
  done
  return 0
}

mount_root() {
  # The root is a mount point of its own, as / is on a real machine: programs that look their
  # folder's file system up in the mount table (free-space checks) find it.
  mount --bind "$root" "$root"
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount --bind /dev "$root/dev"
  mount --bind /dev/pts "$root/dev/pts"
  mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
  # Packages are downloaded once per machine.
  mkdir -p /var/cache/apt/archives/partial "$root/var/cache/apt/archives"
  mount --bind /var/cache/apt/archives "$root/var/cache/apt/archives"
}

run_inside() {
  local -a keep=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
                 LANG=C.UTF-8 TERM=dumb)
  local name
  # The machine's BLAS tuning, its proxy and certificate settings and the test knobs go in with
  # the commands.
  for name in $(compgen -e | grep -E '^(OPENBLAS_|ORVANE_|CI$|NODE_EXTRA_CA_CERTS$|SSL_CERT_(FILE|DIR)$|(http|https|no)_proxy$|(HTTP|HTTPS|NO)_PROXY$)' || true); do
    keep+=("$name=${!name}")
  done
  chroot "$root" /usr/bin/env -i "${keep[@]}" bash -c "cd $checkout && $1" </dev/null
}

mapfile -t commands < <(readme_commands)
if [ ${#commands[@]} -ne 2 ]; then
  echo "fresh-check: README.md has no set-up and test command (its first two \`\`\`sh blocks)" >&2
  exit 1
fi
mapfile -t sources < <(apt_sources)
if [ ${#sources[@]} -eq 0 ]; then
  echo "fresh-check: this machine has no apt sources (/etc/apt/sources.list, sources.list.d)" >&2
  exit 1
fi
if ! command -v mmdebstrap >/dev/null; then
  stage "installing mmdebstrap" bash -c 'apt-get update -qq && apt-get install -y -qq mmdebstrap'
fi

# A root left by an interrupted run is never reused.
mkdir -p "$work"
remove_root

total=$SECONDS
stage "making a minimal Debian 12 root in $root" \
  mmdebstrap --variant=apt --mode=root --quiet bookworm "$root" "${sources[@]}"
# The machine's own network set-up goes in with its package sources: the resolver, and the local
# certificate authorities (a proxy that inspects TLS signs with one), which the root's
# ca-certificates takes in when the set-up installs it.
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
if [ -d /usr/local/share/ca-certificates ]; then
  mkdir -p "$root/usr/local/share/ca-certificates"
  cp -rL /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
fi
mkdir -p "$root$checkout"
git -C "$repo" archive HEAD | tar -x -C "$root$checkout"
mount_root
say "the checkout is $(git -C "$repo" rev-parse --short HEAD), in $checkout inside the root"
stage "set-up command: ${commands[0]}" run_inside "${commands[0]}"
stage "test command: ${commands[1]}" run_inside "${commands[1]}"
say "passed in $((SECONDS - total)) s"
