#!/usr/bin/env bash
# check_release.sh SOURCE_DIR REFERENCE_EXE WORK
# The unsigned release as a user receives it, made by scripts/release.sh from
# a commit of the sources: two clones in different folders, seconds apart,
# give the same bytes; the zip holds what it should, in order, as stored
# files dated by the commit; BUILDINFO names the commit, the toolchain and the
# program's hash; readme.txt passes check_readme.py. scripts/verify-release.sh
# finds a true release identical, whether a folder or the zip alone, and finds
# a forged one (a changed byte with its hashes made to match) different. Dirty
# trees are refused; a copy without git history releases but names no commit.
set -euo pipefail
src=$(cd "$1" && pwd) reference=$(realpath "$2") work=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)

fails() {
  echo "FAILED: $*" >&2
  exit 1
}

"$src/tests/copy_sources.sh" "$src" "$work/repo" --commit
# The texts the tool shows, from the unit tests' own table, for the readme check.
tool_texts=$work/tool_texts
"${CXX:-g++}" -std=c++17 -Wall -Wextra -Wpedantic -Wconversion -Werror -I"$src/tests" -I"$src/src" \
  "$src/tests/unit/texts.cpp" "$src/tests/release/tool_texts.cpp" -o "$tool_texts"
commit=$(git -C "$work/repo" rev-parse HEAD)
version=$(cat "$work/repo/VERSION")
zip=TovuStabilizer-$version.zip

echo "== the same commit in two folders, at two times"
git clone -q "$work/repo" "$work/a"
git clone -q "$work/repo" "$work/a-much-longer-folder/with/more/levels/tovu"
"$work/a/scripts/release.sh" || fails "release.sh"
sleep 2
"$work/a-much-longer-folder/with/more/levels/tovu/scripts/release.sh" >/dev/null || fails "release.sh, again"
dist=$work/a/dist
diff -r "$dist" "$work/a-much-longer-folder/with/more/levels/tovu/dist" || fails "the two releases differ"
[ "$(ls "$dist")" = "$(printf '%s\n' BUILDINFO SHA256SUMS TovuStabilizer-$version.zip TovuStabilizer.exe)" ] ||
  fails "dist/ holds: $(ls "$dist")"
(cd "$dist" && sha256sum -c SHA256SUMS) || fails "SHA256SUMS"
[ "$(cut -d' ' -f3 "$dist/SHA256SUMS" | tr '\n' ' ')" = "TovuStabilizer.exe $zip BUILDINFO " ] ||
  fails "SHA256SUMS covers: $(cut -d' ' -f3 "$dist/SHA256SUMS")"
cmp "$reference" "$dist/TovuStabilizer.exe" || fails "the released program is not the reference build"

echo "== BUILDINFO"
cat "$dist/BUILDINFO"
expected_info=("version: $version" "commit: $commit" "unsigned-exe-sha256: $(sha256sum "$reference" | cut -d' ' -f1)")
for package in binutils-mingw-w64-i686 g++-mingw-w64-i686-win32 gcc-mingw-w64-i686-win32 mingw-w64-common \
    mingw-w64-i686-dev; do
  expected_info+=("package: $package $(dpkg-query -W -f='${Version}' "$package")")
done
[ "$(grep -v '^#' "$dist/BUILDINFO")" = "$(printf '%s\n' "${expected_info[@]}")" ] || fails "BUILDINFO"

echo "== the zip"
/usr/bin/python3 - "$dist/$zip" "$reference" "$dist/BUILDINFO" "$work/repo/LICENSE" \
  "$(git -C "$work/repo" log -1 --format=%ct)" <<'EOF' || fails "the zip"
