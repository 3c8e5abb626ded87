#!/usr/bin/env bash
# image.sh [--cached] [RELEASE]
# Builds, or reuses, the Debian guest in which Wine runs the tool where the
# Linux host cannot, and the one for the second Wine: RELEASE bookworm
# (Debian 12, Wine 8; the default) or trixie (Debian 13, Wine 10), from one
# recipe. Prints the image's folder: vmlinuz, initrd.img, disk.img (ext4, used
# read-only behind a per-run overlay) and packages.txt (what it holds). The
# disk holds a 32- and a 64-bit Windows prefix, made once here (in
# /var/lib/tovu-e2e), which every run then uses as they are; made anew in each
# run, they would take two minutes. With --cached it only prints the folder of
# a finished image, if there is one.
#
# The image is cached outside the work tree, in $TOVU_GUEST_CACHE (default
# ~/.cache/tovu-stabilizer/guest), under a key made of the release, its
# package lists, this script, init and the end-to-end harness's prefix
# recipe: a change to any of them builds a new one. It is built in
# KEY.partial and renamed to KEY only once complete, so a build that was cut
# short is never taken for a finished image, and the next build removes what
# it left; it touches only names of a key's form. mmdebstrap and mkfs keep
# the files' owners, so they run as root: through sudo for a user, who then
# owns the image. sudo asks for a password only at the start, and only on a
# terminal; without one, a user whose sudo wants a password is told in one
# line what to run.
set -Eeuo pipefail
here=$(cd "$(dirname "$0")" && pwd)
say() { echo "guest image: $*" >&2; }
trap 'status=$?; say "failed (exit $status) at line $LINENO: $BASH_COMMAND; run it again to start this build anew"' ERR

cached=
[ "${1:-}" != --cached ] || { cached=1; shift; }
release=${1:-bookworm}
case "$release" in
  bookworm | trixie) ;;
  *) say "no recipe for Debian '$release': bookworm (Wine 8) or trixie (Wine 10)"; exit 2 ;;
esac
cache=${TOVU_GUEST_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tovu-stabilizer/guest}
e2e=$(cd "$here/../../tests/e2e" && pwd)
packages=("$here/../wine-packages" "$here/packages")
key=$( { echo "$release"; cat "$here/image.sh" "${packages[@]}" "$here/init"
         /usr/bin/python3 "$e2e/e2e.py" --prefix-recipe; } | sha256sum | cut -c1-16)
image=$cache/$key

if [ -n "$cached" ]; then
  if [ -f "$image/ready" ]; then
    touch "$image/ready" 2>/dev/null || true  # last used, for pruning
    echo "$image"
  fi
  exit 0
fi
if [ -f "$image/ready" ]; then
  touch "$image/ready" 2>/dev/null || true  # last used, for pruning; one of root's stays as it is
  say "reusing $image"
  echo "$image"
  exit 0
fi

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo -n "$@"; fi; }
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    say "building it needs root (mmdebstrap and mkfs keep the files' owners): run as root, or install sudo"
    exit 1
  fi
  if ! sudo -n true 2>/dev/null && { [ ! -t 0 ] || ! sudo -v; }; then
    say "building it needs sudo, which wants a password here: run \`sudo -v\` in a terminal, then this again"
    exit 1
  fi
fi
# remove DIR: a build killed mid-way may have left its chroot's proc, sys and
# dev mounted inside; unmount them, and never follow a mount in removing.
# What this user owns alone goes without sudo.
remove() {
  [ -e "$1" ] || return 0
  findmnt -rn -o TARGET | awk -v dir="$1/" 'index($0, dir) == 1' | sort -r |
    while read -r mount; do as_root umount -l "$mount"; done
  rm -rf --one-file-system "$1" 2>/dev/null || as_root rm -rf --one-file-system "$1"
}
# remove_unless_building KEY: removes what the build of KEY left, unless
# that build still runs; holds its lock meanwhile, so that none starts.
remove_unless_building() {
  local ret=0
  exec 8>>"$cache/$1.lock"
  if flock -n 8; then
    remove "$cache/$1.partial" || ret=$?
    [ "${2:-}" != image ] || remove "$cache/$1" || ret=$?
  fi
  exec 8>&-
  return $ret
}
keyed='[0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f]'

mkdir -p "$cache"
need_gib=8
free_gib=$(( $(df -Pk "$cache" | awk 'NR == 2 { print $4 }') / 1024 / 1024 ))
if [ "$free_gib" -lt "$need_gib" ]; then
  say "needs $need_gib GiB free in $cache to build, has $free_gib GiB"
  exit 1
fi

exec 9>>"$cache/$key.lock"
if ! flock -n 9; then
  say "another run is building this image; waiting for it"
  flock 9
fi
if [ -f "$image/ready" ]; then
  say "reusing $image, built meanwhile"
  echo "$image"
  exit 0
