#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR); extra arguments go to
# cmake. $BUILD_TARGET builds one target (with what it needs) instead of all.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
launcher=()
# A compiler cache, where there is one, shared by every clone of the tree.
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=$top CCACHE_NOHASHDIR=1
fi
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "${launcher[@]}" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)" ${BUILD_TARGET:+--target "$BUILD_TARGET"}
