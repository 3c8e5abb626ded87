#!/usr/bin/env bash
# scripts/demo.sh [wine10]
# Installs what is missing, builds TovuStabilizer.exe and shows it at work in a
# throwaway Wine prefix: one stand-in Tovu.exe installed under a product code
# and running. The tool's boxes are pressed for you and each is saved as a PNG
# in build/demo/logs/demo/. Where this host's kernel runs 32-bit code, Wine
# runs here and the boxes appear on your display when there is one (under Xvfb
# otherwise); where it does not, everything runs in a QEMU guest
# (scripts/guest/), which is built the first time (about 5 min). With wine10,
# Debian 13's Wine 10 runs it instead, always in a guest of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  "") release=bookworm ;;
  wine10) release=trixie ;;
  *) echo "usage: scripts/demo.sh [wine10]" >&2; exit 2 ;;
esac
if [ "$release" = trixie ]; then
  scripts/setup.sh build guest
  route="guest: Debian 13's Wine 10, asked for on the command line"
else
  scripts/setup.sh build wine
  route=$(/usr/bin/python3 scripts/guest/route.py) || { echo "$route"; exit 1; }
fi
echo "Windows programs run: $route"
cmake --preset windows >/dev/null
cmake --build --preset windows >/dev/null
demo=(/usr/bin/python3 tests/e2e/e2e.py --demo --exe build/windows/TovuStabilizer.exe
      --helpers build/windows/e2e-helpers/helpers --logs build/demo/logs)
case "$route" in
  native:*) exec "${demo[@]}" --work build/demo ;;
  guest:*) scripts/guest/image.sh "$release" >/dev/null  # built the first time, in the foreground
           exec /usr/bin/python3 scripts/guest/guest.py run --session "build/demo/guest-$release" \
             --release "$release" --share "$PWD" --write build/demo/logs --timeout 600 -- \
             "${demo[@]}" --work /var/lib/tovu-e2e/win32 ;;
  *) exit 1 ;;
esac
