#!/usr/bin/env bash
# Builds the Debian package: BUILD_DIR (default build/)/tarvex_VERSION_amd64.deb.
# Extra arguments go to cmake.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
export BUILD_DIR=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh" -DCMAKE_INSTALL_PREFIX=/usr "$@"
cd "$BUILD_DIR"
rm -f tarvex_*.deb
cpack -G DEB > cpack.log || { cat cpack.log >&2; exit 1; }
ls "$BUILD_DIR"/tarvex_*_*.deb
