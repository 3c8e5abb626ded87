#!/usr/bin/env bash
# check_release.sh SOURCE_DIR REFERENCE_EXE WORK
# The unsigned release as a user receives it, made by scripts/release.sh from
# a one-commit git copy of the sources (tests/copy_sources.sh --commit).
#
# The same bytes, whatever the builder's machine:
#   - reprotest on a clone: two builds of dist/ with the build path, time,
#     time zone, locale (et_EE.UTF-8), umask, home and environment varied;
#   - CXXFLAGS, LDFLAGS and CMAKE_BUILD_TYPE in the environment;
#   - an ignored src/windows.h and an edit hidden by --skip-worktree.
# What the release holds:
#   - dist/ holds the four files, and SHA256SUMS matches them;
#   - the zip: its members in order, stored, dated by the commit in JST, no
#     extra fields;
#   - BUILDINFO: the commit, the toolchain packages, the program's hash;
#   - readme.txt passes check_readme.py (encoding, line ends, every text the
#     tool shows, line breaks, referents), and docs/manual.en.md quotes every
#     text the tool shows too.
# scripts/verify-release.sh, judged with expect_verdict (verdicts.sh):
#   - identical: the release folder, and the zip alone;
#   - each hostile download gets its exit code and is never identical:
#     a forged program with matching hashes; a zip with another archive in
#     front; re-dated members; a zip comment; a 300 MB member; an extra
#     package: or a changed version: line; an exe-only download with a
#     changed BUILDINFO; SHA256SUMS naming /etc/hostname or /dev/zero;
#     another toolchain; escape sequences; a planted zipfile.py; a folder
#     named -rel; a commit off main (whose release.sh must not run); a commit
#     that makes no zip; a git failure; TERM or HUP during the rebuild.
# release.sh refuses a dirty tree and a second run at once; a copy without
# git history releases but names no commit.
set -euo pipefail
src=$(cd "$1" && pwd) reference=$(realpath "$2") work=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
checkout=$work/repo
# shellcheck source=verdicts.sh
. "$here/verdicts.sh"

"$src/tests/copy_sources.sh" "$src" "$work/repo" --commit
# The texts the tool shows, from the unit tests' own table, for the readme check.
tool_texts=$work/tool_texts
"${CXX:-g++}" -std=c++17 -Wall -Wextra -Wpedantic -Wconversion -Werror -I"$src/tests" -I"$src/src" \
  "$src/tests/unit/texts.cpp" "$src/tests/release/tool_texts.cpp" -o "$tool_texts"
commit=$(git -C "$work/repo" rev-parse HEAD)
version=$(cat "$work/repo/VERSION")
zip=TovuStabilizer-$version.zip

echo "== reprotest: two builds, everything it varies that a builder's machine may"
git clone -q "$work/repo" "$work/a"
(cd "$work/a" && reprotest --vary=-user_group,-domain_host,-kernel,-fileordering -s . scripts/release.sh 'dist/*') \
  >"$work/reprotest.log" 2>&1 || { tail -40 "$work/reprotest.log"; fails "reprotest"; }
grep -x 'Reproduction successful' "$work/reprotest.log" || fails "reprotest did not compare"
"$work/a/scripts/release.sh" || fails "release.sh"
dist=$work/a/dist
cp -r "$dist" "$work/first"

echo "== what the builder's shell and ignored files hold changes no byte"
CFLAGS=-O0 CXXFLAGS="-O0 -g" LDFLAGS=-Wl,--build-id CMAKE_BUILD_TYPE=Debug SOURCE_DATE_EPOCH=1 \
  "$work/a/scripts/release.sh" >/dev/null || fails "release.sh with compiler flags"
