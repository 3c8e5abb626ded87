#!/usr/bin/env bash
# Installs what is missing and builds build/windows/TovuStabilizer.exe.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
cmake --preset windows >/dev/null
cmake --build --preset windows --target TovuStabilizer  # the .exe alone, not the test helpers
echo "built: $(pwd)/build/windows/TovuStabilizer.exe"
