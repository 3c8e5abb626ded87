#!/usr/bin/env bash
# check_signed_release.sh SOURCE_DIR REFERENCE_EXE WORK
# Runs scripts/release.sh --sign on a copy of the sources with a throwaway
# self-signed certificate made here (never kept), then checks what a user
# would: the signature verifies, SHA256SUMS matches the shipped file, removing
# the signature gives exactly the unsigned build, and the password was on no
# command line and in no output. Bad certificates and passwords fail in one
# line and leave dist/ as it was. Leaves WORK/dist/TovuStabilizer.exe (signed)
# for the end-to-end run.
set -euo pipefail
src=$(cd "$1" && pwd) reference=$(realpath "$2") work=$3
rm -rf "$work"
mkdir -p "$work/keys" "$work/bin"
work=$(cd "$work" && pwd)
trap 'rm -rf "$work/keys" "$work/src"' EXIT
"$src/tests/copy_sources.sh" "$src" "$work/src"

keys=$work/keys
password="test-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"
printf '%s\n' "$password" >"$keys/password"
printf 'wrong-%s\n' "$password" >"$keys/wrong-password"
chmod 600 "$keys/password" "$keys/wrong-password"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=TovuStabilizer test signer" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$keys/key.pem" -out "$keys/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$keys/key.pem" -in "$keys/cert.pem" -out "$keys/cert.pfx" \
  -passout "file:$keys/password"
echo junk >"$keys/junk.pfx"

# Records every osslsigncode command line, then runs the real one.
real=$(command -v osslsigncode)
cat >"$work/bin/osslsigncode" <<EOF
#!/bin/sh
printf '%s\n' "\$*" >>"$work/command-lines"
exec "$real" "\$@"
EOF
chmod +x "$work/bin/osslsigncode"
release() { PATH="$work/bin:$PATH" "$work/src/scripts/release.sh" "$@"; }

fails() {
  echo "FAILED: $*" >&2
  exit 1
}

echo "== signed release"
release --sign "$keys/cert.pfx" --password-file "$keys/password" >"$work/release.out" 2>&1 ||
  { cat "$work/release.out"; fails "release.sh --sign"; }
cat "$work/release.out"
dist=$work/src/dist
osslsigncode verify -CAfile "$keys/cert.pem" -in "$dist/TovuStabilizer.exe" >"$work/verify.out" 2>&1 ||
  { cat "$work/verify.out"; fails "the signature does not verify"; }
grep -q 'Signature verification: ok' "$work/verify.out" || fails "no verified signature"
grep -qi 'sha256' "$work/verify.out" || fails "not a SHA-256 signature"
(cd "$dist" && sha256sum -c SHA256SUMS) || fails "SHA256SUMS does not match the shipped file"
[ "$(ls "$dist")" = "$(printf 'SHA256SUMS\nTovuStabilizer.exe')" ] || fails "dist/ holds more: $(ls "$dist")"
osslsigncode remove-signature -in "$dist/TovuStabilizer.exe" -out "$work/unsigned-again.exe" >/dev/null
cmp "$reference" "$work/unsigned-again.exe" || fails "without its signature the file is not the unsigned build"
cmp -s "$reference" "$dist/TovuStabilizer.exe" && fails "the shipped file carries no signature"
grep -q "unsigned build: $(sha256sum "$reference" | cut -d' ' -f1)" "$work/release.out" ||
  fails "release.sh did not report the unsigned hash"

echo "== the password stays secret"
for file in "$work/release.out" "$work/command-lines" "$work/src/build/release/osslsigncode.log"; do
  ! grep -qF "$password" "$file" || fails "the password appears in $file"
done
grep -q -- "-readpass $keys/password" "$work/command-lines" || fails "osslsigncode did not read the password file"

echo "== failures leave dist/ as it was"
cp -r "$dist" "$work/dist-before"
check_failure() {
  local what=$1
  shift
  if release "$@" >"$work/fail.out" 2>"$work/fail.err"; then fails "$what: release.sh succeeded"; fi
  [ "$(wc -l <"$work/fail.err")" -eq 1 ] || { cat "$work/fail.err"; fails "$what: not a one-line error"; }
  grep -q '^release.sh: ' "$work/fail.err" || fails "$what: unclear error: $(cat "$work/fail.err")"
  ! grep -qF "$password" "$work/fail.out" "$work/fail.err" || fails "$what: the password was printed"
  diff -r "$work/dist-before" "$dist" || fails "$what: dist/ changed"
  echo "$what: $(cat "$work/fail.err")"
}
check_failure "wrong password" --sign "$keys/cert.pfx" --password-file "$keys/wrong-password"
check_failure "missing certificate" --sign "$keys/missing.pfx" --password-file "$keys/password"
check_failure "not a certificate" --sign "$keys/junk.pfx" --password-file "$keys/password"
check_failure "no password file" --sign "$keys/cert.pfx"
check_failure "missing password file" --sign "$keys/cert.pfx" --password-file "$keys/missing"
# nothing listens on the discard port: the time-stamp request is refused at once
check_failure "unreachable time-stamp server" --sign "$keys/cert.pfx" --password-file "$keys/password" \
  --timestamp http://127.0.0.1:9/

mkdir -p "$work/dist"
cp "$dist/TovuStabilizer.exe" "$dist/SHA256SUMS" "$work/dist/"
echo "signed release checked: $(cut -d' ' -f1 "$dist/SHA256SUMS")"
