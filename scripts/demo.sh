#!/usr/bin/env bash
# Installs what is missing, builds TovuStabilizer.exe and shows it at work in a
# throwaway Wine prefix: one stand-in Tovu.exe installed under a product code
# and running. The tool's boxes are pressed for you and each is saved as a PNG
# in build/demo/logs/demo/. Where this host's kernel runs 32-bit code, Wine
# runs here and the boxes appear on your display when there is one (under Xvfb
# otherwise); where it does not, everything runs in a QEMU guest
# (scripts/guest/), which is built the first time (about 5 min).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build wine
route=$(/usr/bin/python3 scripts/guest/route.py) || { echo "$route"; exit 1; }
echo "Windows programs run: $route"
cmake --preset windows >/dev/null
cmake --build --preset windows >/dev/null
demo=(/usr/bin/python3 tests/e2e/e2e.py --demo --exe build/windows/TovuStabilizer.exe
      --helpers build/windows/e2e-helpers/helpers --logs build/demo/logs)
case "$route" in
  native:*) exec "${demo[@]}" --work build/demo ;;
  guest:*) scripts/guest/image.sh >/dev/null  # built the first time, in the foreground
           exec /usr/bin/python3 scripts/guest/guest.py run --session build/demo/guest --share "$PWD" \
             --write build/demo/logs --timeout 600 -- "${demo[@]}" --work /var/lib/tovu-e2e/win32 ;;
  *) exit 1 ;;
esac
