#!/usr/bin/env bash
# Installs the packages, builds Tarvex and starts it in run/ with a ready config.ini.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
BUILD_DIR=${BUILD_DIR:-$root/build} "$root/scripts/build.sh" -DTARVEX_BENCH=OFF
work=${TARVEX_WORKDIR:-$root/run}
mkdir -p "$work"
"$root/scripts/make-config.sh" "$work/config.ini"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display (DISPLAY and WAYLAND_DISPLAY are unset): starting under xvfb-run." >&2
  echo "Set QT_QPA_PLATFORM=offscreen to run without any window, or run from a desktop session." >&2
  cd "$work" && exec xvfb-run -a "${BUILD_DIR:-$root/build}/tarvex" "$@"
fi
cd "$work" && exec "${BUILD_DIR:-$root/build}/tarvex" "$@"
