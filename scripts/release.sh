#!/usr/bin/env bash
# Installs what is missing, builds TovuStabilizer.exe from scratch and writes
# dist/TovuStabilizer.exe and dist/SHA256SUMS. The build is reproducible: the
# same commit gives the same bytes anywhere.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
rm -rf build/release dist
cmake -S . -B build/release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
cmake --build build/release --target TovuStabilizer >/dev/null
mkdir -p dist
cp build/release/TovuStabilizer.exe dist/
(cd dist && sha256sum TovuStabilizer.exe > SHA256SUMS)
cat dist/SHA256SUMS
