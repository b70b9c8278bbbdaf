#!/usr/bin/env bash
# Formats the C++ sources with the checked-in .clang-format; with --check,
# lists the files that differ and fails instead of changing them.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
  bad=0
  for f in "${files[@]}"; do
    if ! clang-format --style=file "$f" | cmp -s - "$f"; then
      echo "not formatted: $f"
      bad=1
    fi
  done
  exit $bad
fi
clang-format --style=file -i "${files[@]}"
