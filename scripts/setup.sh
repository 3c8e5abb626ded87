#!/usr/bin/env bash
# Installs, from Debian's packages, whatever this machine lacks for the given
# jobs: build (the .exe), sign (Authenticode), test (host unit tests), win64
# (an x64 compiler for the 64-bit stand-in Tovu.exe), guest (QEMU and what
# builds its Debian image; no i386 package), hardening, repro (reprotest and
# the locale it varies to), and wine: Wine on this host where its kernel runs
# 32-bit programs and Wine's i386 packages install, else the guest's packages
# (scripts/guest/route.py then names the way taken).
# Safe to run again: it installs only what is missing. Where it adds the i386
# architecture for packages that then fail to install, it removes it again,
# so that apt-get update works as it did before; that verdict is kept for a
# day ($verdict), so later runs take the guest without trying again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
verdict=${XDG_CACHE_HOME:-$HOME/.cache}/tovu-stabilizer/wine32-failed

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
trap 'rm -f "$log"' EXIT

# install PACKAGE...: those of them that are missing; fails where apt cannot.
install() {
  local pkg missing=() added=
  for pkg; do installed "$pkg" || missing+=("$pkg"); done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "setup.sh: installing ${missing[*]}"
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
    added=1
  fi
  # An index that fails to download (a mirror mid-sync, say) need not stop us:
  # what we install may not come from it.
  as_root apt-get update -q 2>&1 | tee "$log" || true
  if as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"; then
    return 0
  fi
  if failed=$(grep -o 'Failed to fetch [^ ]*  .*' "$log"); then
    echo "setup.sh: apt-get could not download these indexes:" >&2
    echo "$failed" | sed 's/^Failed to fetch /  /' >&2
    echo "setup.sh: without them apt does not see the packages they list, such as i386 builds at the" \
         "versions this machine's amd64 packages have, which is why the packages above could not be installed" >&2
  fi
  # Left behind, an i386 index that cannot be downloaded fails every later apt-get update.
  if [ -n "$added" ] && ! dpkg-query -W -f='${Architecture} ${db:Status-Abbrev}\n' | grep -q '^i386 .[^n]'; then
    as_root dpkg --remove-architecture i386
    echo "setup.sh: removed the i386 architecture again, which this run had added for them" >&2
  fi
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
  local route=${TOVU_WINE_ROUTE:-}
  mapfile -t wine < <(grep -v '^#' "$here/wine-packages" | grep .)
  if [ "$route" != native ]; then
    if [ "$route" = guest ] || ! /usr/bin/python3 "$here/guest/route.py" kernel; then
      install "${guest[@]}"
      return
    fi
    if [ -n "$(find "$verdict" -mmin -1440 2>/dev/null)" ]; then
      echo "setup.sh: Wine's i386 packages could not be installed here on $(date -r "$verdict" '+%F %R');" \
           "the QEMU guest runs Wine until a day has passed (or until $verdict is removed)"
      install "${guest[@]}"
      return
    fi
  fi
  if install "${wine[@]}"; then
    rm -f "$verdict"
    need_locale ja_JP.UTF-8  # Wine takes its ANSI code page (932) from it
  elif [ "$route" = native ]; then
    exit 1
  else
    mkdir -p "$(dirname "$verdict")" && date >"$verdict"
    echo "setup.sh: so Wine runs in the QEMU guest"
    install "${guest[@]}"
  fi
}

install ${need[@]+"${need[@]}"} || exit 1
if wanted wine "$@"; then wine_or_guest; fi
# reprotest varies the locale to Estonian, and falls back to C where it is missing.
if wanted repro "$@"; then need_locale et_EE.UTF-8; fi