diff -r "$work/first" "$dist" || fails "compiler flags in the environment reached the release"
printf '#error planted\n' >"$work/a/src/windows.h"
echo src/windows.h >>"$work/a/.git/info/exclude"
echo 9.9.9 >"$work/a/VERSION"
git -C "$work/a" update-index --skip-worktree VERSION
[ -z "$(git -C "$work/a" status --porcelain)" ] || fails "git status shows the planted files"
"$work/a/scripts/release.sh" >/dev/null || fails "release.sh with an ignored header"
diff -r "$work/first" "$dist" || fails "an ignored header or a hidden edit reached the release"
git -C "$work/a" update-index --no-skip-worktree VERSION
git -C "$work/a" checkout -q VERSION
rm "$work/a/src/windows.h"
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
identical="identical to commit $commit (TovuStabilizer $version)"
expect_verdict "the release folder" 0 "$identical" "$dist"
mkdir "$work/download"
cp "$dist/$zip" "$work/download/"
expect_verdict "the zip alone" 0 "$identical" "$work/download/$zip"
git -C "$work/repo" tag "v$version"
expect_verdict "a tagged commit" 0 "identical to commit $commit, tag v$version (TovuStabilizer $version)" "$dist"
git -C "$work/repo" tag -d "v$version" >/dev/null

# One byte of code, a NOP in place of what the build put there.
change_byte() { printf '\x90' | dd of="$1" bs=1 seek=1100 conv=notrunc 2>/dev/null; }
# forge NAME: a copy of the release folder to tamper with; sums NAME: its
# SHA256SUMS made to match whatever it now holds, so only the rebuild can tell.
forge() { rm -rf "$work/$1"; cp -r "$dist" "$work/$1"; }
sums() { (cd "$work/$1" && sha256sum TovuStabilizer.exe "$zip" BUILDINFO >SHA256SUMS); }
# forge_buildinfo NAME SED: a release folder whose BUILDINFO SED changes.
forge_buildinfo() { forge "$1"; sed -i "$2" "$work/$1/BUILDINFO"; sums "$1"; }
# rezip NAME PYTHON: NAME.zip, the release's zip rewritten by PYTHON, which
# has `members` (name, date, bytes) and writes `out`.
rezip() {
  /usr/bin/python3 - "$dist/$zip" "$work/$1.zip" "$2" <<'EOF'
import sys, zipfile
source, target, code = sys.argv[1:]
members = [(i.filename, i.date_time, zipfile.ZipFile(source).read(i)) for i in zipfile.ZipFile(source).infolist()]
with open(target, "wb") as out:
    exec(code)
EOF
}
differs="differs from commit $commit:"

echo "== hostile downloads"
forge forged
change_byte "$work/forged/TovuStabilizer.exe"
sed -i "s/^unsigned-exe-sha256: .*/unsigned-exe-sha256: $(sha256sum "$work/forged/TovuStabilizer.exe" | cut -d' ' -f1)/" \
  "$work/forged/BUILDINFO"
sums forged
expect_verdict "a forged program, hashes to match" 1 "$differs TovuStabilizer.exe is not the one that commit gives" \
  "$work/forged"
forge changed
change_byte "$work/changed/TovuStabilizer.exe"
expect_verdict "one changed byte" 1 "$differs TovuStabilizer.exe is not the one that commit gives" "$work/changed"

# What a streaming unzip reads first is another program; zipfile reads the
# central directory at the end, which is the real one.
rezip prefixed 'out.write(open(sys.argv[1], "rb").read().replace(b"\x4d\x5a\x90", b"\x4d\x5a\x91", 1))
out.write(open(sys.argv[1], "rb").read())'
expect_verdict "a second archive in front of the zip" 1 "$differs $zip is not the one that commit gives" \
  "$work/prefixed.zip"
rezip redated 'with zipfile.ZipFile(out, "w") as z:
    for name, date, data in members: z.writestr(zipfile.ZipInfo(name, (2030, 1, 1, 0, 0, 0)), data)'
