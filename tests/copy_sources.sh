#!/usr/bin/env bash
# copy_sources.sh SOURCE_DIR DEST [--commit]: the project's files as the work
# tree holds them, local changes included (no build trees), for builds
# elsewhere. A tracked file deleted in the work tree is left out, as a clone
# of that tree would not have it. With --commit DEST becomes a git checkout of
# one commit that holds them all; its id depends on nothing but the files.
set -euo pipefail
mkdir -p "$2"
(cd "$1" && git ls-files -co --exclude-standard -z |
  while IFS= read -r -d '' file; do
    case "$file" in build/* | dist/*) continue ;; esac
    if [ -e "$file" ] || [ -L "$file" ]; then printf '%s\0' "$file"; fi
  done | tar --null -T - -cf -) | tar -xf - -C "$2"
if [ "${3:-}" = --commit ]; then
  git -C "$2" init -q -b main
  git -C "$2" add -A
  GIT_AUTHOR_DATE="2026-01-01T00:00:00Z" GIT_COMMITTER_DATE="2026-01-01T00:00:00Z" \
    git -C "$2" -c user.name=test -c user.email=test@localhost -c commit.gpgsign=false \
    commit -q -m "the work tree under test"
fi
