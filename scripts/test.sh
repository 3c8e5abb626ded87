#!/usr/bin/env bash
# Installs what is missing and runs every test: host unit tests, static checks,
# the unit tests again and the fuzzers under ASan and UBSan, then the checks of
# the built .exe (layout, reproducibility, signed release), the QEMU guest's own
# checks and the end-to-end suite in 32- and 64-bit Wine: on this host where
# its kernel runs 32-bit code, else in a QEMU guest (scripts/guest/).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build sign test hardening repro guest win64 wine
route=$(/usr/bin/python3 scripts/guest/route.py) || { echo "$route"; exit 1; }
echo "end-to-end tests: $route"
jobs=$(nproc)

# On the guest way, its image (about 5 min to build the first time) builds
# while the host's tests run. Where that needs sudo, it asks here, in the
# foreground; the build itself never asks (sudo -n). It runs in a process
# group of its own, so that an end of ours ends it too.
if [ "${route%%:*}" = guest ] && [ -z "$(scripts/guest/image.sh --cached)" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    sudo -v || { echo "test.sh: building the guest's image needs sudo"; exit 1; }
  fi
  mkdir -p build
  set -m
  scripts/guest/image.sh </dev/null >build/guest-image.log 2>&1 &
  image=$!
  set +m
  trap '[ -z "${image:-}" ] || kill -- -"$image" 2>/dev/null || true' EXIT
fi

cmake --preset host >/dev/null
cmake --build --preset host -j"$jobs"
ctest --preset host
ctest --preset lint

cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"
ctest --preset asan

cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs"
if [ -n "${image:-}" ]; then
  status=0
  wait "$image" || status=$?
  image=  # reaped: its id may be another's now
  if [ "$status" -ne 0 ]; then
    echo "test.sh: the guest's image did not build beside the host's tests (build/guest-image.log):"
    tail -n 3 build/guest-image.log
    exit 1
  fi
fi
ctest --preset windows
