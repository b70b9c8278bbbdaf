#!/usr/bin/env bash
# Builds the programs of the unit, simulator and Redis tests with
# AddressSanitizer and UndefinedBehaviorSanitizer into build-asan/ and runs
# the unit and Redis tests and 1,000 simulated scenarios there; a leak or an
# undefined operation fails the run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${SANITIZE_BUILD_DIR:-$top/build-asan} BUILD_TYPE=Debug BUILD_TARGET=fast_checks \
  "$top/scripts/build.sh" -DQUAYD_SANITIZE=ON
cd "${SANITIZE_BUILD_DIR:-$top/build-asan}"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --output-on-failure -j"$(nproc)" -L "unit|redis" "$@"
tests/sim/quayd_sim --first 1 --count 1000 --steps 200
