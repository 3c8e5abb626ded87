#!/usr/bin/env bash
# Installs what is missing and runs every test: host unit tests, then the
# checks of the built .exe.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build test

cmake --preset host >/dev/null
cmake --build --preset host -j"$(nproc)"
ctest --preset host

cmake --preset windows >/dev/null
cmake --build --preset windows
ctest --preset windows