import sys, time, zipfile
path, reference, buildinfo, license_file, epoch = sys.argv[1:]
archive = zipfile.ZipFile(path)
infos = archive.infolist()
assert [i.filename for i in infos] == ["TovuStabilizer.exe", "readme.txt", "LICENSE.txt", "BUILDINFO"], infos
jst = time.gmtime(int(epoch) + 9 * 3600)[:6]
dos = jst[:5] + (jst[5] // 2 * 2,)  # zip times have two-second steps
for info in infos:
    assert info.date_time == dos, (info.filename, info.date_time, dos)
    assert info.extra == b"" and info.comment == b"", info.filename
    assert info.compress_type == zipfile.ZIP_STORED and info.create_system == 0, info.filename
assert archive.comment == b""
assert archive.read("TovuStabilizer.exe") == open(reference, "rb").read()
assert archive.read("BUILDINFO") == open(buildinfo, "rb").read()
assert archive.read("LICENSE.txt") == open(license_file, "rb").read().replace(b"\n", b"\r\n")
print("zip:", ", ".join(f"{i.filename} {i.file_size}" for i in infos), "dated", "%04d-%02d-%02d %02d:%02d:%02d JST" % dos)
EOF
/usr/bin/python3 "$here/check_readme.py" "$dist/$zip" "$tool_texts" || fails "readme.txt"

echo "== verify-release.sh"
verify() { "$work/repo/scripts/verify-release.sh" "$@" >"$work/verify.out" 2>"$work/verify.err"; }
expect_verdict() {
  local what=$1 code=$2 line=$3
  shift 3
  local status=0
  verify "$@" || status=$?
  [ "$status" -eq "$code" ] || { cat "$work/verify.out" "$work/verify.err"; fails "$what: exit $status"; }
  [ "$(tail -1 "$work/verify.out")" = "$line" ] || { cat "$work/verify.out"; fails "$what: $(tail -1 "$work/verify.out")"; }
  echo "$what: $line"
}
identical="identical to commit $commit (TovuStabilizer $version)"
expect_verdict "the release folder" 0 "$identical" "$dist"
mkdir "$work/download"
cp "$dist/$zip" "$work/download/"
expect_verdict "the zip alone" 0 "$identical" "$work/download/$zip"
[ -z "$(git -C "$work/repo" worktree list | sed 1d)" ] || fails "a worktree was left behind"

# One byte of code, a NOP in place of what the build put there.
change_byte() { printf '\x90' | dd of="$1" bs=1 seek=1100 conv=notrunc 2>/dev/null; }
# The changed byte, with BUILDINFO and SHA256SUMS made to match it: only the
# rebuild can tell.
mkdir "$work/forged"
cp "$dist/TovuStabilizer.exe" "$dist/BUILDINFO" "$work/forged/"
change_byte "$work/forged/TovuStabilizer.exe"
sed -i "s/^unsigned-exe-sha256: .*/unsigned-exe-sha256: $(sha256sum "$work/forged/TovuStabilizer.exe" | cut -d' ' -f1)/" \
  "$work/forged/BUILDINFO"
(cd "$work/forged" && sha256sum TovuStabilizer.exe BUILDINFO >SHA256SUMS)
expect_verdict "a forged program" 1 \
  "differs from commit $commit: TovuStabilizer.exe is not the program that commit builds" "$work/forged"
cp -r "$dist" "$work/changed"
change_byte "$work/changed/TovuStabilizer.exe"
expect_verdict "one changed byte" 1 "differs: SHA256SUMS: TovuStabilizer.exe: FAILED" "$work/changed"

echo "== trees that are not a commit"
refused() {
  local what=$1
  cp -r "$dist" "$work/dist-before"
  if "$work/a/scripts/release.sh" >"$work/refused.out" 2>"$work/refused.err"; then fails "$what: released"; fi
  [ "$(wc -l <"$work/refused.err")" -eq 1 ] && grep -q '^release.sh: the work tree has uncommitted' "$work/refused.err" ||
    { cat "$work/refused.err"; fails "$what: not the one-line refusal"; }
  diff -r "$work/dist-before" "$dist" || fails "$what: dist/ changed"
  rm -rf "$work/dist-before"
  echo "$what: $(cat "$work/refused.err")"
}
touch "$work/a/notes.txt"
refused "an untracked file"
rm "$work/a/notes.txt"
echo >>"$work/a/README.md"
refused "a changed file"
git -C "$work/a" checkout -q README.md

"$src/tests/copy_sources.sh" "$work/repo" "$work/copy"
"$work/copy/scripts/release.sh" >/dev/null || fails "release.sh in a copy without git"
grep -qx 'commit: none (not a git checkout)' "$work/copy/dist/BUILDINFO" || fails "the copy's BUILDINFO names a commit"
expect_verdict "a release from a copy" 2 "cannot verify: BUILDINFO names no commit (commit: none (not a git checkout))" \
  "$work/copy/dist"
echo "release checked: $(grep " $zip\$" "$dist/SHA256SUMS")"
