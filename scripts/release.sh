#!/usr/bin/env bash
# Installs what is missing, builds TovuStabilizer.exe from scratch and writes
# dist/TovuStabilizer.exe and dist/SHA256SUMS. The build is reproducible: the
# same commit gives the same bytes anywhere.
#
#   scripts/release.sh [--sign CERT.pfx --password-file FILE [--timestamp URL]]
#
# With --sign the shipped file carries an Authenticode signature (SHA-256) made
# with osslsigncode; the password is read from FILE, never from the command
# line. Removing that signature gives back the unsigned bytes, which is checked
# before anything reaches dist/. On any failure dist/ is left as it was.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "release.sh: $*" >&2; exit 1; }

cert="" password_file="" timestamp=""
while [ $# -gt 0 ]; do
  case "$1" in
    --sign) [ $# -ge 2 ] || fail "--sign needs a .pfx file"; cert=$2; shift 2 ;;
    --password-file) [ $# -ge 2 ] || fail "--password-file needs a file"; password_file=$2; shift 2 ;;
    --timestamp) [ $# -ge 2 ] || fail "--timestamp needs a URL"; timestamp=$2; shift 2 ;;
    *) fail "unknown argument '$1' (usage: release.sh [--sign CERT.pfx --password-file FILE [--timestamp URL]])" ;;
  esac
done
if [ -n "$cert" ]; then
  [ -n "$password_file" ] || fail "--sign needs --password-file"
  [ -f "$cert" ] && [ -r "$cert" ] || fail "certificate not found or not readable: $cert"
  [ -f "$password_file" ] && [ -r "$password_file" ] || fail "password file not found or not readable: $password_file"
elif [ -n "$password_file$timestamp" ]; then
  fail "--password-file and --timestamp go with --sign"
fi

scripts/setup.sh build ${cert:+sign}
rm -rf build/release
cmake -S . -B build/release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
cmake --build build/release --target TovuStabilizer >/dev/null
unsigned=build/release/TovuStabilizer.exe
stage=build/release/dist
mkdir -p "$stage"

if [ -n "$cert" ]; then
  log=build/release/osslsigncode.log
  if ! osslsigncode sign -pkcs12 "$cert" -readpass "$password_file" -h sha256 \
      ${timestamp:+-ts "$timestamp"} -in "$unsigned" -out "$stage/TovuStabilizer.exe" >"$log" 2>&1; then
    reason=$(grep -v -x -e Failed -e Succeeded "$log" | grep -m1 -iE 'fail|unable|error' || true)
    fail "cannot sign with $cert: ${reason:-osslsigncode failed, see $log}"
  fi
  osslsigncode remove-signature -in "$stage/TovuStabilizer.exe" -out build/release/unsigned-again.exe \
    >/dev/null 2>&1 || fail "cannot read back the signed file"
  cmp -s "$unsigned" build/release/unsigned-again.exe ||
    fail "the signed file without its signature differs from the unsigned build"
else
  cp "$unsigned" "$stage/"
fi
(cd "$stage" && sha256sum TovuStabilizer.exe > SHA256SUMS)

rm -rf dist
mv "$stage" dist
cat dist/SHA256SUMS
if [ -n "$cert" ]; then
  echo "unsigned build: $(sha256sum "$unsigned" | cut -d' ' -f1)"
fi