expect_verdict "members re-dated" 1 "$differs $zip is not the one that commit gives" "$work/redated.zip"
rezip commented 'with zipfile.ZipFile(out, "w") as z:
    z.comment = b"\x1b]0;identical\x07"
    for name, date, data in members: z.writestr(zipfile.ZipInfo(name, date), data)'
expect_verdict "a zip comment" 1 "$differs $zip is not the one that commit gives" "$work/commented.zip"
# one more member, 300 MB of zeros in 300 KB: judged before anything is extracted
rezip bomb 'with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
    for name, date, data in members: z.writestr(name, data)
    with z.open("\x1b[2Jzeros", "w", force_zip64=True) as big:
        for _ in range(300): big.write(bytes(1 << 20))'
expect_verdict "a zip bomb" 1 "differs: bomb.zip holds more than a release's files" "$work/bomb.zip"
forge_buildinfo package-line '/^package: mingw-w64-common /p'
expect_verdict "BUILDINFO with one more package line" 1 "$differs BUILDINFO is not the one that commit gives" \
  "$work/package-line"
forge_buildinfo newer 's/^version: .*/version: 9.9.9/'
expect_verdict "an old commit passed off as 9.9.9" 1 "$differs BUILDINFO is not the one that commit gives" "$work/newer"
forge exe-only
rm "$work/exe-only/$zip"
sed -i '1s/.*/# a comment of the forger/' "$work/exe-only/BUILDINFO"
expect_verdict "the program alone, BUILDINFO changed" 1 "$differs BUILDINFO is not the one that commit gives" \
  "$work/exe-only"
forge extra-sums
echo "$(sha256sum /etc/hostname | cut -d' ' -f1)  /etc/hostname" >>"$work/extra-sums/SHA256SUMS"
expect_verdict "SHA256SUMS naming another file" 1 "$differs SHA256SUMS is not the one that commit gives" \
  "$work/extra-sums"
forge endless
echo "$(printf '0%.0s' {1..64})  /dev/zero" >"$work/endless/SHA256SUMS"
expect_verdict "SHA256SUMS naming /dev/zero" 1 "$differs SHA256SUMS is not the one that commit gives" "$work/endless"
forge_buildinfo toolchain 's/^package: mingw-w64-common .*/package: mingw-w64-common 9.0.0-1/'
expect_verdict "another toolchain" 2 "cannot verify: the release was built with mingw-w64-common 9.0.0-1, this machine has *" \
  "$work/toolchain"
forge_buildinfo escapes "s/^commit: .*/commit: \x1b[1A\x1b[2K\ridentical to commit $commit (TovuStabilizer 9.9.9)/"
expect_verdict "escape sequences in BUILDINFO" 2 \
  "cannot verify: BUILDINFO names no commit (commit: \\\\x1b\[1A\\\\x1b\[2K\\\\ridentical to commit *" "$work/escapes"

# Python first imports from the folder it is started in.
mkdir "$work/planted"
cp "$dist/$zip" "$work/planted/"
printf 'open("%s/planted-ran", "w")\n' "$work" >"$work/planted/zipfile.py"
cp "$work/planted/zipfile.py" "$work/planted/unicodedata.py"
(cd "$work/planted" && expect_verdict "zipfile.py in the download, verified from there" 0 "$identical" .)
[ ! -e "$work/planted-ran" ] || fails "verify-release.sh ran code from the download"
cp -r "$dist" "$work/-rel"
(cd "$work" && expect_verdict "a folder named -rel" 0 "$identical" -rel)

# The commits made here need no git identity of the caller's.
as_tester=(-c user.name=test -c user.email=test@localhost)

# A commit off main, whose release.sh would leave a mark: never run.
git -C "$work/a" checkout -q -b side
printf 'touch "%s/stranger-ran"\n' "$work" >>"$work/a/scripts/release.sh"
git -C "$work/a" "${as_tester[@]}" commit -q -am "a stranger's release.sh"
git -C "$work/repo" fetch -q "$work/a" side
stranger=$(git -C "$work/a" rev-parse HEAD)
git -C "$work/a" checkout -q main
forge_buildinfo off-main "s/^commit: .*/commit: $stranger/"
expect_verdict "a commit off main" 2 "cannot verify: $stranger is not a commit of main" "$work/off-main"
[ ! -e "$work/stranger-ran" ] || fails "verify-release.sh ran the release.sh of a commit off main"

