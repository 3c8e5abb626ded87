#!/usr/bin/env bash
# Installs what is missing and runs every test: host unit tests, then the
# checks of the built .exe and the end-to-end suite under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build test e2e

cmake --preset host >/dev/null
cmake --build --preset host -j"$(nproc)"
ctest --preset host

cmake --preset windows >/dev/null
cmake --build --preset windows
ctest --preset windows
