#!/usr/bin/env bash
# Installs what is missing, builds TovuStabilizer.exe from scratch and writes
# the release into dist/:
#   TovuStabilizer.exe          the program (signed with --sign)
#   TovuStabilizer-VERSION.zip  what a user downloads: the program, readme.txt
#                               (UTF-8 with a BOM, CRLF), LICENSE.txt, BUILDINFO
#   BUILDINFO                   version, commit, toolchain packages, the
#                               unsigned program's SHA-256
#   SHA256SUMS                  the three files above
# The same commit gives the same bytes anywhere, at any time;
# scripts/verify-release.sh checks a download against it.
#
#   scripts/release.sh [--sign CERT.pfx --password-file FILE [--timestamp URL]]
#
# It builds what HEAD holds and nothing else: a clean export of the commit,
# with the C locale, a fixed PATH and none of the caller's compiler or CMake
# variables, so ignored files and the builder's shell cannot reach the bytes.
#
# With --sign the program carries an Authenticode signature (SHA-256) made
# with osslsigncode; the password is read from FILE (all of it, less a
# trailing line end; an empty file for a .pfx without one), never from the
# command line. A certificate that Windows would not accept for signing code
# is refused first. Removing the signature gives back the unsigned bytes,
# which is checked before anything reaches dist/. On any failure dist/ is
# left as it was.
{ set +x; } 2>/dev/null  # a traced run would print the password
set -euo pipefail
export LC_ALL=C
caller=$PWD
cd "$(dirname "$0")/.."

fail() { echo "release.sh: $*" >&2; exit 1; }
# Paths on the command line are the caller's, not the repository root's.
from_caller() { case "$1" in /*) printf '%s' "$1" ;; *) printf '%s' "$caller/$1" ;; esac; }

# An empty value is an error, not "no signature": it is what an unset
# variable in a CI script gives.
cert="" password_file="" timestamp=""
while [ $# -gt 0 ]; do
  case "$1" in
    --sign) [ -n "${2:-}" ] || fail "--sign needs a .pfx file"; cert=$2; shift 2 ;;
    --password-file) [ -n "${2:-}" ] || fail "--password-file needs a file"; password_file=$2; shift 2 ;;
    --timestamp) [ -n "${2:-}" ] || fail "--timestamp needs a URL"; timestamp=$2; shift 2 ;;
    *) fail "unknown argument '$1' (usage: release.sh [--sign CERT.pfx --password-file FILE [--timestamp URL]])" ;;
  esac
done
if [ -n "$cert" ]; then
  [ -n "$password_file" ] || fail "--sign needs --password-file"
  cert_name=$cert cert=$(from_caller "$cert")
  [ -f "$cert" ] && [ -r "$cert" ] || fail "certificate not found or not readable: $cert_name"
  password_name=$password_file password_file=$(from_caller "$password_file")
  [ -f "$password_file" ] && [ -r "$password_file" ] ||
    fail "password file not found or not readable: $password_name"
elif [ -n "$password_file$timestamp" ]; then
  fail "--password-file and --timestamp go with --sign"
fi

# A release names the commit it was built from, so it must be that commit's
# tree and nothing else. A copy without git history names none.
commit="none (not a git checkout)" epoch=()
if [ -e .git ]; then
  [ -z "$(git status --porcelain)" ] ||
    fail "the work tree has uncommitted changes or untracked files; commit or remove them first (git status)"
  commit=$(git rev-parse HEAD)
  epoch=(--epoch "$(git log -1 --format=%ct)")
fi

mkdir -p build
exec 9>build/release.lock
flock -n 9 || fail "another release.sh is running in this checkout; wait for it to end"

scripts/setup.sh build ${cert:+sign}

# The password as osslsigncode reads the file: all of it, less trailing CR
# and LF. openssl takes one line, so a password of several lines would be
# read two ways; it is refused.
password=""
if [ -n "$cert" ]; then
  password=$(<"$password_file")
  while [[ $password == *[$'\r\n'] ]]; do password=${password%?}; done
  [[ $password != *[$'\r\n']* ]] || fail "the password in $password_name spans more than one line"
fi

# The key and certificates in the .pfx, read with that password. Windows
# exports may use algorithms OpenSSL 3 keeps in its legacy provider.
read_pfx() {
  printf '%s\n' "$password" | openssl pkcs12 -in "$cert" -passin stdin "$@" 2>/dev/null ||
    printf '%s\n' "$password" | openssl pkcs12 -legacy -in "$cert" -passin stdin "$@" 2>/dev/null
}

# Refuses a signing certificate that Windows would reject: the one whose key
# the .pfx holds must be valid now, and where it limits its use, allow
# digital signatures and code signing.
check_certificate() {
  local dir=build/release/certificates public signer="" file not_before not_after usage extended
  mkdir -p "$dir"
  public=$(read_pfx -nocerts -nodes | openssl pkey -pubout 2>/dev/null) ||
    fail "cannot read $cert_name: not a PKCS#12 file, or the wrong password"
  read_pfx -nokeys | awk -v dir="$dir" '/BEGIN CERTIFICATE/ { n++ } n { print > (dir "/" n ".pem") }' ||
    fail "cannot read the certificates in $cert_name"
  for file in "$dir"/*.pem; do
    [ -f "$file" ] && [ "$(openssl x509 -in "$file" -noout -pubkey)" = "$public" ] && signer=$file && break
  done
  [ -n "$signer" ] || fail "$cert_name holds no certificate for its private key"
  not_before=$(openssl x509 -in "$signer" -noout -startdate | cut -d= -f2)
  not_after=$(openssl x509 -in "$signer" -noout -enddate | cut -d= -f2)
  [ "$(date -d "$not_before" +%s)" -le "$(date +%s)" ] ||
    fail "the certificate in $cert_name is not valid before $not_before"
  [ "$(date -d "$not_after" +%s)" -gt "$(date +%s)" ] || fail "the certificate in $cert_name expired on $not_after"
  usage=$(openssl x509 -in "$signer" -noout -ext keyUsage 2>/dev/null | sed -n 's/^ *//;2p')
  [ -z "$usage" ] || [[ $usage == *"Digital Signature"* ]] ||
    fail "the certificate in $cert_name may not make digital signatures (key usage: $usage)"
  extended=$(openssl x509 -in "$signer" -noout -ext extendedKeyUsage 2>/dev/null | sed -n 's/^ *//;2p')
  [ -z "$extended" ] || [[ $extended == *"Code Signing"* ]] ||
    fail "the certificate in $cert_name is not for code signing (extended key usage: $extended)"
}

