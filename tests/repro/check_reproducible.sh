#!/usr/bin/env bash
# check_reproducible.sh SOURCE_DIR REFERENCE_EXE
# Builds TovuStabilizer.exe twice more from the same sources, in folders of
# different names and depths, seconds apart, and requires all three files to be
# byte-identical: no link timestamp, no build path, nothing of the moment.
set -euo pipefail
src=$(cd "$1" && pwd) reference=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

build_in() {
  local dir=$1
  "$src/tests/copy_sources.sh" "$src" "$dir"
  cmake -S "$dir" -B "$dir/out" -DCMAKE_TOOLCHAIN_FILE="$dir/cmake/mingw-i686.cmake" >/dev/null
  cmake --build "$dir/out" --target TovuStabilizer >/dev/null
}

build_in "$scratch/a"
sleep 2
build_in "$scratch/a-much-longer-folder/with/more/levels/tovu"

sha256sum "$reference" "$scratch/a/out/TovuStabilizer.exe" \
  "$scratch/a-much-longer-folder/with/more/levels/tovu/out/TovuStabilizer.exe" | tee "$scratch/sums"
test "$(cut -d' ' -f1 "$scratch/sums" | sort -u | wc -l)" -eq 1
echo "reproducible: $(cut -d' ' -f1 "$scratch/sums" | head -1)"