fi
# What builds cut short left, of this key or another, unless one still runs.
for stale in "$cache"/$keyed.partial; do
  [ -e "$stale" ] || continue
  if [ "$stale" = "$image.partial" ]; then
    remove "$stale"
  else
    stale=${stale##*/}
    remove_unless_building "${stale%.partial}"
  fi
done

partial=$image.partial
remove "$image"
mkdir -p "$partial"
start=$SECONDS
step() { say "[$1] $2 (at $((SECONDS - start)) s)"; }

# The release's main and updates suites, for both architectures, from the
# Debian mirror that the host's own sources name for its own release. The
# security suite is left out: the guest has no network, and the mirror's i386
# index of that suite has been failing to download.
host_release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
mirrors=()
while read -r uri; do
  mirrors+=("deb $uri $release main" "deb $uri $release-updates main")
done < <(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 'Created-By: Packages' |
           awk -v host="$host_release" '$1 == host { print $2 }' | sort -u)
if [ ${#mirrors[@]} -eq 0 ]; then
  say "this host's apt sources name no Debian mirror for its own release ('$host_release') to build from"
  exit 1
fi

mapfile -t include < <(cat "${packages[@]}" | grep -v '^#' | grep .)
step 1/4 "installing ${#include[@]} packages and what they need into a Debian $release root file system (mmdebstrap)"
# A line every 20 s, so that a quiet download does not look like a hang; it
# keeps sudo's ticket fresh too. It dies with this script, even a killed one,
# and holds no lock; its sleep holds nothing of our caller's.
setpriv --pdeathsig KILL bash -c 'trap "exit 0" TERM
  while sleep 20 </dev/null >/dev/null 2>&1 & wait $!; do
    echo "guest image:   ... $((SECONDS + $1)) s, $(du -sm "$2" 2>/dev/null | cut -f1) MB so far" >&2
    [ "$(id -u)" -eq 0 ] || sudo -n -v 2>/dev/null || true
  done' ticker "$((SECONDS - start))" "$partial/rootfs" >/dev/null 9>&- &
ticker=$!
stop_ticker() { kill "$ticker" 2>/dev/null || true; wait "$ticker" 2>/dev/null || true; }
trap stop_ticker EXIT
# In a mount namespace of its own, the chroot's mounts end with it, even killed.
as_root unshare --mount --propagation private \
  mmdebstrap --mode=root --variant=minbase --architectures=amd64,i386 \
  --include="$(IFS=,; echo "${include[*]}")" \
  --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
  --customize-hook='echo "ja_JP.UTF-8 UTF-8" >"$1/etc/locale.gen" && chroot "$1" locale-gen' \
  --customize-hook="cp '$here/init' \"\$1/sbin/tovu-init\"" \
  --customize-hook='rm -rf "$1/var/cache/apt" "$1/var/lib/apt/lists"' \
  "$release" "$partial/rootfs" "${mirrors[@]}" >&2 || status=$?
stop_ticker
if [ "${status:-0}" -ne 0 ] || [ ! -x "$partial/rootfs/sbin/tovu-init" ]; then
  say "mmdebstrap failed (exit ${status:-0}); nothing is kept"
  remove "$partial"
  exit 1
fi

step 2/4 "the kernel and a disk image"
as_root cp "$(ls "$partial"/rootfs/boot/vmlinuz-* | sort -V | tail -n1)" "$partial/vmlinuz"
as_root cp "$(ls "$partial"/rootfs/boot/initrd.img-* | sort -V | tail -n1)" "$partial/initrd.img"
dpkg-query --admindir="$partial/rootfs/var/lib/dpkg" -W >"$partial/packages.txt"
echo "$release" >"$partial/release"
# Room beside the files for the Wine prefixes (2 GB) and what runs write.
size_mb=$(( $(as_root du -sm "$partial/rootfs" | cut -f1) + 6144 ))
as_root mkfs.ext4 -q -F -L tovu-guest -d "$partial/rootfs" "$partial/disk.img" "${size_mb}M" >&2
remove "$partial/rootfs"
as_root chown "$(id -u):$(id -g)" "$partial/vmlinuz" "$partial/initrd.img" "$partial/disk.img"

step 3/4 "Wine prefixes for 32- and 64-bit Windows, in the guest (about 2 min)"
# shellcheck disable=SC2016
if ! "$here/guest.py" run --session "$partial/session" --image "$partial" --writable --share "$e2e" \
     --cwd / --timeout 1500 -- sh -c '
       python3 "$1/e2e.py" --arch win32 --work /var/lib/tovu-e2e/win32 --create-prefix & a=$!
       python3 "$1/e2e.py" --arch win64 --work /var/lib/tovu-e2e/win64 --create-prefix & b=$!
       wait $a && wait $b && sync' sh "$e2e" >&2; then
  say "the guest could not make the prefixes; nothing is kept"
  remove "$partial"
  exit 1
fi
rm -rf "$partial/session"

step 4/4 "done"
# On disk before it counts as built: a crash after this leaves a whole image.
sync "$partial"/*
touch "$partial/ready"
sync "$partial/ready" "$partial"
mv "$partial" "$image"
sync "$cache"
# Keep this image and the one of its release used last before it.
ls -dt "$cache"/$keyed/ready 2>/dev/null | while read -r old; do
  old=${old%/ready}
  if [ "$(cat "$old/release" 2>/dev/null || echo bookworm)" = "$release" ]; then echo "$old"; fi
done | tail -n +3 | while read -r old; do
  remove_unless_building "${old##*/}" image || say "could not remove the old image $old"
done
say "built $image in $((SECONDS - start)) s"
echo "$image"
