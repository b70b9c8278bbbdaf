#!/usr/bin/env bash
# Fails when a library of agent/, platform/ or tools/ defines writable data
# (nm types B, b, D, d) that scripts/globals-allowed.txt does not name: no
# process-wide mutable state. What the compiler emits for itself (typeinfo
# of lambdas, guard variables, iostream init) is not ours and is skipped.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
allowed=$top/scripts/globals-allowed.txt
mapfile -t libs < <(find "$build/agent" "$build/platform" "$build/tools" -name 'libquayd_*.a' \
  ! -name libquayd_testing.a | sort)
[ ${#libs[@]} -gt 0 ] || { echo "check-globals: no libraries under $build" >&2; exit 2; }
found=$(for lib in "${libs[@]}"; do
  # The sysv form names each symbol's section: .data.rel.ro is written only
  # by the loader's relocations (constant tables of pointers), not by us.
  nm -C --defined-only -f sysv "$lib" 2>/dev/null | awk -F'|' -v lib="${lib#"$build"/}" '
    { type = $3; gsub(/ /, "", type) }
    type ~ /^[BbDd]$/ && $7 !~ /^\.data\.rel\.ro/ { sub(/ +$/, "", $1); print lib ": " $1 }'
done | grep -Ev ': (typeinfo|vtable|guard variable|std::__ioinit|__gnu_cxx)' | sort -u || true)
patterns=$(grep -Ev '^\s*(#|$)' "$allowed" || echo '^$')
bad=$(printf '%s\n' "$found" | grep -Ev -f <(printf '%s\n' "$patterns") | grep -v '^$' || true)
if [ -n "$bad" ]; then
  echo "check-globals: writable data not in scripts/globals-allowed.txt:" >&2
  printf '%s\n' "$bad" >&2
  exit 1
fi
echo "check-globals: ${#libs[@]} libraries, no unlisted writable data"
