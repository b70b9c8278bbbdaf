#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR); extra arguments go to
# cmake. $BUILD_TARGET builds one target (with what it needs) instead of all.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "$@" >/dev/null
cmake --build "$build" -j"$(nproc)" ${BUILD_TARGET:+--target "$BUILD_TARGET"}
