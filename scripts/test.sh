#!/usr/bin/env bash
# Installs the packages, builds Tarvex with its tests and runs the whole suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
export BUILD_DIR=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh" "$@"
cd "$BUILD_DIR"
ctest --output-on-failure -j "${JOBS:-$(nproc)}" ${CTEST_ARGS:-}
