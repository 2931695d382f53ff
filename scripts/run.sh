#!/usr/bin/env bash
# Installs the packages, builds Tarvex and starts it in run/ with a ready config.ini.
#   bash scripts/run.sh [--script FILE ...]   Tarvex for real devices
#   bash scripts/run.sh --demo [ARGS ...]     Tarvex with one simulated camera on loopback,
#                                             in run/demo/; the camera leaves when Tarvex exits
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
demo=0
if [ "${1:-}" = "--demo" ]; then
  demo=1
  shift
fi
"$root/scripts/install-deps.sh"
build=${BUILD_DIR:-$root/build}
BUILD_DIR=$build "$root/scripts/build.sh"
if [ $demo = 1 ]; then
  work=${TARVEX_WORKDIR:-$root/run/demo}
  mkdir -p "$work"
  # Everything on loopback: SIP over UDP on 127.0.0.1 (5060, or the next free
  # port when something else holds it), media to 127.0.0.1:6000.
  busy() { command -v ss >/dev/null && ss -Hlun "sport = :$1" 2>/dev/null | grep -q .; }
  if [ ! -e "$work/config.ini" ]; then
    TARVEX_ADDRESS=127.0.0.1 "$root/scripts/make-config.sh" "$work/config.ini"
    port=5060
    while busy $port && [ $port -lt 5160 ]; do port=$((port + 2)); done
    # The first port of config.ini is the local server's (key 端口 in GBK).
    [ $port = 5060 ] || LC_ALL=C sed -i "0,/^\xB6\xCB\xBF\xDA=5060/s//\xB6\xCB\xBF\xDA=$port/" "$work/config.ini"
    # The media receiver's port (the second 端口, 6000): RTP and RTCP over UDP
    # and TCP on the same port must all be free, or the live view would stay empty.
    mbusy() { busy "$1" || busy $(($1 + 1)) || { command -v ss >/dev/null && ss -Hltn "sport = :$1" 2>/dev/null | grep -q .; }; }
    mport=6000
    while mbusy $mport && [ $mport -lt 6400 ]; do mport=$((mport + 4)); done
    [ $mport = 6000 ] || LC_ALL=C sed -i "s/^\xB6\xCB\xBF\xDA=6000\r/\xB6\xCB\xBF\xDA=$mport\r/" "$work/config.ini"
    [ $mport = 6000 ] || echo "demo: media port 6000 is taken; using $mport"
  fi
  port=$(LC_ALL=C grep -a -m1 $'^\xB6\xCB\xBF\xDA=' "$work/config.ini" | cut -d= -f2 | tr -d '\r')
  echo "demo: Tarvex listens on 127.0.0.1:$port/udp (from $work/config.ini)"
else
  work=${TARVEX_WORKDIR:-$root/run}
  mkdir -p "$work"
  "$root/scripts/make-config.sh" "$work/config.ini"
fi
run=("$build/tarvex")
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display (DISPLAY and WAYLAND_DISPLAY are unset): starting under xvfb-run." >&2
  echo "Set QT_QPA_PLATFORM=offscreen to run without any window, or run from a desktop session." >&2
  run=(xvfb-run -a "$build/tarvex")
fi
cd "$work"
if [ $demo = 0 ]; then
  exec "${run[@]}" "$@"
fi

# The camera waits until Tarvex listens (its REGISTER would be repeated
# anyway), registers, and unregisters when Tarvex has exited.
(
  command -v ss >/dev/null || sleep 1
  for _ in $(seq 150); do
    busy "$port" && break
    sleep 0.2
  done
  exec "$build/tools/tarvex-camera/tarvex-camera" --server "127.0.0.1:$port" --local-ip 127.0.0.1 \
    --id 34020000001320000001 --channels 4 --keepalive 60
) >"$work/camera.log" 2>&1 &
camera=$!
echo "demo: tarvex-camera (pid $camera) plays device 34020000001320000001; its events go to $work/camera.log"
status=0
"${run[@]}" "$@" || status=$?
kill -TERM "$camera" 2>/dev/null || true
wait "$camera" 2>/dev/null || true
exit $status
