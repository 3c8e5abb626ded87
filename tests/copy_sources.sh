#!/usr/bin/env bash
# copy_sources.sh SOURCE_DIR DEST: the project's files as a fresh clone with
# local changes would hold them (no build trees), for builds elsewhere.
set -euo pipefail
mkdir -p "$2"
(cd "$1" && git ls-files -co --exclude-standard -z | grep -zv -e '^build/' -e '^dist/' |
  tar --null -T - -cf -) | tar -xf - -C "$2"
