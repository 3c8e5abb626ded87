#!/usr/bin/env bash
# Installs what is missing, builds TovuStabilizer.exe and shows it at work in a
# throwaway Wine prefix (build/demo): one stand-in Tovu.exe installed under a
# product code and running. The tool's boxes appear on your display when there
# is one (under Xvfb otherwise) and are pressed for you; each is saved as a PNG.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build e2e
cmake --preset windows >/dev/null
cmake --build --preset windows >/dev/null
exec /usr/bin/python3 tests/e2e/e2e.py --demo --exe build/windows/TovuStabilizer.exe \
  --helpers build/windows/e2e-helpers/helpers --work build/demo
