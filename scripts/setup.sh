#!/usr/bin/env bash
# Installs, from Debian's packages, whatever this machine lacks for the given
# jobs: build (the .exe), sign (Authenticode), test (host unit tests), e2e
# (Wine), win64 (64-bit Wine and an x64 compiler for its tests), guest (QEMU
# and what builds its Debian image, for hosts that cannot run 32-bit code; no
# i386 package), hardening, repro (reprotest and the locale it varies to).
# Safe to run again: it installs only what is missing.
set -euo pipefail

need=()
add() { need+=("$@"); }
for job in "$@"; do
  case "$job" in
    build) add cmake make g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev python3 ;;
    sign) add osslsigncode openssl ;;
    test) add cmake make g++ googletest libgtest-dev libgmock-dev python3 python3-pefile ;;
    e2e) add wine wine32:i386 fonts-wine xvfb xauth locales fonts-noto-cjk imagemagick x11-utils procps util-linux ;;
    win64) add wine64 g++-mingw-w64-x86-64 ;;
    guest) add qemu-system-x86 qemu-utils mmdebstrap e2fsprogs python3 g++-mingw-w64-x86-64 ;;
    repro) add reprotest diffoscope-minimal faketime locales ;;
    hardening) add clang libclang-rt-14-dev clang-tidy clang-format cppcheck ;;
    *) echo "setup.sh: unknown job '$job'" >&2; exit 2 ;;
  esac
done

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing=()
for pkg in "${need[@]}"; do
  installed "$pkg" || missing+=("$pkg")
done

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup.sh: installing ${missing[*]}"
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
  fi
  # An index that fails to download (a mirror mid-sync, say) need not stop us:
  # what we install may not come from it.
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  as_root apt-get update -q 2>&1 | tee "$log" || true
  if ! as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"; then
    if failed=$(grep -o 'Failed to fetch [^ ]*  .*' "$log"); then
      echo "setup.sh: apt-get could not download these indexes:" >&2
      echo "$failed" | sed 's/^Failed to fetch /  /' >&2
      echo "setup.sh: without them apt does not see the packages they list, such as i386 builds at the" \
           "versions this machine's amd64 packages have, which is why the packages above could not be installed" >&2
    fi
    exit 1
  fi
fi

# need_locale ja_JP.UTF-8: generates that locale where it is missing.
need_locale() {
  locale -a 2>/dev/null | grep -qix "${1/UTF-8/utf-\?8}" && return
  as_root sed -i "s/^# *\($1 UTF-8\)/\1/" /etc/locale.gen
  grep -q "^$1 UTF-8" /etc/locale.gen || echo "$1 UTF-8" | as_root tee -a /etc/locale.gen >/dev/null
  as_root locale-gen >/dev/null
}
# Wine takes its ANSI code page (932) from a Japanese locale; reprotest
# varies the locale to Estonian, and falls back to C where it is missing.
if printf '%s\n' "$@" | grep -qx e2e; then need_locale ja_JP.UTF-8; fi
if printf '%s\n' "$@" | grep -qx repro; then need_locale et_EE.UTF-8; fi
