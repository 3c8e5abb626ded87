#!/usr/bin/env bash
# Checks a downloaded release against this repository's source.
#
#   scripts/verify-release.sh PATH
#
# PATH is the downloaded folder (TovuStabilizer-VERSION.zip or
# TovuStabilizer.exe or both, with BUILDINFO and SHA256SUMS) or the zip on
# its own. The commit that BUILDINFO names must be on main; it is built here,
# in a temporary worktree, by its own scripts/release.sh. A signature is
# checked and carried over onto the rebuilt program, and the zip and the sums
# are made again around it. Then every file of the download that belongs to a
# release must be byte for byte what this gives. The last line says
# "identical to commit ..." (exit 0) or what differs (exit 1); exit 2 when it
# cannot check. Nothing of the download is run, and what it says is printed
# with its control characters escaped.
set -euo pipefail
export LC_ALL=C
repo=$(cd "$(dirname "$0")/.." && pwd)
commit="" work="" rebuild="" verdict=""

cannot() { verdict="cannot verify: $*"; exit 2; }
differs() { verdict="differs${commit:+ from commit $commit}: $*"; exit 1; }
# Text from the download, as text: no escape sequence reaches the terminal.
shown() {
  printf '%s' "$1" | /usr/bin/python3 -I -c 'import sys, unicodedata
text = sys.stdin.buffer.read().decode("utf-8", "backslashreplace")
print("".join(ascii(c)[1:-1] if unicodedata.category(c) in ("Cc", "Cf") else c for c in text), end="")'
}
# Whatever ends the run: stop the rebuild, remove the worktree, and leave
# 0, 1 or 2 as the exit code.
finish() {
  local status=$?
  trap - EXIT INT TERM HUP
  if [ -n "$rebuild" ]; then kill -TERM -- "-$rebuild" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  if [ -n "$work" ]; then
    git -C "$repo" worktree remove --force "$work/tree" >/dev/null 2>&1 || true
    rm -rf "$work"
    git -C "$repo" worktree prune >/dev/null 2>&1 || true
  fi
  if [ "$status" -ne 0 ] && [ -z "$verdict" ]; then verdict="cannot verify: a step failed (exit $status)" status=2; fi
  [ -z "$verdict" ] || echo "$verdict"
  exit "$status"
}
trap finish EXIT
trap 'cannot "interrupted"' INT TERM HUP