# A commit of main whose release.sh makes no zip.
"$src/tests/copy_sources.sh" "$work/repo" "$work/b" --commit
sed -i 's/^zip=TovuStabilizer-/zip=Other-/' "$work/b/scripts/release.sh"
git -C "$work/b" "${as_tester[@]}" commit -q -am "release.sh without the zip"
forge_buildinfo no-zip "s/^commit: .*/commit: $(git -C "$work/b" rev-parse HEAD)/"
checkout=$work/b
expect_verdict "a commit that makes no zip" 2 \
  "cannot verify: the rebuild of commit $(git -C "$work/b" rev-parse HEAD) made no $zip" "$work/no-zip"
checkout=$work/repo

# git cannot add the worktree.
rm -rf "$work/repo/.git/worktrees"
touch "$work/repo/.git/worktrees"
expect_verdict "git failing" 2 "cannot verify: git cannot check out $commit" "$dist"
rm "$work/repo/.git/worktrees"

# (Ctrl-C reaches the whole foreground group; a background job ignores INT.)
for signal in TERM HUP; do
  "$work/repo/scripts/verify-release.sh" "$dist" >"$work/signal.out" 2>&1 &
  verifier=$!
  for _ in $(seq 200); do [ -z "$(git -C "$work/repo" worktree list | sed 1d)" ] || break; sleep 0.1; done
  sleep 1
  kill -s "$signal" "$verifier"
  status=0
  wait "$verifier" || status=$?
  [ "$status" -eq 2 ] && [ "$(tail -1 "$work/signal.out")" = "cannot verify: interrupted" ] ||
    { cat "$work/signal.out"; fails "SIG$signal: exit $status"; }
  [ -z "$(git -C "$work/repo" worktree list | sed 1d)" ] || fails "SIG$signal: a worktree was left behind"
  for _ in $(seq 20); do pgrep -f "$(dirname "$(mktemp -u)")/tmp\.[^ ]*/tree/" >/dev/null || break; sleep 0.1; done
  ! pgrep -f "$(dirname "$(mktemp -u)")/tmp\.[^ ]*/tree/" || fails "SIG$signal: the rebuild runs on"
  echo "SIG$signal during the rebuild: exit 2: cannot verify: interrupted"
done

echo "== trees that are not a commit"
# WHAT [REASON [COMMAND...]]: COMMAND (release.sh) refuses in one line that
# gives REASON, and leaves dist/ as it was.
refused() {
  local what=$1 reason=${2:-the work tree has uncommitted}
  shift $(($# < 2 ? $# : 2))
  cp -r "$dist" "$work/dist-before"
  if "${@:-$work/a/scripts/release.sh}" >"$work/refused.out" 2>"$work/refused.err"; then fails "$what: released"; fi
  [ "$(wc -l <"$work/refused.err")" -eq 1 ] && grep -q "^release.sh: $reason" "$work/refused.err" ||
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
refused "a second run at once" "another release.sh is running" flock "$work/a/build/release.lock" "$work/a/scripts/release.sh"

"$src/tests/copy_sources.sh" "$work/repo" "$work/copy"
"$work/copy/scripts/release.sh" >/dev/null || fails "release.sh in a copy without git"
grep -qx 'commit: none (not a git checkout)' "$work/copy/dist/BUILDINFO" || fails "the copy's BUILDINFO names a commit"
expect_verdict "a release from a copy" 2 "cannot verify: BUILDINFO names no commit (commit: none (not a git checkout))" \
  "$work/copy/dist"
echo "release checked: $(grep " $zip\$" "$dist/SHA256SUMS")"
