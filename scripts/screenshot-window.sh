#!/usr/bin/env bash
# Takes the pictures of docs/window.md from the real program: the demo
# (build/tarvex with tarvex-camera on 127.0.0.1, as `run.sh --demo` starts
# them), offscreen, driven by an operator script that opens the camera's live
# view, filters the log to the catalog and the call, selects the INVITE and
# saves the window, the call's ladder and the media plots.
#
#   bash scripts/screenshot-window.sh [OUTDIR]    (default docs/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(readlink -f "${1:-$root/docs}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat > "$work/shot.txt" <<SCRIPT
wait-registered 60000
wait-log <CmdType>DeviceStatus</CmdType> 30000
tree 34020000001310000101
click 1081 0
wait-text 1090 解码 15000
sleep 20000
set 1201 "cmd==Catalog || INVITE || method==ACK"
set 1203 "INVITE sip:"
shot $work/window-filter.png
shot $work/window-ladder.png 1214 760 400
shot $work/window-plots.png 1216 760 460
exit
SCRIPT
QT_QPA_PLATFORM=offscreen TARVEX_WORKDIR="$work/demo" bash "$root/scripts/run.sh" --demo \
  --script "$work/shot.txt" > "$work/run.log" 2>&1 || { cat "$work/run.log" >&2; exit 1; }
for f in window-filter window-ladder window-plots; do
  cp "$work/$f.png" "$out/$f.png"
  echo "screenshot: $out/$f.png"
done
