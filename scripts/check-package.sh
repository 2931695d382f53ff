#!/usr/bin/env bash
# Checks a built package: lintian reports no error, apt can resolve its
# dependencies, and, unpacked into a fresh root, the installed program starts
# offscreen in its own folder and exits through a script, every program answers
# --help and --version, and every manual page renders; its first start, with
# no config, writes working values and listens on 0.0.0.0:5060/udp.
# With --install (root only) it also installs the package with apt-get as a
# user would, runs the installed program from PATH, and removes it again.
#   bash scripts/check-package.sh [--install] build/tarvex_2.0_amd64.deb
set -euo pipefail
install=0
if [ "${1:-}" = "--install" ]; then install=1; shift; fi
deb=$(readlink -f "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

echo "== lintian"
lintian --fail-on error --suppress-tags no-manual-page "$deb" | tee "$work/lintian.txt" || fail "lintian reports errors"

echo "== dependencies"
apt-get install -s "$deb" > "$work/apt.txt" 2>&1 || { cat "$work/apt.txt" >&2; fail "apt cannot install it"; }
dpkg-deb -f "$deb" Depends

echo "== unpacked into $work/root"
dpkg-deb -x "$deb" "$work/root"
export LD_LIBRARY_PATH="$work/root/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/tarvex"
export QT_QPA_PLATFORM=offscreen
bin="$work/root/usr/bin"
for p in tarvex tarvex-recv vidana-play tarvex-camera; do
  [ -x "$bin/$p" ] || fail "$p is not installed"
  "$bin/$p" --help > "$work/$p.help" 2>&1 || fail "$p --help failed: $(cat "$work/$p.help")"
  v=$("$bin/$p" --version 2>&1) || fail "$p --version failed: $v"
  echo "$v" | grep -q "$(dpkg-deb -f "$deb" Version)" || fail "$p --version says: $v"
  man -l "$work/root/usr/share/man/man1/$p.1.gz" > /dev/null 2>&1 || fail "man page of $p does not render"
  echo "$p: --help, --version ($v), man: ok"
done
[ -f "$work/root/usr/share/applications/tarvex.desktop" ] || fail "no desktop entry"
[ -f "$work/root/usr/share/icons/hicolor/48x48/apps/tarvex.png" ] || fail "no icon"

echo "== the installed program, from another directory, in a fresh home"
mkdir -p "$work/home" "$work/elsewhere"
printf 'exit\n' > "$work/exit.txt"
(cd "$work/elsewhere" && HOME="$work/home" XDG_CONFIG_HOME= timeout 60 "$bin/tarvex" --script "$work/exit.txt") \
  > "$work/run.txt" 2>&1 || { cat "$work/run.txt" >&2; fail "the installed program did not exit cleanly"; }
[ -f "$work/home/.config/tarvex/config.ini" ] || { cat "$work/run.txt" >&2; fail "no config.ini in ~/.config/tarvex"; }
[ -z "$(ls -A "$work/elsewhere")" ] || fail "the program wrote into the directory it was started from"
echo "ok: $(ls "$work/home/.config/tarvex" | tr '\n' ' ')"
# The first start wrote working values, none of the invalid ones (-1, 255).
ini=$(iconv -f GB18030 -t UTF-8 "$work/home/.config/tarvex/config.ini")
grep -qE '^端口=5060'$'\r''?$' <<<"$ini" || fail "the first config.ini has no 端口=5060: $ini"
! grep -qE '=(-1|255)'$'\r''?$' <<<"$ini" || fail "the first config.ini holds an invalid value: $ini"

echo "== the first start listens on 0.0.0.0:5060/udp"
held() { ss -Hlun 'sport = :5060' | grep -q '0.0.0.0:5060'; }
if held; then
  echo "not checked: something else holds 5060/udp on this machine"
else
  mkdir -p "$work/home3"
  printf 'sleep 4000\nexit\n' > "$work/listen.txt"
  (cd "$work/elsewhere" && HOME="$work/home3" XDG_CONFIG_HOME= timeout 60 "$bin/tarvex" --script "$work/listen.txt") \
    > "$work/listen-run.txt" 2>&1 &
  pid=$!
  seen=0
  for _ in $(seq 200); do held && { seen=1; break; }; kill -0 $pid 2>/dev/null || break; sleep 0.05; done
  wait $pid || { cat "$work/listen-run.txt" >&2; fail "the installed program did not exit cleanly"; }
  [ $seen = 1 ] || { cat "$work/listen-run.txt" >&2; fail "nothing listened on 0.0.0.0:5060/udp"; }
  echo "ok: 0.0.0.0:5060/udp while it ran"
fi

if [ $install = 1 ]; then
  echo "== installed with apt-get, run from PATH"
  [ "$(id -u)" = 0 ] || fail "--install needs root"
  ! dpkg -s tarvex >/dev/null 2>&1 || fail "a tarvex package is installed already; not touching it"
  trap 'apt-get purge -y -qq tarvex >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" > "$work/apt-install.txt" 2>&1 \
    || { cat "$work/apt-install.txt" >&2; fail "apt-get install failed"; }
  mkdir -p "$work/home2"
  unset LD_LIBRARY_PATH
  (cd "$work/elsewhere" && HOME="$work/home2" XDG_CONFIG_HOME= timeout 60 tarvex --script "$work/exit.txt") \
    > "$work/run2.txt" 2>&1 || { cat "$work/run2.txt" >&2; fail "the installed tarvex did not exit cleanly"; }
  [ -f "$work/home2/.config/tarvex/config.ini" ] || fail "installed tarvex wrote no config.ini"
  for p in tarvex-recv vidana-play tarvex-camera; do
    "$p" --version > /dev/null || fail "installed $p --version failed"
  done
  man -w tarvex-camera > /dev/null || fail "man cannot find tarvex-camera"
  echo "ok: installed as $(dpkg-query -W -f '${Package} ${Version}' tarvex), ran from $(command -v tarvex), removed"
fi
