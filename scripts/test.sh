#!/usr/bin/env bash
# Installs what is missing and runs every test: host unit tests, static checks,
# the unit tests again and the fuzzers under ASan and UBSan, then the checks of
# the built .exe (layout, reproducibility, signed release), the QEMU guest's own
# checks and the end-to-end suite in 32- and 64-bit Wine: on this host where
# its kernel runs 32-bit code, else in a QEMU guest (scripts/guest/).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build sign test hardening repro guest win64 wine
echo "end-to-end tests: $(/usr/bin/python3 scripts/guest/route.py)"
jobs=$(nproc)

cmake --preset host >/dev/null
cmake --build --preset host -j"$jobs"
ctest --preset host
ctest --preset lint

cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"
ctest --preset asan

cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs"
ctest --preset windows
