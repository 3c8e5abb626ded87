#!/usr/bin/env bash
# lint.sh format|tidy|cppcheck SOURCE_DIR BUILD_DIR
# The static checks over the tool's sources; each exits non-zero on a finding.
#   format    clang-format (.clang-format) over every C++ file in the project
#   tidy      clang-tidy (.clang-tidy) over src/, with BUILD_DIR's compile commands
#   cppcheck  cppcheck over src/, as compiled for the host
set -euo pipefail
mode=$1 src=$2 build=$3
cd "$src"
case "$mode" in
  format)
    git ls-files -co --exclude-standard '*.cpp' '*.h' | xargs clang-format --dry-run -Werror ;;
  tidy)
    clang-tidy -p "$build" --quiet $(git ls-files -co --exclude-standard 'src/*.cpp') ;;
  cppcheck)
    cppcheck --enable=warning,style,performance,portability --std=c++17 --language=c++ -I src \
      --inline-suppr --suppress=missingIncludeSystem --error-exitcode=1 -q src/ ;;
  *) echo "lint.sh: unknown mode $mode" >&2; exit 2 ;;
esac
