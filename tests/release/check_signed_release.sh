#!/usr/bin/env bash
# check_signed_release.sh SOURCE_DIR REFERENCE_EXE WORK
# Runs scripts/release.sh --sign on a one-commit git copy of the sources, from
# the folder that holds the keys and with paths relative to it, with
# throwaway certificates made here by openssl (never kept) and a password
# file in CRLF. Then checks what a user would:
#   - the signature verifies (osslsigncode verify -CAfile) and SHA256SUMS
#     matches;
#   - the zip holds the signed program, and removing the signature gives
#     exactly the unsigned build;
#   - verify-release.sh finds it identical to its commit (the folder, and the
#     zip alone) and names the signer;
#   - it finds different: a signature padded in the certificate table, one
#     with a changed byte, one of another program;
#   - the password is on no command line and in no output, also under bash -x
#     and with xtrace in SHELLOPTS;
#   - a .pfx without a password signs.
# Bad input fails in one line, signs nothing it should not and leaves dist/
# as it was: a
# wrong password, a password of two lines, --sign "", a server-only, an
# encipher-only, an expired and a not-yet-valid certificate (ones Windows
# would not take for code signing), an unreachable time-stamp server,
# missing files.
# Leaves WORK/dist/TovuStabilizer.exe (signed) for the end-to-end run
# (e2e_win64_signed_release_pins_and_restores).
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
printf '%s\nsecond line\n' "$password" >"$keys/two-lines"
: >"$keys/empty"
chmod 600 "$keys/password" "$keys/password-crlf" "$keys/wrong-password" "$keys/two-lines"
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
openssl pkcs12 -export -inkey "$keys/cert.key" -in "$keys/cert.pem" -out "$keys/no-password.pfx" -passout pass:
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

checkout=$work/src
# shellcheck source=verdicts.sh
. "$(dirname "$0")/verdicts.sh"

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
identical="identical to commit $(git -C "$work/src" rev-parse HEAD) (TovuStabilizer $(cat "$work/src/VERSION"))"
signer="signed by: CN=TovuStabilizer test cert (whether Windows trusts this signer is Windows' to judge)"
tail -2 "$work/verify-release.out"
[ "$(tail -2 "$work/verify-release.out")" = "$signer"$'\n'"$identical" ] ||
  fails "verify-release.sh: $(tail -2 "$work/verify-release.out")"

echo "== tampered signatures"
commit=$(git -C "$work/src" rev-parse HEAD)
mkdir "$work/zip-alone"
cp "$dist/$zip" "$work/zip-alone/"
expect_verdict "the signed zip alone" 0 "$identical" "$work/zip-alone/$zip"
# tamper NAME PYTHON: a copy of the release whose program PYTHON changes
# (`exe`, a bytearray; `table`, where its signature starts), with sums to match.
tamper() {
  cp -r "$dist" "$work/$1"
  /usr/bin/python3 - "$work/$1/TovuStabilizer.exe" "$2" <<'EOF'
import struct, sys
path, code = sys.argv[1:]
exe = bytearray(open(path, "rb").read())
directory = struct.unpack_from("<I", exe, 0x3C)[0] + 24 + 96 + 4 * 8  # the certificate table's entry
table, size = struct.unpack_from("<II", exe, directory)
exec(code)
open(path, "wb").write(exe)
EOF
  (cd "$work/$1" && rm "$zip" && sha256sum TovuStabilizer.exe BUILDINFO >SHA256SUMS)
}
tamper padded 'exe += bytes(16)
struct.pack_into("<I", exe, directory + 4, size + 16)
struct.pack_into("<I", exe, table, size + 16)'
expect_verdict "bytes padded into the certificate table" 1 \
  "differs from commit $commit: TovuStabilizer.exe is not the one that commit gives" "$work/padded"
tamper forged-value 'exe[-20] ^= 1'
expect_verdict "a changed byte in the signature value" 1 \
  "differs from commit $commit: its signature does not verify against its own signer certificate" "$work/forged-value"
# A true signature of another program, carried over onto this one.
cp "$reference" "$work/other.exe"
printf '\x90' | dd of="$work/other.exe" bs=1 seek=1100 conv=notrunc 2>/dev/null
osslsigncode sign -pkcs12 "$keys/cert.pfx" -readpass "$keys/password" -h sha256 -in "$work/other.exe" \
  -out "$work/other-signed.exe" >/dev/null
osslsigncode extract-signature -pem -in "$work/other-signed.exe" -out "$work/other.pem" >/dev/null
mkdir "$work/transplanted"
cp "$dist/BUILDINFO" "$work/transplanted/"
osslsigncode attach-signature -sigin "$work/other.pem" -CAfile /dev/null -in "$reference" \
  -out "$work/transplanted/TovuStabilizer.exe" >/dev/null 2>&1 || true
expect_verdict "the signature of another program" 1 \
  "differs from commit $commit: its signature is for another program" "$work/transplanted"

echo "== the password stays secret, traced runs included"
(cd "$keys" && PATH="$work/bin:$PATH" bash -x ../src/scripts/release.sh --sign cert.pfx --password-file password) \
  >"$work/traced.out" 2>&1 || { cat "$work/traced.out"; fails "bash -x release.sh --sign"; }
(cd "$keys" && env SHELLOPTS=xtrace PATH="$work/bin:$PATH" ../src/scripts/release.sh --sign cert.pfx \
  --password-file password) >>"$work/traced.out" 2>&1 || { cat "$work/traced.out"; fails "xtrace in SHELLOPTS"; }
for file in "$work/release.out" "$work/verify-release.out" "$work/command-lines" "$work/src/build/release/osslsigncode.log" \
    "$work/traced.out"; do
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
check_failure "an empty --sign" "--sign needs a .pfx file" --sign "" --password-file "$keys/password"
check_failure "a password of two lines" "the password in .*two-lines spans more than one line" \
  --sign "$keys/cert.pfx" --password-file "$keys/two-lines"
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
# The refusals came before signing: the good and the two traced releases and
# the time-stamp attempt are the only signatures made.
[ "$(grep -c '^sign ' "$work/command-lines")" -eq 4 ] || fails "a refused certificate was used to sign"

echo "== a .pfx without a password"
release --sign "$keys/no-password.pfx" --password-file "$keys/empty" >"$work/no-password.out" 2>&1 ||
  { cat "$work/no-password.out"; fails "release.sh with a .pfx without a password"; }
osslsigncode verify -CAfile "$keys/cert.pem" -in "$dist/TovuStabilizer.exe" | grep -q 'Signature verification: ok' ||
  fails "the release signed without a password does not verify"
expect_verdict "signed without a password" 0 "$identical" "$dist"

mkdir -p "$work/dist"
cp "$dist"/* "$work/dist/"
echo "signed release checked: $(grep ' TovuStabilizer.exe$' "$dist/SHA256SUMS" | cut -d' ' -f1)"
