#!/usr/bin/env bash
# Installs, from Debian's packages, whatever this machine lacks for the given
# jobs: build (the .exe), sign (Authenticode), test (host unit tests), win64
# (an x64 compiler for the 64-bit stand-in Tovu.exe), guest (QEMU and what
# builds its Debian image; no i386 package), hardening, repro (reprotest and
# the locale it varies to), and wine: Wine on this host where its kernel runs
# 32-bit programs and Wine's i386 packages install, else the guest's packages
# (scripts/guest/route.py then names the way taken).
# Safe to run again: it installs only what is missing, and waits for apt's
# lock where another apt holds it. Where it adds the i386 architecture for
# packages that then fail to install, or is stopped before they did, it
# removes it again, so that apt-get update works as it did before; a run
# killed outright leaves a note ($added) by which the next one does. Only
# where the i386 packages themselves cannot be had (their index or their
# dependencies) is that verdict kept, for a day ($verdict): later runs then
# take the guest without trying again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
state=${XDG_CACHE_HOME:-$HOME/.cache}/tovu-stabilizer
verdict=$state/wine32-failed
added=$state/i386-added

guest=(qemu-system-x86 qemu-utils mmdebstrap e2fsprogs python3)
need=()
add() { need+=("$@"); }
for job in "$@"; do
  case "$job" in
    build) add cmake make g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev python3 ;;
    sign) add osslsigncode openssl ;;
    test) add cmake make g++ googletest libgtest-dev libgmock-dev python3 python3-pefile ;;
    win64) add g++-mingw-w64-x86-64 ;;
    guest) add "${guest[@]}" ;;
    repro) add reprotest diffoscope-minimal faketime locales ;;
    hardening) add clang libclang-rt-14-dev clang-tidy clang-format cppcheck ;;
    wine) ;;
    *) echo "setup.sh: unknown job '$job'" >&2; exit 2 ;;
  esac
