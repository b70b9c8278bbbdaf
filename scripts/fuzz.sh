#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for
# $FUZZ_SECONDS (default 30) on a copy of its seed corpus in fuzz/corpus.
# A crash, a leak, an undefined operation or an input that runs longer than
# 10 s fails the run; the finding is kept in build-fuzz/findings.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$top/build-fuzz}
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DQUAYD_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=$(cd "$top/fuzz/corpus" && ls)
cmake --build "$build" -j"$(nproc)" --target $(printf 'fuzz_%s ' $targets)
mkdir -p "$build/findings"
for t in $targets; do
  work=$(mktemp -d)
  cp -r "$top/fuzz/corpus/$t/." "$work/"
  echo "== fuzz_$t"
  "$build/fuzz/fuzz_$t" -max_total_time="${FUZZ_SECONDS:-30}" -timeout=10 -rss_limit_mb=4096 \
    -artifact_prefix="$build/findings/$t-" "$work" 2>&1 | grep -E "^#[0-9]+[[:space:]]+DONE|^Done|ERROR|SUMMARY" || true
  status=${PIPESTATUS[0]}
  rm -rf "$work"
  [ "$status" -eq 0 ] || { echo "fuzz_$t found a failure; see $build/findings"; exit 1; }
done