[ $# -eq 1 ] || cannot "usage: verify-release.sh FOLDER-OR-ZIP"
target=$(realpath -e -- "$1" 2>/dev/null) || cannot "no such file or folder: $(shown "$1")"
"$repo/scripts/setup.sh" build sign >&2
work=$(mktemp -d)
cd "$work"

# The release's files, and no others; sizes are checked before anything
# reads them.
exe="" zip="" buildinfo="" sums=""
if [ -d "$target" ]; then
  for file in "$target"/TovuStabilizer-*.zip; do
    [ ! -f "$file" ] || [ -z "$zip" ] || cannot "more than one TovuStabilizer-*.zip in $(shown "$1")"
    [ ! -f "$file" ] || zip=$file
  done
  [ ! -f "$target/TovuStabilizer.exe" ] || exe=$target/TovuStabilizer.exe
  [ ! -f "$target/BUILDINFO" ] || buildinfo=$target/BUILDINFO
  [ ! -f "$target/SHA256SUMS" ] || sums=$target/SHA256SUMS
  [ -n "$zip$exe" ] || cannot "$(shown "$1") holds neither TovuStabilizer-VERSION.zip nor TovuStabilizer.exe"
elif [ -f "$target" ]; then
  zip=$target
else
  cannot "$(shown "$1") is neither a folder nor a file"
fi
for file in "$exe" "$zip" "$buildinfo" "$sums"; do
  [ -z "$file" ] || [ "$(stat -L -c %s -- "$file")" -le 4194304 ] ||
    differs "$(shown "$(basename -- "$file")") is larger than any release's"
done

# The zip is opened only for what no loose copy gives, and only once it is
# known to be a few small files.
if [ -z "$buildinfo" ] || [ -z "$exe" ]; then
  [ -n "$zip" ] || cannot "no BUILDINFO beside TovuStabilizer.exe"
  reason=$(/usr/bin/python3 -I - "$zip" <<'EOF'
import sys, zipfile
try:
    archive = zipfile.ZipFile(sys.argv[1])
    infos = archive.infolist()
    if len(infos) > 8 or any(i.file_size > 4 << 20 for i in infos):
        print("holds more than a release's files")
        sys.exit(1)
    for name in ("TovuStabilizer.exe", "BUILDINFO"):
        with open("zip-" + name, "wb") as out:
            out.write(archive.read(name))
except Exception:
    print("is not a zip that holds TovuStabilizer.exe and BUILDINFO")
    sys.exit(1)
EOF
  ) || differs "$(shown "$(basename -- "$zip")") $reason"
fi
info=${buildinfo:-$work/zip-BUILDINFO}
signed_from=${exe:-$work/zip-TovuStabilizer.exe}

named=$(sed -n 's/^commit: //p' "$info" | head -1)
[[ $named =~ ^[0-9a-f]{40}$ ]] || cannot "BUILDINFO names no commit (commit: $(shown "$named"))"
main=refs/remotes/origin/main
git -C "$repo" rev-parse -q --verify "$main^{commit}" >/dev/null || main=refs/heads/main
git -C "$repo" rev-parse -q --verify "$main^{commit}" >/dev/null || cannot "this clone has no main branch"
git -C "$repo" cat-file -e "$named^{commit}" 2>/dev/null || cannot "commit $named is not in this clone; git fetch first"
git -C "$repo" merge-base --is-ancestor "$named" "$main" 2>/dev/null || cannot "$named is not a commit of main"
commit=$named
version=$(git -C "$repo" show "$commit:VERSION" 2>/dev/null) || cannot "commit $commit has no VERSION"
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || cannot "commit $commit has no version in VERSION"
tags=$(git -C "$repo" tag --points-at "$commit" | paste -sd, -)

# Another toolchain writes other bytes, so it can prove nothing.
while read -r name recorded; do
  [[ $name =~ ^[a-z0-9][a-z0-9+.-]*$ ]] || continue  # not a package: BUILDINFO differs below
  here=$(dpkg-query -W -f='${Version}' "$name" 2>/dev/null || true)
  [ "$here" = "$recorded" ] || cannot "the release was built with $name $(shown "$recorded"), this machine" \
    "has ${here:-no $name}; only the same toolchain can show that it is this source"
done < <(sed -n 's/^package: //p' "$info")

echo "rebuilding commit $commit${tags:+, tag $tags,} in a temporary worktree"
git -C "$repo" worktree add -q --detach "$work/tree" "$commit" >/dev/null 2>&1 || cannot "git cannot check out $commit"
clean=(env -i PATH=/usr/bin:/bin HOME="$work" LC_ALL=C TZ=UTC0)
# In a session of its own, so that a signal to this script stops all of it.
"${clean[@]}" setsid "$work/tree/scripts/release.sh" >"$work/release.log" 2>&1 &
rebuild=$!
wait "$rebuild" || cannot "the rebuild of commit $commit failed: $(tail -1 "$work/release.log")"
rebuild=""
rebuilt=$work/tree/dist zip_name=TovuStabilizer-$version.zip
for name in TovuStabilizer.exe "$zip_name" BUILDINFO SHA256SUMS; do
  [ -f "$rebuilt/$name" ] || cannot "the rebuild of commit $commit made no $name"
done

# The files that commit gives with the download's signature, if it has one.
expected=$work/expected
mkdir "$expected"
cp "$rebuilt/BUILDINFO" "$expected/"
if osslsigncode extract-signature -pem -in "$signed_from" -out "$work/signature.pem" >/dev/null 2>&1; then
  # Attached as osslsigncode writes it. With no CA files it judges no chain,
  # so it fetches nothing that the signature names, and fails on that alone.
  osslsigncode attach-signature -sigin "$work/signature.pem" -CAfile /dev/null -TSA-CAfile /dev/null \
    -in "$rebuilt/TovuStabilizer.exe" -out "$expected/TovuStabilizer.exe" >"$work/attach.log" 2>&1 || true
  [ -s "$expected/TovuStabilizer.exe" ] || differs "its signature cannot be put on the program that commit builds"
  [ "$(awk '/^Current message digest/ { c = $NF } /^Calculated message digest/ { print (c == $NF) }' \
    "$work/attach.log" | sort -u)" = 1 ] || differs "its signature is for another program"
  # The signed content's value, without its tag and length, is what the
  # signature digests.
  openssl pkcs7 -in "$work/signature.pem" -outform DER -out "$work/signature.der" 2>/dev/null &&
    openssl asn1parse -inform DER -in "$work/signature.der" >"$work/asn1" 2>/dev/null ||
    differs "its signature cannot be read"
  read -r offset header length < <(awk -F'[:= ]+' '/d=4 .*cont \[ 0 \]/ { getline; print $2, $6, $8; exit }' \
    "$work/asn1") && [[ "$offset $header $length" =~ ^[0-9]+\ [0-9]+\ [0-9]+$ ]] ||
    differs "its signature holds no signed content"
  tail -c +$((offset + header + 1)) "$work/signature.der" | head -c "$length" >"$work/content"
  openssl smime -verify -noverify -binary -inform PEM -in "$work/signature.pem" -content "$work/content" \
    -signer "$work/signer.pem" -out /dev/null >/dev/null 2>&1 ||
    differs "its signature does not verify against its own signer certificate"
  echo "signed by: $(shown "$(openssl x509 -in "$work/signer.pem" -noout -subject -nameopt RFC2253,-esc_msb |
    sed 's/^subject=//')") (whether Windows trusts this signer is Windows' to judge)"
  (cd "$work/tree" && "${clean[@]}" /usr/bin/python3 -I scripts/package.py \
    --version "$version" --exe "$expected/TovuStabilizer.exe" --buildinfo "$rebuilt/BUILDINFO" \
    --out "$expected/$zip_name" --epoch "$(git log -1 --format=%ct)")
else
  cp "$rebuilt/TovuStabilizer.exe" "$rebuilt/$zip_name" "$expected/"
fi
sum_of() { sha256sum "$1" | cut -d' ' -f1; }
sed -e "s/^$(sum_of "$rebuilt/TovuStabilizer.exe") /$(sum_of "$expected/TovuStabilizer.exe") /" \
  -e "s/^$(sum_of "$rebuilt/$zip_name") /$(sum_of "$expected/$zip_name") /" "$rebuilt/SHA256SUMS" \
  >"$expected/SHA256SUMS"

# Whole files, nothing less. A zip given alone may have been renamed on the
# way; in a release folder it has its own name.
if [ -d "$target" ] && [ -n "$zip" ] && [ "$(basename -- "$zip")" != "$zip_name" ]; then
  differs "the zip is named $(shown "$(basename -- "$zip")"); that commit's is $zip_name"
fi
for pair in "$exe:TovuStabilizer.exe" "$zip:$zip_name" "$buildinfo:BUILDINFO" "$sums:SHA256SUMS"; do
  file=${pair%:*} name=${pair##*:}
  [ -z "$file" ] || cmp -s -- "$file" "$expected/$name" || differs "$name is not the one that commit gives"
done
echo "identical to commit $commit${tags:+, tag $tags} (TovuStabilizer $version)"
