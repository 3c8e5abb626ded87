#!/usr/bin/env bash
# check_signed_release.sh SOURCE_DIR REFERENCE_EXE WORK
# Runs scripts/release.sh --sign on a commit of the sources, from the folder
# that holds the keys and with paths relative to it, with a throwaway
# self-signed certificate made here (never kept) and a password file in CRLF,
# then checks what a user would: the signature verifies, SHA256SUMS matches,
# the zip holds the signed program, removing the signature gives exactly the
# unsigned build, verify-release.sh finds it identical to its commit, and the
# password was on no command line and in no output. Bad certificates (also
# ones Windows would not take for code signing) and passwords fail in one
# line, before anything is signed, and leave dist/ as it was. Leaves
# WORK/dist/TovuStabilizer.exe (signed) for the end-to-end run.
set -euo pipefail
src=$(cd "$1" && pwd) reference=$(realpath "$2") work=$3
rm -rf "$work"
mkdir -p "$work/keys" "$work/bin"
work=$(cd "$work" && pwd)
trap 'rm -rf "$work/keys" "$work/src"' EXIT
"$src/tests/copy_sources.sh" "$src" "$work/src" --commit

keys=$work/keys
password="test-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"
printf '%s\n' "$password" >"$keys/password"
printf '%s\r\n' "$password" >"$keys/password-crlf"
printf 'wrong-%s\n' "$password" >"$keys/wrong-password"
chmod 600 "$keys/password" "$keys/password-crlf" "$keys/wrong-password"
pfx() {
  openssl pkcs12 -export -inkey "$keys/$1.key" -in "$keys/$1.pem" -out "$keys/$1.pfx" \
    -passout "file:$keys/password"
}
# NAME EXTENSION...: a certificate valid from now for two days
self_signed() {
  local name=$1
  shift
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=TovuStabilizer test $name" "$@" \
    -keyout "$keys/$name.key" -out "$keys/$name.pem" 2>/dev/null
  pfx "$name"
}
# NAME START END: a code-signing certificate valid only from START to END
printf '%s\n' '[ca]' 'default_ca = test' '[test]' 'database = index.txt' 'new_certs_dir = .' \
  'serial = serial' 'default_md = sha256' 'policy = any' 'unique_subject = no' '[any]' 'commonName = supplied' \
  '[signing]' 'extendedKeyUsage = codeSigning' >"$keys/ca.cnf"
touch "$keys/index.txt"
dated() {
  openssl req -new -newkey rsa:2048 -nodes -subj "/CN=TovuStabilizer test $1" -keyout "$keys/$1.key" \
    -out "$keys/$1.csr" 2>/dev/null
  (cd "$keys" && openssl ca -batch -config ca.cnf -selfsign -keyfile "$1.key" -in "$1.csr" -startdate "$2" \
    -enddate "$3" -extensions signing -notext -rand_serial -out "$1.pem" 2>/dev/null)
  pfx "$1"
}
self_signed cert -addext "extendedKeyUsage=codeSigning"
self_signed server -addext "extendedKeyUsage=serverAuth"
self_signed encipher-only -addext "keyUsage=keyEncipherment" -addext "extendedKeyUsage=codeSigning"
dated expired 20200101000000Z 20200102000000Z
dated future 20400101000000Z 20410101000000Z
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

echo "== signed release, with paths relative to the keys' folder"
(cd "$keys" && PATH="$work/bin:$PATH" ../src/scripts/release.sh --sign cert.pfx --password-file password-crlf) \
  >"$work/release.out" 2>&1 || { cat "$work/release.out"; fails "release.sh --sign"; }
cat "$work/release.out"
dist=$work/src/dist
zip=$(cd "$dist" && echo TovuStabilizer-*.zip)
osslsigncode verify -CAfile "$keys/cert.pem" -in "$dist/TovuStabilizer.exe" >"$work/verify.out" 2>&1 ||
  { cat "$work/verify.out"; fails "the signature does not verify"; }
grep -q 'Signature verification: ok' "$work/verify.out" || fails "no verified signature"
grep -qi 'sha256' "$work/verify.out" || fails "not a SHA-256 signature"
(cd "$dist" && sha256sum -c SHA256SUMS) || fails "SHA256SUMS does not match the shipped files"
[ "$(ls "$dist")" = "$(printf '%s\n' BUILDINFO SHA256SUMS "$zip" TovuStabilizer.exe)" ] ||
  fails "dist/ holds: $(ls "$dist")"
