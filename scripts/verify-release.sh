#!/usr/bin/env bash
# Checks a downloaded release against this repository's source.
#
#   scripts/verify-release.sh PATH
#
# PATH is a folder that holds the zip (TovuStabilizer-VERSION.zip) or
# TovuStabilizer.exe, or both, with BUILDINFO and SHA256SUMS; or the zip on
# its own, which carries its BUILDINFO. The sums are checked where there are
# any, a signature is removed, and the commit that BUILDINFO names is built
# here in a temporary worktree with its own scripts/release.sh; then the bytes
# are compared. The last line says "identical to commit ..." (exit 0) or what
# differs (exit 1); exit 2 when it cannot check (no BUILDINFO, a commit this
# repository lacks, a failed rebuild).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
commit=""

cannot() { echo "cannot verify: $*"; exit 2; }
differs() { echo "differs${commit:+ from commit $commit}: $*"; exit 1; }
warn() { echo "warning: $*"; }
names() { /usr/bin/python3 -c 'import sys, zipfile; print(*zipfile.ZipFile(sys.argv[1]).namelist())' "$1"; }

[ $# -eq 1 ] || cannot "usage: verify-release.sh FOLDER-OR-ZIP"
[ -e "$1" ] || cannot "no such file or folder: $1"
target=$(realpath "$1")

"$repo/scripts/setup.sh" build sign >&2
work=$(mktemp -d)
cleanup() {
  if [ -d "$work/tree" ]; then git -C "$repo" worktree remove --force "$work/tree" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

zip="" exe="" buildinfo=""
if [ -d "$target" ]; then
  zips=("$target"/TovuStabilizer-*.zip)
  [ ${#zips[@]} -le 1 ] || cannot "more than one zip in $1"
  [ ! -f "${zips[0]}" ] || zip=${zips[0]}
  [ ! -f "$target/TovuStabilizer.exe" ] || exe=$target/TovuStabilizer.exe
  [ ! -f "$target/BUILDINFO" ] || buildinfo=$target/BUILDINFO
  [ -n "$zip$exe" ] || cannot "$1 holds neither TovuStabilizer-VERSION.zip nor TovuStabilizer.exe"
  if [ -f "$target/SHA256SUMS" ]; then
    (cd "$target" && sha256sum --quiet --ignore-missing -c SHA256SUMS >"$work/sums" 2>&1) ||
      differs "SHA256SUMS: $(head -1 "$work/sums")"
    echo "SHA256SUMS: ok"
  fi
else
  zip=$target
fi

# The zip's files, and where the folder holds them too, the same files.
if [ -n "$zip" ]; then
  /usr/bin/python3 -m zipfile -e "$zip" "$work/zip" 2>/dev/null || differs "$(basename "$zip") is not a readable zip"
  for name in TovuStabilizer.exe BUILDINFO; do
    [ -f "$work/zip/$name" ] || differs "$(basename "$zip") holds no $name"
  done
  [ -z "$exe" ] || cmp -s "$exe" "$work/zip/TovuStabilizer.exe" ||
    differs "TovuStabilizer.exe is not the one in $(basename "$zip")"
  [ -z "$buildinfo" ] || cmp -s "$buildinfo" "$work/zip/BUILDINFO" ||
    differs "BUILDINFO is not the one in $(basename "$zip")"
  exe=$work/zip/TovuStabilizer.exe buildinfo=$work/zip/BUILDINFO
fi
[ -n "$buildinfo" ] || cannot "no BUILDINFO beside TovuStabilizer.exe"

field() { sed -n "s/^$1: //p" "$buildinfo" | head -1; }
named=$(field commit) version=$(field version) recorded_sha=$(field unsigned-exe-sha256)
[[ $named =~ ^[0-9a-f]{40}$ ]] || cannot "BUILDINFO names no commit (commit: $named)"
commit=$named

# What the program is without its signature, if it has one.
if osslsigncode remove-signature -in "$exe" -out "$work/unsigned.exe" >"$work/strip.log" 2>&1; then
  echo "TovuStabilizer.exe is signed; its signature is removed for the comparison"
elif grep -q "No signature found" "$work/strip.log"; then
  cp "$exe" "$work/unsigned.exe"
else
  differs "TovuStabilizer.exe has a signature that cannot be removed"
fi
[ "$(sha256sum "$work/unsigned.exe" | cut -d' ' -f1)" = "$recorded_sha" ] ||
  differs "TovuStabilizer.exe is not the program BUILDINFO records (unsigned-exe-sha256)"

same_toolchain=yes
while read -r name recorded; do
  here=$(dpkg-query -W -f='${Version}' "$name" 2>/dev/null || true)
  if [ "$here" != "$recorded" ]; then
    warn "the release was built with $name $recorded, this machine has ${here:-none}; the bytes may differ"
    same_toolchain=no
  fi
done < <(sed -n 's/^package: //p' "$buildinfo")

git -C "$repo" cat-file -e "$commit^{commit}" 2>/dev/null ||
  cannot "commit $commit is not in this repository ($repo); fetch it first"
echo "rebuilding commit $commit in a temporary worktree"
git -C "$repo" worktree add -q --detach "$work/tree" "$commit"
"$work/tree/scripts/release.sh" >"$work/release.log" 2>&1 ||
  cannot "the rebuild of commit $commit failed: $(tail -1 "$work/release.log")"
rebuilt=$work/tree/dist

cmp -s "$work/unsigned.exe" "$rebuilt/TovuStabilizer.exe" ||
  differs "TovuStabilizer.exe is not the program that commit builds"
if [ -n "$zip" ]; then
  rebuilt_zip=$(echo "$rebuilt"/TovuStabilizer-*.zip)
  shipped=$(names "$zip") expected=$(names "$rebuilt_zip")
  [ "$shipped" = "$expected" ] || differs "$(basename "$zip") holds $shipped; that commit's zip holds $expected"
  /usr/bin/python3 -m zipfile -e "$rebuilt_zip" "$work/rebuilt-zip"
  for name in $expected; do
    case "$name" in
      TovuStabilizer.exe) ;;  # compared above, without its signature
      # another toolchain writes other package versions; the rest must agree
      BUILDINFO) cmp -s <(grep -v '^package: ' "$buildinfo") <(grep -v '^package: ' "$rebuilt/BUILDINFO") ||
        differs "BUILDINFO is not the one that commit writes" ;;
      *) cmp -s "$work/zip/$name" "$work/rebuilt-zip/$name" || differs "$name is not the one that commit writes" ;;
    esac
  done
  # Unsigned, the whole zip is reproducible: dates, order, headers and all.
  if cmp -s "$exe" "$work/unsigned.exe" && [ "$same_toolchain" = yes ]; then
    cmp -s "$zip" "$rebuilt_zip" || differs "$(basename "$zip") is not byte-identical to that commit's zip"
  fi
fi
echo "identical to commit $commit (TovuStabilizer $version)"
