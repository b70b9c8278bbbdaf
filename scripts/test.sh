#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite. Tests that
# need Redis or dockerd start private instances of their own.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh"
cd "${BUILD_DIR:-$top/build}"
ctest --output-on-failure --timeout 600 "$@"