/usr/bin/python3 -c 'import sys, zipfile; sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read("TovuStabilizer.exe"))' \
  "$dist/$zip" | cmp - "$dist/TovuStabilizer.exe" || fails "the zip does not hold the signed program"
osslsigncode remove-signature -in "$dist/TovuStabilizer.exe" -out "$work/unsigned-again.exe" >/dev/null
cmp "$reference" "$work/unsigned-again.exe" || fails "without its signature the file is not the unsigned build"
cmp -s "$reference" "$dist/TovuStabilizer.exe" && fails "the shipped file carries no signature"
grep -q "unsigned build: $(sha256sum "$reference" | cut -d' ' -f1)" "$work/release.out" ||
  fails "release.sh did not report the unsigned hash"
"$work/src/scripts/verify-release.sh" "$dist" >"$work/verify-release.out" 2>&1 ||
  { cat "$work/verify-release.out"; fails "verify-release.sh"; }
tail -1 "$work/verify-release.out"
[ "$(tail -1 "$work/verify-release.out")" = \
  "identical to commit $(git -C "$work/src" rev-parse HEAD) (TovuStabilizer $(cat "$work/src/VERSION"))" ] ||
  fails "verify-release.sh: $(tail -1 "$work/verify-release.out")"

echo "== the password stays secret"
for file in "$work/release.out" "$work/verify-release.out" "$work/command-lines" "$work/src/build/release/osslsigncode.log"; do
  ! grep -qF "$password" "$file" || fails "the password appears in $file"
done
grep -q -- "-readpass $keys/password-crlf" "$work/command-lines" || fails "osslsigncode did not read the password file"

echo "== failures leave dist/ as it was"
cp -r "$dist" "$work/dist-before"
check_failure() {
  local what=$1 expected=$2
  shift 2
  if release "$@" >"$work/fail.out" 2>"$work/fail.err"; then fails "$what: release.sh succeeded"; fi
  [ "$(wc -l <"$work/fail.err")" -eq 1 ] || { cat "$work/fail.err"; fails "$what: not a one-line error"; }
  grep -q "^release.sh: .*$expected" "$work/fail.err" || fails "$what: unclear error: $(cat "$work/fail.err")"
  ! grep -qF "$password" "$work/fail.out" "$work/fail.err" || fails "$what: the password was printed"
  diff -r "$work/dist-before" "$dist" || fails "$what: dist/ changed"
  echo "$what: $(cat "$work/fail.err")"
}
check_failure "wrong password" "the wrong password" --sign "$keys/cert.pfx" --password-file "$keys/wrong-password"
check_failure "missing certificate" "not found" --sign "$keys/missing.pfx" --password-file "$keys/password"
check_failure "not a certificate" "not a PKCS#12 file" --sign "$keys/junk.pfx" --password-file "$keys/password"
check_failure "no password file" "needs --password-file" --sign "$keys/cert.pfx"
check_failure "missing password file" "not found" --sign "$keys/cert.pfx" --password-file "$keys/missing"
check_failure "a server certificate" "not for code signing (extended key usage: TLS Web Server Authentication)" \
  --sign "$keys/server.pfx" --password-file "$keys/password"
check_failure "a key that only enciphers" "may not make digital signatures (key usage: Key Encipherment)" \
  --sign "$keys/encipher-only.pfx" --password-file "$keys/password"
check_failure "an expired certificate" "expired on Jan  2 00:00:00 2020 GMT" \
  --sign "$keys/expired.pfx" --password-file "$keys/password"
check_failure "a certificate not yet valid" "not valid before Jan  1 00:00:00 2040 GMT" \
  --sign "$keys/future.pfx" --password-file "$keys/password"
# nothing listens on the discard port: the time-stamp request is refused at once
check_failure "unreachable time-stamp server" "cannot sign with" --sign "$keys/cert.pfx" \
  --password-file "$keys/password" --timestamp http://127.0.0.1:9/
# The refusals came before signing: the good release and the time-stamp
# attempt are the only signatures made.
[ "$(grep -c '^sign ' "$work/command-lines")" -eq 2 ] || fails "a refused certificate was used to sign"

mkdir -p "$work/dist"
cp "$dist"/* "$work/dist/"
echo "signed release checked: $(grep ' TovuStabilizer.exe$' "$dist/SHA256SUMS" | cut -d' ' -f1)"
