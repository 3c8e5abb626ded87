#!/usr/bin/env bash
# Installs what is missing and runs every test: host unit tests, static checks,
# the unit tests again and the fuzzers under ASan and UBSan, then the checks of
# the built .exe (layout, reproducibility, signed release), the QEMU guest's own
# checks and the end-to-end suite in 32- and 64-bit Wine: on this host where
# its kernel runs 32-bit code, else in a QEMU guest (scripts/guest/).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build sign test hardening repro guest win64 wine
route=$(/usr/bin/python3 scripts/guest/route.py)
echo "end-to-end tests: $route"
jobs=$(nproc)

# On the guest way, its image (about 5 min to build the first time) builds
# while the host's tests run; in a session of its own, so that it ends with us.
if [ "${route%%:*}" = guest ]; then
  mkdir -p build
  setsid scripts/guest/image.sh >build/guest-image.log 2>&1 &
  image=$!
  trap 'kill -- -"$image" 2>/dev/null || true' EXIT
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
if [ -n "${image:-}" ] && ! wait "$image"; then
  echo "test.sh: the guest image did not build beside the host's tests; e2e_guest_up tries again:"
  tail -n 3 build/guest-image.log
fi
ctest --preset windows
