#!/usr/bin/env bash
# Installs what is missing and runs every test: host unit tests, static checks,
# the unit tests again and the fuzzers under ASan and UBSan, then the checks of
# the built .exe (layout, reproducibility, signed release), the QEMU guests'
# own checks and the end-to-end suite in 32- and 64-bit Wine, under two Wines:
# Debian 12's Wine 8, on this host where its kernel runs 32-bit code, else in a
# QEMU guest (scripts/guest/), and Debian 13's Wine 10, always in a guest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build sign test hardening repro guest win64 wine
route=$(/usr/bin/python3 scripts/guest/route.py) || { echo "$route"; exit 1; }
echo "end-to-end tests: $route"
jobs=$(nproc)

# The guests' images (7 to 15 min each to build the first time): Debian 12's
# where Wine 8 runs in a guest, and Debian 13's for the Wine 10 lane on every
# route. They build side by side while the host's tests run, which on two
# cores takes less than one after the other. Where that needs sudo, it asks
# here, in the foreground; the builds themselves never ask (sudo -n). Each runs
# in a process group of its own, so that an end of ours ends them too.
releases=()
[ "${route%%:*}" != guest ] || releases+=(bookworm)
releases+=(trixie)
missing=()
for release in "${releases[@]}"; do
  [ -n "$(scripts/guest/image.sh --cached "$release")" ] || missing+=("$release")
done
builds=()
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    sudo -v || { echo "test.sh: building the guests' images needs sudo"; exit 1; }
  fi
  mkdir -p build
  set -m
  for release in "${missing[@]}"; do
    scripts/guest/image.sh "$release" </dev/null >"build/guest-image-$release.log" 2>&1 &
    builds+=("$!:$release")
  done
  set +m
  trap 'for b in "${builds[@]}"; do kill -- -"${b%%:*}" 2>/dev/null || true; done' EXIT
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
failed=
while [ ${#builds[@]} -gt 0 ]; do
  build=${builds[0]}
  status=0
  wait "${build%%:*}" || status=$?
  builds=("${builds[@]:1}")  # reaped: its id may be another's by the time of the trap
  if [ "$status" -ne 0 ]; then
    echo "test.sh: the ${build#*:} guest's image did not build (build/guest-image-${build#*:}.log):"
    tail -n 3 "build/guest-image-${build#*:}.log"
    failed=1
  fi
done
[ -z "$failed" ] || exit 1
ctest --preset windows