done
wanted() { printf '%s\n' "${@:2}" | grep -qx "$1"; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
log=$(mktemp)
trap 'undo_i386; rm -f "$log"' EXIT
trap 'exit 130' INT; trap 'exit 143' TERM; trap 'exit 129' HUP

# undo_i386: removes the i386 architecture where a run of ours added it and
# no i386 package came of it; keeps the note where it cannot.
undo_i386() {
  [ -e "$added" ] || return 0
  if dpkg --print-foreign-architectures | grep -qx i386 &&
     ! dpkg-query -W -f='${Architecture} ${db:Status-Abbrev}\n' | grep -q '^i386 .[^n]'; then
    as_root dpkg --remove-architecture i386 || return 0
    echo "setup.sh: removed the i386 architecture again, which setup had added" >&2
  fi
  rm -f "$added"
}

# apt ARGS...: apt-get as root, its output also in $log; waits for a lock that
# another apt (unattended-upgrades, say) holds: 30 tries, each 10 s of apt's
# own wait (where it waits) and 10 s of ours, so 5 to 10 min in all.
apt() {
  local tries=30
  while true; do
    as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=10 "$@" 2>&1 | tee "$log" &&
      return 0
    tries=$((tries - 1))
    grep -q '^E: Could not get lock' "$log" && [ "$tries" -gt 0 ] || return 1
    echo "setup.sh: waiting for apt's lock ($(grep -m1 -o 'held by .*' "$log" || echo busy))"
    sleep 10
  done
}

# install PACKAGE...: those of them that are missing; fails where apt cannot.
# Returns 3 where i386 packages were asked for and the reason is theirs: their
# index failed to download while the others did, or apt names i386 packages
# whose dependencies cannot be met.
install() {
  local pkg missing=() said
  for pkg; do installed "$pkg" || missing+=("$pkg"); done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "setup.sh: installing ${missing[*]}"
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
    mkdir -p "$state" && : >"$added"
    as_root dpkg --add-architecture i386 || return 1
  fi
  # An index that fails to download (a mirror mid-sync, say) need not stop us:
  # what we install may not come from it.
  apt update -q || true
  said=$(grep 'Failed to fetch' "$log" || true)
  apt install -y -q --no-install-recommends "${missing[@]}" && return 0
  printf '%s\n' "${missing[@]}" | grep -q ':i386$' || return 1
  if [ -n "$said" ] && ! echo "$said" | grep -qv 'binary-i386'; then
    echo "setup.sh: apt-get could not download these i386 indexes, which is why the i386 packages above" \
         "could not be installed:" >&2
    echo "$said" | sed 's/^.*Failed to fetch /  /' >&2
    return 3
  fi
  # Indexes that failed for other architectures too: the mirror or the network, not i386.
  [ -z "$said" ] || return 1
  grep -Eq '^ +[^ ]+:i386 : (Pre)?Depends:|Unable to locate package .*:i386|:i386.* has no installation candidate' \
    "$log" && return 3
  return 1
}

# need_locale ja_JP.UTF-8: generates that locale where it is missing
# (`locale -a` names it ja_JP.utf8).
need_locale() {
  local short
  short=$(echo "${1//-/}" | tr '[:upper:]' '[:lower:]')
  locale -a 2>/dev/null | tr -d - | tr '[:upper:]' '[:lower:]' | grep -qx "$short" && return
  as_root sed -i "s/^# *\($1 UTF-8\)/\1/" /etc/locale.gen
  grep -q "^$1 UTF-8" /etc/locale.gen || echo "$1 UTF-8" | as_root tee -a /etc/locale.gen >/dev/null
  as_root locale-gen >/dev/null
}

# Wine on this host, or the QEMU guest: the one place that decides which to install.
wine_or_guest() {
  local route=${TOVU_WINE_ROUTE:-} status=0 pkg all=1
  mapfile -t wine < <(grep -v '^#' "$here/wine-packages" | grep .)
  for pkg in "${wine[@]}"; do installed "$pkg" || all=; done
  if [ "$route" != native ]; then
    if [ "$route" != guest ]; then
      /usr/bin/python3 "$here/guest/route.py" kernel >"$log" || status=$?
      if [ "$status" -gt 1 ]; then cat "$log" >&2; exit 1; fi
    fi
    if [ "$route" = guest ] || [ "$status" -eq 1 ]; then
      install "${guest[@]}" || exit 1
      return
    fi
    # a verdict never outvotes Wine that is installed now
    if [ -z "$all" ] && [ -n "$(find "$verdict" -mmin -1440 2>/dev/null)" ]; then
      echo "setup.sh: Wine's i386 packages could not be installed here on $(date -r "$verdict" '+%F %R');" \
           "the QEMU guest runs Wine until a day has passed (or until $verdict is removed)"
      install "${guest[@]}" || exit 1
      return
    fi
  fi
  status=0
  install "${wine[@]}" || status=$?
  undo_i386
  if [ "$status" -eq 0 ]; then
    rm -f "$verdict"
    need_locale ja_JP.UTF-8  # Wine takes its ANSI code page (932) from it
  elif [ "$status" -ne 3 ]; then
    echo "setup.sh: Wine could not be installed, for a reason that is not its i386 packages' (above);" \
         "nothing is decided: run it again" >&2
    exit 1
  elif [ "$route" = native ]; then
    echo "setup.sh: Wine's i386 packages cannot be installed here (above), and TOVU_WINE_ROUTE=native" \
         "asks for Wine on this host" >&2
    exit 1
  else
    mkdir -p "$state" && date >"$verdict"
    echo "setup.sh: so Wine runs in the QEMU guest"
    install "${guest[@]}" || exit 1
  fi
}

undo_i386  # what a run killed outright left
install ${need[@]+"${need[@]}"} || exit 1
if wanted wine "$@"; then wine_or_guest; fi
# reprotest varies the locale to Estonian, and falls back to C where it is missing.
if wanted repro "$@"; then need_locale et_EE.UTF-8; fi