rm -rf build/release
mkdir -p build/release/src build/release/home
[ -z "$cert" ] || check_certificate

# What the commit holds, apart from the work tree; a copy without git is
# built as it stands.
src=$PWD
if [ -e .git ]; then
  src=$PWD/build/release/src
  git archive --format=tar HEAD | tar -xf - -C "$src"
fi
version=$(cat "$src/VERSION")
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "VERSION does not hold a version such as 1.0.0: $version"
clean=(env -i PATH=/usr/bin:/bin HOME="$PWD/build/release/home" LC_ALL=C TZ=UTC0)
"${clean[@]}" cmake -S "$src" -B build/release -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-i686.cmake" >/dev/null
"${clean[@]}" cmake --build build/release --target TovuStabilizer >/dev/null
unsigned=build/release/TovuStabilizer.exe
stage=build/release/dist
mkdir -p "$stage"

if [ -n "$cert" ]; then
  log=build/release/osslsigncode.log
  # osslsigncode cannot read an empty password file; a .pfx without a
  # password is opened without one.
  if ! osslsigncode sign -pkcs12 "$cert" ${password:+-readpass "$password_file"} -h sha256 \
      ${timestamp:+-ts "$timestamp"} -in "$unsigned" -out "$stage/TovuStabilizer.exe" >"$log" 2>&1; then
    reason=$(grep -v -x -e Failed -e Succeeded "$log" | grep -m1 -iE 'fail|unable|error' || true)
    fail "cannot sign with $cert_name: ${reason:-osslsigncode failed, see $log}"
  fi
  osslsigncode remove-signature -in "$stage/TovuStabilizer.exe" -out build/release/unsigned-again.exe \
    >/dev/null 2>&1 || fail "cannot read back the signed file"
  cmp -s "$unsigned" build/release/unsigned-again.exe ||
    fail "the signed file without its signature differs from the unsigned build"
else
  cp "$unsigned" "$stage/"
fi

# The Debian packages whose files make the program: compilers, binutils,
# headers and import libraries.
toolchain_packages() {
  local cxx=("${clean[@]}" i686-w64-mingw32-g++) cc=("${clean[@]}" i686-w64-mingw32-gcc) PATH=/usr/bin:/bin
  for file in "$(command -v i686-w64-mingw32-g++)" "$("${cxx[@]}" -print-prog-name=cc1plus)" \
      "$("${cc[@]}" -print-prog-name=cc1)" "$(command -v i686-w64-mingw32-ld)" \
      "$(command -v i686-w64-mingw32-windres)" "$("${cc[@]}" -print-file-name=libkernel32.a)" \
      /usr/i686-w64-mingw32/include/windows.h; do
    dpkg -S "$(readlink -f "$file")" | cut -d: -f1
  done | sort -u
}

{
  echo "# How this TovuStabilizer release was built. scripts/verify-release.sh rebuilds it"
  echo "# from this commit on Debian 12 and compares the bytes."
  echo "version: $version"
  echo "commit: $commit"
  echo "unsigned-exe-sha256: $(sha256sum "$unsigned" | cut -d' ' -f1)"
  for package in $(toolchain_packages); do
    echo "package: $package $(dpkg-query -W -f='${Version}' "$package")"
  done
} >"$stage/BUILDINFO"
zip=TovuStabilizer-$version.zip
"${clean[@]}" /usr/bin/python3 -I "$src/scripts/package.py" --version "$version" --exe "$stage/TovuStabilizer.exe" \
  --buildinfo "$stage/BUILDINFO" --out "$stage/$zip" "${epoch[@]}"
(cd "$stage" && sha256sum TovuStabilizer.exe "$zip" BUILDINFO >SHA256SUMS)

rm -rf dist
mv "$stage" dist
cat dist/SHA256SUMS
if [ -n "$cert" ]; then
  echo "unsigned build: $(sha256sum "$unsigned" | cut -d' ' -f1)"
fi
