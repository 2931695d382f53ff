#!/usr/bin/env bash
# Takes the README screenshot from the real program: the demo (build/tarvex
# with tarvex-camera on 127.0.0.1, as `run.sh --demo` starts them), offscreen,
# driven by an operator script that opens the live view of the camera's first
# channel and saves a picture of the window.
#
#   bash scripts/screenshot.sh [OUT.png]    (default docs/shell.png)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(readlink -f "${1:-$root/docs/shell.png}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat > "$work/shot.txt" <<SCRIPT
wait-registered 60000
wait-log <CmdType>DeviceStatus</CmdType> 30000
tree 34020000001310000101
click 1081 0
wait-text 1090 解码 15000
sleep 8000
shot $work/shell.png
exit
SCRIPT
QT_QPA_PLATFORM=offscreen TARVEX_WORKDIR="$work/demo" bash "$root/scripts/run.sh" --demo \
  --script "$work/shot.txt" > "$work/run.log" 2>&1 || { cat "$work/run.log" >&2; exit 1; }
cp "$work/shell.png" "$out"
echo "screenshot: $out"
